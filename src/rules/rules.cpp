// The rule table: 50 packed 28-byte entries that the download sends to the
// device as the file "rules", the keyword tables and the drules display.
#include <cstdio>
#include <cstring>
#include <limits>

#include "config/config.h"
#include "rules/rules.h"

rule_entry rule_table[RULE_LIMIT];
bool rules_processed = false;
bool rules_stopped = false;
char rules_stopped_name[RULES_NAME_SIZE];

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "floats travel as IEEE 754 single");
static_assert(sizeof(rule_entry) == RULE_ENTRY_SIZE, "a rule entry is 28 bytes, no padding");
static_assert(4 * RULE_PARAM_SIZE + 4 == RULE_ENTRY_SIZE, "four parameters, command, flags, line number");
static_assert(sizeof rule_table == 1400, "the table is 50 entries of 28 bytes");

namespace {

// Room for one argument text. A radius of 3.4e38 printed with "%-.3f" needs
// 39 digits, the decimals and the label, so the texts get more than the
// largest float needs.
constexpr int rule_arg_size = 64;

const char* action_name(uint8_t flags) {
  switch (flags & 0x0F) {
    case RULE_ACT_PASS: return "Pass";
    case RULE_ACT_DROP: return "Drop";
    default: return "?";
  }
}

double param_value(const uint8_t param[RULE_PARAM_SIZE]) { return static_cast<double>(rule_get_float(param)); }

// Builds the four argument texts of one entry.
void rule_args(const rule_entry& e, char (&t)[4][rule_arg_size]) {
  const char* call = reinterpret_cast<const char*>(e.param_a);
  switch (e.command) {
    case RULE_CMD_DESTIN:
    case RULE_CMD_SOURCE:
      if (e.flags & RULE_MOD_ANY) {
        std::snprintf(t[0], sizeof t[0], "*");
      } else if (e.flags & RULE_MOD_PREFIX) {
        std::snprintf(t[0], sizeof t[0], "%-.*s*", RULE_PARAM_SIZE, call);
      } else if (e.flags & RULE_MOD_SSID) {
        std::snprintf(t[0], sizeof t[0], "%-.*s-%d", RULE_PARAM_SIZE, call, e.param_b[0]);
      } else {
        std::snprintf(t[0], sizeof t[0], "%-.*s", RULE_PARAM_SIZE, call);
      }
      break;
    case RULE_CMD_CIRCLE:
      std::snprintf(t[0], sizeof t[0], "%-.3f mi R,", param_value(e.param_a));
      std::snprintf(t[1], sizeof t[1], "%-10.6f D Lat,", param_value(e.param_b));
      std::snprintf(t[2], sizeof t[2], "%-11.5f D Lon", param_value(e.param_c));
      break;
    case RULE_CMD_COMPASS: {
      const int dir = e.param_a[0] <= COMPASS_DIRECTIONS ? e.param_a[0] : 0;
      std::snprintf(t[0], sizeof t[0], "%-2s Dir,", compass_names[static_cast<size_t>(dir)].data());
      std::snprintf(t[1], sizeof t[1], "%-10.6f D Lat,", param_value(e.param_b));
      std::snprintf(t[2], sizeof t[2], "%-11.5f D Lon", param_value(e.param_c));
      break;
    }
    case RULE_CMD_RECTANGLE:
      std::snprintf(t[0], sizeof t[0], "%-10.6f D Lat1,", param_value(e.param_a));
      std::snprintf(t[1], sizeof t[1], "%-11.5f D Lon1,", param_value(e.param_b));
      std::snprintf(t[2], sizeof t[2], "%-10.6f D Lat2,", param_value(e.param_c));
      std::snprintf(t[3], sizeof t[3], "%-11.5f D Lon2", param_value(e.param_d));
      break;
    case RULE_CMD_SECTOR:
      std::snprintf(t[0], sizeof t[0], "%-.3f D Ang1,", param_value(e.param_a));
      std::snprintf(t[1], sizeof t[1], "%-.3f D Ang2,", param_value(e.param_b));
      std::snprintf(t[2], sizeof t[2], "%-.3f In R,", param_value(e.param_c));
      std::snprintf(t[3], sizeof t[3], "%-.3f Out R", param_value(e.param_d));
      break;
    default:
      break;
  }
}

}  // namespace

void rule_put_float(uint8_t param[RULE_PARAM_SIZE], float v) {
  uint32_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  param[0] = static_cast<uint8_t>(bits);
  param[1] = static_cast<uint8_t>(bits >> 8);
  param[2] = static_cast<uint8_t>(bits >> 16);
  param[3] = static_cast<uint8_t>(bits >> 24);
  param[4] = 0;
  param[5] = 0;
}

float rule_get_float(const uint8_t param[RULE_PARAM_SIZE]) {
  const uint32_t bits = static_cast<uint32_t>(param[0]) | static_cast<uint32_t>(param[1]) << 8 |
                        static_cast<uint32_t>(param[2]) << 16 | static_cast<uint32_t>(param[3]) << 24;
  float v = 0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

const char* rule_cmd_name(int code) {
  for (const auto& c : rule_commands) {
    if (c.code == code) return c.word.data();
  }
  return "?";
}

void rule_image(const rule_entry& e, uint8_t out[RULE_ENTRY_SIZE]) {
  std::memcpy(out + 0, e.param_a, RULE_PARAM_SIZE);
  std::memcpy(out + 6, e.param_b, RULE_PARAM_SIZE);
  std::memcpy(out + 12, e.param_c, RULE_PARAM_SIZE);
  std::memcpy(out + 18, e.param_d, RULE_PARAM_SIZE);
  out[24] = e.command;
  out[25] = e.flags;
  const auto line = static_cast<uint16_t>(e.line_no);
  out[26] = static_cast<uint8_t>(line);
  out[27] = static_cast<uint8_t>(line >> 8);
}

int rules_image(uint8_t* out, int cap) {
  const int count = config_record.rule_count;
  if (count > RULE_LIMIT) return -1;
  const int size = count * RULE_ENTRY_SIZE;
  if (size > cap || (size > 0 && out == nullptr)) return -1;
  for (int i = 0; i < count; ++i) rule_image(rule_table[i], out + i * RULE_ENTRY_SIZE);
  return size;
}

void rules_display() {
  const unsigned implicit = config_record.implicit_action;
  const int count = config_record.rule_count;
  if (count == 0) {
    const char* name = implicit == IMPLICIT_DROP ? "Drop" : implicit == IMPLICIT_PASS ? "Pass" : "?";
    std::printf("No Rules are configured!  Implicit Rule Action is %s\n", name);
    return;
  }
  std::printf("Rule count %d plus Implicit\n", count);
  std::printf("\n%-6s %-9s %-s Arguments\n", "Action", "Command", "Mods");
  std::printf("%-6s %-9s\n", implicit == IMPLICIT_DROP ? "Drop" : "Pass", "Implicit");
  // The count never exceeds the table; the bound only keeps a damaged
  // record from reading past it.
  const int shown = count < RULE_LIMIT ? count : RULE_LIMIT;
  for (int i = 0; i < shown; ++i) {
    const rule_entry& e = rule_table[i];
    char t[4][rule_arg_size] = {};
    rule_args(e, t);
    std::printf("%-6s %-9s %02x   %s %s %s %s\n", action_name(e.flags), rule_cmd_name(e.command), e.flags & 0xF0,
                t[0], t[1], t[2], t[3]);
  }
}
