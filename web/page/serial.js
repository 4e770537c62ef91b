// The page's serial ports, through the Web Serial API, in the terms of the
// program's platform layer (src/serial/platform_web.cpp calls these as
// Module.tovSerial). "COMn" is the n-th port of the page's list: the ports
// the operator allowed this page to use, in the order they were allowed.
//
// Received bytes are pumped from the port into a buffer as they come; a read
// of the program takes from that buffer and, when it is short, waits for
// more or for its deadline, whichever is first. The pending read of the port
// is never cancelled (that would lose the bytes it holds) while the port is
// open.

// The steps of setting up the line (src/serial/platform.h).
const LINE_DONE = 0;
const LINE_SET = 9;

// Error numbers as the console program shows them (errno values).
export const ERR = { NO_PORT: 2, IO: 5, ACCESS: 13, BUSY: 16, INVALID: 22, UNSUPPORTED: 95, TIMED_OUT: 110 };

const TEXTS = {
  0: 'Success',
  [ERR.NO_PORT]: 'No such port',
  [ERR.IO]: 'The device has been lost',
  [ERR.ACCESS]: 'Permission denied',
  [ERR.BUSY]: 'The port is in use',
  [ERR.INVALID]: 'Invalid argument',
  [ERR.UNSUPPORTED]: 'This browser has no Web Serial',
  [ERR.TIMED_OUT]: 'The write did not finish in time',
};

// Read errors after which the port goes on (a new reader is taken).
const PASSING_READ_ERRORS = new Set(['BreakError', 'FramingError', 'ParityError', 'BufferOverrunError']);

const MAX_PORTS = 20;
// How long a port that went away (a device resetting itself) is waited for.
const REAPPEAR_MS = 5000;
const REAPPEAR_POLL_MS = 100;
const CLOSE_WAIT_MS = 1000;

function timer(ms) {
  let id;
  const p = new Promise((resolve) => {
    id = setTimeout(resolve, Math.max(0, ms), 'timeout');
  });
  p.cancel = () => clearTimeout(id);
  return p;
}

function port_text(port) {
  const info = port.getInfo ? port.getInfo() : {};
  if (info.usbVendorId === undefined) return 'serial port';
  const hex = (n) => n.toString(16).padStart(4, '0');
  return `USB ${hex(info.usbVendorId)}:${hex(info.usbProductId)}`;
}

function same_device(a, b) {
  const x = a.getInfo ? a.getInfo() : {};
  const y = b.getInfo ? b.getInfo() : {};
  return x.usbVendorId !== undefined && x.usbVendorId === y.usbVendorId && x.usbProductId === y.usbProductId;
}

// `serial`: navigator.serial, or undefined where the browser has none.
// `hooks.port_again(name)`: resolves to a port the operator chose again after
// the one of `name` went away and did not come back, or to null.
// `hooks.changed()`: the list of ports or their use changed.
export function make_serial(serial, hooks = {}) {
  const entries = [];   // {port, gone}
  const handles = new Map();
  let next_handle = 1;
  let last = { code: 0, text: '' };
  let refused = false;  // the last open was refused by the system (not by the page)

  const changed = () => {
    if (hooks.changed) hooks.changed();
  };

  function fail(code, text) {
    last = { code, text: text || TEXTS[code] || 'Unknown error' };
    return -1;
  }

  function add(port) {
    const old = entries.find((e) => e.port === port);
    if (old) {
      old.gone = false;
      return entries.indexOf(old);
    }
    // A device that came back as a new port takes the place it had.
    const back = entries.find((e) => e.gone && same_device(e.port, port));
    if (back) {
      back.port = port;
      back.gone = false;
      return entries.indexOf(back);
    }
    if (entries.length >= MAX_PORTS) return -1;
    entries.push({ port, gone: false });
    return entries.length - 1;
  }

  if (serial) {
    serial.addEventListener('connect', (e) => {
      add(e.target);
      changed();
    });
    serial.addEventListener('disconnect', (e) => {
      const entry = entries.find((x) => x.port === e.target);
      if (entry) entry.gone = true;
      changed();
    });
  }

  function entry_of(name) {
    const m = /^com([0-9]+)$/i.exec(name);
    if (!m) return null;
    const n = Number(m[1]);
    return n >= 1 && n <= entries.length ? entries[n - 1] : null;
  }

  // Waits for a port that went away to come back (as itself or as a new
  // port of the same device); then asks the operator.
  async function reappear(entry, name) {
    const until = performance.now() + REAPPEAR_MS;
    while (entry.gone && performance.now() < until) {
      for (const p of await serial.getPorts()) add(p);
      if (!entry.gone) break;
      await timer(REAPPEAR_POLL_MS);
    }
    if (entry.gone && hooks.port_again) {
      const port = await hooks.port_again(name);
      if (port) {
        entry.port = port;
        entry.gone = false;
      }
    }
    changed();
    return !entry.gone;
  }

  function in_use(entry) {
    for (const s of handles.values()) if (s.entry === entry) return true;
    return false;
  }

  async function open_at(s, baud) {
    await s.entry.port.open({ baudRate: baud, dataBits: 8, stopBits: 1, parity: 'none', flowControl: 'none', bufferSize: 65536 });
    s.baud = baud;
    s.failed = null;
    s.writer = s.entry.port.writable.getWriter();
    s.last_write = Promise.resolve();
    s.gen += 1;
    pump(s, s.gen);
  }

  function notify(s) {
    const w = s.wakers.splice(0);
    for (const f of w) f();
  }

  // Runs while the port is open at one rate (generation `gen` of `s`).
  async function pump(s, gen) {
    const port = s.entry.port;
    const live = () => s.open && s.gen === gen;
    while (live()) {
      let reader;
      try {
        reader = port.readable.getReader();
      } catch (e) {
        s.failed = { code: ERR.IO, text: e.message };
        break;
      }
      s.reader = reader;
      try {
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          if (value && value.length) {
            s.chunks.push(value);
            s.held += value.length;
            notify(s);
          }
        }
      } catch (e) {
        if (live() && !PASSING_READ_ERRORS.has(e.name)) s.failed = { code: ERR.IO, text: e.message };
      }
      try {
        reader.releaseLock();
      } catch (e) {
        /* already released */
      }
      s.reader = null;
      if (!live() || s.failed || !port.readable) break;
    }
    if (live() && !s.failed) s.failed = { code: ERR.IO, text: TEXTS[ERR.IO] };
    notify(s);
  }

  async function shut(s) {
    s.open = false;
    const { port } = s.entry;
    try {
      if (s.reader) await s.reader.cancel();
    } catch (e) {
      /* the device is gone */
    }
    if (s.writer) {
      try {
        const t = timer(CLOSE_WAIT_MS);
        await Promise.race([s.last_write.catch(() => {}), t]);
        t.cancel();
        s.writer.releaseLock();
      } catch (e) {
        /* the device is gone */
      }
      s.writer = null;
    }
    try {
      await port.close();
    } catch (e) {
      /* closed already, or gone */
    }
  }

  const service = {
    available: !!serial,
    // The page's ports, as the port list shows them.
    ports: () => entries.map((e, i) => `${port_text(e.port)}${e.gone ? ' (gone)' : in_use(e) ? ' (in use)' : ''}`),
    entries: () => entries,
    add(port) {
      const i = add(port);
      changed();
      return i;
    },
    async load() {
      if (!serial) return;
      for (const p of await serial.getPorts()) add(p);
      changed();
    },
    // The operator picks a port in the browser's chooser (needs a click).
    async choose() {
      const port = await serial.requestPort();
      return service.add(port);
    },
    refused: () => refused,
    async open(name) {
      refused = false;
      if (!serial) return fail(ERR.UNSUPPORTED);
      if (name.startsWith('/')) return fail(ERR.NO_PORT, 'A page opens only the ports chosen in it (COM1 is the first)');
      const entry = entry_of(name);
      if (entry === null) {
        return fail(ERR.NO_PORT, entries.length === 0 ? 'No port chosen yet' : `No such port (the page has COM1 to COM${entries.length})`);
      }
      if (in_use(entry)) return fail(ERR.BUSY);
      if (entry.gone && !(await reappear(entry, name))) return fail(ERR.IO, 'The device has gone away');
      const s = { entry, open: true, chunks: [], held: 0, wakers: [], failed: null, baud: 0, gen: 0, reader: null, writer: null };
      // The line is opened at the rate the port had last here (most often the
      // one asked for next); a different rate reopens it.
      const h = next_handle++;
      handles.set(h, s);
      try {
        await open_at(s, entry.baud || 19200);
      } catch (e) {
        handles.delete(h);
        s.open = false;
        refused = true;
        return fail(e.name === 'SecurityError' ? ERR.ACCESS : e.name === 'InvalidStateError' ? ERR.BUSY : ERR.IO, e.message);
      }
      changed();
      return h;
    },
    async configure(h, baud) {
      const s = handles.get(h);
      if (!s) return { step: LINE_SET, value: 0 };
      try {
        if (s.baud !== baud) {
          await shut(s);
          s.open = true;
          s.chunks = [];
          s.held = 0;
          await open_at(s, baud);
        }
        s.entry.baud = baud;
        await s.entry.port.setSignals({ dataTerminalReady: false, requestToSend: false });
      } catch (e) {
        fail(ERR.IO, e.message);
        return { step: LINE_SET, value: 0 };
      }
      return { step: LINE_DONE, value: 0 };
    },
    // Bytes already received, at most `size`; an empty array when none; null
    // when the port failed and nothing is left.
    take(h, size) {
      const s = handles.get(h);
      if (!s) return null;
      if (s.held === 0) {
        if (s.failed) {
          fail(s.failed.code, s.failed.text);
          return null;
        }
        return new Uint8Array(0);
      }
      const n = Math.min(size, s.held);
      const out = new Uint8Array(n);
      let at = 0;
      while (at < n) {
        const c = s.chunks[0];
        const k = Math.min(c.length, n - at);
        out.set(c.subarray(0, k), at);
        at += k;
        if (k === c.length) s.chunks.shift();
        else s.chunks[0] = c.subarray(k);
      }
      s.held -= n;
      return out;
    },
    // Waits until `size` bytes are held or the deadline (performance.now()
    // milliseconds) has passed: 0, or -1 when the port failed.
    async wait(h, size, until) {
      const s = handles.get(h);
      if (!s) return fail(ERR.INVALID);
      for (;;) {
        if (s.held >= size) return 0;
        if (s.failed) return fail(s.failed.code, s.failed.text);
        const left = until - performance.now();
        if (left <= 0) return 0;
        const t = timer(left);
        await Promise.race([new Promise((resolve) => s.wakers.push(resolve)), t]);
        t.cancel();
      }
    },
    // Writes all bytes unless the deadline passes first: the count, or -1.
    async write(h, bytes, until) {
      const s = handles.get(h);
      if (!s || !s.writer) return fail(ERR.INVALID);
      if (s.failed) return fail(s.failed.code, s.failed.text);
      const w = s.writer.write(bytes);
      s.last_write = w;
      const t = timer(until - performance.now());
      let r;
      try {
        r = await Promise.race([w.then(() => 'written'), t]);
      } catch (e) {
        s.failed = { code: ERR.IO, text: e.message };
        return fail(ERR.IO, e.message);
      } finally {
        t.cancel();
      }
      if (r !== 'written') return fail(ERR.TIMED_OUT);
      return bytes.length;
    },
    // Waits until what was written has been handed to the port: 0, or -1.
    async drain(h, until) {
      const s = handles.get(h);
      if (!s || !s.writer) return fail(ERR.INVALID);
      const t = timer(until - performance.now());
      try {
        const r = await Promise.race([Promise.all([s.last_write, s.writer.ready]).then(() => 'drained'), t]);
        return r === 'drained' ? 0 : fail(ERR.TIMED_OUT, 'The output did not drain in time');
      } catch (e) {
        return fail(ERR.IO, e.message);
      } finally {
        t.cancel();
      }
    },
    // Drops what was received and not read. Bytes handed to the browser for
    // sending cannot be taken back.
    purge(h) {
      const s = handles.get(h);
      if (!s) return;
      s.chunks = [];
      s.held = 0;
    },
    async close(h) {
      const s = handles.get(h);
      if (!s) return;
      handles.delete(h);
      await shut(s);
      changed();
    },
    // An exception out of one of the calls above: the call failed with its text.
    caught: (e) => fail(ERR.IO, (e && e.message) || String(e)),
    lastError: () => last.code,
    errorText: (code) => (code === last.code ? last.text : TEXTS[code] || `Error ${code}`),
  };
  return service;
}
