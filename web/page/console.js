// The console: one long-lived run of the program whose standard input is
// what the operator types. It behaves as the program at a terminal: a line
// read while the program waits at its prompt is a command, a line read while
// it asks a question is the answer, and lines typed meanwhile wait their turn.
//
// Each command resolves once the program is back at its prompt, to
// {output, status}: what the command printed (the next prompt not included)
// and 0, or 1 when the command failed.

import { start_run, to_bytes } from './core.js';

function line_bytes(text) {
  const bytes = to_bytes(text);
  if (bytes.length > 0 && bytes[bytes.length - 1] === 10) return bytes;
  const b = new Uint8Array(bytes.length + 1);
  b.set(bytes);
  b[bytes.length] = 10;
  return b;
}

// `hooks`: out(byte), err(byte), echo(bytes) for each line the program
// reads (as a terminal echoes what is typed), ended(status) when
// the run ends, and question(text, command) when the program waits for an
// answer in the middle of a command and none was typed: it resolves to the
// answer line, or to null when the operator is to type it.
export function make_console(serial, hooks) {
  const typed = [];     // lines typed by the operator, not yet read: {bytes, resolve}
  const queue = [];     // commands handed over by the page, run at the prompt: {bytes, resolve, asks}
  let handing = null;   // the line being read (in parts when it is long)
  let waiter = null;    // the program's read that waits: {room, resolve}
  let run = null;
  let output = [];      // what the program printed since the current command began
  let current = null;   // the command going on: {resolve, asks, failed, done_at}
  let asking = false;

  function finish_current() {
    const c = current;
    current = null;
    if (c.resolve) c.resolve({ output: Uint8Array.from(output.slice(0, c.done_at)), status: c.failed ? 1 : 0 });
    output = output.slice(c.done_at);
  }

  function hand(room) {
    const b = handing.bytes;
    if (b.length <= room) {
      handing = null;
      return b;
    }
    handing.bytes = b.subarray(room);
    return b.subarray(0, room);
  }

  // What the program reads now, or undefined when it must wait.
  function take(room) {
    if (handing !== null) return hand(room);
    if (current !== null && current.done_at >= 0) finish_current();
    if (current === null) {
      // At the prompt: the next command, typed ones first.
      const next = typed.length > 0 ? typed.shift() : queue.shift();
      if (next === undefined) return undefined;
      current = { resolve: next.resolve, asks: next.asks, failed: false, done_at: -1 };
      output = [];
      if (hooks.echo) hooks.echo(next.bytes);
      handing = { bytes: next.bytes };
      return hand(room);
    }
    // In the middle of a command: a question.
    if (typed.length > 0) {
      handing = { bytes: typed.shift().bytes };
      if (hooks.echo) hooks.echo(handing.bytes);
      return hand(room);
    }
    if (!asking) {
      asking = true;
      const text = new TextDecoder('latin1').decode(Uint8Array.from(output));
      Promise.resolve(hooks.question(text, current.asks)).then((answer) => {
        asking = false;
        if (answer !== null && answer !== undefined) type(answer);
      });
    }
    return undefined;
  }

  function wake() {
    if (waiter === null) return;
    const got = take(waiter.room);
    if (got === undefined) return;
    const w = waiter;
    waiter = null;
    w.resolve(got);
  }

  function type(text) {
    typed.push({ bytes: line_bytes(text), resolve: null, asks: 'operator' });
    wake();
  }

  const stdin = {
    take,
    wait(room) {
      return new Promise((resolve) => {
        waiter = { room, resolve };
      });
    },
  };

  async function start() {
    output = [];
    run = await start_run({
      stdin,
      serial,
      out: (c) => {
        output.push(c);
        hooks.out(c);
      },
      err: (c) => hooks.err(c),
      line_done: (status) => {
        if (current === null) return;
        current.done_at = output.length;
        if (status !== 0) current.failed = true;
      },
    });
    run.exited.then(({ status }) => {
      // exit, quit or x: the command is over, and so is this run.
      if (current !== null && current.resolve) current.resolve({ output: Uint8Array.from(output), status: 0 });
      current = null;
      handing = null;
      waiter = null;
      for (const t of typed.splice(0)) if (t.resolve) t.resolve({ output: new Uint8Array(0), status: 0 });
      hooks.ended(status);
    });
    return run;
  }

  return {
    start,
    run: () => run,
    // A command of the page (buttons, the scripting interface), run at the
    // prompt after the commands before it. `asks` tells hooks.question who
    // answers its questions.
    run_command(line, asks) {
      return new Promise((resolve) => {
        queue.push({ bytes: line_bytes(line), resolve, asks });
        wake();
      });
    },
    // A line the operator typed.
    type,
    busy: () => current !== null || queue.length > 0,
    // Who answers the questions of the command going on (null: none going on).
    asks: () => (current !== null ? current.asks : null),
    waiting: () => waiter !== null && current !== null,
  };
}
