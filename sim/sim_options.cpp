// tovsim's command line: one row per option (name, argument, help, where it
// lands). "--name=value" is taken as "--name value".
#include <errno.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend.h"

namespace {

constexpr const char* default_version_text = "Tovarelink APRS Digipeater Version 2.7";

enum arg_kind {
  ARG_NONE,     // a switch
  ARG_TEXT,     // any text
  ARG_DIR,      // a path, not empty
  ARG_COUNT,    // a number 1..10^9
  ARG_MS,       // milliseconds 0..600000
  ARG_PAIR,     // N:K, K a count
  ARG_PAIR_HEX, // N:BYTE, BYTE in hex
  ARG_ANSWERS,  // hex bytes or "none", separated by commas
  ARG_SECONDS,  // seconds, more than 0
};

struct opt_row {
  const char* name;
  const char* arg;  // the argument's name in the help
  arg_kind kind;
  void* (*field)(sim_cli&);  // where the value lands
  const char* help;          // lines after the first begin with '\n'
};

#define FIELD(expr) [](sim_cli& c) -> void* { return &c.expr; }

const opt_row rows[] = {
    {"--quick", "", ARG_NONE, FIELD(dev.quick), "pad replies to the size tovhost reads (no waiting)"},
    {"--save-dir", "DIR", ARG_DIR, FIELD(save_dir),
     "keep conf.bin, rules.bin, firmware.hex, packets.log and\nreceived.bin (every byte received) in DIR"},
    {"--version-text", "TEXT", ARG_TEXT, FIELD(dev.version_text), "name and version the device reports"},
    {"--silent", "", ARG_NONE, FIELD(dev.silent), "never answer anything"},
    {"--garbage", "", ARG_NONE, FIELD(dev.garbage), "answer the version request with garbage"},
    {"--no-prompt-after-baud", "", ARG_NONE, FIELD(dev.no_prompt_after_baud), "no prompt after a baud change"},
    {"--nak", "N:K", ARG_PAIR, FIELD(dev.nak), "NAK download packet N K times, then ACK it"},
    {"--answer", "N:BYTE", ARG_PAIR_HEX, FIELD(dev.answer), "answer download packet N with BYTE (hex)"},
    {"--silent-packet", "N", ARG_COUNT, FIELD(dev.silent_packet), "answer no download packet from N on"},
    {"--no-serialtest-text", "", ARG_NONE, FIELD(dev.no_serialtest_text), "answer \"serialtest\" with other text"},
    {"--echo-wrong", "N:BYTE", ARG_PAIR_HEX, FIELD(dev.echo_wrong), "echo BYTE (hex) instead of the Nth echo byte"},
    {"--echo-stop", "N", ARG_COUNT, FIELD(dev.echo_stop), "stop echoing from the Nth echo byte on"},
    {"--fw-silent", "", ARG_NONE, FIELD(dev.fw_silent), "firmware loader sends no ENQ"},
    {"--fw-no-sync-ack", "", ARG_NONE, FIELD(dev.fw_no_sync_ack), "firmware loader does not ACK the SYN"},
    {"--fw-no-id-ack", "", ARG_NONE, FIELD(dev.fw_no_id_ack), "firmware loader does not ACK the identifier"},
    {"--fw-answers", "LIST", ARG_ANSWERS, FIELD(dev), "answers to successive record lines (hex bytes or none)"},
    {"--fw-late", "N:MS", ARG_PAIR, FIELD(dev.fw_late), "answer record N MS ms late (the first time it comes)"},
    {"--fw-refuse", "N:BYTE", ARG_PAIR_HEX, FIELD(dev.fw_refuse), "refuse record N once with BYTE (hex)"},
    {"--wire-time", "", ARG_NONE, FIELD(dev.wire_time),
     "answer only after the bytes have crossed the line at its\nrate (10 bits a byte), as a device on a real wire does"},
    {"--vanish-after-packets", "N", ARG_COUNT, FIELD(dev.vanish_after_packets), "close the port after download packet N"},
    {"--vanish-after-echo", "N", ARG_COUNT, FIELD(dev.vanish_after_echo), "close the port after N echo bytes"},
    {"--vanish-after-records", "N", ARG_COUNT, FIELD(dev.vanish_after_records),
     "close the port after firmware record line N"},
    {"--flood-drain", "MS", ARG_MS, FIELD(dev.flood_drain_ms), "on the interrupt character, send junk for MS ms first"},
    {"--flood-open", "MS", ARG_MS, FIELD(dev.flood_open_ms), "when the port is opened, send junk for MS ms"},
    {"--junk-until-interrupt", "", ARG_NONE, FIELD(dev.junk_until_interrupt),
     "from each open, send junk until the interrupt character"},
    {"--junk-forever", "", ARG_NONE, FIELD(dev.junk_forever), "send junk while the port is open; never listen"},
    {"--noise", "", ARG_NONE, FIELD(dev.noise), "NUL bytes and bytes above 0x7F in text replies"},
    {"--pieces", "MS", ARG_MS, FIELD(dev.pieces_ms), "text replies in pieces of 8 bytes, MS ms apart"},
    {"--exit-after", "SEC", ARG_SECONDS, FIELD(exit_after_s), "exit after SEC seconds"},
    {"--no-inotify", "", ARG_NONE, FIELD(no_inotify), "see opens and closes by hang-ups only (diagnostic)"},
};

#undef FIELD

bool parse_long(const char* s, long lo, long hi, long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// One byte in hex: "41", "0x41", "6".
bool parse_byte(const char* s, int* out) {
  if (s == nullptr) return false;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
  const size_t n = std::strlen(s);
  if (n < 1 || n > 2) return false;
  char* end = nullptr;
  const long v = std::strtol(s, &end, 16);
  if (*end != '\0' || v < 0 || v > 255) return false;
  *out = static_cast<int>(v);
  return true;
}

// "N:X" with X a count (decimal) or a byte (hex), added to `list`.
bool parse_pair(const char* s, bool hex_value, simdev::pair_list* list) {
  if (list->count >= simdev::OPT_MAX) return false;
  const char* colon = std::strchr(s, ':');
  if (colon == nullptr || colon == s || static_cast<size_t>(colon - s) >= 24) return false;
  char num[24];
  std::memcpy(num, s, static_cast<size_t>(colon - s));
  num[colon - s] = '\0';
  long n = 0;
  int value = 0;
  if (!parse_long(num, 1, 1000000000L, &n)) return false;
  if (hex_value) {
    if (!parse_byte(colon + 1, &value)) return false;
  } else {
    long k = 0;
    if (!parse_long(colon + 1, 0, 1000000L, &k)) return false;
    value = static_cast<int>(k);
  }
  list->items[list->count++] = {n, value};
  return true;
}

bool parse_fw_answers(const char* s, simdev::options* o) {
  char item[16];
  while (*s != '\0') {
    const char* comma = std::strchr(s, ',');
    const size_t len = comma != nullptr ? static_cast<size_t>(comma - s) : std::strlen(s);
    if (len == 0 || len >= sizeof item) return false;
    std::memcpy(item, s, len);
    item[len] = '\0';
    if (o->fw_answer_count >= simdev::FW_ANSWERS_MAX) return false;
    int b = 0;
    if (strcasecmp(item, "none") == 0)
      b = simdev::FW_NONE;
    else if (!parse_byte(item, &b))
      return false;
    o->fw_answers[o->fw_answer_count++] = b;
    s += len;
    if (*s == ',') s++;
  }
  return true;
}

// Puts `v` where the row says. False when it is not a value of the row's kind.
bool apply(const opt_row& r, sim_cli& cli, const char* v) {
  void* f = r.field(cli);
  long n = 0;
  switch (r.kind) {
    case ARG_NONE:
      *static_cast<bool*>(f) = true;
      return true;
    case ARG_TEXT:
      *static_cast<const char**>(f) = v;
      return v != nullptr;
    case ARG_DIR:
      *static_cast<const char**>(f) = v;
      return v != nullptr && *v != '\0';
    case ARG_COUNT:
      return parse_long(v, 1, 1000000000L, static_cast<long*>(f));
    case ARG_MS:
      if (!parse_long(v, 0, 600000L, &n)) return false;
      *static_cast<int*>(f) = static_cast<int>(n);
      return true;
    case ARG_PAIR:
    case ARG_PAIR_HEX:
      return v != nullptr && parse_pair(v, r.kind == ARG_PAIR_HEX, static_cast<simdev::pair_list*>(f));
    case ARG_ANSWERS:
      return v != nullptr && parse_fw_answers(v, static_cast<simdev::options*>(f));
    case ARG_SECONDS: {
      char* end = nullptr;
      const double s = v != nullptr ? std::strtod(v, &end) : 0.0;
      if (v == nullptr || end == v || *end != '\0' || !(s > 0.0) || s > 1.0e6) return false;
      *static_cast<double*>(f) = s;
      return true;
    }
  }
  return false;
}

}  // namespace

void cli_usage(FILE* to) {
  std::fprintf(to,
               "usage: tovsim [options]\n"
               "Simulates a Tovarelink digipeater on a pseudo-terminal. The first line of output\n"
               "is the port to give tovhost (connect /dev/pts/N); later lines say what the device\n"
               "received. Stops on SIGTERM or Ctrl-C.\n"
               "\n");
  for (const opt_row& r : rows) {
    char head[64];
    std::snprintf(head, sizeof head, "%s%s%s", r.name, *r.arg != '\0' ? " " : "", r.arg);
    std::fprintf(to, "  %-24s ", head);
    for (const char* h = r.help; *h != '\0'; h++) {
      std::fputc(*h, to);
      if (*h == '\n') std::fprintf(to, "%27s", "");
    }
    std::fputc('\n', to);
  }
}

int cli_parse(int argc, char** argv, sim_cli* cli) {
  *cli = {};
  cli->dev.version_text = default_version_text;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    char name[40];
    const char* inline_value = nullptr;
    const char* eq = std::strchr(a, '=');
    if (a[0] == '-' && a[1] == '-' && eq != nullptr && static_cast<size_t>(eq - a) < sizeof name) {
      std::memcpy(name, a, static_cast<size_t>(eq - a));
      name[eq - a] = '\0';
      inline_value = eq + 1;
      a = name;
    }
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      cli_usage(stdout);
      return 1;
    }
    const opt_row* row = nullptr;
    for (const opt_row& r : rows)
      if (std::strcmp(a, r.name) == 0) row = &r;
    if (row == nullptr) {
      std::fprintf(stderr, "tovsim: unknown option %s (try --help)\n", argv[i]);
      return -1;
    }
    const char* v = nullptr;
    if (row->kind != ARG_NONE) v = inline_value != nullptr ? inline_value : i + 1 < argc ? argv[++i] : nullptr;
    if (!apply(*row, *cli, v)) {
      std::fprintf(stderr, "tovsim: bad value for %s: %s\n", a, v != nullptr ? v : "(missing)");
      return -1;
    }
  }
  cli->dev.keep_files = cli->save_dir != nullptr;
  return 0;
}
