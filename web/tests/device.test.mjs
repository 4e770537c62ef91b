// The page against the simulated device behind a fake Web Serial port, each
// case set against the console program against the same device (tovsim on a
// pseudo-terminal) with the same files: the same messages and the same
// images received by the device. Then the faults: NAK, silence, a vanishing
// device, a late answer, and a device that comes back as a new port after
// the firmware update's reset.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { ROOT, open_browser, open_device_page, page_command, page_files, device_files, native_with_sim } from './harness.mjs';

const CONF = fs.readFileSync(path.join(ROOT, 'examples/sample.conf'));
const RULES = fs.readFileSync(path.join(ROOT, 'examples/sample.rules'));
const HEX = fs.readFileSync(path.join(ROOT, 'examples/sample.hex'));
const FILES = [['s.conf', CONF], ['s.rules', RULES], ['fw.hex', HEX]];
const native_path = (name) => path.join(ROOT, { 's.conf': 'examples/sample.conf', 's.rules': 'examples/sample.rules', 'fw.hex': 'examples/sample.hex' }[name]);

let browser;
before(async () => {
  browser = await open_browser();
});
after(async () => {
  await browser.close();
});

// Runs `lines` in the page's console (the port is COM1) and in the console
// program against tovsim (the port is its pseudo-terminal; files by their
// paths). `answers` answer the questions on both sides.
async function both(lines, { model = [], sim = ['--quick'], answers = [], fake = {} } = {}) {
  const page = await open_device_page(browser, { options: [['quick', 1], ...model], ...fake });
  await page_files(page, FILES);
  const outputs = [];
  for (const line of lines) {
    const r = await page_command(page, line.replace('PORT', '1'), answers);
    outputs.push(r);
  }
  const native = await native_with_sim(
    (pty) => lines.map((l) => l.replace('PORT', pty).replace(/\b(s\.conf|s\.rules|fw\.hex)\b/, native_path)).join('\n') + '\n' + answers.map((a) => a + '\n').join(''),
    { sim_args: sim },
  );
  const files = await device_files(page);
  const log = await page.evaluate(() => window.fake_serial.log);
  const events = await page.evaluate(() => window.fake_serial.events);
  return { page, outputs, native, files, log, events };
}

// The native session's output split at its prompts: the output of each line
// (the banner and the last prompt left out).
function native_outputs(native) {
  return native.output.toString('latin1').split('Command> ').slice(1, -1);
}

const DEVICE_CASES = [
  { name: 'connect and download', lines: ['configure s.conf', 'rules s.rules', 'connect PORT', 'download'], images: ['conf.bin', 'rules.bin'] },
  { name: 'baud change to 57600, then download', lines: ['configure s.conf', 'rules s.rules', 'connect PORT', 'baud 57600', 'download'], images: ['conf.bin', 'rules.bin'], rate: 57600 },
  { name: 'serial test', lines: ['connect PORT 38400', 'serialtest 25', 'disconnect'], images: [], rate: 38400 },
  { name: 'download with a NAK answered by a resend', lines: ['configure s.conf', 'rules s.rules', 'connect PORT', 'download'], images: ['conf.bin', 'rules.bin'], model: [['nak', 3, 1]], sim: ['--quick', '--nak', '3:1'] },
  { name: 'firmware update', lines: ['firmware PORT fw.hex'], images: ['firmware.hex'], answers: ['y', ''] },
];

for (const c of DEVICE_CASES) {
  test(`${c.name}: the same messages and images as the console program`, async () => {
    const r = await both(c.lines, c);
    const want = native_outputs(r.native);
    assert.equal(want.length, c.lines.length);
    c.lines.forEach((line, i) => {
      assert.equal(r.outputs[i].output, want[i], line);
    });
    for (const image of c.images) {
      assert.ok(r.native.files[image], `tovsim kept ${image}`);
      assert.ok(r.files[image], `the page's device kept ${image}`);
      assert.equal(Buffer.compare(r.files[image], r.native.files[image]), 0, image);
    }
    if (c.rate) assert.ok(r.events.some(([e, rate]) => e === 'open' && rate === c.rate), JSON.stringify(r.events));
    const signals = await r.page.evaluate(() => window.fake_serial.signals);
    assert.deepEqual(signals, { dataTerminalReady: false, requestToSend: false });
    assert.deepEqual(r.page.problems, []);
    await r.page.close();
  });
}

test('a silent device: connect fails as in the console program', async () => {
  const r = await both(['connect PORT'], { model: [['silent', 1]], sim: ['--quick', '--silent'] });
  assert.equal(r.outputs[0].output, native_outputs(r.native)[0]);
  assert.equal(r.outputs[0].status, 1);
  await r.page.close();
});

test('a device that vanishes mid-download: the command fails, the console goes on', async () => {
  const page = await open_device_page(browser, { options: [['quick', 1], ['vanish_after_packets', 3]] });
  await page_files(page, FILES);
  for (const line of ['configure s.conf', 'rules s.rules', 'connect 1']) assert.equal((await page_command(page, line)).status, 0);
  const r = await page_command(page, 'download');
  assert.equal(r.status, 1);
  assert.match(r.output, /\x07\x07Error: Download failed: /);
  assert.doesNotMatch(r.output, /Downloading Rules succeeded/);
  const log = new TextDecoder().decode(new Uint8Array(await page.evaluate(() => Array.from(window.tovhost.log()))));
  assert.match(log, /Error: could not read on COM port COM1: The device has been lost\.?\nReturn code 26, system error code 5\n/);
  assert.equal((await page_command(page, 'connect 1')).status, 1, 'the device is gone');
  assert.equal((await page_command(page, 'help')).status, 0, 'the console goes on');
  // The browser fails the look for the port again with an exception: the
  // command ends with its text instead of leaving the program suspended.
  await page.evaluate(() => {
    navigator.serial.getPorts = async () => {
      throw new DOMException('Access to the ports was withdrawn.', 'SecurityError');
    };
  });
  const again = await page_command(page, 'connect 1');
  assert.equal(again.status, 1);
  assert.match(again.output, /Access to the ports was withdrawn\./);
  assert.equal((await page_command(page, 'help')).status, 0, 'the console goes on');
  await page.close();
});

test('a late answer: the update never reports success on what the device did not take', async () => {
  const clean = await native_with_sim((pty) => `firmware ${pty} ${native_path('fw.hex')}\ny\n\n`);
  // The answer to the 10th record line comes 3 s late, after the read of
  // the answer has given up.
  const page = await open_device_page(browser, { options: [['quick', 1], ['fw_late', 10, 3000]] });
  await page_files(page, FILES);
  const r = await page_command(page, 'firmware 1 fw.hex', ['y', '']);
  const files = await device_files(page);
  const took = files['firmware.hex'] && Buffer.compare(files['firmware.hex'], clean.files['firmware.hex']) === 0;
  if (/Firmware update succeeded!/.test(r.output)) assert.ok(took, 'success only with every record line received');
  else assert.equal(r.status, 1);
  await page.close();
});

test('the adapter comes back as a new port after the reset: the update goes on', async () => {
  const page = await open_device_page(browser, { options: [['quick', 1]], reappear_as_new: true });
  await page_files(page, FILES);
  const r = await page_command(page, 'firmware 1 fw.hex', ['y', '']);
  assert.match(r.output, /Firmware update succeeded!/);
  assert.equal(r.status, 0);
  const ports = await page.evaluate(() => window.tovhost.ports());
  assert.equal(ports.length, 1, 'the new port took the place of the old one (still COM1)');
  await page.close();
});
