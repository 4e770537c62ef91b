// The device: its command line and the three exchanges it can switch to
// (download packets, serial echo test, firmware loader). Every byte from the
// far end goes through dev_input one at a time to the handler of the current
// mode; what the device keeps is recorded before it answers, so whoever got
// the answer finds the files and the log already written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "sim.h"

namespace {

constexpr uint8_t CH_INTR = 0x03;
constexpr uint8_t CH_ENQ = 0x05;
constexpr uint8_t CH_ACK = 0x06;
constexpr uint8_t CH_NAK = 0x15;
constexpr uint8_t CH_SYN = 0x16;

constexpr const char* dev_prompt = "Tovare> ";
constexpr const char* serialtest_text = "Begin serial test: end with <ctrl>-c";
constexpr const char* loader_id = "TvLink1.0";
constexpr int loader_id_len = 9;

// Sizes of the reads tovhost makes, filled at once with --quick.
constexpr int QUICK_VERSION = 200;
constexpr int QUICK_PROMPT = 1024;
constexpr int QUICK_SERIALTEST = 1024;
constexpr int QUICK_LOADER = 20;

constexpr int LINE_MAX_LEN = 80;    // command line
constexpr int RECORD_MAX_LEN = 600; // firmware record line
constexpr int PKT_MIN = 5;
constexpr int PKT_MAX = 64;
constexpr int PKT_CMD = 21;
constexpr int PKT_NAME = 12;
constexpr int PKT_SIZE_DIGITS = 5;
constexpr int RULES_BYTES_MAX = REC_RULES_MAX * REC_RULE_SIZE;

constexpr int PKT_GAP_MS = 200;      // a packet broken off this long is answered NAK
constexpr int PKT_QUIET_MS = 20;     // after a garbled length: this much silence, then NAK
constexpr int FLOOD_STEP_MS = 5;     // junk every 5 ms while flooding
constexpr int FLOOD_CHUNK = 16;
constexpr int HOLD_MAX = 4096;       // input kept while flooding
constexpr int LOADER_SETTLE_MS = 2;  // prompt this long after the far end purged
constexpr int LOADER_OPEN_MS = 50;   // prompt this long after a reopen with no purge seen
constexpr int LOADER_BOOT_MS = 5000; // no reopen at all: prompt anyway
// Closing the master discards what the far end has not read yet, so the
// device vanishes only once its last answer has had time to arrive: at the
// next byte from the far end (which has read it), or after this long.
constexpr int VANISH_GRACE_MS = 200;

constexpr long host_rates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

enum dev_mode { MODE_CMD, MODE_DOWNLOAD, MODE_SERIALTEST, MODE_LOADER, MODE_GONE };
enum ldr_step { LDR_WAIT_REOPEN, LDR_PROMPT, LDR_ID, LDR_RECORDS };
enum dwn_file { FILE_NONE, FILE_CONF, FILE_RULES };

dev_mode mode = MODE_CMD;
int64_t vanish_at = -1;  // the device vanishes at this instant (-1: it stays)

void vanish_soon() {
  vanish_at = sim_now_ms() + VANISH_GRACE_MS;
  mode = MODE_GONE;
}

void vanish_now() {
  vanish_at = -1;
  sim_vanish();
}

struct cmd_state {
  char line[LINE_MAX_LEN + 1];
  int len;
  bool overflow;
  bool last_cr;        // a CR ended the last line: an LF right after it is part of it
  bool intr_line;      // this line began right after the interrupt character
  bool pending_baud;   // "host N" came: the next line feed is the re-synchronisation
  bool host_seen;      // "host N" came since the port was last opened
  long host_rate;
} cmd;

// A timed flood holds what arrives meanwhile and handles it afterwards; a
// device busy until the interrupt character hears nothing before it; a
// device that talks for ever hears nothing at all.
enum flood_kind { FLOOD_TIMED, FLOOD_UNTIL_INTERRUPT, FLOOD_ENDLESS };

struct flood_state {
  flood_kind kind;
  int64_t until;  // 0: not flooding
  int64_t next;
  int pos;
  uint8_t held[HOLD_MAX];
  int held_len;
  bool held_lost;
} flood;

struct dwn_state {
  uint8_t pkt[PKT_MAX];
  int have;
  int len;
  bool garbled;
  int64_t last_byte_ms;
  long number;    // the current distinct packet (a packet after a NAK is the same one again)
  long received;  // packets received, resendings included
  int last_answer;
  int nak_given[SIM_OPT_MAX];
  dwn_file file;
  long expect;
  long got;
  uint8_t conf[REC_CONF_SIZE];
  bool conf_done;
  uint8_t rules[RULES_BYTES_MAX];
  long rules_size;
  bool rules_done;
} dwn;

struct st_state {
  long echoes;
  bool stop_told;
} st;

struct ldr_state {
  ldr_step step;
  bool reopened;
  int64_t reset_ms;
  int64_t enq_due;  // -1: no prompt scheduled
  bool enq_sent;
  char id[loader_id_len];
  int id_len;
  char rec[RECORD_MAX_LEN + 1];
  int rec_len;
  bool rec_overflow;
  long lines;
  long accepted;
  long refused;
  long unanswered;
  int answers_used;
  bool eof_record;
} ldr;

void cmd_byte(uint8_t b);

// The earlier of two instants, -1 standing for "never".
int64_t earliest(int64_t a, int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

// ---------------------------------------------------------------- replies

void reply(const char* text) { sim_send_text(text, static_cast<int>(std::strlen(text))); }

void reply_prompt_line(const char* text) {
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, "\r\n%s\r\n%s", text, dev_prompt);
  sim_send_text(buf, n < static_cast<int>(sizeof buf) ? n : static_cast<int>(sizeof buf) - 1);
}

// --quick: fill tovhost's read of `size` bytes (counted since the last mark).
void quick_pad(int size) {
  if (!sim_opt.quick) return;
  const long left = size - sim_out_count();
  if (left > 0) sim_send_filler(static_cast<int>(left));
}

void send_loader_byte(uint8_t b) {
  sim_out_mark();
  sim_send(&b, 1);
  quick_pad(QUICK_LOADER);
}

// ---------------------------------------------------------------- flood

void flood_start(int ms, const char* why) {
  const int64_t now = sim_now_ms();
  flood.kind = FLOOD_TIMED;
  flood.until = now + ms;
  flood.next = now;
  sim_log("flooding the port with junk for %d ms (%s)", ms, why);
}

// Junk with no end of its own: until the interrupt character, or for ever.
void flood_start_open_ended(flood_kind kind, const char* why) {
  flood.kind = kind;
  flood.until = INT64_MAX;
  flood.next = sim_now_ms();
  sim_log(kind == FLOOD_ENDLESS ? "flooding the port with junk for ever, not listening (%s)"
                                : "flooding the port with junk until the interrupt character (%s)",
          why);
}

void flood_stop() {
  flood.until = 0;
  flood.held_len = 0;
  flood.held_lost = false;
}

void flood_tick(int64_t now) {
  static constexpr char junk[] = "~junk~ NOCALL>APRS:busy busy busy\r\n";
  if (flood.until == 0) return;
  while (flood.next <= now && flood.next < flood.until) {
    uint8_t chunk[FLOOD_CHUNK];
    for (uint8_t& c : chunk) {
      c = static_cast<uint8_t>(junk[flood.pos]);
      flood.pos = (flood.pos + 1) % static_cast<int>(sizeof junk - 1);
    }
    sim_send(chunk, FLOOD_CHUNK);
    flood.next += FLOOD_STEP_MS;
  }
  if (now < flood.until) return;
  // Done: what came meanwhile is handled now, in order.
  static uint8_t replay[HOLD_MAX];
  const int n = flood.held_len;
  std::memcpy(replay, flood.held, static_cast<size_t>(n));
  if (flood.held_lost) sim_log("input lost while flooding (more than %d bytes)", HOLD_MAX);
  flood_stop();
  sim_log("flood over");
  dev_input(replay, n);
}

// ---------------------------------------------------------------- download

const char* file_name(dwn_file f) { return f == FILE_CONF ? "conf" : f == FILE_RULES ? "rules" : "-"; }

void dwn_begin() {
  std::memset(&dwn, 0, sizeof dwn);
  dwn.last_answer = -1;
  mode = MODE_DOWNLOAD;
  sim_log("download: waiting for packets");
}

void dwn_summary() {
  if (dwn.conf_done) rec_print_conf(dwn.conf);
  if (dwn.rules_done) rec_print_rules(dwn.rules, static_cast<int>(dwn.rules_size / REC_RULE_SIZE));
  if (dwn.conf_done && dwn.rules_done) {
    const long count = dwn.conf[66] | (dwn.conf[67] << 8);
    if (count * REC_RULE_SIZE != dwn.rules_size)
      sim_log("warning: the configuration says %ld rules but %ld were received", count,
              dwn.rules_size / REC_RULE_SIZE);
  }
}

void dwn_end(bool finished) {
  if (!finished) {
    sim_log("download broken off after %ld packets (configuration %s, rules %s)", dwn.received,
            dwn.conf_done ? "received" : "missing", dwn.rules_done ? "received" : "missing");
    dwn_summary();
  }
  mode = MODE_CMD;
}

// A command packet: name and size. nullptr when sound, else why not.
const char* dwn_parse_command(char* name, long* size) {
  const uint8_t* p = dwn.pkt + 2;
  int n = 0;
  while (n < PKT_NAME && p[n] != 0) {
    if (p[n] < 0x20 || p[n] > 0x7E) return "name not text";
    name[n] = static_cast<char>(p[n]);
    n++;
  }
  name[n] = '\0';
  for (int i = n; i < PKT_NAME; i++)
    if (p[i] != 0) return "name not padded with NUL";
  const uint8_t* s = p + PKT_NAME;
  long v = 0;
  int digits = 0;
  while (digits < PKT_SIZE_DIGITS && s[digits] >= '0' && s[digits] <= '9') v = v * 10 + (s[digits++] - '0');
  for (int i = digits; i < PKT_SIZE_DIGITS; i++)
    if (s[i] != 0) return "size not decimal digits";
  *size = digits > 0 ? v : -1;
  if (std::strcmp(name, "conf") == 0) return v == REC_CONF_SIZE && digits > 0 ? nullptr : "conf size is not 176";
  if (std::strcmp(name, "rules") == 0)
    return digits > 0 && v % REC_RULE_SIZE == 0 && v <= RULES_BYTES_MAX ? nullptr : "rules size not n*28 <= 1400";
  if (std::strcmp(name, "-cestfini-") == 0) return digits == 0 ? nullptr : "finish packet with a size";
  return "unknown file name";
}

// Checks a sound packet's content; applies it when `apply`. Returns nullptr
// or why the device refuses it. *finish is set by the finish packet.
const char* dwn_content(bool apply, bool* finish, char* what, int what_cap) {
  const int payload = dwn.len - 4;
  if (dwn.file != FILE_NONE && dwn.got < dwn.expect) {
    const long left = dwn.expect - dwn.got;
    std::snprintf(what, static_cast<size_t>(what_cap), "data %d bytes of %s (%ld of %ld)", payload,
                  file_name(dwn.file), dwn.got + (payload <= left ? payload : 0), dwn.expect);
    if (payload > left) return "more bytes than announced";
    if (!apply) return nullptr;
    uint8_t* dst = dwn.file == FILE_CONF ? dwn.conf : dwn.rules;
    std::memcpy(dst + dwn.got, dwn.pkt + 2, static_cast<size_t>(payload));
    dwn.got += payload;
    if (dwn.got == dwn.expect) {
      if (dwn.file == FILE_CONF) {
        dwn.conf_done = true;
        rec_save("conf.bin", dwn.conf, REC_CONF_SIZE);
      } else {
        dwn.rules_done = true;
        rec_save("rules.bin", dwn.rules, static_cast<size_t>(dwn.rules_size));
      }
    }
    return nullptr;
  }
  if (dwn.len != PKT_CMD) {
    std::snprintf(what, static_cast<size_t>(what_cap), "data %d bytes", payload);
    return "data without an announced file";
  }
  char name[PKT_NAME + 1];
  long size = 0;
  const char* bad = dwn_parse_command(name, &size);
  char shown[80];
  rec_printable(reinterpret_cast<const uint8_t*>(name), static_cast<int>(std::strlen(name)), shown, sizeof shown);
  if (size >= 0)
    std::snprintf(what, static_cast<size_t>(what_cap), "command \"%s\" size %ld", shown, size);
  else
    std::snprintf(what, static_cast<size_t>(what_cap), "command \"%s\"", shown);
  if (bad != nullptr || !apply) return bad;
  if (std::strcmp(name, "-cestfini-") == 0) {
    *finish = true;
  } else if (std::strcmp(name, "conf") == 0) {
    dwn.file = FILE_CONF;
    dwn.expect = size;
    dwn.got = 0;
    dwn.conf_done = false;
  } else {
    dwn.file = FILE_RULES;
    dwn.expect = size;
    dwn.got = 0;
    dwn.rules_size = size;
    dwn.rules_done = size == 0;
    if (size == 0) rec_save("rules.bin", dwn.rules, 0);
  }
  return nullptr;
}

void dwn_answer_text(int answer, char* out, int cap) {
  if (answer < 0)
    std::snprintf(out, static_cast<size_t>(cap), "no answer");
  else if (answer == CH_ACK)
    std::snprintf(out, static_cast<size_t>(cap), "ACK");
  else if (answer == CH_NAK)
    std::snprintf(out, static_cast<size_t>(cap), "NAK");
  else
    std::snprintf(out, static_cast<size_t>(cap), "0x%02x", answer);
}

void dwn_reset_frame() {
  dwn.have = 0;
  dwn.len = 0;
  dwn.garbled = false;
}

// A packet that cannot be framed (bad length, or broken off): NAK it.
void dwn_garbled(const char* why) {
  if (dwn.last_answer != CH_NAK) dwn.number++;
  dwn.received++;
  const bool silent = sim_opt.silent_packet > 0 && dwn.number >= sim_opt.silent_packet;
  const int answer = silent ? -1 : CH_NAK;
  const int length = dwn.have >= 2 ? (dwn.pkt[0] << 8 | dwn.pkt[1]) : dwn.have;
  rec_packet_line(length, dwn.pkt, dwn.have, answer);
  char ans[16];
  dwn_answer_text(answer, ans, sizeof ans);
  sim_log("packet %ld: %s (%d bytes) -> %s", dwn.number, why, dwn.have, ans);
  dwn.last_answer = answer;
  dwn_reset_frame();
  if (answer >= 0) {
    const uint8_t a = static_cast<uint8_t>(answer);
    sim_send(&a, 1);
  }
}

void dwn_packet() {
  if (dwn.last_answer != CH_NAK) dwn.number++;
  dwn.received++;
  const long no = dwn.number;
  int answer = CH_ACK;
  bool forced = false;
  const char* why = nullptr;
  bool finish = false;
  char what[120] = "";
  const bool crc_ok = rec_packet_ok(dwn.pkt, dwn.len);
  int nak_slot = -1;
  for (int i = 0; i < sim_opt.nak_count; i++)
    if (sim_opt.nak[i].number == no && dwn.nak_given[i] < sim_opt.nak[i].value) nak_slot = i;
  int forced_answer = -1;
  for (int i = 0; i < sim_opt.answer_count; i++)
    if (sim_opt.answer[i].number == no) forced_answer = sim_opt.answer[i].value;

  if (sim_opt.silent_packet > 0 && no >= sim_opt.silent_packet) {
    answer = -1;
    why = "--silent-packet";
  } else if (forced_answer >= 0) {
    answer = forced_answer;
    forced = true;
    why = "--answer";
  } else if (nak_slot >= 0) {
    answer = CH_NAK;
    dwn.nak_given[nak_slot]++;
    why = "--nak";
  } else if (!crc_ok) {
    answer = CH_NAK;
    why = "bad CRC";
  }
  if (crc_ok) {
    const char* bad = dwn_content(false, &finish, what, sizeof what);
    if (bad != nullptr && answer == CH_ACK && !forced) {
      answer = CH_NAK;
      why = bad;
    }
    if (answer == CH_ACK && bad == nullptr) dwn_content(true, &finish, what, sizeof what);
  } else {
    std::snprintf(what, sizeof what, "%d bytes", dwn.len);
  }
  // Recorded before the answer goes out.
  rec_packet_line(dwn.len, dwn.pkt, dwn.len, answer);
  char ans[16];
  dwn_answer_text(answer, ans, sizeof ans);
  if (why != nullptr)
    sim_log("packet %ld: %s -> %s (%s)", no, what, ans, why);
  else
    sim_log("packet %ld: %s -> %s", no, what, ans);
  if (finish) {
    sim_log("download finished");
    dwn_summary();
  }
  dwn.last_answer = answer;
  dwn_reset_frame();
  if (finish) mode = MODE_CMD;
  if (answer >= 0) {
    const uint8_t a = static_cast<uint8_t>(answer);
    sim_send(&a, 1);
  }
  if (sim_opt.vanish_after_packets > 0 && no == sim_opt.vanish_after_packets && answer != CH_NAK) vanish_soon();
}

void dwn_byte(uint8_t b) {
  if (dwn.have == 0 && !dwn.garbled && b == CH_INTR) {
    // No packet starts with 0x03 (lengths are at most 64): the far end is
    // back at the command line.
    sim_log("download interrupted by the interrupt character");
    dwn_end(false);
    cmd_byte(b);
    return;
  }
  dwn.last_byte_ms = sim_now_ms();
  if (dwn.garbled) {
    if (dwn.have < PKT_MAX) dwn.pkt[dwn.have++] = b;
    return;
  }
  dwn.pkt[dwn.have++] = b;
  if (dwn.have == 2) {
    const int length = dwn.pkt[0] << 8 | dwn.pkt[1];
    if (length < PKT_MIN || length > PKT_MAX) {
      dwn.garbled = true;
      return;
    }
    dwn.len = length;
  }
  if (dwn.have >= 2 && dwn.have == dwn.len) dwn_packet();
}

// ---------------------------------------------------------------- serial test

void st_begin() {
  sim_out_mark();
  if (sim_opt.no_serialtest_text) {
    sim_log("serialtest: answered with other text (--no-serialtest-text)");
    reply_prompt_line("Serial test not available");
    quick_pad(QUICK_SERIALTEST);
    return;
  }
  char buf[96];
  const int n = std::snprintf(buf, sizeof buf, "\r\n%s\r\n", serialtest_text);
  sim_send_text(buf, n);
  quick_pad(QUICK_SERIALTEST);
  st = {};
  mode = MODE_SERIALTEST;
  sim_log("serial test started: echoing until 0x03");
}

void st_byte(uint8_t b) {
  if (b == CH_INTR) {
    sim_log("serial test ended after %ld echo bytes", st.echoes);
    mode = MODE_CMD;
    return;
  }
  const long n = ++st.echoes;
  if (sim_opt.echo_stop > 0 && n >= sim_opt.echo_stop) {
    if (!st.stop_told) sim_log("serial test: echo stopped at byte %ld (--echo-stop)", n);
    st.stop_told = true;
  } else {
    uint8_t e = b;
    for (int i = 0; i < sim_opt.echo_wrong_count; i++) {
      if (sim_opt.echo_wrong[i].number == n) {
        e = static_cast<uint8_t>(sim_opt.echo_wrong[i].value);
        sim_log("serial test: echo byte %ld is 0x%02x instead of 0x%02x (--echo-wrong)", n, e, b);
      }
    }
    sim_send(&e, 1);
  }
  if (sim_opt.vanish_after_echo > 0 && n == sim_opt.vanish_after_echo) {
    sim_log("serial test: %ld echo bytes", n);
    vanish_soon();
  }
}

// ---------------------------------------------------------------- firmware loader

void ldr_begin() {
  const int64_t now = sim_now_ms();
  ldr = {};
  ldr.step = LDR_WAIT_REOPEN;
  ldr.reset_ms = now;
  ldr.enq_due = -1;
  mode = MODE_LOADER;
  sim_log("reset: firmware loader waits for the port to be reopened");
}

void ldr_end(const char* why) {
  sim_log("firmware loader ended (%s): %ld record lines, %ld accepted, %ld refused, %ld unanswered%s", why,
          ldr.lines, ldr.accepted, ldr.refused, ldr.unanswered, ldr.eof_record ? ", end record seen" : "");
  rec_hex_end();
  mode = MODE_CMD;
}

// The far end is back after the reset: the prompt goes out after `delay_ms`.
void ldr_schedule_prompt(int delay_ms) {
  const int64_t due = sim_now_ms() + delay_ms;
  ldr.step = LDR_PROMPT;
  ldr.enq_sent = false;
  if (ldr.enq_due < 0 || due < ldr.enq_due) ldr.enq_due = due;
}

// Own check of a record line: ":" then hex pairs whose byte sum is 0 mod 256,
// with the count field matching the data.
int ldr_check_record(const char* s, int len, bool overflow) {
  if (len < 1 || s[0] != ':') return 0x11;
  if (overflow) return 0x12;
  const int hex = len - 1;
  if (hex % 2 != 0 || hex < 10) return 0x12;
  unsigned sum = 0;
  for (int i = 1; i < len; i += 2) {
    char pair[3] = {s[i], s[i + 1], '\0'};
    char* end = nullptr;
    const long v = std::strtol(pair, &end, 16);
    if (end != pair + 2 || pair[0] == '+' || pair[0] == '-' || pair[0] == ' ') return 0x12;
    sum += static_cast<unsigned>(v);
  }
  if ((sum & 0xFF) != 0) return 0x12;
  char count_text[3] = {s[1], s[2], '\0'};
  const long count = std::strtol(count_text, nullptr, 16);
  if (count != hex / 2 - 5) return 0x15;
  return CH_ACK;
}

const char* ldr_answer_word(int a) {
  switch (a) {
    case 0x06: return "ACK";
    case 0x11: return "no start character";
    case 0x12: return "bad record";
    case 0x15: return "validation";
    case 0x17: return "buffer full";
    case 0x18: return "fatal";
    default: return "other byte";
  }
}

void ldr_record() {
  ldr.rec[ldr.rec_len] = '\0';
  ldr.lines++;
  int answer;
  bool from_list = false;
  if (ldr.answers_used < sim_opt.fw_answer_count) {
    answer = sim_opt.fw_answers[ldr.answers_used++];
    from_list = true;
  } else {
    answer = ldr_check_record(ldr.rec, ldr.rec_len, ldr.rec_overflow);
  }
  if (answer == CH_ACK) {
    ldr.accepted++;
    rec_hex_line(ldr.rec, ldr.rec_len);
    if (std::strncmp(ldr.rec, ":00000001", 9) == 0) ldr.eof_record = true;
  } else {
    char shown[80];
    rec_printable(reinterpret_cast<const uint8_t*>(ldr.rec), ldr.rec_len < 40 ? ldr.rec_len : 40, shown,
                  sizeof shown);
    if (answer == SIM_FW_NONE) {
      ldr.unanswered++;
      sim_log("record line %ld \"%s%s\": no answer%s", ldr.lines, shown, ldr.rec_len > 40 ? "..." : "",
              from_list ? " (--fw-answers)" : "");
    } else {
      ldr.refused++;
      sim_log("record line %ld \"%s%s\": answer 0x%02x (%s)%s", ldr.lines, shown, ldr.rec_len > 40 ? "..." : "",
              answer, ldr_answer_word(answer), from_list ? " (--fw-answers)" : "");
    }
  }
  ldr.rec_len = 0;
  ldr.rec_overflow = false;
  if (answer != SIM_FW_NONE) {
    const uint8_t a = static_cast<uint8_t>(answer);
    sim_send(&a, 1);
  }
  if (sim_opt.vanish_after_records > 0 && ldr.lines == sim_opt.vanish_after_records) {
    ldr_end("--vanish-after-records");
    vanish_soon();
  }
}

void ldr_byte(uint8_t b) {
  if (b == CH_INTR) {
    ldr_end("interrupt character");
    cmd_byte(b);
    return;
  }
  if (sim_opt.fw_silent) return;
  switch (ldr.step) {
    case LDR_WAIT_REOPEN:
      return;
    case LDR_PROMPT:
      if (b != CH_SYN) return;
      if (sim_opt.fw_no_sync_ack) {
        sim_log("firmware loader: SYN not acknowledged (--fw-no-sync-ack)");
        return;
      }
      sim_log("firmware loader: SYN acknowledged");
      ldr.enq_due = -1;
      ldr.step = LDR_ID;
      send_loader_byte(CH_ACK);
      return;
    case LDR_ID:
      if (ldr.id_len == loader_id_len) {
        std::memmove(ldr.id, ldr.id + 1, loader_id_len - 1);
        ldr.id_len--;
      }
      ldr.id[ldr.id_len++] = static_cast<char>(b);
      if (ldr.id_len < loader_id_len || std::memcmp(ldr.id, loader_id, loader_id_len) != 0) return;
      if (sim_opt.fw_no_id_ack) {
        sim_log("firmware loader: identifier %s not acknowledged (--fw-no-id-ack)", loader_id);
        ldr.id_len = 0;
        return;
      }
      sim_log("firmware loader: identifier %s acknowledged; receiving record lines", loader_id);
      ldr.step = LDR_RECORDS;
      rec_hex_begin();
      send_loader_byte(CH_ACK);
      return;
    case LDR_RECORDS:
      if (b == '\r') {
        ldr_record();
      } else if (b == '\n' && ldr.rec_len == 0) {
        // a line end of the far end's own: not part of a record
      } else if (ldr.rec_len < RECORD_MAX_LEN) {
        ldr.rec[ldr.rec_len++] = static_cast<char>(b);
      } else {
        ldr.rec_overflow = true;
      }
      return;
  }
}

void ldr_tick(int64_t now) {
  if (ldr.step == LDR_WAIT_REOPEN && now - ldr.reset_ms >= LOADER_BOOT_MS) {
    sim_log("firmware loader: port not reopened; prompting anyway");
    ldr_schedule_prompt(0);
  }
  if (ldr.step == LDR_PROMPT && ldr.enq_due >= 0 && now >= ldr.enq_due) {
    ldr.enq_due = -1;
    if (sim_opt.fw_silent) return;
    sim_log("firmware loader: prompt ENQ sent%s", ldr.enq_sent ? " again (the far end purged its queues)" : "");
    ldr.enq_sent = true;
    send_loader_byte(CH_ENQ);
  }
}

// ---------------------------------------------------------------- command line

bool host_rate_ok(long rate) {
  for (long r : host_rates)
    if (r == rate) return true;
  return false;
}

void cmd_version() {
  if (sim_opt.garbage) {
    // No device name in it: high bytes, control bytes and text.
    uint8_t junk[48];
    for (int i = 0; i < static_cast<int>(sizeof junk); i++) {
      const int v = (i * 73 + 0x81) & 0xFF;
      junk[i] = static_cast<uint8_t>(v == 0 ? 0x7F : v);
    }
    sim_send_text(reinterpret_cast<const char*>(junk), static_cast<int>(sizeof junk));
    sim_log("version request: answered with garbage (--garbage)");
  } else {
    reply_prompt_line(sim_opt.version_text);
    sim_log("version request: answered \"%s\"", sim_opt.version_text);
  }
  quick_pad(QUICK_VERSION);
}

void cmd_host(const char* arg) {
  char* end = nullptr;
  const long rate = std::strtol(arg, &end, 10);
  if (end == arg || *end != '\0' || !host_rate_ok(rate)) {
    char shown[120];
    rec_printable(reinterpret_cast<const uint8_t*>(arg), static_cast<int>(std::strlen(arg)), shown, sizeof shown);
    sim_log("host \"%s\": refused, not a baud rate", shown);
    reply_prompt_line("Error: invalid baud rate");
    return;
  }
  cmd.host_rate = rate;
  cmd.pending_baud = true;
  cmd.host_seen = true;
  sim_log("host %ld: host port switched to %ld baud", rate, rate);
}

void cmd_line() {
  const bool intr = cmd.intr_line;
  cmd.intr_line = false;
  const bool baud_lf = cmd.pending_baud;
  cmd.pending_baud = false;
  if (cmd.overflow) {
    cmd.len = 0;
    cmd.overflow = false;
    sim_log("command line too long: refused");
    reply_prompt_line("Error: line too long");
    return;
  }
  cmd.line[cmd.len] = '\0';
  cmd.len = 0;
  char* s = cmd.line;
  while (*s == ' ' || *s == '\t') s++;
  char* e = s + std::strlen(s);
  while (e > s && (e[-1] == ' ' || e[-1] == '\t')) *--e = '\0';

  if (*s == '\0') {
    if (baud_lf && !intr) {
      // The far end reopened the port (at the new rate) and asks for the prompt.
      if (sim_opt.no_prompt_after_baud) {
        sim_log("line feed after baud change: no prompt (--no-prompt-after-baud)");
        return;
      }
      sim_log("line feed after baud change (port at %ld baud): prompt", sim_port_baud());
      sim_out_mark();
      reply("\r\n");
      reply(dev_prompt);
      quick_pad(QUICK_PROMPT);
      return;
    }
    if (intr && sim_opt.garbage) return;
    reply("\r\n");
    reply(dev_prompt);
    return;
  }
  char* arg = s;
  while (*arg != '\0' && *arg != ' ' && *arg != '\t') arg++;
  if (*arg != '\0') *arg++ = '\0';
  while (*arg == ' ' || *arg == '\t') arg++;

  if (strcasecmp(s, "version") == 0) {
    cmd_version();
  } else if (strcasecmp(s, "host") == 0) {
    cmd_host(arg);
  } else if (strcasecmp(s, "download") == 0) {
    dwn_begin();
  } else if (strcasecmp(s, "serialtest") == 0) {
    st_begin();
  } else if (strcasecmp(s, "reset") == 0) {
    ldr_begin();
  } else if (strcasecmp(s, "help") == 0 || std::strcmp(s, "?") == 0) {
    reply_prompt_line("Commands: version, host <baud>, download, serialtest, reset");
  } else {
    char shown[120];
    rec_printable(reinterpret_cast<const uint8_t*>(s), static_cast<int>(std::strlen(s)), shown, sizeof shown);
    sim_log("unknown command \"%s\"", shown);
    reply_prompt_line("Error: unknown command");
  }
}

void cmd_byte(uint8_t b) {
  if (b == CH_INTR) {
    cmd.len = 0;
    cmd.overflow = false;
    cmd.last_cr = false;
    cmd.intr_line = true;
    sim_out_mark();
    if (sim_opt.flood_drain_ms > 0) flood_start(sim_opt.flood_drain_ms, "interrupt character");
    return;
  }
  if (b == '\n' && cmd.last_cr) {
    cmd.last_cr = false;
    return;
  }
  cmd.last_cr = b == '\r';
  if (b == '\r' || b == '\n') {
    cmd_line();
    return;
  }
  if (b == 0x08 || b == 0x7F) {
    if (cmd.len > 0) cmd.len--;
    return;
  }
  if (b < 0x20 || b > 0x7E) return;  // line noise
  if (cmd.len < LINE_MAX_LEN)
    cmd.line[cmd.len++] = static_cast<char>(b);
  else
    cmd.overflow = true;
}

void cmd_reset_line() {
  cmd.len = 0;
  cmd.overflow = false;
  cmd.last_cr = false;
  cmd.intr_line = false;
}

}  // namespace

// ---------------------------------------------------------------- entry points

void dev_init() {
  mode = MODE_CMD;
  cmd = {};
  cmd.host_rate = 19200;
  flood_stop();
}

void dev_opened() {
  if (mode == MODE_GONE) return;
  sim_out_mark();
  if (mode == MODE_LOADER) {
    if (ldr.step == LDR_WAIT_REOPEN || (ldr.step == LDR_PROMPT && !ldr.reopened)) {
      ldr.reopened = true;
      if (!sim_opt.fw_silent) ldr_schedule_prompt(LOADER_OPEN_MS);
    }
    return;
  }
  const bool after_host = cmd.host_seen;
  cmd.host_seen = false;
  if (mode == MODE_CMD && sim_opt.flood_open_ms > 0 && !after_host) flood_start(sim_opt.flood_open_ms, "port opened");

  if (mode == MODE_CMD && sim_opt.junk_forever) flood_start_open_ended(FLOOD_ENDLESS, "port opened");
  else if (mode == MODE_CMD && sim_opt.junk_until_interrupt && !after_host)
    flood_start_open_ended(FLOOD_UNTIL_INTERRUPT, "port opened");
}

void dev_closed() {
  if (mode == MODE_GONE) return;
  sim_log("port closed");
  flood_stop();
  // A device on a serial line does not see the host close its port: the
  // command line, a download and the serial test go on (the host's next
  // interrupt character ends them). The close is also noticed some time after
  // it happened, possibly after bytes written since the reopen, so it must not
  // change what those bytes mean. Only the firmware loader follows it.
  if (mode == MODE_LOADER && ldr.step != LDR_WAIT_REOPEN && ldr.reopened) ldr_end("port closed");
}

void dev_flushed(bool output) {
  if (mode == MODE_CMD && output) {
    // What the far end wrote before is gone: a line begun before is dropped.
    cmd_reset_line();
  }
  if (mode != MODE_LOADER || sim_opt.fw_silent) return;
  // The far end purged its queues: after the reset that is the reopen, and
  // a prompt sent before it is gone.
  if (ldr.step == LDR_WAIT_REOPEN || ldr.step == LDR_PROMPT) {
    ldr.reopened = true;
    ldr_schedule_prompt(LOADER_SETTLE_MS);
  }
}

void dev_input(const uint8_t* bytes, int count) {
  for (int i = 0; i < count; i++) {
    if (flood.until != 0 && flood.kind == FLOOD_ENDLESS) return;
    if (flood.until != 0 && flood.kind == FLOOD_UNTIL_INTERRUPT) {
      const void* intr = std::memchr(bytes + i, CH_INTR, static_cast<size_t>(count - i));
      if (intr == nullptr) return;
      i = static_cast<int>(static_cast<const uint8_t*>(intr) - bytes);
      flood_stop();
      sim_log("interrupt character: junk stopped");
    }
    if (flood.until != 0) {
      // Flooding: keep the rest for later.
      const int n = count - i;
      const int room = HOLD_MAX - flood.held_len;
      const int take = n < room ? n : room;
      std::memcpy(flood.held + flood.held_len, bytes + i, static_cast<size_t>(take));
      flood.held_len += take;
      if (take < n) flood.held_lost = true;
      return;
    }
    const uint8_t b = bytes[i];
    switch (mode) {
      case MODE_CMD: cmd_byte(b); break;
      case MODE_DOWNLOAD: dwn_byte(b); break;
      case MODE_SERIALTEST: st_byte(b); break;
      case MODE_LOADER: ldr_byte(b); break;
      case MODE_GONE:
        if (vanish_at >= 0) vanish_now();
        return;
    }
  }
}

void dev_tick(int64_t now) {
  if (mode == MODE_GONE) {
    if (vanish_at >= 0 && now >= vanish_at) vanish_now();
    return;
  }
  flood_tick(now);
  if (mode == MODE_LOADER) ldr_tick(now);
  if (mode == MODE_DOWNLOAD && dwn.have > 0) {
    if (dwn.garbled && now - dwn.last_byte_ms >= PKT_QUIET_MS) dwn_garbled("bad length");
    else if (!dwn.garbled && now - dwn.last_byte_ms >= PKT_GAP_MS) dwn_garbled("broken off");
  }
}

int64_t dev_next_timer() {
  if (mode == MODE_GONE) return vanish_at;
  int64_t next = -1;
  if (flood.until != 0) next = earliest(next, flood.next < flood.until ? flood.next : flood.until);
  if (mode == MODE_LOADER && ldr.step == LDR_WAIT_REOPEN) next = earliest(next, ldr.reset_ms + LOADER_BOOT_MS);
  if (mode == MODE_LOADER && ldr.step == LDR_PROMPT) next = earliest(next, ldr.enq_due);
  if (mode == MODE_DOWNLOAD && dwn.have > 0)
    next = earliest(next, dwn.last_byte_ms + (dwn.garbled ? PKT_QUIET_MS : PKT_GAP_MS));
  return next;
}

void dev_shutdown() {
  if (mode == MODE_DOWNLOAD) dwn_end(false);
  if (mode == MODE_LOADER) ldr_end("simulator stopped");
  rec_hex_end();
}
