// The page's budgets, measured (not a test: node bench.mjs after
// scripts/web-tests has built everything):
//   1. the page's size, gzipped (the single file and the site);
//   2. a configuration check shown after the last keystroke, less the debounce;
//   3. a firmware update of FW_KIB KiB (default 256) through the fake port,
//      against the console program with tovsim --quick, both in this run.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { execFileSync } from 'node:child_process';
import { PAGE, SITE, ROOT, open_browser, open_page, open_device_page, page_files, device_files, native_with_sim } from './harness.mjs';

const DEBOUNCE_MS = 300;
const gz = (b) => zlib.gzipSync(b, { level: 9 }).length;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

const single = gz(fs.readFileSync(PAGE));
const site = fs.readdirSync(SITE).reduce((n, f) => n + gz(fs.readFileSync(path.join(SITE, f))), 0);
console.log(`size: tovhost.html ${(single / 1024).toFixed(1)} KiB gzipped, site/ ${(site / 1024).toFixed(1)} KiB gzipped (budget 150 KB)`);

const browser = await open_browser();
const page = await open_page(browser);
const conf = fs.readFileSync(path.join(ROOT, 'examples/sample.conf'), 'latin1');
const checks = [];
for (let i = 0; i < 7; i++) {
  checks.push(await page.evaluate(async (text) => {
    const before = document.body.dataset.confChecked || '0';
    const area = document.getElementById('conf-text');
    area.value = text;
    const t0 = performance.now();
    area.dispatchEvent(new Event('input'));
    while ((document.body.dataset.confChecked || '0') === before) await new Promise((r) => setTimeout(r, 1));
    await new Promise((r) => requestAnimationFrame(r));
    return performance.now() - t0;
  }, conf + `# ${i}\n`));
}
console.log(`check: ${checks.map((t) => (t - DEBOUNCE_MS).toFixed(1)).join(' ')} ms after the ${DEBOUNCE_MS} ms debounce; median ${(median(checks) - DEBOUNCE_MS).toFixed(1)} ms (budget 50)`);
await page.close();

const kib = Number(process.env.FW_KIB || 256);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tovhost-bench-'));
const bin = path.join(dir, 'fw.bin');
const hex = path.join(dir, 'fw.hex');
fs.writeFileSync(bin, Buffer.from(Array.from({ length: kib * 1024 }, () => Math.floor(Math.random() * 256))));
execFileSync('objcopy', ['-I', 'binary', '-O', 'ihex', bin, hex]);
const native = await native_with_sim((pty) => `firmware ${pty} ${hex}\ny\n\n`);
const dev = await open_device_page(browser, { options: [['quick', 1]] });
await page_files(dev, [['fw.hex', fs.readFileSync(hex)]]);
// Timed inside the page: moving the command's output out to node (800 KB of
// progress lines) is not part of the update.
const r = await dev.evaluate(async (l) => {
  window.tovhost.answers.push('y', '');
  const t0 = performance.now();
  const c = await window.tovhost.command(l);
  const out = new TextDecoder('latin1').decode(c.output);
  return { ms: performance.now() - t0, status: c.status, resent: out.includes('resending') };
}, 'firmware 1 fw.hex');
const web_s = r.ms / 1000;
const native_text = native.output.toString('latin1');
const native_resent = native_text.includes('resending');
// The console program's input ends after the update (status 1 at the end of
// input): its own success line tells.
const native_ok = native_text.includes('Firmware update succeeded!');
const same = Buffer.compare((await device_files(dev))['firmware.hex'], native.files['firmware.hex']) === 0;
console.log(`firmware ${kib} KiB: page ${web_s.toFixed(2)} s, console program ${native.seconds.toFixed(2)} s, ratio ${(web_s / native.seconds).toFixed(2)} (budget 2); ` +
  `page ${r.status === 0 ? 'succeeded' : 'FAILED'}${r.resent ? ' with resends' : ''}, ` +
  `console program ${native_ok ? 'succeeded' : 'FAILED'}${native_resent ? ' with resends' : ''}, ` +
  `device images ${same ? 'equal' : 'DIFFERENT (a resend on either side keeps a line twice)'}`);
fs.rmSync(dir, { recursive: true, force: true });
await browser.close();
