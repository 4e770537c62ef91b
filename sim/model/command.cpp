// The device's command line: version, host (baud change), download,
// serialtest, reset and help, with the prompt and its error replies.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "model/parts.h"

namespace simdev {

namespace {

constexpr const char* dev_prompt = "Tovare> ";
// Sizes of the reads the utility makes, filled at once with --quick.
constexpr int QUICK_VERSION = 200;
constexpr int QUICK_PROMPT = 1024;

constexpr long host_rates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

void reply(device& d, const char* text) { send_text(d, text, static_cast<int>(std::strlen(text))); }

bool host_rate_ok(long rate) {
  for (long r : host_rates)
    if (r == rate) return true;
  return false;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// Case-insensitive equality of two words (the command line's own rule).
bool same_word(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; a++, b++) {
    const char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    const char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

void cmd_version(device& d) {
  if (d.opt->garbage) {
    // No device name in it: high bytes, control bytes and text.
    char junk[48];
    for (int i = 0; i < static_cast<int>(sizeof junk); i++) {
      const int v = (i * 73 + 0x81) & 0xFF;
      junk[i] = static_cast<char>(v == 0 ? 0x7F : v);
    }
    send_text(d, junk, static_cast<int>(sizeof junk));
    log_line(d, "version request: answered with garbage (--garbage)");
  } else {
    reply_prompt_line(d, d.opt->version_text);
    log_line(d, "version request: answered \"%s\"", d.opt->version_text);
  }
  quick_pad(d, QUICK_VERSION);
}

void cmd_host(device& d, const char* arg) {
  char* end = nullptr;
  const long rate = std::strtol(arg, &end, 10);
  if (end == arg || *end != '\0' || !host_rate_ok(rate)) {
    char shown[120];
    printable(reinterpret_cast<const uint8_t*>(arg), static_cast<int>(std::strlen(arg)), shown, sizeof shown);
    log_line(d, "host \"%s\": refused, not a baud rate", shown);
    reply_prompt_line(d, "Error: invalid baud rate");
    return;
  }
  d.cmd.host_rate = rate;
  d.cmd.pending_baud = true;
  d.cmd.host_seen = true;
  log_line(d, "host %ld: host port switched to %ld baud", rate, rate);
}

// An empty line: the prompt again, or after "host N" the re-synchronisation.
void cmd_empty_line(device& d, bool intr, bool baud_lf) {
  if (baud_lf && !intr) {
    // The far end reopened the port (at the new rate) and asks for the prompt.
    if (d.opt->no_prompt_after_baud) {
      log_line(d, "line feed after baud change: no prompt (--no-prompt-after-baud)");
      return;
    }
    log_line(d, "line feed after baud change (port at %ld baud): prompt", d.baud);
    out_mark(d);
    reply(d, "\r\n");
    reply(d, dev_prompt);
    quick_pad(d, QUICK_PROMPT);
    return;
  }
  if (intr && d.opt->garbage) return;
  reply(d, "\r\n");
  reply(d, dev_prompt);
}

void cmd_line(device& d) {
  cmd_state& c = d.cmd;
  const bool intr = c.intr_line;
  c.intr_line = false;
  const bool baud_lf = c.pending_baud;
  c.pending_baud = false;
  if (c.overflow) {
    c.len = 0;
    c.overflow = false;
    log_line(d, "command line too long: refused");
    reply_prompt_line(d, "Error: line too long");
    return;
  }
  c.line[c.len] = '\0';
  c.len = 0;
  char* s = c.line;
  while (blank(*s)) s++;
  char* e = s + std::strlen(s);
  while (e > s && blank(e[-1])) *--e = '\0';
  if (*s == '\0') {
    cmd_empty_line(d, intr, baud_lf);
    return;
  }
  char* arg = s;
  while (*arg != '\0' && !blank(*arg)) arg++;
  if (*arg != '\0') *arg++ = '\0';
  while (blank(*arg)) arg++;

  if (same_word(s, "version")) {
    cmd_version(d);
  } else if (same_word(s, "host")) {
    cmd_host(d, arg);
  } else if (same_word(s, "download")) {
    dwn_begin(d);
  } else if (same_word(s, "serialtest")) {
    st_begin(d);
  } else if (same_word(s, "reset")) {
    ldr_begin(d);
  } else if (same_word(s, "help") || std::strcmp(s, "?") == 0) {
    reply_prompt_line(d, "Commands: version, host <baud>, download, serialtest, reset");
  } else {
    char shown[120];
    printable(reinterpret_cast<const uint8_t*>(s), static_cast<int>(std::strlen(s)), shown, sizeof shown);
    log_line(d, "unknown command \"%s\"", shown);
    reply_prompt_line(d, "Error: unknown command");
  }
}

}  // namespace

void reply_prompt_line(device& d, const char* text) {
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, "\r\n%s\r\n%s", text, dev_prompt);
  send_text(d, buf, n < static_cast<int>(sizeof buf) ? n : static_cast<int>(sizeof buf) - 1);
}

void cmd_reset(device& d) {
  d.cmd = {};
  d.cmd.host_rate = 19200;
}

void cmd_reset_line(device& d) {
  d.cmd.len = 0;
  d.cmd.overflow = false;
  d.cmd.last_cr = false;
  d.cmd.intr_line = false;
}

void cmd_byte(device& d, uint8_t b) {
  cmd_state& c = d.cmd;
  if (b == CH_INTR) {
    c.len = 0;
    c.overflow = false;
    c.last_cr = false;
    c.intr_line = true;
    out_mark(d);
    if (d.opt->flood_drain_ms > 0) flood_start(d, d.opt->flood_drain_ms, "interrupt character");
    return;
  }
  if (b == '\n' && c.last_cr) {
    c.last_cr = false;
    return;
  }
  c.last_cr = b == '\r';
  if (b == '\r' || b == '\n') {
    cmd_line(d);
    return;
  }
  if (b == 0x08 || b == 0x7F) {
    if (c.len > 0) c.len--;
    return;
  }
  if (b < 0x20 || b > 0x7E) return;  // line noise
  if (c.len < LINE_MAX_LEN)
    c.line[c.len++] = static_cast<char>(b);
  else
    c.overflow = true;
}

}  // namespace simdev
