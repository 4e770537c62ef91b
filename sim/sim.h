// tovsim: a Tovarelink device behind a pseudo-terminal.
//
// Three parts share this header:
//   tovsim.cpp      options, the pseudo-terminal and the event loop (the "link");
//   sim_device.cpp  the device itself: command line, download, serial test and
//                   firmware loader, each a small state machine fed with bytes;
//   sim_record.cpp  what the device keeps: packet check, decoding of the
//                   received images into plain words, the files of --save-dir.
#pragma once
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- options

constexpr int SIM_OPT_MAX = 16;          // repeats of one numbered option
constexpr int SIM_FW_ANSWERS_MAX = 256;  // entries of --fw-answers
constexpr int SIM_FW_NONE = -1;          // "none": no answer at all

struct sim_pair {
  long number;  // packet or echo number, 1-based
  int value;    // byte or count
};

struct sim_options_t {
  bool quick;
  bool silent;
  bool garbage;
  bool no_prompt_after_baud;
  bool no_serialtest_text;
  bool noise;
  bool fw_silent;
  bool fw_no_sync_ack;
  bool fw_no_id_ack;
  const char* save_dir;      // nullptr: keep nothing on disk
  const char* version_text;  // the device's name and version
  sim_pair nak[SIM_OPT_MAX];
  int nak_count;
  sim_pair answer[SIM_OPT_MAX];
  int answer_count;
  long silent_packet;  // 0: answer every packet
  sim_pair echo_wrong[SIM_OPT_MAX];
  int echo_wrong_count;
  long echo_stop;  // 0: echo everything
  int fw_answers[SIM_FW_ANSWERS_MAX];
  int fw_answer_count;
  long vanish_after_packets;  // 0: never
  long vanish_after_echo;     // 0: never
  // The device disappears during a firmware update (0: never).
  long vanish_after_records;  // after answering record line N
  int flood_drain_ms;
  int flood_open_ms;
  int pieces_ms;
  double exit_after_s;  // 0: never
  // A device that is busy talking when the port is opened:
  bool junk_until_interrupt;  // junk from the open until the interrupt character
  bool junk_forever;          // junk while the port is open, never listening
};

extern sim_options_t sim_opt;

// ---------------------------------------------------------------- link (tovsim.cpp)

// Milliseconds of the monotonic clock.
int64_t sim_now_ms();
// One line of the operator's log on standard output ('\n' added). Never blocks:
// when standard output is a full pipe the line is dropped and counted.
void sim_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Binary bytes to the port, at once (behind any text still waiting for its turn).
void sim_send(const uint8_t* bytes, int count);
// A text reply: --noise and --pieces apply to it.
void sim_send_text(const char* text, int count);
// `count` blanks of quick filler, sent as one piece after the text before it.
void sim_send_filler(int count);
// Starts counting the non-NUL bytes sent from here on.
void sim_out_mark();
// Non-NUL bytes sent (queued) since the last sim_out_mark().
long sim_out_count();
// The rate the far end has set on the port (0 when unknown).
long sim_port_baud();
// The device disappears: the master side is closed, nothing more is served.
void sim_vanish();

// ---------------------------------------------------------------- device (sim_device.cpp)

void dev_init();
// The far end opened the port / closed it. A close is told only after every
// byte the far end wrote before it has gone through dev_input.
void dev_opened();
void dev_closed();
// The far end purged its queues. `output` when it purged what it had sent
// too: the master's unread input went with it, so every byte read after this
// was written after the purge (a clean start of a session).
void dev_flushed(bool output);
// Bytes received from the far end.
void dev_input(const uint8_t* bytes, int count);
// Timed work; dev_next_timer() gives the next instant it is needed (or -1).
void dev_tick(int64_t now);
int64_t dev_next_timer();
// Prints what the current session received when the simulator stops.
void dev_shutdown();

// ---------------------------------------------------------------- records (sim_record.cpp)

constexpr int REC_CONF_SIZE = 176;
constexpr int REC_RULE_SIZE = 28;
constexpr int REC_RULES_MAX = 50;

// Runs the packet CRC register step over `count` bytes starting from `reg`.
uint16_t rec_crc_run(uint16_t reg, const uint8_t* data, int count);
// True when the packet's CRC (its last two bytes) is right.
bool rec_packet_ok(const uint8_t* packet, int length);

// Prepares --save-dir (created when missing; stale files removed). 0 or -1.
int rec_open_dir(const char* dir);
// Writes DIR/name with `count` bytes (nothing without --save-dir). 0 or -1.
int rec_save(const char* name, const uint8_t* data, size_t count);
// One line of DIR/packets.log: length, bytes, answer (-1: none).
void rec_packet_line(int length, const uint8_t* bytes, int count, int answer);
// DIR/received.bin: every byte the device received from the far end, in
// order, across every session of the run (bytes a purge threw away before
// the device read them are not there).
void rec_received(const uint8_t* bytes, int count);
// DIR/firmware.hex: started empty by rec_hex_begin, one accepted record line
// (without its CR) per rec_hex_line, closed by rec_hex_end.
void rec_hex_begin();
void rec_hex_line(const char* line, int count);
void rec_hex_end();

// The received images in plain words on the log.
void rec_print_conf(const uint8_t* conf);
void rec_print_rules(const uint8_t* rules, int count);
// Copies `count` bytes as printable text (others as \xNN) into out[cap].
void rec_printable(const uint8_t* bytes, int count, char* out, int cap);
