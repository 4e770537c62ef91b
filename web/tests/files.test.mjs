// The configuration and rules readers in the page give what the console
// program gives, byte for byte: every example and every fuzz seed, read and
// shown (configure + dconfigure, rules + drules) by both. Then the page's own
// file check: the console's messages, the failing line marked, and the time
// from the last keystroke to the result.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import os from 'node:os';
import { ROOT, open_browser, open_page, page_files, page_session, native_session, first_difference } from './harness.mjs';

const READERS = [
  { read: 'configure', show: 'dconfigure', dirs: ['fuzz/corpus/fuzz_conf'], examples: ['sample.conf'] },
  { read: 'rules', show: 'drules', dirs: ['fuzz/corpus/fuzz_rules'], examples: ['sample.rules'] },
];

function inputs_of(reader) {
  const files = reader.examples.map((n) => path.join('examples', n));
  for (const dir of reader.dirs) {
    for (const n of fs.readdirSync(path.join(ROOT, dir)).sort()) files.push(path.join(dir, n));
  }
  return files;
}

let browser;
let page;
before(async () => {
  browser = await open_browser();
  page = await open_page(browser);
});
after(async () => {
  await browser.close();
});

for (const reader of READERS) {
  test(`${reader.read}: every example and fuzz seed reads as in the console program`, async () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tovhost-files-'));
    try {
      const files = inputs_of(reader);
      assert.ok(files.length > 10, 'the seeds are there');
      for (const file of files) {
        const bytes = fs.readFileSync(path.join(ROOT, file));
        const name = 'f_' + path.basename(file);
        fs.writeFileSync(path.join(dir, name), bytes);
        await page_files(page, [[name, bytes]]);
        const input = `${reader.read} ${name}\n${reader.show}\n`;
        const want = await native_session(input, { cwd: dir });
        const got = await page_session(page, input);
        assert.equal(first_difference(want.output, got.output), null, file);
        assert.equal(got.status, want.status, file);
      }
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
}

// The file panes: typing checks the file after the debounce; the messages are
// the console's, the failing line is marked in the gutter.
const CHECKS = [
  { kind: 'conf', text: 'call N0CALL\nssid 7\n\nbogus 1\n', bad: 4, says: 'Error: line 4: ' },
  { kind: 'conf', text: fs.readFileSync(path.join(ROOT, 'examples/sample.conf'), 'latin1'), bad: 0, says: 'Configuration items processed' },
  { kind: 'rules', text: 'pass dest APRS\nbogus\n', bad: 2, says: 'station.rules[2]: ' },
  { kind: 'rules', text: fs.readFileSync(path.join(ROOT, 'examples/sample.rules'), 'latin1'), bad: 0, says: 'Rules processed' },
];

test('file panes check as the operator types and mark the failing line', async () => {
  for (const c of CHECKS) {
    const seen = await page.evaluate(async ({ kind, text }) => {
      const before = document.body.dataset[`${kind}Checked`] || '0';
      const area = document.getElementById(`${kind}-text`);
      area.value = text;
      area.dispatchEvent(new Event('input'));
      while ((document.body.dataset[`${kind}Checked`] || '0') === before) await new Promise((r) => setTimeout(r, 10));
      const bad = document.querySelector(`#${kind}-gutter .bad`);
      return {
        messages: document.getElementById(`${kind}-messages`).textContent,
        result: document.getElementById(`${kind}-result`).textContent,
        bad: bad ? Number(bad.textContent) : 0,
      };
    }, c);
    assert.ok(seen.messages.includes(c.says), `${c.kind}: ${JSON.stringify(seen.messages)}`);
    assert.equal(seen.bad, c.bad, `${c.kind}: marked line`);
    assert.ok(seen.result.length > 0, `${c.kind}: the display is shown`);
    assert.ok(!/\x07/.test(seen.messages), 'bells are shown, not rung');
  }
  assert.deepEqual(page.problems, []);
});
