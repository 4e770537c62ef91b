// A fake navigator.serial for the page's tests, installed before the page's
// own scripts. Its one port (a USB adapter, 0403:6001) leads to the simulated
// device (sim/model compiled to WebAssembly, createTovsimModel), which answers
// on the page's clock. The test steers it through window.fake_serial:
//
//   fake_serial.setup({options, reappear_as_new})
//       options: [[key, a, b], ...] for the device (model_web.cpp's keys);
//       reappear_as_new: after the firmware update's reset the adapter comes
//       back as a new port object (as a USB device may).
//   fake_serial.files   what the device kept: {'conf.bin': Uint8Array, ...}
//   fake_serial.log     the device's log lines
//   fake_serial.signals the last setSignals() of the page
//   fake_serial.events  opens and closes with their rates
(() => {
  const OPTION = {
    quick: 1, silent: 2, nak: 3, answer: 4, silent_packet: 5, vanish_after_packets: 6, vanish_after_records: 7,
    fw_answer: 8, pieces_ms: 9, vanish_after_echo: 10, echo_wrong: 11, echo_stop: 12, garbage: 13, noise: 14,
    fw_late: 15, fw_refuse: 16, wire_time: 17,
  };
  const KEEP_NAMES = ['conf.bin', 'rules.bin', 'firmware.hex', 'packets.log', 'received.bin'];
  const INFO = { usbVendorId: 0x0403, usbProductId: 0x6001 };

  const pieces = {};  // the files the device keeps, as the pieces it gave
  const state = {
    // The files, each joined from its pieces when asked for.
    get files() {
      const files = {};
      for (const [name, list] of Object.entries(pieces)) {
        const joined = new Uint8Array(list.reduce((n, b) => n + b.length, 0));
        let at = 0;
        for (const b of list) {
          joined.set(b, at);
          at += b.length;
        }
        files[name] = joined;
      }
      return files;
    },
    log: [],
    signals: null,
    events: [],
    config: { options: [], reappear_as_new: false },
  };

  // ---- the device
  let M = null;
  let device_ready = null;
  let timer = 0;
  let sink = null;   // the open port's delivery: (bytes) => void
  let gone = false;
  const channel = new MessageChannel();
  let soon = false;
  channel.port1.onmessage = () => {
    soon = false;
    service();
  };

  function start_device() {
    if (device_ready) return device_ready;
    const text = atob(window.fake_serial_wasm);
    const wasmBinary = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) wasmBinary[i] = text.charCodeAt(i);
    device_ready = createTovsimModel({ wasmBinary }).then((m) => {
      M = m;
      for (const [key, a = 0, b = 0] of state.config.options) M._model_option(OPTION[key], a, b);
      M._model_start(performance.now());
    });
    return device_ready;
  }

  const cell = () => M._malloc(16);

  function collect() {
    const box = cell();
    // Files first, then the log, then the bytes (the model's order).
    for (let n = 0; M._model_keep(n, box); n++) {
      const [file, op, data, size] = M.HEAPU32.subarray(box >> 2, (box >> 2) + 4);
      const name = KEEP_NAMES[file];
      const bytes = M.HEAPU8.slice(data, data + size);
      if (op === 0) pieces[name] = [bytes];
      else if (op === 1) pieces[name] = [];
      else if (op === 2) (pieces[name] = pieces[name] || []).push(bytes);
    }
    M._model_keeps_taken();
    const len = M._model_log(box);
    if (len > 0) {
      const at = M.HEAPU32[box >> 2];
      state.log.push(...new TextDecoder().decode(M.HEAPU8.subarray(at, at + len)).split('\n').filter((l) => l));
    }
    M._model_log_taken();
    const now = performance.now();
    for (;;) {
      const n = M._model_output(now, box);
      if (n <= 0) break;
      const at = M.HEAPU32[box >> 2];
      const bytes = M.HEAPU8.slice(at, at + n);
      M._model_output_taken(n);
      if (sink) sink(bytes);
    }
    M._free(box);
    if (M._model_vanished() && !gone) vanish();
  }

  // Delivers what is due and waits for the next thing the device has to do.
  function service() {
    if (!M) return;
    M._model_tick(performance.now());
    collect();
    clearTimeout(timer);
    const next = M._model_next_timer();
    if (next < 0 || gone) return;
    const wait = next - performance.now();
    // Short waits without a timer: timers set from timers are held back to
    // 4 ms at least, more than a whole exchange takes here.
    if (wait < 5) {
      if (!soon) {
        soon = true;
        channel.port2.postMessage(0);
      }
    } else {
      timer = setTimeout(service, wait);
    }
  }

  function received(bytes) {
    const box = M._malloc(bytes.length);
    M.HEAPU8.set(bytes, box);
    let at = 0;
    while (at < bytes.length) {
      const n = M._model_input(performance.now(), box + at, bytes.length - at);
      collect();
      if (n === 0) break;
      at += n;
    }
    M._free(box);
    service();
  }

  // ---- ports
  const serial = new EventTarget();
  const granted = [];

  function vanish() {
    gone = true;
    const port = granted[granted.length - 1];
    if (port) port.lost();
    serial.dispatchEvent(Object.assign(new Event('disconnect'), { fake_target: port }));
  }

  class FakePort extends EventTarget {
    constructor() {
      super();
      this.readable = null;
      this.writable = null;
      this.ctrl = null;
      this.dead = false;
    }
    getInfo() {
      return { ...INFO };
    }
    async open(o) {
      if (this.dead || gone) throw new DOMException('Failed to open serial port.', 'NetworkError');
      if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
      if (o.dataBits !== 8 || o.stopBits !== 1 || o.parity !== 'none' || o.flowControl !== 'none') {
        throw new TypeError('the fake port takes 8N1 without flow control');
      }
      await start_device();
      const port = this;
      this.readable = new ReadableStream({
        start(c) {
          port.ctrl = c;
        },
      });
      sink = (bytes) => {
        if (port.ctrl) port.ctrl.enqueue(bytes);
      };
      this.writable = new WritableStream({
        write(chunk) {
          if (port.dead) throw new DOMException('The device has been lost.', 'NetworkError');
          received(new Uint8Array(chunk));
        },
      });
      state.events.push(['open', o.baudRate]);
      M._model_opened(performance.now(), o.baudRate);
      service();
    }
    async setSignals(s) {
      if (!this.readable) throw new DOMException('The port is closed.', 'InvalidStateError');
      state.signals = { ...s };
    }
    async close() {
      if (!this.readable) throw new DOMException('The port is already closed.', 'InvalidStateError');
      if (this.readable.locked || this.writable.locked) throw new TypeError('Cannot close a port whose streams are locked.');
      try {
        this.ctrl.close();
      } catch (e) {
        /* errored already */
      }
      this.readable = null;
      this.writable = null;
      this.ctrl = null;
      sink = null;
      state.events.push(['close']);
      if (!gone) {
        M._model_closed(performance.now());
        service();
        if (state.config.reappear_as_new && M && state.log.some((l) => /reset/.test(l)) && !this.replaced) {
          // The adapter re-enumerates: this port object is gone, a new one
          // of the same device comes back a little later.
          this.replaced = true;
          this.dead = true;
          serial.dispatchEvent(Object.assign(new Event('disconnect'), { fake_target: this }));
          setTimeout(() => {
            const fresh = new FakePort();
            granted.push(fresh);
            serial.dispatchEvent(Object.assign(new Event('connect'), { fake_target: fresh }));
          }, 300);
        }
      }
    }
    lost() {
      this.dead = true;
      if (this.ctrl) {
        try {
          this.ctrl.error(new DOMException('The device has been lost.', 'NetworkError'));
        } catch (e) {
          /* closed */
        }
      }
    }
  }

  // Events carry their port as `target` in the real API; here the event's
  // target is the serial object, so the port rides along.
  const real_dispatch = serial.dispatchEvent.bind(serial);
  serial.dispatchEvent = (e) => {
    if (e.fake_target) Object.defineProperty(e, 'target', { value: e.fake_target });
    return real_dispatch(e);
  };

  serial.requestPort = async () => {
    if (granted.length === 0) granted.push(new FakePort());
    return granted[granted.length - 1];
  };
  serial.getPorts = async () => granted.filter((p) => !p.dead);

  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });
  state.setup = (config) => Object.assign(state.config, config);
  window.fake_serial = state;
})();
