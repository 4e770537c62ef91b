// Download packets: framing (two length bytes, payload, CRC-16), the
// answers (ACK, NAK, or what the options ask for), and the images they carry
// (configuration, rules, the finish packet).
#include <cstdio>
#include <cstring>

#include "model/parts.h"

namespace simdev {

namespace {

constexpr int PKT_MIN = 5;
constexpr int PKT_CMD = 21;
constexpr int PKT_NAME = 12;
constexpr int PKT_SIZE_DIGITS = 5;
constexpr int PKT_GAP_MS = 200;   // a packet broken off this long is answered NAK
constexpr int PKT_QUIET_MS = 20;  // after a garbled length: this much silence, then NAK

}  // namespace

// One line of packets.log: length, bytes, answer (-1: none).
static void packet_line(device& d, int length, const uint8_t* bytes, int count, int answer) {
  if (!d.opt->keep_files) return;
  char line[16 + 3 * PKT_MAX + 16];
  int n = std::snprintf(line, sizeof line, "%d", length);
  for (int i = 0; i < count; i++) n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02X", bytes[i]);
  if (answer < 0)
    n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " -> none\n");
  else
    n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " -> %02X\n", answer);
  keep_add(d, KEEP_PACKETS, KEEP_APPEND, line, static_cast<size_t>(n));
}

static const char* file_name(dwn_file f) { return f == FILE_CONF ? "conf" : f == FILE_RULES ? "rules" : "-"; }

void dwn_begin(device& d) {
  d.dwn = {};
  d.dwn.last_answer = -1;
  d.mode = MODE_DOWNLOAD;
  log_line(d, "download: waiting for packets");
}

static void dwn_summary(device& d) {
  if (d.dwn.conf_done) print_conf(d, d.dwn.conf);
  if (d.dwn.rules_done) print_rules(d, d.dwn.rules, static_cast<int>(d.dwn.rules_size / RULE_SIZE));
  if (d.dwn.conf_done && d.dwn.rules_done) {
    const long count = d.dwn.conf[66] | (d.dwn.conf[67] << 8);
    if (count * RULE_SIZE != d.dwn.rules_size)
      log_line(d, "warning: the configuration says %ld rules but %ld were received", count,
              d.dwn.rules_size / RULE_SIZE);
  }
}

void dwn_end(device& d, bool finished) {
  if (!finished) {
    log_line(d, "download broken off after %ld packets (configuration %s, rules %s)", d.dwn.received,
            d.dwn.conf_done ? "received" : "missing", d.dwn.rules_done ? "received" : "missing");
    dwn_summary(d);
  }
  d.mode = MODE_CMD;
}

// A command packet: name and size. nullptr when sound, else why not.
static const char* dwn_parse_command(const device& d, char* name, long* size) {
  const uint8_t* p = d.dwn.pkt + 2;
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
  if (std::strcmp(name, "conf") == 0) return v == CONF_SIZE && digits > 0 ? nullptr : "conf size is not 176";
  if (std::strcmp(name, "rules") == 0)
    return digits > 0 && v % RULE_SIZE == 0 && v <= RULES_BYTES_MAX ? nullptr : "rules size not n*28 <= 1400";
  if (std::strcmp(name, "-cestfini-") == 0) return digits == 0 ? nullptr : "finish packet with a size";
  return "unknown file name";
}

// Checks a sound packet's content; applies it when `apply`. Returns nullptr
// or why the device refuses it. *finish is set by the finish packet.
static const char* dwn_content(device& d, bool apply, bool* finish, char* what, int what_cap) {
  const int payload = d.dwn.len - 4;
  if (d.dwn.file != FILE_NONE && d.dwn.got < d.dwn.expect) {
    const long left = d.dwn.expect - d.dwn.got;
    std::snprintf(what, static_cast<size_t>(what_cap), "data %d bytes of %s (%ld of %ld)", payload,
                  file_name(d.dwn.file), d.dwn.got + (payload <= left ? payload : 0), d.dwn.expect);
    if (payload > left) return "more bytes than announced";
    if (!apply) return nullptr;
    uint8_t* dst = d.dwn.file == FILE_CONF ? d.dwn.conf : d.dwn.rules;
    std::memcpy(dst + d.dwn.got, d.dwn.pkt + 2, static_cast<size_t>(payload));
    d.dwn.got += payload;
    if (d.dwn.got == d.dwn.expect) {
      if (d.dwn.file == FILE_CONF) {
        d.dwn.conf_done = true;
        keep_add(d, KEEP_CONF, KEEP_SAVE, d.dwn.conf, CONF_SIZE);
      } else {
        d.dwn.rules_done = true;
        keep_add(d, KEEP_RULES, KEEP_SAVE, d.dwn.rules, static_cast<size_t>(d.dwn.rules_size));
      }
    }
    return nullptr;
  }
  if (d.dwn.len != PKT_CMD) {
    std::snprintf(what, static_cast<size_t>(what_cap), "data %d bytes", payload);
    return "data without an announced file";
  }
  char name[PKT_NAME + 1];
  long size = 0;
  const char* bad = dwn_parse_command(d, name, &size);
  char shown[80];
  printable(reinterpret_cast<const uint8_t*>(name), static_cast<int>(std::strlen(name)), shown, sizeof shown);
  if (size >= 0)
    std::snprintf(what, static_cast<size_t>(what_cap), "command \"%s\" size %ld", shown, size);
  else
    std::snprintf(what, static_cast<size_t>(what_cap), "command \"%s\"", shown);
  if (bad != nullptr || !apply) return bad;
  if (std::strcmp(name, "-cestfini-") == 0) {
    *finish = true;
  } else if (std::strcmp(name, "conf") == 0) {
    d.dwn.file = FILE_CONF;
    d.dwn.expect = size;
    d.dwn.got = 0;
    d.dwn.conf_done = false;
  } else {
    d.dwn.file = FILE_RULES;
    d.dwn.expect = size;
    d.dwn.got = 0;
    d.dwn.rules_size = size;
    d.dwn.rules_done = size == 0;
    if (size == 0) keep_add(d, KEEP_RULES, KEEP_SAVE, d.dwn.rules, 0);
  }
  return nullptr;
}

static void dwn_answer_text(int answer, char* out, int cap) {
  if (answer < 0)
    std::snprintf(out, static_cast<size_t>(cap), "no answer");
  else if (answer == CH_ACK)
    std::snprintf(out, static_cast<size_t>(cap), "ACK");
  else if (answer == CH_NAK)
    std::snprintf(out, static_cast<size_t>(cap), "NAK");
  else
    std::snprintf(out, static_cast<size_t>(cap), "0x%02x", answer);
}

static void dwn_reset_frame(device& d) {
  d.dwn.have = 0;
  d.dwn.len = 0;
  d.dwn.garbled = false;
}

// A packet that cannot be framed (bad length, or broken off): NAK it.
static void dwn_garbled(device& d, const char* why) {
  if (d.dwn.last_answer != CH_NAK) d.dwn.number++;
  d.dwn.received++;
  const bool silent = d.opt->silent_packet > 0 && d.dwn.number >= d.opt->silent_packet;
  const int answer = silent ? -1 : CH_NAK;
  const int length = d.dwn.have >= 2 ? (d.dwn.pkt[0] << 8 | d.dwn.pkt[1]) : d.dwn.have;
  packet_line(d, length, d.dwn.pkt, d.dwn.have, answer);
  char ans[16];
  dwn_answer_text(answer, ans, sizeof ans);
  log_line(d, "packet %ld: %s (%d bytes) -> %s", d.dwn.number, why, d.dwn.have, ans);
  d.dwn.last_answer = answer;
  dwn_reset_frame(d);
  if (answer >= 0) {
    const uint8_t a = static_cast<uint8_t>(answer);
    send(d, &a, 1);
  }
}

static void dwn_packet(device& d) {
  if (d.dwn.last_answer != CH_NAK) d.dwn.number++;
  d.dwn.received++;
  const long no = d.dwn.number;
  int answer = CH_ACK;
  bool forced = false;
  const char* why = nullptr;
  bool finish = false;
  char what[120] = "";
  const bool crc_ok = packet_crc_ok(d.dwn.pkt, d.dwn.len);
  int nak_slot = -1;
  for (int i = 0; i < d.opt->nak.count; i++)
    if (d.opt->nak.items[i].number == no && d.dwn.nak_given[i] < d.opt->nak.items[i].value) nak_slot = i;
  int forced_answer = -1;
  for (int i = 0; i < d.opt->answer.count; i++)
    if (d.opt->answer.items[i].number == no) forced_answer = d.opt->answer.items[i].value;

  if (d.opt->silent_packet > 0 && no >= d.opt->silent_packet) {
    answer = -1;
    why = "--silent-packet";
  } else if (forced_answer >= 0) {
    answer = forced_answer;
    forced = true;
    why = "--answer";
  } else if (nak_slot >= 0) {
    answer = CH_NAK;
    d.dwn.nak_given[nak_slot]++;
    why = "--nak";
  } else if (!crc_ok) {
    answer = CH_NAK;
    why = "bad CRC";
  }
  if (crc_ok) {
    const char* bad = dwn_content(d, false, &finish, what, sizeof what);
    if (bad != nullptr && answer == CH_ACK && !forced) {
      answer = CH_NAK;
      why = bad;
    }
    if (answer == CH_ACK && bad == nullptr) dwn_content(d, true, &finish, what, sizeof what);
  } else {
    std::snprintf(what, sizeof what, "%d bytes", d.dwn.len);
  }
  // Recorded before the answer goes out.
  packet_line(d, d.dwn.len, d.dwn.pkt, d.dwn.len, answer);
  char ans[16];
  dwn_answer_text(answer, ans, sizeof ans);
  if (why != nullptr)
    log_line(d, "packet %ld: %s -> %s (%s)", no, what, ans, why);
  else
    log_line(d, "packet %ld: %s -> %s", no, what, ans);
  if (finish) {
    log_line(d, "download finished");
    dwn_summary(d);
  }
  d.dwn.last_answer = answer;
  dwn_reset_frame(d);
  if (finish) d.mode = MODE_CMD;
  if (answer >= 0) {
    const uint8_t a = static_cast<uint8_t>(answer);
    send(d, &a, 1);
  }
  if (d.opt->vanish_after_packets > 0 && no == d.opt->vanish_after_packets && answer != CH_NAK) vanish_soon(d);
}

void dwn_byte(device& d, uint8_t b) {
  if (d.dwn.have == 0 && !d.dwn.garbled && b == CH_INTR) {
    // No packet starts with 0x03 (lengths are at most 64): the far end is
    // back at the command line.
    log_line(d, "download interrupted by the interrupt character");
    dwn_end(d, false);
    cmd_byte(d, b);
    return;
  }
  d.dwn.last_byte_ms = d.now;
  if (d.dwn.garbled) {
    if (d.dwn.have < PKT_MAX) d.dwn.pkt[d.dwn.have++] = b;
    return;
  }
  d.dwn.pkt[d.dwn.have++] = b;
  if (d.dwn.have == 2) {
    const int length = d.dwn.pkt[0] << 8 | d.dwn.pkt[1];
    if (length < PKT_MIN || length > PKT_MAX) {
      d.dwn.garbled = true;
      return;
    }
    d.dwn.len = length;
  }
  if (d.dwn.have >= 2 && d.dwn.have == d.dwn.len) dwn_packet(d);
}

void dwn_tick(device& d) {
  const dwn_state& w = d.dwn;
  if (w.have == 0) return;
  if (w.garbled && d.now - w.last_byte_ms >= PKT_QUIET_MS)
    dwn_garbled(d, "bad length");
  else if (!w.garbled && d.now - w.last_byte_ms >= PKT_GAP_MS)
    dwn_garbled(d, "broken off");
}

int64_t dwn_next_timer(const device& d) {
  if (d.dwn.have == 0) return -1;
  return d.dwn.last_byte_ms + (d.dwn.garbled ? PKT_QUIET_MS : PKT_GAP_MS);
}

}  // namespace simdev
