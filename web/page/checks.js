// Checks a configuration or rules file as the program does (configure or
// rules, then the display), in a run of its own.

import { run_session } from './core.js';

const PROMPT = 'Command> ';

export const KINDS = {
  conf: { read: 'configure', show: 'dconfigure' },
  rules: { read: 'rules', show: 'drules' },
};

// The line a message names: "Error: line N: " (configuration) or
// "Error: NAME[N]: " (rules); 0 when none.
export function failing_line(kind, name, messages) {
  if (kind === 'conf') {
    const m = /Error: line ([0-9]+): /.exec(messages);
    return m ? Number(m[1]) : 0;
  }
  const at = messages.indexOf('Error: ' + name + '[');
  if (at < 0) return 0;
  const m = /^\[([0-9]+)\]: /.exec(messages.slice(at + 7 + name.length));
  return m ? Number(m[1]) : 0;
}

// {ok, messages, display, line}: what reading the file printed, what the
// display shows after it, and the line a message names (0: none).
export async function check_file(kind, name, serial) {
  const k = KINDS[kind];
  const r = await run_session(`${k.read} ${name}\n${k.show}\n`, serial);
  const text = new TextDecoder('utf-8').decode(r.output);
  const parts = text.split(PROMPT);
  const messages = parts.length > 1 ? parts[1] : text;
  const display = parts.length > 2 ? parts[2] : '';
  return { ok: !messages.includes('\x07Error: '), messages, display, line: failing_line(kind, name, messages) };
}
