// The page itself: opened from disk and from a web server, under its content
// security policy, within its size budget; and in a browser without Web
// Serial, where it says so and the file checks still work.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import zlib from 'node:zlib';
import { PAGE, SITE, open_browser, open_page, page_session, native_session, first_difference } from './harness.mjs';

const SIZE_BUDGET = 150 * 1024;  // gzipped
const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

let browser;
before(async () => {
  browser = await open_browser();
});
after(async () => {
  await browser.close();
});

function serve(dir) {
  const server = http.createServer((req, res) => {
    const name = decodeURIComponent(new URL(req.url, 'http://x').pathname).replace(/^\/$/, '/index.html');
    const file = path.join(dir, path.normalize(name));
    if (!file.startsWith(dir) || !fs.existsSync(file)) {
      res.writeHead(404);
      res.end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
    res.end(fs.readFileSync(file));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

test('the single file fits its size budget', () => {
  const size = zlib.gzipSync(fs.readFileSync(PAGE), { level: 9 }).length;
  assert.ok(size <= SIZE_BUDGET, `tovhost.html is ${size} bytes gzipped`);
});

test('the page opened from disk and the site from a server both run the program', async () => {
  const server = await serve(SITE);
  try {
    const want = await native_session('help\nangles\n');
    for (const url of ['file://' + PAGE, `http://127.0.0.1:${server.address().port}/`]) {
      const page = await open_page(browser, { url });
      const got = await page_session(page, 'help\nangles\n');
      assert.equal(first_difference(want.output, got.output), null, url);
      assert.equal(got.status, 1, url);
      assert.deepEqual(page.problems, [], url);  // no policy refusals, no errors
      await page.close();
    }
  } finally {
    server.close();
  }
});

test('without Web Serial the page says so, and files are still checked', async () => {
  const page = await open_page(browser, { init: ['delete Navigator.prototype.serial;'] });
  const seen = await page.evaluate(() => ({
    notice: !document.getElementById('no-serial').hidden,
    connect: document.getElementById('connect').disabled,
  }));
  assert.deepEqual(seen, { notice: true, connect: true });
  const r = await page_session(page, 'connect 1\n');
  assert.ok(r.output.toString('latin1').includes('\x07\x07Error: cannot open COM port COM1: This browser has no Web Serial\n'));
  const conf = await page.evaluate(async () => {
    const area = document.getElementById('conf-text');
    area.value = 'call N0CALL\nbogus\n';
    return (await window.tovhost.check('conf')).line;
  });
  assert.equal(conf, 2);
  await page.close();
});
