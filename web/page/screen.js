// Draws the program's output in a pane as a terminal would show it: line
// feeds end lines, a carriage return starts the line again (the firmware
// progress line redraws itself this way), and bells are shown, not rung.
// The bytes are kept as they came, for the session log.

const BELL = '^G';  // how a terminal shows BEL when it shows it
const MAX_LINES = 5000;

export function make_screen(pre, hooks = {}) {
  const log = [];             // every byte shown: output, echoed input
  let pending = [];           // bytes not yet drawn: {bytes, kind}
  let line = null;            // the element of the line being written
  let line_text = '';
  let drawing = false;
  const decoder = new TextDecoder('utf-8');

  function new_line() {
    line = document.createElement('span');
    line_text = '';
    pre.appendChild(line);
    while (pre.childNodes.length > MAX_LINES) pre.removeChild(pre.firstChild);
  }

  function draw_text(text, kind) {
    if (line === null) new_line();
    let at = 0;
    const put = (s) => {
      if (s === '') return;
      line_text += s;
      const node = kind === 'err' ? Object.assign(document.createElement('span'), { className: 'err', textContent: s }) : document.createTextNode(s);
      line.appendChild(node);
    };
    for (let i = 0; i < text.length; i++) {
      const c = text[i];
      if (c === '\n') {
        put(text.slice(at, i) + '\n');
        at = i + 1;
        new_line();
      } else if (c === '\r') {
        put(text.slice(at, i));
        at = i + 1;
        // What follows overwrites the line.
        line.textContent = '';
        line_text = '';
      } else if (c === '\x07') {
        put(text.slice(at, i));
        at = i + 1;
        line.appendChild(Object.assign(document.createElement('span'), { className: 'bell', textContent: BELL, title: 'bell' }));
      }
    }
    put(text.slice(at));
  }

  function draw() {
    drawing = false;
    const stick = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
    for (const { bytes, kind } of pending) draw_text(decoder.decode(bytes, { stream: true }), kind);
    pending = [];
    if (stick) pre.scrollTop = pre.scrollHeight;
    if (hooks.line) hooks.line(line_text);
  }

  function write(bytes, kind = 'out') {
    for (const b of bytes) log.push(b);
    pending.push({ bytes: Uint8Array.from(bytes), kind });
    if (!drawing) {
      drawing = true;
      requestAnimationFrame(draw);
    }
  }

  return {
    write,
    // Output of the program, one byte at a time, gathered before drawing.
    byte_writer(kind) {
      let buf = [];
      let queued = false;
      return (c) => {
        buf.push(c);
        if (!queued) {
          queued = true;
          queueMicrotask(() => {
            queued = false;
            const b = buf;
            buf = [];
            write(b, kind);
          });
        }
      };
    },
    log: () => Uint8Array.from(log),
    clear() {
      pre.textContent = '';
      line = null;
    },
  };
}
