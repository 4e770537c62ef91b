// The firmware loader: after "reset" it waits for the far end to reopen the
// port, prompts with ENQ, answers SYN and the identifier with ACK, then
// answers each record line (up to its CR) with one byte and keeps the lines
// it accepted.
#include <cstring>

#include "model/parts.h"

namespace simdev {

namespace {

constexpr const char* loader_id = "TvLink1.0";
constexpr int QUICK_LOADER = 20;     // the utility's read of a loader answer
constexpr int LOADER_SETTLE_MS = 2;  // prompt this long after the far end purged
constexpr int LOADER_OPEN_MS = 50;   // prompt this long after a reopen with no purge seen
constexpr int LOADER_BOOT_MS = 5000; // no reopen at all: prompt anyway

void send_loader_byte(device& d, uint8_t b) {
  out_mark(d);
  send(d, &b, 1);
  quick_pad(d, QUICK_LOADER);
}

// DIR/firmware.hex: started empty, one accepted record line (without its CR)
// per line, closed at the end of the update.
void hex_begin(device& d) {
  keep_add(d, KEEP_FIRMWARE, KEEP_START, nullptr, 0);
  d.ldr.hex_open = true;
}

void hex_line(device& d) {
  keep_add(d, KEEP_FIRMWARE, KEEP_APPEND, d.ldr.rec, static_cast<size_t>(d.ldr.rec_len));
  keep_add(d, KEEP_FIRMWARE, KEEP_APPEND, "\n", 1);
}

void hex_end(device& d) {
  if (d.ldr.hex_open) keep_add(d, KEEP_FIRMWARE, KEEP_CLOSE, nullptr, 0);
  d.ldr.hex_open = false;
}

}  // namespace

void ldr_begin(device& d) {
  d.ldr = {};
  d.ldr.step = LDR_WAIT_REOPEN;
  d.ldr.reset_ms = d.now;
  d.ldr.enq_due = -1;
  d.mode = MODE_LOADER;
  log_line(d, "reset: firmware loader waits for the port to be reopened");
}

void ldr_end(device& d, const char* why) {
  log_line(d, "firmware loader ended (%s): %ld record lines, %ld accepted, %ld refused, %ld unanswered%s", why,
          d.ldr.lines, d.ldr.accepted, d.ldr.refused, d.ldr.unanswered, d.ldr.eof_record ? ", end record seen" : "");
  hex_end(d);
  d.mode = MODE_CMD;
}

// The far end is back after the reset: the prompt goes out after `delay_ms`.
static void ldr_schedule_prompt(device& d, int delay_ms) {
  const int64_t due = d.now + delay_ms;
  d.ldr.step = LDR_PROMPT;
  d.ldr.enq_sent = false;
  if (d.ldr.enq_due < 0 || due < d.ldr.enq_due) d.ldr.enq_due = due;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Own check of a record line: ":" then hex pairs whose byte sum is 0 mod 256,
// with the count field matching the data.
static int ldr_check_record(const char* s, int len, bool overflow) {
  if (len < 1 || s[0] != ':') return 0x11;
  if (overflow) return 0x12;
  const int hex = len - 1;
  if (hex % 2 != 0 || hex < 10) return 0x12;
  unsigned sum = 0;
  for (int i = 1; i < len; i += 2) {
    const int hi = hex_digit(s[i]);
    const int lo = hex_digit(s[i + 1]);
    if (hi < 0 || lo < 0) return 0x12;
    sum += static_cast<unsigned>(hi * 16 + lo);
  }
  if ((sum & 0xFF) != 0) return 0x12;
  const int count = hex_digit(s[1]) * 16 + hex_digit(s[2]);
  if (count != hex / 2 - 5) return 0x15;
  return CH_ACK;
}

static const char* ldr_answer_word(int a) {
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

// The first --fw-late or --fw-refuse entry for the current record not yet
// used, or -1; it is marked used.
static int ldr_take(const device& d, const pair_list& pairs, bool* given) {
  for (int i = 0; i < pairs.count; i++) {
    if (pairs.items[i].number != d.ldr.record || given[i]) continue;
    given[i] = true;
    return pairs.items[i].value;
  }
  return -1;
}

static void ldr_record(device& d) {
  ldr_state& l = d.ldr;
  l.rec[l.rec_len] = '\0';
  l.lines++;
  if (l.record == 0 || l.rec_len != l.prev_len || std::memcmp(l.rec, l.prev, static_cast<size_t>(l.rec_len)) != 0) {
    l.record++;
    std::memcpy(l.prev, l.rec, static_cast<size_t>(l.rec_len));
    l.prev_len = l.rec_len;
  }
  int answer;
  bool from_list = false;
  const int refuse = ldr_take(d, d.opt->fw_refuse, l.refuse_given);
  const int late_ms = ldr_take(d, d.opt->fw_late, l.late_given);
  if (l.answers_used < d.opt->fw_answer_count) {
    answer = d.opt->fw_answers[l.answers_used++];
    from_list = true;
  } else if (refuse >= 0) {
    answer = refuse;
    log_line(d, "record %ld refused once with 0x%02x (--fw-refuse)", l.record, refuse);
  } else {
    answer = ldr_check_record(d.ldr.rec, d.ldr.rec_len, d.ldr.rec_overflow);
  }
  if (late_ms >= 0 && answer != FW_NONE)
    log_line(d, "record %ld (line %ld) answered %d ms late (--fw-late)", l.record, l.lines, late_ms);
  if (answer == CH_ACK) {
    d.ldr.accepted++;
    hex_line(d);
    if (std::strncmp(d.ldr.rec, ":00000001", 9) == 0) d.ldr.eof_record = true;
  } else {
    char shown[80];
    printable(reinterpret_cast<const uint8_t*>(d.ldr.rec), d.ldr.rec_len < 40 ? d.ldr.rec_len : 40, shown,
                  sizeof shown);
    if (answer == FW_NONE) {
      d.ldr.unanswered++;
      log_line(d, "record line %ld \"%s%s\": no answer%s", d.ldr.lines, shown, d.ldr.rec_len > 40 ? "..." : "",
              from_list ? " (--fw-answers)" : "");
    } else {
      d.ldr.refused++;
      log_line(d, "record line %ld \"%s%s\": answer 0x%02x (%s)%s", d.ldr.lines, shown, d.ldr.rec_len > 40 ? "..." : "",
              answer, ldr_answer_word(answer), from_list ? " (--fw-answers)" : "");
    }
  }
  d.ldr.rec_len = 0;
  d.ldr.rec_overflow = false;
  if (answer != FW_NONE) {
    const uint8_t a = static_cast<uint8_t>(answer);
    send_late(d, &a, 1, late_ms > 0 ? late_ms : 0);
  }
  if (d.opt->vanish_after_records > 0 && d.ldr.lines == d.opt->vanish_after_records) {
    ldr_end(d, "--vanish-after-records");
    vanish_soon(d);
  }
}

void ldr_byte(device& d, uint8_t b) {
  if (b == CH_INTR) {
    ldr_end(d, "interrupt character");
    cmd_byte(d, b);
    return;
  }
  if (d.opt->fw_silent) return;
  switch (d.ldr.step) {
    case LDR_WAIT_REOPEN:
      return;
    case LDR_PROMPT:
      if (b != CH_SYN) return;
      if (d.opt->fw_no_sync_ack) {
        log_line(d, "firmware loader: SYN not acknowledged (--fw-no-sync-ack)");
        return;
      }
      log_line(d, "firmware loader: SYN acknowledged");
      d.ldr.enq_due = -1;
      d.ldr.step = LDR_ID;
      send_loader_byte(d, CH_ACK);
      return;
    case LDR_ID:
      if (d.ldr.id_len == LOADER_ID_LEN) {
        std::memmove(d.ldr.id, d.ldr.id + 1, LOADER_ID_LEN - 1);
        d.ldr.id_len--;
      }
      d.ldr.id[d.ldr.id_len++] = static_cast<char>(b);
      if (d.ldr.id_len < LOADER_ID_LEN || std::memcmp(d.ldr.id, loader_id, LOADER_ID_LEN) != 0) return;
      if (d.opt->fw_no_id_ack) {
        log_line(d, "firmware loader: identifier %s not acknowledged (--fw-no-id-ack)", loader_id);
        d.ldr.id_len = 0;
        return;
      }
      log_line(d, "firmware loader: identifier %s acknowledged; receiving record lines", loader_id);
      d.ldr.step = LDR_RECORDS;
      hex_begin(d);
      send_loader_byte(d, CH_ACK);
      return;
    case LDR_RECORDS:
      if (b == '\r') {
        ldr_record(d);
      } else if (b == '\n' && d.ldr.rec_len == 0) {
        // a line end of the far end's own: not part of a record
      } else if (d.ldr.rec_len < RECORD_MAX_LEN) {
        d.ldr.rec[d.ldr.rec_len++] = static_cast<char>(b);
      } else {
        d.ldr.rec_overflow = true;
      }
      return;
  }
}

void ldr_tick(device& d) {
  const int64_t now = d.now;
  if (d.ldr.step == LDR_WAIT_REOPEN && now - d.ldr.reset_ms >= LOADER_BOOT_MS) {
    log_line(d, "firmware loader: port not reopened; prompting anyway");
    ldr_schedule_prompt(d, 0);
  }
  if (d.ldr.step == LDR_PROMPT && d.ldr.enq_due >= 0 && now >= d.ldr.enq_due) {
    d.ldr.enq_due = -1;
    if (d.opt->fw_silent) return;
    log_line(d, "firmware loader: prompt ENQ sent%s", d.ldr.enq_sent ? " again (the far end purged its queues)" : "");
    d.ldr.enq_sent = true;
    send_loader_byte(d, CH_ENQ);
  }
}

void ldr_opened(device& d) {
  if (d.ldr.step == LDR_WAIT_REOPEN || (d.ldr.step == LDR_PROMPT && !d.ldr.reopened)) {
    d.ldr.reopened = true;
    if (!d.opt->fw_silent) ldr_schedule_prompt(d, LOADER_OPEN_MS);
  }
}

void ldr_closed(device& d) {
  if (d.ldr.step != LDR_WAIT_REOPEN && d.ldr.reopened) ldr_end(d, "port closed");
}

void ldr_purged(device& d) {
  if (d.opt->fw_silent) return;
  // The far end purged its queues: after the reset that is the reopen, and
  // a prompt sent before it is gone.
  if (d.ldr.step == LDR_WAIT_REOPEN || d.ldr.step == LDR_PROMPT) {
    d.ldr.reopened = true;
    ldr_schedule_prompt(d, LOADER_SETTLE_MS);
  }
}

int64_t ldr_next_timer(const device& d) {
  if (d.ldr.step == LDR_WAIT_REOPEN) return d.ldr.reset_ms + LOADER_BOOT_MS;
  if (d.ldr.step == LDR_PROMPT) return d.ldr.enq_due;
  return -1;
}

}  // namespace simdev
