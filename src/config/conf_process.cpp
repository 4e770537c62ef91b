// The configuration file reader: keyword lines, checked one by one, applied
// to config_record in file order; the first bad line stops the run.
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "angles/angles.h"
#include "config/config.h"
#include "config/line_reader.h"
#include "rates/rates.h"
#include "text/numbers.h"
#include "text/words.h"

// Every message about a line of the file begins this way, with the line number.
#define CONF_LINE_ERROR "\a\aError: line %d: "

namespace {

constexpr int CONF_ERR_PARAM = -1;
constexpr int CONF_ERR_OPEN = -2;
constexpr int CONF_ERR_KEYWORD = -7;
constexpr int CONF_ERR_COMMENT = -8;
constexpr int CONF_ERR_VALUE = -11;
constexpr int CONF_ERR_READ = -72;  // as the rules reader's read error
constexpr int CONF_ERR_INTERNAL = -70;

// How an item reads its argument and applies it.
enum conf_kind : uint8_t {
  CONF_INT,       // an integer within [lo, hi] into a 16-bit field
  CONF_BAUD,      // a settable port rate into a 32-bit field
  CONF_SWITCH,    // on or off from the first character
  CONF_CALL,      // the station's call sign
  CONF_POSITION,  // latitude and longitude
  CONF_LAT,
  CONF_LON,
  CONF_ALTITUDE,  // metres, or feet with an f after the number
  CONF_DIGIPATH,
  CONF_BCOMMENT,
  CONF_ICON,
  CONF_UITRACE,   // no argument: each line inverts the switch
};

// A relation an integer item keeps with another field.
enum conf_relation : uint8_t {
  CONF_FREE,
  CONF_NOT_ABOVE,  // the value must not exceed the other field
  CONF_NOT_BELOW,  // the value must not be below the other field
};

// One keyword of the file. `what` names the argument in the missing-argument
// message; `range` is the text of the out-of-range message, to which ": %d:
// %s" adds the value and the line.
struct conf_row {
  std::string_view name;
  conf_kind kind;
  const char* what;
  int base;                         // CONF_INT: 10, or 0 for C notation
  int lo, hi;                       // CONF_INT: the range ...
  bool zero_ok;                     // ... and 0 besides it
  const char* range;
  uint16_t config_fields::*field;   // CONF_INT, CONF_SWITCH
  uint32_t config_fields::*baud;    // CONF_BAUD
  conf_relation relation;
  uint16_t config_fields::*other;   // the field of the relation
  const char* relation_text;        // what the value must be, in the message that names both
};

constexpr conf_row conf_int(std::string_view name, const char* what, int base, int lo, int hi, const char* range,
                            uint16_t config_fields::*field) {
  return {name, CONF_INT, what, base, lo, hi, false, range, field, nullptr, CONF_FREE, nullptr, nullptr};
}
constexpr conf_row conf_related(conf_row row, conf_relation relation, uint16_t config_fields::*other,
                                const char* text) {
  row.relation = relation;
  row.other = other;
  row.relation_text = text;
  return row;
}
constexpr conf_row conf_zero_ok(conf_row row) {
  row.zero_ok = true;
  return row;
}
constexpr conf_row conf_baud(std::string_view name, uint32_t config_fields::*field) {
  return {name, CONF_BAUD, "Baud", 10, 0, 0, false, nullptr, nullptr, field, CONF_FREE, nullptr, nullptr};
}
constexpr conf_row conf_switch(std::string_view name, uint16_t config_fields::*field) {
  return {name, CONF_SWITCH, "y | n", 0, 0, 0, false, nullptr, field, nullptr, CONF_FREE, nullptr, nullptr};
}
constexpr conf_row conf_other(std::string_view name, conf_kind kind, const char* what) {
  return {name, kind, what, 0, 0, 0, false, nullptr, nullptr, nullptr, CONF_FREE, nullptr, nullptr};
}

// The keywords in matching order.
constexpr std::array<conf_row, 27> conf_rows = {{
    conf_other("call", CONF_CALL, "Call Sign"),
    conf_int("ssid", "SSID", 0, 0, 15, "invalid SSID argument range [0..15]", &config_fields::ssid),
    conf_other("position", CONF_POSITION, nullptr),
    conf_other("base", CONF_POSITION, nullptr),
    conf_other("lat", CONF_LAT, nullptr),
    conf_other("lon", CONF_LON, nullptr),
    conf_other("altitude", CONF_ALTITUDE, "Altitude"),
    conf_switch("havegps", &config_fields::havegps),
    conf_switch("log", &config_fields::log_port),
    conf_switch("dropmangld", &config_fields::dropmangld),
    conf_switch("haltonerr", &config_fields::haltonerr),
    conf_switch("fixvalid", &config_fields::fixvalid),
    conf_baud("host", &config_fields::host_baud),
    conf_baud("tnc", &config_fields::tnc_baud),
    conf_baud("gps", &config_fields::gps_baud),
    conf_switch("nsr", &config_fields::nsr),
    conf_switch("relaydrop", &config_fields::relaydrop),
    conf_related(conf_int("widemax", "n", 10, 1, 6, "invalid n argument range [1..6]", &config_fields::widemax),
                 CONF_NOT_ABOVE, &config_fields::widetotal, "must be <= WIDETOTAL"),
    conf_related(conf_int("widetotal", "n", 10, 1, 6, "invalid n argument range [1..6]", &config_fields::widetotal),
                 CONF_NOT_BELOW, &config_fields::widemax, "must be >= WIDEMAX"),
    conf_int("dupewin", "seconds", 10, 5, 500, "invalid seconds argument range [5..500]", &config_fields::dupewin),
    conf_int("ratelimcall", "seconds", 10, 0, 65535, "invalid seconds argument range [0..65535]",
             &config_fields::ratelimcall),
    conf_switch("nonaprs", &config_fields::nonaprs),
    conf_other("digipath", CONF_DIGIPATH, "Digi Path"),
    conf_zero_ok(conf_int("beacon", "seconds", 0, 10, 65535, "invalid seconds argument range [0, 10..65535]",
                          &config_fields::beacon)),
    conf_other("icon", CONF_ICON, "Beacon Icon"),
    conf_other("bcomment", CONF_BCOMMENT, "Beacon Comment"),
    conf_other("uitrace", CONF_UITRACE, nullptr),
}};

// Separator sets.
constexpr char CONF_SEP_KEYWORD[] = " \t,";   // the keyword, and angles
constexpr char CONF_SEP_VALUE[] = "#/; \t,";  // numbers, switches, call sign
constexpr char CONF_SEP_TEXT[] = "#/;\t";     // digipath and beacon comment: blanks belong to the text
constexpr char CONF_SEP_ICON[] = " \t";
constexpr char CONF_SEP_DIGI_NAME[] = ", ";
constexpr char CONF_COMMENT_CHARS[] = "#/;";

constexpr int CONF_CALL_MAX = 6;
constexpr int CONF_BCOMMENT_MAX = CONF_BCOMMENT_SIZE - 1;
constexpr float CONF_FEET_TO_METERS = 0.30487806f;

// The line being handled: its number, the unread rest of line_buf, and the
// first comment character of the line as read (nullptr when there is none).
struct conf_line {
  int number;
  char* rest;
  const char* mark;
};

// Takes the next argument of an item. When there is none it prints the
// item's missing-argument message (naming `what`) and returns nullptr; *rc
// says why: -11 when the line holds no more argument, -8 when the argument
// lies inside the comment (only for items that make the comment check).
char* conf_arg(conf_line& ln, const char* seps, bool comment_check, const char* what, int* rc) {
  char* arg = txt_word(&ln.rest, seps);
  *rc = CONF_ERR_VALUE;
  if (arg != nullptr && comment_check && ln.mark != nullptr && arg > ln.mark) {
    *rc = CONF_ERR_COMMENT;
    arg = nullptr;
  }
  if (arg == nullptr) std::printf(CONF_LINE_ERROR "missing %s argument: %s\n", ln.number, what, line_copy);
  return arg;
}

// Integer conversion within int (base 10, or 0 for C notation). `end`,
// when given, receives the first character after the number (the start of
// the text when there was none).
int conf_to_int(const char* text, int base, const char** end = nullptr) {
  size_t used = 0;
  const auto v = static_cast<int>(txt_int(text, base, INT_MIN, INT_MAX, &used));
  if (end != nullptr) *end = text + used;
  return v;
}

// Prints the out-of-range message of an item: its text, the value, the line.
int conf_bad_value(const conf_line& ln, const char* text, int v) {
  std::printf(CONF_LINE_ERROR "%s: %d: %s\n", ln.number, text, v, line_copy);
  return CONF_ERR_VALUE;
}

int conf_item_int(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, row.what, &rc);
  if (arg == nullptr) return rc;
  const int v = conf_to_int(arg, row.base);
  if ((v < row.lo || v > row.hi) && !(row.zero_ok && v == 0)) return conf_bad_value(ln, row.range, v);
  if (row.relation != CONF_FREE) {
    const int other = config_record.*row.other;
    if (row.relation == CONF_NOT_ABOVE ? v > other : v < other) {
      std::printf(CONF_LINE_ERROR "invalid %s argument %d %s: %d: %s\n", ln.number, row.what, v, row.relation_text, other,
                  line_copy);
      return CONF_ERR_VALUE;
    }
  }
  config_record.*row.field = static_cast<uint16_t>(v);
  return 0;
}

int conf_item_baud(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, row.what, &rc);
  if (arg == nullptr) return rc;
  const int v = conf_to_int(arg, 10);
  if (get_baud(v) == nullptr) return conf_bad_value(ln, "invalid Baud argument", v);
  config_record.*row.baud = static_cast<uint32_t>(v);
  return 0;
}

// On/off switches: 1, y, t, e (either case) are on, anything else off;
// nonaprs also takes p for "pass".
int conf_item_switch(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, row.what, &rc);
  if (arg == nullptr) return rc;
  const char c = arg[0];
  bool on = c != '\0' && std::strchr("1yYtTeE", c) != nullptr;
  if (row.field == &config_fields::nonaprs && (c == 'p' || c == 'P')) on = true;
  config_record.*row.field = on ? 1 : 0;
  return 0;
}

int conf_item_call(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, row.what, &rc);
  if (arg == nullptr) return rc;
  size_t len = std::strlen(arg);
  if (len > static_cast<size_t>(CONF_CALL_MAX)) {
    std::printf(CONF_LINE_ERROR "invalid Call Sign argument: too long: %s\n", ln.number, line_copy);
    return CONF_ERR_VALUE;
  }
  // The terminator goes over the old contents; bytes behind it stay.
  for (size_t i = 0; i < len; ++i) {
    config_record.call[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(arg[i])));
  }
  config_record.call[len] = '\0';
  return 0;
}

// An angle is accepted when dmctodeg returns a value within -360..360; its
// failure value FLT_MAX (and anything else outside) is refused.
bool conf_angle_ok(double v) { return v >= -360.0 && v <= 360.0; }

int conf_latitude(conf_line& ln, const char* seps) {
  int rc = 0;
  char* arg = conf_arg(ln, seps, false, "Station Latitude", &rc);
  if (arg == nullptr) return rc;
  double v = dmctodeg(arg);
  if (!conf_angle_ok(v)) {
    std::printf(CONF_LINE_ERROR "invalid Station Latitude argument: %s: %s\n", ln.number, arg, line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.base_lat = static_cast<float>(v);
  return 0;
}

int conf_longitude(conf_line& ln, const char* seps, bool comment_check) {
  int rc = 0;
  char* arg = conf_arg(ln, seps, comment_check, "Station Longitude", &rc);
  if (arg == nullptr) return rc;
  double v = dmctodeg(arg);
  if (!conf_angle_ok(v)) {
    std::printf(CONF_LINE_ERROR "invalid Station Longitude argument: %s: %s\n", ln.number, arg, line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.base_lon = static_cast<float>(v);
  return 0;
}

int conf_item_position(conf_line& ln) {
  int rc = conf_latitude(ln, CONF_SEP_KEYWORD);
  if (rc != 0) return rc;
  return conf_longitude(ln, CONF_SEP_VALUE, true);
}

int conf_item_altitude(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, row.what, &rc);
  if (arg == nullptr) return rc;
  const char* unit = nullptr;
  int v = conf_to_int(arg, 0, &unit);
  if (*unit == 'f' || *unit == 'F') {
    // |v| * 0.3049 stays far inside int: the conversion back is defined.
    v = static_cast<int>(static_cast<float>(v) * CONF_FEET_TO_METERS);
  }
  config_record.altitude = v;
  return 0;
}

int conf_item_digipath(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_TEXT, true, row.what, &rc);
  if (arg == nullptr) return rc;
  // The count follows the slots as they are filled, so that a line stopped
  // by a bad name leaves a count that matches what the slots hold.
  std::memset(config_record.digipath, 0, sizeof config_record.digipath);
  digipath_count = 0;
  char* cursor = arg;
  while (digipath_count < CONF_DIGIPATH_SLOTS) {
    char* name = txt_word(&cursor, CONF_SEP_DIGI_NAME);
    if (name == nullptr) break;
    size_t len = std::strlen(name);
    if (len > static_cast<size_t>(CONF_DIGIPATH_NAME)) {
      std::printf(CONF_LINE_ERROR "Digi Path[%d]: %s exceeds length %d: %s\n", ln.number, digipath_count + 1, name,
                  CONF_DIGIPATH_NAME, line_copy);
      return CONF_ERR_VALUE;
    }
    char* slot = config_record.digipath[digipath_count];
    for (size_t i = 0; i < len; ++i) slot[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    ++digipath_count;
  }
  return 0;
}

int conf_item_bcomment(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_TEXT, true, row.what, &rc);
  if (arg == nullptr) return rc;
  std::memset(config_record.bcomment, 0, sizeof config_record.bcomment);
  size_t len = std::strlen(arg);
  if (len > static_cast<size_t>(CONF_BCOMMENT_MAX)) len = CONF_BCOMMENT_MAX;
  std::memcpy(config_record.bcomment, arg, len);
  return 0;
}

bool conf_icon_table_ok(char c) {
  return c == '/' || c == '\\' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'j') || (c >= 'A' && c <= 'Z');
}

int conf_item_icon(conf_line& ln, const conf_row& row) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_ICON, false, row.what, &rc);
  if (arg == nullptr) return CONF_ERR_COMMENT;
  if (!conf_icon_table_ok(arg[0])) {
    std::printf(CONF_LINE_ERROR "Icon Symbol ID must be one of / \\ 0..9 a..j A..Z: %s\n", ln.number, line_copy);
    return CONF_ERR_COMMENT;
  }
  unsigned char code = static_cast<unsigned char>(arg[1]);
  if (code < 0x21 || code > 0x7E) {
    std::printf(CONF_LINE_ERROR "Icon Code must be in range [!..~]: %s\n", ln.number, line_copy);
    return CONF_ERR_COMMENT;
  }
  config_record.icon = static_cast<uint16_t>(static_cast<unsigned char>(arg[0]) * 256u + code);
  return 0;
}

int conf_apply(conf_line& ln, const conf_row& row) {
  switch (row.kind) {
    case CONF_INT: return conf_item_int(ln, row);
    case CONF_BAUD: return conf_item_baud(ln, row);
    case CONF_SWITCH: return conf_item_switch(ln, row);
    case CONF_CALL: return conf_item_call(ln, row);
    case CONF_POSITION: return conf_item_position(ln);
    case CONF_LAT: return conf_latitude(ln, CONF_SEP_KEYWORD);
    case CONF_LON: return conf_longitude(ln, CONF_SEP_KEYWORD, false);
    case CONF_ALTITUDE: return conf_item_altitude(ln, row);
    case CONF_DIGIPATH: return conf_item_digipath(ln, row);
    case CONF_BCOMMENT: return conf_item_bcomment(ln, row);
    case CONF_ICON: return conf_item_icon(ln, row);
    case CONF_UITRACE:
      config_record.uitrace = static_cast<uint16_t>(~config_record.uitrace);
      return 0;
  }
  std::printf("\a\aError: internal processing error 2: line %d: %s\n", ln.number, line_copy);
  return CONF_ERR_INTERNAL;
}

// Reads and applies the lines of an open file; *items counts keyword lines.
// 0 at the end of the file, else the code of the first faulty line or of a
// read error.
int conf_read_lines(FILE* f, const char* path, int* items) {
  int number = 0;
  for (;;) {
    errno = 0;
    if (line_read(f) < 0) {
      if (std::ferror(f)) {
        const int err = errno;
        std::printf("\a\aError: %s[%d]: read error: %s\n", path, number < INT_MAX ? number + 1 : number,
                    err != 0 ? std::strerror(err) : "unknown");
        return CONF_ERR_READ;
      }
      return 0;
    }
    if (number < INT_MAX) ++number;
    conf_line ln{number, line_buf, std::strpbrk(line_buf, CONF_COMMENT_CHARS)};
    char* word = txt_word(&ln.rest, CONF_SEP_KEYWORD);
    if (word == nullptr) continue;                              // blank line
    if (std::strchr(CONF_COMMENT_CHARS, word[0]) != nullptr) continue;  // comment line

    const int row = txt_match(word, conf_rows, &conf_row::name);
    if (row == TXT_AMBIGUOUS) {
      std::printf(CONF_LINE_ERROR "Ambiguous command: %s: %s\n", number, word, line_copy);
      return CONF_ERR_KEYWORD;
    }
    if (row == TXT_UNKNOWN) {
      std::printf(CONF_LINE_ERROR "command %s invalid: %s\n", number, word, line_copy);
      return CONF_ERR_KEYWORD;
    }
    if (*items < INT_MAX) ++*items;
    int rc = conf_apply(ln, conf_rows[static_cast<size_t>(row)]);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int conf_process(const char* path) {
  if (path == nullptr) {
    std::printf("conf_process: Error: param rfp is invalid\n");
    return CONF_ERR_PARAM;
  }
  FILE* f = line_open(path);
  if (f == nullptr) return CONF_ERR_OPEN;  // line_open said why; the record is untouched

  // Every run starts from the defaults; the two rule fields belong to the
  // rules reader and are carried over.
  const uint16_t rule_count = config_record.rule_count;
  const uint16_t implicit_action = config_record.implicit_action;
  conf_default();
  config_record.rule_count = rule_count;
  config_record.implicit_action =
      (implicit_action == IMPLICIT_DROP || implicit_action == IMPLICIT_PASS) ? implicit_action : IMPLICIT_PASS;

  int items = 0;
  int rc = conf_read_lines(f, path, &items);
  std::fclose(f);
  if (rc != 0) {
    // The record now holds the defaults and the lines before the fault: it
    // is no longer what a checked file gave, and download must ask first.
    conf_processed = 0;
    conf_stopped = 1;
    conf_empty = 0;
    return rc;
  }
  // A file that set nothing (comments only, an empty file, the wrong file)
  // is no configuration checked by the operator: download asks first.
  conf_processed = items > 0 ? 1 : 0;
  conf_stopped = 0;
  conf_empty = items > 0 ? 0 : 1;
  std::printf("Configuration items processed %d\n", items);
  return 0;
}
