// Shared helpers of the page's tests: headless Chromium (the system's, no
// download) with a fresh profile, the built page, and the native program to
// compare with.
//
// Environment: TOVHOST_WEB_BUILD (the Emscripten build tree, default
// build-web), TOVHOST_NATIVE_BUILD (the native build tree, default build),
// CHROMIUM (default /usr/bin/chromium).
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const WEB_BUILD = path.resolve(ROOT, process.env.TOVHOST_WEB_BUILD || 'build-web');
export const NATIVE_BUILD = path.resolve(ROOT, process.env.TOVHOST_NATIVE_BUILD || 'build');
export const PAGE = path.join(WEB_BUILD, 'web/tovhost.html');
export const SITE = path.join(WEB_BUILD, 'web/site');
export const TOVHOST = path.join(NATIVE_BUILD, 'tovhost');
export const PROMPT = 'Command> ';

const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

// A browser with an empty profile of its own; close() removes the profile.
export async function open_browser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tovhost-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: FLAGS,
  });
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Opens the page (from disk unless `url` says otherwise) and waits until it is
// ready. `init` scripts run before the page's own (a fake navigator.serial).
// The page's errors and content-security-policy refusals are collected in
// page.problems.
export async function open_page(browser, { url = 'file://' + PAGE, init = [] } = {}) {
  const page = await browser.context.newPage();
  page.problems = [];
  page.on('pageerror', (e) => page.problems.push('page error: ' + e.message));
  page.on('console', (m) => {
    if (m.type() === 'error') page.problems.push('console: ' + m.text());
  });
  for (const script of init) await page.addInitScript(script);
  await page.goto(url);
  await page.evaluate(() => window.tovhost.ready);
  return page;
}

// Runs a session in the page: {output (Buffer), errors (Buffer), status}.
export async function page_session(page, input, args = []) {
  const r = await page.evaluate(
    async ([bytes, a]) => {
      const s = await window.tovhost.session(new Uint8Array(bytes), a);
      return { output: Array.from(s.output), errors: Array.from(s.errors), status: s.status };
    },
    [Array.from(Buffer.from(input)), args],
  );
  return { output: Buffer.from(r.output), errors: Buffer.from(r.errors), status: r.status };
}

// Puts files into the page's folder: [[name, Buffer], ...].
export async function page_files(page, files) {
  await page.evaluate((list) => {
    for (const [name, bytes] of list) window.tovhost.writeFile(name, new Uint8Array(bytes));
  }, files.map(([n, b]) => [n, Array.from(b)]));
}

// Runs the native program on `input` in `cwd`: {output, errors, status}.
export function native_session(input, { cwd = ROOT, args = [] } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(TOVHOST, args, { cwd, stdio: ['pipe', 'pipe', 'pipe'] });
    const out = [];
    const err = [];
    child.stdout.on('data', (d) => out.push(d));
    child.stderr.on('data', (d) => err.push(d));
    child.on('error', reject);
    child.on('close', (status) => resolve({ output: Buffer.concat(out), errors: Buffer.concat(err), status }));
    child.stdin.on('error', () => {});
    child.stdin.end(Buffer.from(input));
  });
}

// The files of a folder, recursively: [[path relative to it, Buffer], ...]
// (regular files only).
export function files_under(dir, prefix = '') {
  const found = [];
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const full = path.join(dir, entry.name);
    if (entry.isDirectory()) found.push(...files_under(full, path.join(prefix, entry.name)));
    else if (entry.isFile()) found.push([path.join(prefix, entry.name), fs.readFileSync(full)]);
  }
  return found;
}

// A readable difference between two outputs: the first place they part.
export function first_difference(a, b) {
  const n = Math.min(a.length, b.length);
  let i = 0;
  while (i < n && a[i] === b[i]) i++;
  if (i === n && a.length === b.length) return null;
  const show = (x) => JSON.stringify(x.subarray(Math.max(0, i - 40), i + 40).toString('latin1'));
  return `outputs part at byte ${i} (lengths ${a.length} and ${b.length}):\n  native ${show(a)}\n  page   ${show(b)}`;
}

export const TOVSIM = path.join(NATIVE_BUILD, 'tovsim');
export const MODEL = path.join(WEB_BUILD, 'web/tests/tovsim_model');
const FAKE_SERIAL = path.join(path.dirname(fileURLToPath(import.meta.url)), 'fake_serial.js');

// The page with the fake Web Serial port whose far end is the simulated
// device; `config` is handed to fake_serial.setup before the page starts.
export async function open_device_page(browser, config = {}) {
  const init = [
    fs.readFileSync(MODEL + '.js', 'utf8') + '\nwindow.createTovsimModel = createTovsimModel;',
    `window.fake_serial_wasm = "${fs.readFileSync(MODEL + '.wasm').toString('base64')}";`,
    fs.readFileSync(FAKE_SERIAL, 'utf8'),
    `window.fake_serial.setup(${JSON.stringify(config)});`,
  ];
  const page = await open_page(browser, { init });
  await page.evaluate(() => window.tovhost.choosePort());
  return page;
}

// Runs the native program against the simulator on a pseudo-terminal:
// `make_input(pty)` gives its standard input. Resolves to the program's
// {output, errors, status, seconds}, the simulator's kept files (--save-dir)
// and its log.
export async function native_with_sim(make_input, { sim_args = ['--quick'], cwd = ROOT } = {}) {
  const save = fs.mkdtempSync(path.join(os.tmpdir(), 'tovhost-sim-'));
  const sim = spawn(TOVSIM, [...sim_args, '--save-dir', save], { stdio: ['ignore', 'pipe', 'inherit'] });
  let text = '';
  const pty = await new Promise((resolve, reject) => {
    sim.stdout.on('data', (d) => {
      text += d.toString();
      const nl = text.indexOf('\n');
      if (nl >= 0) resolve(text.slice(0, nl));
    });
    sim.on('error', reject);
    setTimeout(() => reject(new Error('tovsim did not start')), 10000);
  });
  const t0 = performance.now();
  const run = await native_session(make_input(pty), { cwd });
  run.seconds = (performance.now() - t0) / 1000;
  sim.kill('SIGTERM');
  await new Promise((resolve) => sim.on('close', resolve));
  const files = {};
  for (const name of fs.readdirSync(save)) files[name] = fs.readFileSync(path.join(save, name));
  fs.rmSync(save, { recursive: true, force: true });
  return { ...run, files, log: text.slice(text.indexOf('\n') + 1), pty };
}

// What the fake port's device kept, as Buffers.
export async function device_files(page) {
  const files = await page.evaluate(() =>
    Object.fromEntries(Object.entries(window.fake_serial.files).map(([k, v]) => [k, Array.from(v)])));
  return Object.fromEntries(Object.entries(files).map(([k, v]) => [k, Buffer.from(v)]));
}

// A command in the page's console: {output (string, latin1), status}.
export async function page_command(page, line, answers = []) {
  const r = await page.evaluate(
    async ([l, a]) => {
      window.tovhost.answers.push(...a);
      const c = await window.tovhost.command(l);
      return { output: Array.from(c.output), status: c.status };
    },
    [line, answers],
  );
  return { output: Buffer.from(r.output).toString('latin1'), status: r.status };
}
