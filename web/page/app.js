// The page: file checks as the operator types, the console, the device
// buttons, and the scripting interface (window.tovhost).

import { core_source, run_session, write_page_file } from './core.js';
import { make_serial } from './serial.js';
import { make_console } from './console.js';
import { make_screen } from './screen.js';
import { check_file } from './checks.js';

const $ = (id) => document.getElementById(id);
const CHECK_DELAY_MS = 300;  // the debounce of the file checks
const LINUX_GROUP_HINT =
  'On Linux a serial port belongs to the group dialout. Join it with ' +
  '"sudo usermod -aG dialout $USER", log out and in again, then connect once more.';

// ---------------------------------------------------------------- the core

async function wasm_bytes() {
  const inline = document.getElementById('tovhost-wasm');
  if (inline) {
    const text = atob(inline.textContent.trim());
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return bytes;
  }
  const r = await fetch('tovhost_core.wasm');
  if (!r.ok) throw new Error('tovhost_core.wasm: ' + r.status);
  return r.arrayBuffer();
}
core_source(wasm_bytes);

// ---------------------------------------------------------------- ports

const notice = (text) => {
  $('notice').textContent = text;
  $('notice').hidden = !text;
};

const serial = make_serial(navigator.serial, {
  changed: () => show_ports(),
  port_again: (name) => ask_port_again(name),
});

function show_ports() {
  const sel = $('port');
  const keep = sel.value;
  sel.textContent = '';
  serial.ports().forEach((text, i) => {
    sel.appendChild(new Option(`COM${i + 1}  ${text}`, String(i + 1)));
  });
  if (keep && Number(keep) <= sel.options.length) sel.value = keep;
}

// Only an operator can choose a port: scripted commands and sessions go
// without.
function ask_port_again(name) {
  const asks = con.asks();
  if (asks !== 'dialog' && asks !== 'operator') return Promise.resolve(null);
  return new Promise((resolve) => {
    const dlg = $('port-again');
    $('port-again-text').textContent =
      `The device on ${name} went away and has not come back as the same port. ` +
      'If it came back as a new one, choose it again.';
    let chosen = null;
    $('port-again-choose').onclick = async (e) => {
      e.preventDefault();
      try {
        chosen = await navigator.serial.requestPort();
      } catch (err) {
        chosen = null;
      }
      dlg.close();
    };
    dlg.onclose = () => resolve(chosen);
    dlg.showModal();
  });
}

// ---------------------------------------------------------------- console

const screen = make_screen($('console'), { line: (text) => show_progress(text) });
const out = screen.byte_writer('out');
const err = screen.byte_writer('err');
const answers = [];
let firmware_running = false;

function show_progress(text) {
  const m = /TTC +[0-9]+s +([0-9.]+)%/.exec(text);
  const bar = $('progress');
  if (m && firmware_running) {
    bar.hidden = false;
    bar.value = Number(m[1]);
  }
}

// What the program waits for: an Enter key, or a yes or no.
function wants_enter(text) {
  const tail = text.slice(text.lastIndexOf('\n\n') + 1);
  return /Type the Enter key/.test(tail);
}

function ask_dialog(text) {
  return new Promise((resolve) => {
    const dlg = $('question');
    const shown = text.slice(Math.max(0, text.lastIndexOf('\n\n', text.length - 3))).replace(/\x07/g, '').trim();
    $('question-text').textContent = shown;
    const enter = wants_enter(text);
    $('question-yes').hidden = enter;
    $('question-no').hidden = enter;
    $('question-go').hidden = !enter;
    dlg.onclose = () => {
      const v = dlg.returnValue;
      resolve(v === 'y' ? 'y' : v === 'enter' ? '' : 'n');
    };
    dlg.returnValue = '';
    dlg.showModal();
  });
}

const con = make_console(serial, {
  out,
  err,
  echo: (bytes) => screen.write(bytes, 'in'),
  question(text, asks) {
    if (asks === 'script') {
      if (answers.length > 0) return String(answers.shift());
      return wants_enter(text) ? '' : 'y';
    }
    if (asks === 'dialog') return ask_dialog(text);
    $('console-input').focus();
    return null;
  },
  ended(status) {
    screen.write(new TextEncoder().encode(`\n[tovhost ended with status ${status}; started again]\n`), 'err');
    con.start();
  },
});

// ---------------------------------------------------------------- files

const files = {
  conf: { timer: 0, seq: 0 },
  rules: { timer: 0, seq: 0 },
};

function file_name(kind) {
  return $(`${kind}-name`).value.trim() || (kind === 'conf' ? 'station.conf' : 'station.rules');
}

function draw_gutter(kind, bad) {
  const lines = $(`${kind}-text`).value.split('\n').length;
  const g = $(`${kind}-gutter`);
  g.textContent = '';
  for (let i = 1; i <= lines; i++) {
    const s = document.createElement('span');
    s.textContent = String(i);
    if (i === bad) s.className = 'bad';
    g.appendChild(s);
    g.appendChild(document.createTextNode('\n'));
  }
  g.scrollTop = $(`${kind}-text`).scrollTop;
}

const show_bells = (text) => text.replace(/\x07/g, '^G');

async function check(kind) {
  const f = files[kind];
  const seq = ++f.seq;
  const name = file_name(kind);
  const text = $(`${kind}-text`).value;
  write_page_file(name, text, [con.run()]);
  if (text === '') {
    $(`${kind}-messages`).textContent = '';
    $(`${kind}-result`).textContent = '';
    draw_gutter(kind, 0);
    return null;
  }
  const r = await check_file(kind, name, serial);
  if (seq !== f.seq) return r;  // a newer check is under way
  const m = $(`${kind}-messages`);
  m.textContent = show_bells(r.messages);
  m.className = 'messages ' + (r.ok ? 'ok' : 'bad');
  $(`${kind}-result`).textContent = show_bells(r.display);
  draw_gutter(kind, r.line);
  document.body.dataset[`${kind}Checked`] = String(seq);
  return r;
}

function check_soon(kind) {
  clearTimeout(files[kind].timer);
  files[kind].timer = setTimeout(() => check(kind), CHECK_DELAY_MS);
}

for (const kind of ['conf', 'rules']) {
  $(`${kind}-text`).addEventListener('input', () => check_soon(kind));
  $(`${kind}-name`).addEventListener('change', () => check_soon(kind));
  $(`${kind}-text`).addEventListener('scroll', () => {
    $(`${kind}-gutter`).scrollTop = $(`${kind}-text`).scrollTop;
  });
  $(`${kind}-open`).addEventListener('change', async (e) => {
    const file = e.target.files[0];
    if (!file) return;
    $(`${kind}-name`).value = file.name;
    $(`${kind}-text`).value = await file.text();
    e.target.value = '';
    check(kind);
  });
  draw_gutter(kind, 0);
}

// ---------------------------------------------------------------- device buttons

const port_word = () => $('port').value || '1';

function command(line, asks = 'dialog') {
  return con.run_command(line, asks);
}

async function connect_command(line) {
  const r = await command(line);
  const text = new TextDecoder().decode(r.output);
  if (/cannot open COM port/.test(text) && /Linux/.test(navigator.userAgent) && serial.refused()) {
    notice(LINUX_GROUP_HINT);
  }
  return r;
}

$('choose').addEventListener('click', async () => {
  try {
    const i = await serial.choose();
    if (i >= 0) $('port').value = String(i + 1);
  } catch (e) {
    /* the operator closed the chooser */
  }
});
$('connect').addEventListener('click', () => connect_command(`connect ${port_word()} ${$('baud').value}`));
$('disconnect').addEventListener('click', () => command('disconnect'));
$('set-baud').addEventListener('click', () => command(`baud ${$('baud').value}`));
$('serialtest').addEventListener('click', () => command(`serialtest ${$('iterations').value}`));
$('download').addEventListener('click', async () => {
  for (const kind of ['conf', 'rules']) {
    if ($(`${kind}-text`).value === '') continue;
    write_page_file(file_name(kind), $(`${kind}-text`).value, [con.run()]);
    await command(`${kind === 'conf' ? 'configure' : 'rules'} ${file_name(kind)}`);
  }
  await command('download');
});
$('firmware').addEventListener('change', async (e) => {
  const file = e.target.files[0];
  e.target.value = '';
  if (!file) return;
  // Read once: the program checks and sends these very bytes.
  const name = /^[^,\t]+$/.test(file.name) && !file.name.startsWith(' ') ? file.name : 'firmware.hex';
  write_page_file(name, new Uint8Array(await file.arrayBuffer()), [con.run()]);
  firmware_running = true;
  $('progress').value = 0;
  try {
    await connect_command(`firmware ${port_word()} ${name}`);
  } finally {
    firmware_running = false;
    $('progress').hidden = true;
  }
});
window.addEventListener('beforeunload', (e) => {
  if (!firmware_running) return;
  e.preventDefault();
  e.returnValue = '';
});

// ---------------------------------------------------------------- console input and log

const history = [];
let history_at = 0;
$('console-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const input = $('console-input');
  const line = input.value;
  input.value = '';
  if (line !== '') history.push(line);
  history_at = history.length;
  con.type(line);
});
$('console-input').addEventListener('keydown', (e) => {
  const input = e.target;
  if (e.key === 'ArrowUp' && history_at > 0) input.value = history[--history_at];
  else if (e.key === 'ArrowDown' && history_at < history.length) input.value = history[++history_at] ?? '';
  else return;
  e.preventDefault();
});
const log_text = () => new TextDecoder().decode(screen.log());
$('copy-log').addEventListener('click', () => navigator.clipboard.writeText(log_text()));
$('save-log').addEventListener('click', () => {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(new Blob([screen.log()], { type: 'text/plain' }));
  a.download = 'tovhost-log.txt';
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 1000);
});
$('clear').addEventListener('click', () => screen.clear());

// ---------------------------------------------------------------- start

if (!serial.available) {
  $('no-serial').hidden = false;
  for (const id of ['choose', 'connect', 'disconnect', 'set-baud', 'download', 'serialtest']) $(id).disabled = true;
  $('firmware').disabled = true;
}

let session_queue = Promise.resolve();

const ready = (async () => {
  await serial.load();
  await con.start();
})();

// The scripting interface (see the guide, "Scripting the page").
window.tovhost = {
  ready,
  answers,
  writeFile(name, data) {
    write_page_file(String(name), data, [con.run()]);
  },
  session(input, args = []) {
    const job = session_queue.then(() => run_session(input, serial, args));
    session_queue = job.catch(() => {});
    return job;
  },
  command(line) {
    return command(String(line), 'script');
  },
  check: (kind) => check(kind),
  ports: () => serial.ports(),
  choosePort: () => serial.choose(),
  log: () => screen.log(),
};
