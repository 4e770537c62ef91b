// The rule table: up to 50 packed 28-byte rule entries, their display, and
// the rules file reader.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

constexpr int RULE_LIMIT = 50;
constexpr int RULE_ENTRY_SIZE = 28;
constexpr int RULE_PARAM_SIZE = 6;

// Command codes.
constexpr int RULE_CMD_IMPLICIT = 44, RULE_CMD_PASS = 45, RULE_CMD_DROP = 46, RULE_CMD_DESTIN = 47,
              RULE_CMD_SOURCE = 48, RULE_CMD_CIRCLE = 49, RULE_CMD_COMPASS = 50, RULE_CMD_RECTANGLE = 51,
              RULE_CMD_SECTOR = 52;
// Action codes (flags bits 0-3) and mods (bits 4-7).
constexpr uint8_t RULE_ACT_DROP = 4, RULE_ACT_PASS = 8, RULE_ACT_IMPLICIT = 16;
constexpr uint8_t RULE_MOD_PREFIX = 0x10, RULE_MOD_ANY = 0x20, RULE_MOD_SSID = 0x40;

// One rule as it is stored and sent. The parameter fields are raw bytes
// (floats stored little-endian in their first four bytes); line_no is turned
// into little-endian bytes by rule_image.
struct rule_entry {
  uint8_t param_a[RULE_PARAM_SIZE];
  uint8_t param_b[RULE_PARAM_SIZE];
  uint8_t param_c[RULE_PARAM_SIZE];
  uint8_t param_d[RULE_PARAM_SIZE];
  uint8_t command;
  uint8_t flags;
  int16_t line_no;
};

// One row of the word tables: a keyword and its code.
struct rule_word {
  std::string_view word;
  int code;
};
// Action words, in matching order.
constexpr std::array<rule_word, 3> rule_actions = {{
    {"drop", RULE_ACT_DROP}, {"pass", RULE_ACT_PASS}, {"implicit", RULE_ACT_IMPLICIT}}};
// Command keywords, in matching order; two keywords share 47 and 48.
constexpr std::array<rule_word, 11> rule_commands = {{{"implicit", RULE_CMD_IMPLICIT},
                                                      {"pass", RULE_CMD_PASS},
                                                      {"drop", RULE_CMD_DROP},
                                                      {"destin", RULE_CMD_DESTIN},
                                                      {"dst", RULE_CMD_DESTIN},
                                                      {"source", RULE_CMD_SOURCE},
                                                      {"src", RULE_CMD_SOURCE},
                                                      {"circle", RULE_CMD_CIRCLE},
                                                      {"compass", RULE_CMD_COMPASS},
                                                      {"rectangle", RULE_CMD_RECTANGLE},
                                                      {"sector", RULE_CMD_SECTOR}}};
// Compass direction names indexed by direction code; 0 is not a direction.
constexpr int COMPASS_DIRECTIONS = 8;
constexpr std::array<std::string_view, COMPASS_DIRECTIONS + 1> compass_names = {
    "Error", "N", "NE", "E", "SE", "S", "SW", "W", "NW"};

extern rule_entry rule_table[RULE_LIMIT];
extern bool rules_processed;
// True when the last rules file stopped at an error (a faulty line or a read
// error); rules_stopped_name is its name (cut to fit). The table then holds
// no rule to send, and rules_processed is false. A file that could not be
// opened changes neither.
constexpr int RULES_NAME_SIZE = 256;
extern bool rules_stopped;
extern char rules_stopped_name[RULES_NAME_SIZE];

// Keyword of the first rule_commands row with `code`, or "?".
const char* rule_cmd_name(int code);
// Prints the rule table (the drules command).
void rules_display();
// Builds the 28-byte wire image of one entry.
void rule_image(const rule_entry& e, uint8_t out[RULE_ENTRY_SIZE]);
// Builds the images of the first rule_count entries into `out` (room for
// `cap` bytes); returns the byte count, or -1 when it does not fit.
int rules_image(uint8_t* out, int cap);
// Reads a rules file into the table; 0 or a negative code.
int rules_process(const char* path);
// Stores a float little-endian in the first four bytes of a parameter field.
void rule_put_float(uint8_t param[RULE_PARAM_SIZE], float v);
// Reads back a float stored by rule_put_float.
float rule_get_float(const uint8_t param[RULE_PARAM_SIZE]);
