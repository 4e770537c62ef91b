// The state of one simulated device: plain records, one per device part, in
// one `simdev::device` that the caller owns (no global state).
#pragma once
#include <cstddef>
#include <cstdint>

#include "model/options.h"

namespace simdev {

constexpr int CONF_SIZE = 176;
constexpr int RULE_SIZE = 28;
constexpr int RULES_MAX = 50;
constexpr int RULES_BYTES_MAX = RULES_MAX * RULE_SIZE;
constexpr int LINE_MAX_LEN = 80;     // command line
constexpr int RECORD_MAX_LEN = 600;  // firmware record line
constexpr int PKT_MAX = 64;
constexpr int LOADER_ID_LEN = 9;
constexpr int HOLD_MAX = 4096;  // input kept while flooding

constexpr size_t OUT_RING = 1u << 16;  // bytes waiting to be sent
constexpr size_t SEG_RING = 4096;      // runs of them with a due time
constexpr size_t LOG_CAP = 1u << 16;   // log text between two take_log
constexpr size_t KEEP_CAP = 1u << 15;  // file bytes between two keeps_taken
constexpr size_t KEEP_ENTRIES = 256;

enum dev_mode : uint8_t { MODE_CMD, MODE_DOWNLOAD, MODE_SERIALTEST, MODE_LOADER, MODE_GONE };

struct cmd_state {
  char line[LINE_MAX_LEN + 1];
  int len;
  bool overflow;
  bool last_cr;       // a CR ended the last line: an LF right after it is part of it
  bool intr_line;     // this line began right after the interrupt character
  bool pending_baud;  // "host N" came: the next line feed is the re-synchronisation
  bool host_seen;     // "host N" came since the port was last opened
  long host_rate;
};

// A timed flood holds what arrives meanwhile and handles it afterwards; a
// device busy until the interrupt character hears nothing before it; a
// device that talks for ever hears nothing at all.
enum flood_kind : uint8_t { FLOOD_TIMED, FLOOD_UNTIL_INTERRUPT, FLOOD_ENDLESS };

struct flood_state {
  flood_kind kind;
  int64_t until;  // 0: not flooding
  int64_t next;
  int pos;
  uint8_t held[HOLD_MAX];
  int held_len;
  bool held_lost;
  // After a timed flood the held bytes are handled, as far as the effects
  // have room at each turn.
  uint8_t replay[HOLD_MAX];
  int replay_len;
  int replay_pos;
};

enum dwn_file : uint8_t { FILE_NONE, FILE_CONF, FILE_RULES };

struct dwn_state {
  uint8_t pkt[PKT_MAX];
  int have;
  int len;
  bool garbled;
  int64_t last_byte_ms;
  long number;    // the current distinct packet (a packet after a NAK is the same one again)
  long received;  // packets received, resendings included
  int last_answer;
  int nak_given[OPT_MAX];
  dwn_file file;
  long expect;
  long got;
  uint8_t conf[CONF_SIZE];
  bool conf_done;
  uint8_t rules[RULES_BYTES_MAX];
  long rules_size;
  bool rules_done;
};

struct st_state {
  long echoes;
  bool stop_told;
};

enum ldr_step : uint8_t { LDR_WAIT_REOPEN, LDR_PROMPT, LDR_ID, LDR_RECORDS };

struct ldr_state {
  ldr_step step;
  bool reopened;
  int64_t reset_ms;
  int64_t enq_due;  // -1: no prompt scheduled
  bool enq_sent;
  char id[LOADER_ID_LEN];
  int id_len;
  char rec[RECORD_MAX_LEN + 1];
  int rec_len;
  bool rec_overflow;
  long lines;
  long record;  // distinct record lines: a line the same as the one before is the same record again
  char prev[RECORD_MAX_LEN + 1];
  int prev_len;
  bool late_given[OPT_MAX];
  bool refuse_given[OPT_MAX];
  long accepted;
  long refused;
  long unanswered;
  int answers_used;
  bool eof_record;
  bool hex_open;  // firmware.hex started and not closed
};

struct out_seg {
  uint32_t len;
  int64_t due_ms;  // not before this instant
};

struct out_state {
  uint8_t ring[OUT_RING];
  size_t head, tail;  // byte counters (modulo OUT_RING)
  out_seg segs[SEG_RING];
  size_t seg_head, seg_tail;
  uint32_t seg_done;       // bytes of the head run already taken
  int64_t piece_last_due;  // due time of the last piece scheduled (-1: none)
  long nonnul;             // non-NUL bytes queued since the last mark
  // --wire-time: when the line from the far end and the line to it are free
  // again (microseconds, on the caller's clock).
  int64_t wire_in_free_us;
  int64_t wire_out_free_us;
  bool overflow_told;
};

struct keep_entry {
  uint8_t file;
  uint8_t op;
  uint32_t offset;
  uint32_t size;
};

struct effects_state {
  char log[LOG_CAP];
  size_t log_len;
  long log_lost;  // lines that found no room
  uint8_t keep_data[KEEP_CAP];
  size_t keep_len;
  keep_entry keeps[KEEP_ENTRIES];
  size_t keep_count;
};

struct device {
  const options* opt;
  int64_t now;  // the time of the call being served
  long baud;    // the line's rate, 0: unknown
  dev_mode mode;
  int64_t vanish_at;  // the device vanishes at this instant (-1: it stays)
  bool gone;          // it vanished
  cmd_state cmd;
  flood_state flood;
  dwn_state dwn;
  st_state st;
  ldr_state ldr;
  out_state out;
  effects_state fx;
};

}  // namespace simdev
