// What the parts of the device model call of each other. Not for the front
// ends: they use model.h.
#pragma once
#include <cstddef>
#include <cstdint>

#include "model/model.h"

namespace simdev {

constexpr uint8_t CH_INTR = 0x03;
constexpr uint8_t CH_ENQ = 0x05;
constexpr uint8_t CH_ACK = 0x06;
constexpr uint8_t CH_NAK = 0x15;
constexpr uint8_t CH_SYN = 0x16;

// ---------------------------------------------------------------- effects (effects.cpp)

// One log line ('\n' added).
void log_line(device& d, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Binary bytes to the far end, behind anything still waiting.
void send(device& d, const uint8_t* bytes, int count);
// The same, `delay_ms` after the bytes they answer have arrived.
void send_late(device& d, const uint8_t* bytes, int count, int delay_ms);
// --wire-time: one more byte from the far end has crossed the line.
void wire_byte_in(device& d);
// A text reply: --noise and --pieces apply to it.
void send_text(device& d, const char* text, int count);
// `count` blanks of quick filler, sent as one piece after the text before it.
void send_filler(device& d, int count);
// --quick: fill the utility's read of `size` bytes, counted since the last mark.
void out_mark(device& d);
void quick_pad(device& d, int size);
// A file to keep (nothing unless the options ask for files).
void keep_add(device& d, keep_file file, keep_op op, const void* data, size_t size);
// True while the effects have room for what one more input byte may cause.
bool effects_room(const device& d);

// ---------------------------------------------------------------- model.cpp

// The device vanishes once its last answer has had time to arrive.
void vanish_soon(device& d);
void flood_start(device& d, int ms, const char* why);

// ---------------------------------------------------------------- parts

void cmd_reset(device& d);
// "\r\n<text>\r\n" and the prompt.
void reply_prompt_line(device& d, const char* text);
void cmd_byte(device& d, uint8_t b);
void cmd_reset_line(device& d);

void dwn_begin(device& d);
void dwn_byte(device& d, uint8_t b);
void dwn_end(device& d, bool finished);
void dwn_tick(device& d);
int64_t dwn_next_timer(const device& d);

void st_begin(device& d);
void st_byte(device& d, uint8_t b);

void ldr_begin(device& d);
void ldr_end(device& d, const char* why);
void ldr_byte(device& d, uint8_t b);
void ldr_opened(device& d);
void ldr_closed(device& d);
void ldr_purged(device& d);
void ldr_tick(device& d);
int64_t ldr_next_timer(const device& d);

// ---------------------------------------------------------------- decode.cpp

// Runs the packet CRC register step over `count` bytes starting from `reg`.
uint16_t crc_run(uint16_t reg, const uint8_t* data, int count);
// True when the packet's CRC (its last two bytes) is right.
bool packet_crc_ok(const uint8_t* packet, int length);
// Copies `count` bytes as printable text (others as \xNN) into out[cap].
void printable(const uint8_t* bytes, int count, char* out, int cap);
// The received images in plain words on the log.
void print_conf(device& d, const uint8_t* conf);
void print_rules(device& d, const uint8_t* rules, int count);

// The earlier of two instants, -1 standing for "never".
inline int64_t earliest(int64_t a, int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

}  // namespace simdev
