// The sessions of the console program's transcript tests, replayed through
// tovhost.session: the same standard input gives the same output and exit
// status in the page as in the program. The transcript test binary leaves
// each session's input in a folder (TOVHOST_SESSION_LOG); the files those
// sessions read (in the build's scratch folder) are put into the page's
// folder under the same absolute names.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { NATIVE_BUILD, open_browser, open_page, page_files, page_session, native_session, files_under, first_difference } from './harness.mjs';

const TRANSCRIPT_TESTS = path.join(NATIVE_BUILD, 'tests/shell/test_shell_transcript');
const SCRATCH = path.join(NATIVE_BUILD, 'scratch');

let browser;
let page;
let sessions = [];
let log_dir;

before(async () => {
  log_dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tovhost-sessions-'));
  const run = spawnSync(TRANSCRIPT_TESTS, ['--gtest_brief=1'], {
    env: { ...process.env, TOVHOST_SESSION_LOG: log_dir },
    encoding: 'utf8',
  });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  sessions = fs.readdirSync(log_dir).sort().map((n) => [n, fs.readFileSync(path.join(log_dir, n))]);
  browser = await open_browser();
  page = await open_page(browser);
  // The scratch folders the sessions name (the transcript tests' own).
  const dirs = new Set();
  for (const [, input] of sessions) {
    for (const m of input.toString('latin1').matchAll(new RegExp(SCRATCH.replace(/[.*+?^${}()|[\]\\]/g, '\\$&') + '/([^/\\s,]+)/', 'g'))) dirs.add(m[1]);
  }
  for (const dir of dirs) {
    const full = path.join(SCRATCH, dir);
    if (fs.existsSync(full)) await page_files(page, files_under(full).map(([n, b]) => [path.join(full, n), b]));
  }
});
after(async () => {
  await browser.close();
  fs.rmSync(log_dir, { recursive: true, force: true });
});

// A session that reads what a page cannot hold (a directory, a named pipe,
// a device such as /dev/zero) is left out.
function reads_special_file(input) {
  for (const m of input.toString('latin1').matchAll(/(?:^|[ ,\t])(\/[^\n,\t]+)/gm)) {
    try {
      if (!fs.statSync(m[1]).isFile()) return true;
    } catch (e) {
      /* not there: the page has not got it either */
    }
  }
  return false;
}

test('every transcript session gives the same bytes and status in the page', async (t) => {
  const replayed = sessions.filter(([, input]) => !reads_special_file(input));
  assert.ok(replayed.length >= 20, `sessions replayed: ${replayed.length} of ${sessions.length}`);
  t.diagnostic(`${replayed.length} of ${sessions.length} sessions replayed (the others read special files)`);
  for (const [name, input] of replayed) {
    const want = await native_session(input);
    const got = await page_session(page, input);
    assert.equal(first_difference(want.output, got.output), null, `${name}: ${JSON.stringify(input.toString('latin1').slice(0, 80))}`);
    assert.equal(got.status, want.status, name);
  }
  assert.deepEqual(page.problems, []);
});

// Options reach the program as on the command line.
test('options of a scripted run work in the page', async () => {
  for (const args of [['-V'], ['--help'], ['-e', '-c', 'configure missing.conf', '-c', 'help'], ['-c', 'angles', '-c', 'x']]) {
    const want = await native_session('', { args });
    const got = await page_session(page, '', args);
    assert.equal(first_difference(want.output, got.output), null, args.join(' '));
    assert.equal(got.status, want.status, args.join(' '));
  }
});
