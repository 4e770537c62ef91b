// Runs the program (the WebAssembly core) in the page. Every run is a fresh
// instance of the core, as every start of the console program is a fresh
// process: it gets its arguments, a source for its standard input, the
// page's files and the page's serial ports, and ends with an exit status.
//
// The core is compiled once; each run instantiates it anew (a few
// milliseconds). Runs never share memory, so a file check can run while the
// console waits for the operator.

let core_bytes = null;  // () => Promise<ArrayBuffer|Uint8Array>
let compiled = null;

// Where the core's WebAssembly comes from: a function that gives its bytes.
export function core_source(get_bytes) {
  core_bytes = get_bytes;
}

function core_module() {
  if (compiled === null) compiled = Promise.resolve().then(() => core_bytes()).then((b) => WebAssembly.compile(b));
  return compiled;
}

export const HOME = '/home/web_user';

// The page's folder: files that every run finds in its working directory
// (names without a "/") or where an absolute name says.
export const page_files = new Map();

function put_file(FS, name, data) {
  const path = name.startsWith('/') ? name : HOME + '/' + name;
  const dir = path.slice(0, path.lastIndexOf('/'));
  if (dir !== '') FS.mkdirTree(dir);
  FS.writeFile(path, data);
}

export function to_bytes(data) {
  if (typeof data === 'string') return new TextEncoder().encode(data);
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError('a file is a string or bytes');
}

// Standard input that holds `bytes` and then ends, as a pipe from a file.
export function fixed_input(bytes) {
  let at = 0;
  return {
    take(room) {
      if (at >= bytes.length) return null;
      const n = Math.min(room, bytes.length - at);
      at += n;
      return bytes.subarray(at - n, at);
    },
    wait() {
      return Promise.resolve(null);
    },
  };
}

// Starts one run. `opts`: args (array of strings), stdin (a source as
// fixed_input makes), serial (the page's serial service), out(byte) and
// err(byte), line_done(status). Resolves to the run: {module, exited}, where
// exited resolves to {status} when the program ends (status 134 when it
// aborted).
export async function start_run(opts) {
  const module = await core_module();
  const create = globalThis.createTovhostCore;
  let finish;
  const exited = new Promise((resolve) => {
    finish = resolve;
  });
  let ended = false;
  const end = (result) => {
    if (!ended) {
      ended = true;
      finish(result);
    }
  };
  const M = {
    arguments: opts.args || [],
    tovStdin: opts.stdin,
    tovSerial: opts.serial,
    tovLineDone: opts.line_done || null,
    print: () => {},
    printErr: () => {},
    instantiateWasm(imports, receive) {
      WebAssembly.instantiate(module, imports).then((instance) => receive(instance, module));
      return {};
    },
    preRun: [
      (mod) => {
        mod.FS.init(null, opts.out, opts.err);
        for (const [name, data] of page_files) put_file(mod.FS, name, data);
        mod.FS.chdir(HOME);
      },
    ],
    onExit: (status) => end({ status }),
    onAbort: (what) => end({ status: 134, aborted: String(what) }),
    // exit() unwinds the program with an exception (onExit has the status;
    // a main suspended in a wait also passes here, and goes on later).
    quit: (status, toThrow) => {
      throw toThrow;
    },
  };
  await create(M);
  return { module: M, exited };
}

// Runs the program once on `input` (a string or bytes: what standard input
// would hold) with `args`, and resolves to {output, errors, status}: its
// standard output and standard error as bytes, and its exit status.
export async function run_session(input, serial, args = []) {
  const out = [];
  const err = [];
  const run = await start_run({
    args,
    stdin: fixed_input(to_bytes(input)),
    serial,
    out: (c) => out.push(c),
    err: (c) => err.push(c),
  });
  const { status } = await run.exited;
  return { output: Uint8Array.from(out), errors: Uint8Array.from(err), status };
}

// Writes a file into the page's folder and into a run that is going on.
export function write_page_file(name, data, runs = []) {
  const bytes = to_bytes(data);
  page_files.set(name, bytes);
  for (const run of runs) {
    if (run && run.module.FS) put_file(run.module.FS, name, bytes);
  }
}
