// The rules file reader: one statement per line, each an action word, a
// command word and the command's arguments. A file is taken whole or leaves
// no rule counted: the first faulty line ends the read.
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "angles/angles.h"
#include "config/config.h"
#include "config/line_reader.h"
#include "rules/rules.h"
#include "text/numbers.h"
#include "text/words.h"

namespace {

// Separator sets of the fields of a statement.
constexpr const char seps_word[] = " \t,";        // action and command words, radius, direction
constexpr const char seps_call[] = "#/; \t,";     // call pattern, sector ranges
constexpr const char seps_angle[] = "\t,";        // angles followed by another argument
constexpr const char seps_last_angle[] = "#/;\t,";  // the last angle of a line
constexpr const char comment_chars[] = "#/;";

constexpr int rules_err_read = -72;

// One read of a rules file: the name as typed, the current line and the
// unread rest of it.
struct rules_reader {
  const char* path;
  int line_no;
  const char* comment;  // first comment character of the line, or nullptr
  char* rest;           // where the next field is split off
};

// Splits the next field off the rest of the line (txt_word).
char* rules_split(rules_reader& r, const char* seps) { return txt_word(&r.rest, seps); }

// True when a field begins after the comment position (it lies in the comment).
bool in_comment(const rules_reader& r, const char* field) { return r.comment != nullptr && field > r.comment; }

// Prints "\a\aError: file[line]: <text>:\n<line>\n" and returns `code`.
[[gnu::format(printf, 3, 4)]] int rules_fail(const rules_reader& r, int code, const char* fmt, ...) {
  std::printf("\a\aError: %s[%d]: ", r.path, r.line_no);
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::printf(":\n%s\n", line_copy);
  return code;
}

bool starts_comment(const char* word) { return std::strchr(comment_chars, word[0]) != nullptr; }

// Decimal-to-floating conversion: leading white space, then a decimal number
// (digits, point, digits, exponent); no number gives 0. Hexadecimal and
// names such as "inf" are not decimal numbers and give 0 too.
double conv_decimal(const char* s) {
  const char* p = s;
  while (txt_space(*p)) ++p;
  const char* q = (*p == '+' || *p == '-') ? p + 1 : p;
  const bool digit = *q >= '0' && *q <= '9';
  const bool point_digit = *q == '.' && q[1] >= '0' && q[1] <= '9';
  if (!digit && !point_digit) return 0.0;
  if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) return 0.0;  // reads as the number 0, then stops
  return std::strtod(p, nullptr);  // overflow gives +-HUGE_VAL, which every caller bounds
}

// A checked value stored in single precision; values beyond the float range
// are stored as the largest float of their sign.
void put_value(uint8_t param[RULE_PARAM_SIZE], double v) {
  float f = 0;
  if (v > FLT_MAX) {
    f = FLT_MAX;
  } else if (v < -FLT_MAX) {
    f = -FLT_MAX;
  } else {
    f = static_cast<float>(v);
  }
  rule_put_float(param, f);
}

// Messages and codes of one argument.
struct arg_check {
  const char* missing;     // nothing left on the line
  int missing_code;
  const char* commented;   // the argument lies in the comment
  int commented_code;
  const char* invalid;     // the check failed; "%f" takes the value
  int invalid_code;
};

// Splits off one argument; 0 and the field, or the code of the message.
int take_arg(rules_reader& r, const char* seps, const arg_check& c, char*& field) {
  field = rules_split(r, seps);
  if (field == nullptr) return rules_fail(r, c.missing_code, "%s", c.missing);
  if (in_comment(r, field)) return rules_fail(r, c.commented_code, "%s", c.commented);
  return 0;
}

// An angle through dmctodeg, checked against [lo, hi] and stored.
int take_angle(rules_reader& r, const char* seps, const arg_check& c, double lo, double hi,
               uint8_t param[RULE_PARAM_SIZE]) {
  char* field = nullptr;
  if (const int rc = take_arg(r, seps, c, field); rc != 0) return rc;
  const double v = dmctodeg(field);
  if (v < lo || v > hi) return rules_fail(r, c.invalid_code, c.invalid, v);
  put_value(param, v);
  return 0;
}

int take_lat(rules_reader& r, const char* seps, const arg_check& c, uint8_t param[RULE_PARAM_SIZE]) {
  return take_angle(r, seps, c, -90.0, 90.0, param);
}

int take_lon(rules_reader& r, const char* seps, const arg_check& c, uint8_t param[RULE_PARAM_SIZE]) {
  return take_angle(r, seps, c, -180.0, 180.0, param);
}

int16_t entry_line(int line_no) { return static_cast<int16_t>(line_no < INT16_MAX ? line_no : INT16_MAX); }

// destin, dst, source, src: a call pattern.
int rules_call(rules_reader& r, rule_entry& e, int command, uint8_t action) {
  const bool destin = command == RULE_CMD_DESTIN;
  char* call = rules_split(r, seps_call);
  if (call == nullptr) {
    return destin ? rules_fail(r, -11, "missing Destination") : rules_fail(r, -13, "missing Source");
  }
  if (in_comment(r, call)) {
    return destin ? rules_fail(r, -8, "missing Destination string") : rules_fail(r, -12, "missing Source string");
  }
  e.flags = action;
  e.command = static_cast<uint8_t>(command);
  e.line_no = entry_line(r.line_no);
  if (call[0] == '*') {
    e.flags |= RULE_MOD_PREFIX | RULE_MOD_ANY;
    return 0;
  }
  if (char* star = std::strchr(call, '*'); star != nullptr) {
    *star = '\0';
    e.flags |= RULE_MOD_PREFIX;
  } else if (char* dash = std::strchr(call, '-'); dash != nullptr) {
    *dash = '\0';
    const auto ssid = static_cast<int>(txt_int(dash + 1, 10, INT_MIN, INT_MAX));
    if (ssid < 0 || ssid > 15) return rules_fail(r, -9, "invalid SSID range [0..15]: %d", ssid);
    e.flags |= RULE_MOD_SSID;
    e.param_b[0] = static_cast<uint8_t>(ssid);
  }
  if (std::strlen(call) > RULE_PARAM_SIZE) {
    return destin ? rules_fail(r, -10, "Destination is too long: %s", call)
                  : rules_fail(r, -11, "Source is too long: %s", call);
  }
  std::memset(e.param_a, 0, sizeof e.param_a);
  std::memcpy(e.param_a, call, std::strlen(call));
  return 0;
}

int rules_circle(rules_reader& r, rule_entry& e) {
  char* field = nullptr;
  const arg_check radius{"missing Radius", -25, "missing Range", -14, "invalid Circle Radius, must be > 0: %f", -16};
  if (const int rc = take_arg(r, seps_word, radius, field); rc != 0) return rc;
  const double v = conv_decimal(field);
  if (!(v > 0)) return rules_fail(r, radius.invalid_code, radius.invalid, v);
  put_value(e.param_a, v);
  const arg_check lat{"missing Latitude", -24, "missing Latitude", -17, "invalid Latitude range [-90..90]: %f", -19};
  if (const int rc = take_lat(r, seps_angle, lat, e.param_b); rc != 0) return rc;
  const arg_check lon{"missing Longitude", -23, "missing Longitude", -20, "invalid Longitude range [-180..180]: %f",
                      -22};
  return take_lon(r, seps_last_angle, lon, e.param_c);
}

int rules_compass(rules_reader& r, rule_entry& e) {
  char* field = nullptr;
  const arg_check dir{"missing Compass Direction", -37, "missing Direction", -26, "invalid compass Direction %s", -27};
  if (const int rc = take_arg(r, seps_word, dir, field); rc != 0) return rc;
  int code = 0;
  for (int i = 1; i <= COMPASS_DIRECTIONS && code == 0; ++i) {
    if (txt_equal(field, compass_names[static_cast<size_t>(i)])) code = i;
  }
  if (code == 0) return rules_fail(r, dir.invalid_code, dir.invalid, field);
  e.param_a[0] = static_cast<uint8_t>(code);
  const arg_check lat{"missing Latitude", -36, "missing Latitude", -29, "invalid Latitude range [-90..90]: %f", -31};
  if (const int rc = take_lat(r, seps_angle, lat, e.param_b); rc != 0) return rc;
  const arg_check lon{"missing Longitude", -35, "missing Longitude", -32, "invalid Longitude range [-180..180]: %f",
                      -34};
  return take_lon(r, seps_last_angle, lon, e.param_c);
}

int rules_rectangle(rules_reader& r, rule_entry& e) {
  const arg_check lat1{"missing Latitude1", -53, "missing Latitude1", -38, "invalid Latitude1 range [-90..90]: %f", -40};
  if (const int rc = take_lat(r, seps_angle, lat1, e.param_a); rc != 0) return rc;
  const arg_check lon1{"missing Longitude1", -52, "missing Longitude1", -41,
                       "invalid Longitude1 range [-180..180]: %f", -43};
  if (const int rc = take_lon(r, seps_angle, lon1, e.param_b); rc != 0) return rc;
  const arg_check lat2{"missing Latitude2", -51, "missing Latitude2", -44, "invalid Latitude2 range [-90..90]: %f", -46};
  if (const int rc = take_lat(r, seps_angle, lat2, e.param_c); rc != 0) return rc;
  const arg_check lon2{"missing Longitude2", -50, "missing Longitude2", -47,
                       "invalid Longitude2 range [-180..180]: %f", -49};
  return take_lon(r, seps_last_angle, lon2, e.param_d);
}

int rules_sector(rules_reader& r, rule_entry& e) {
  const arg_check ang1{"missing Angle1", -69, "missing Angle1", -54, "invalid Angle1, range [0..360]: %f", -57};
  if (const int rc = take_angle(r, seps_angle, ang1, 0.0, 360.0, e.param_a); rc != 0) return rc;
  const arg_check ang2{"missing Angle2", -68, "missing Angle2", -58, "invalid Angle2, range [0..360]: %f", -60};
  if (const int rc = take_angle(r, seps_angle, ang2, 0.0, 360.0, e.param_b); rc != 0) return rc;

  char* field = nullptr;
  const arg_check inner{"missing Inner Range", -67, "missing Inner Range", -61, "invalid or missing Inner Range", -62};
  if (const int rc = take_arg(r, seps_call, inner, field); rc != 0) return rc;
  if (field[0] < '0' || field[0] > '9') return rules_fail(r, inner.invalid_code, "%s", inner.invalid);
  put_value(e.param_c, conv_decimal(field));

  // The outer range may be left out (stored as 0); when given it must lie
  // beyond the inner range as stored.
  field = rules_split(r, seps_call);
  if (field == nullptr || in_comment(r, field)) return 0;
  const double outer = conv_decimal(field);
  if (!(outer > static_cast<double>(rule_get_float(e.param_c)))) {
    return rules_fail(r, -66, "invalid Outer Range, must be > Inner Range: %f", outer);
  }
  put_value(e.param_d, outer);
  return 0;
}

// Sets the implicit action from an implicit statement.
void rules_implicit(int command, uint8_t action) {
  uint16_t v = IMPLICIT_PASS;
  if (command == RULE_CMD_DROP || (command == RULE_CMD_IMPLICIT && action == RULE_ACT_DROP)) v = IMPLICIT_DROP;
  config_record.implicit_action = v;
}

// Reads the statements of an open file; 0 at its end, else the code of the
// first faulty line.
int rules_read(FILE* f, rules_reader& r, int& statements, int& implicits) {
  int next = 0;
  for (;;) {
    errno = 0;
    if (line_read(f) < 0) {
      if (std::ferror(f)) {
        const int err = errno;
        std::printf("\a\aError: %s[%d]: read error: %s\n", r.path, r.line_no + 1,
                    err != 0 ? std::strerror(err) : "unknown");
        return rules_err_read;
      }
      return 0;
    }
    ++r.line_no;
    r.comment = std::strpbrk(line_buf, comment_chars);
    r.rest = line_buf;

    char* word = rules_split(r, seps_word);
    if (word == nullptr || starts_comment(word)) continue;

    const int action_row = txt_match(word, rule_actions, &rule_word::word);
    if (action_row < 0) return rules_fail(r, -3, "action %s invalid", word);
    const int action = rule_actions[static_cast<size_t>(action_row)].code;

    char* cmd_word = rules_split(r, seps_word);
    if (cmd_word == nullptr) return rules_fail(r, -71, "missing arguments");
    if (starts_comment(cmd_word)) return rules_fail(r, -5, "missing command");

    if (statements >= RULE_LIMIT) return rules_fail(r, -6, "rule limit (%d) exceeded", RULE_LIMIT);

    const int command_row = txt_match(cmd_word, rule_commands, &rule_word::word);
    if (command_row == TXT_AMBIGUOUS) return rules_fail(r, -7, "Ambiguous command: %s", cmd_word);
    if (command_row == TXT_UNKNOWN) return rules_fail(r, -7, "command %s invalid", cmd_word);
    const int command = rule_commands[static_cast<size_t>(command_row)].code;

    const auto act = static_cast<uint8_t>(action);
    if (command == RULE_CMD_IMPLICIT || command == RULE_CMD_PASS || command == RULE_CMD_DROP) {
      rules_implicit(command, act);
      ++statements;
      ++implicits;
      continue;
    }

    // A rule: fills the next entry (the statement limit keeps it in the table).
    rule_entry& e = rule_table[next];
    int rc = 0;
    if (command == RULE_CMD_DESTIN || command == RULE_CMD_SOURCE) {
      rc = rules_call(r, e, command, act);
    } else {
      e.flags = act;
      e.command = static_cast<uint8_t>(command);
      e.line_no = entry_line(r.line_no);
      switch (command) {
        case RULE_CMD_CIRCLE: rc = rules_circle(r, e); break;
        case RULE_CMD_COMPASS: rc = rules_compass(r, e); break;
        case RULE_CMD_RECTANGLE: rc = rules_rectangle(r, e); break;
        default: rc = rules_sector(r, e); break;
      }
    }
    if (rc != 0) return rc;
    ++statements;
    ++next;
  }
}

}  // namespace

int rules_process(const char* path) {
  if (path == nullptr) {
    std::printf("rules_process: Error: param rfp is invalid\n");
    return -1;
  }
  FILE* f = line_open(path);
  if (f == nullptr) return -2;  // line_open said why

  config_record.implicit_action = IMPLICIT_PASS;
  config_record.rule_count = 0;
  rules_processed = false;
  std::memset(rule_table, 0, sizeof rule_table);

  rules_reader r{path, 0, nullptr, line_buf};
  int statements = 0;
  int implicits = 0;
  const int rc = rules_read(f, r, statements, implicits);
  std::fclose(f);
  if (rc != 0) {
    rules_stopped = true;
    std::snprintf(rules_stopped_name, sizeof rules_stopped_name, "%s", path);
    return rc;
  }
  rules_stopped = false;

  config_record.rule_count = static_cast<uint16_t>(statements - implicits);
  rules_processed = true;
  std::printf("Rules processed %d, implicit %d\n", statements - implicits, implicits);
  return 0;
}
