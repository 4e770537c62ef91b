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

// Item codes: each selects the handling of one keyword.
enum conf_item : int {
  CONF_ITEM_GPS = 2,
  CONF_ITEM_TNC = 3,
  CONF_ITEM_HOST = 4,
  CONF_ITEM_CALL = 9,
  CONF_ITEM_SSID = 10,
  CONF_ITEM_POSITION = 11,
  CONF_ITEM_LAT = 12,
  CONF_ITEM_LON = 13,
  CONF_ITEM_WIDEMAX = 14,
  CONF_ITEM_WIDETOTAL = 15,
  CONF_ITEM_HALTONERR = 16,
  CONF_ITEM_DROPMANGLD = 17,
  CONF_ITEM_FIXVALID = 18,
  CONF_ITEM_RELAYDROP = 19,
  CONF_ITEM_NSR = 20,
  CONF_ITEM_NONAPRS = 21,
  CONF_ITEM_HAVEGPS = 27,
  CONF_ITEM_LOG = 32,
  CONF_ITEM_DUPEWIN = 34,
  CONF_ITEM_RATELIMCALL = 35,
  CONF_ITEM_DIGIPATH = 36,
  CONF_ITEM_BEACON = 37,
  CONF_ITEM_BCOMMENT = 38,
  CONF_ITEM_ICON = 39,
  CONF_ITEM_UITRACE = 40,
  CONF_ITEM_ALTITUDE = 41,
};

struct conf_keyword {
  std::string_view name;
  int item;
};

constexpr std::array<conf_keyword, 27> conf_keywords = {{
    {"call", CONF_ITEM_CALL},
    {"ssid", CONF_ITEM_SSID},
    {"position", CONF_ITEM_POSITION},
    {"base", CONF_ITEM_POSITION},
    {"lat", CONF_ITEM_LAT},
    {"lon", CONF_ITEM_LON},
    {"altitude", CONF_ITEM_ALTITUDE},
    {"havegps", CONF_ITEM_HAVEGPS},
    {"log", CONF_ITEM_LOG},
    {"dropmangld", CONF_ITEM_DROPMANGLD},
    {"haltonerr", CONF_ITEM_HALTONERR},
    {"fixvalid", CONF_ITEM_FIXVALID},
    {"host", CONF_ITEM_HOST},
    {"tnc", CONF_ITEM_TNC},
    {"gps", CONF_ITEM_GPS},
    {"nsr", CONF_ITEM_NSR},
    {"relaydrop", CONF_ITEM_RELAYDROP},
    {"widemax", CONF_ITEM_WIDEMAX},
    {"widetotal", CONF_ITEM_WIDETOTAL},
    {"dupewin", CONF_ITEM_DUPEWIN},
    {"ratelimcall", CONF_ITEM_RATELIMCALL},
    {"nonaprs", CONF_ITEM_NONAPRS},
    {"digipath", CONF_ITEM_DIGIPATH},
    {"beacon", CONF_ITEM_BEACON},
    {"icon", CONF_ITEM_ICON},
    {"bcomment", CONF_ITEM_BCOMMENT},
    {"uitrace", CONF_ITEM_UITRACE},
}};

// Separator sets.
constexpr char CONF_SEP_KEYWORD[] = " \t,";   // the keyword, and angles
constexpr char CONF_SEP_VALUE[] = "#/; \t,";  // numbers, switches, call sign
constexpr char CONF_SEP_TEXT[] = "#/;\t";     // digipath and beacon comment: blanks belong to the text
constexpr char CONF_SEP_ICON[] = " \t";
constexpr char CONF_SEP_DIGI_NAME[] = ", ";
constexpr char CONF_COMMENT_CHARS[] = "#/;";

constexpr int CONF_WIDE_LIMIT = 6;
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

int conf_item_baud(conf_line& ln, uint32_t* field) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "Baud", &rc);
  if (arg == nullptr) return rc;
  int v = conf_to_int(arg, 10);
  if (get_baud(v) == nullptr) {
    std::printf(CONF_LINE_ERROR "invalid Baud argument: %d: %s\n", ln.number, v, line_copy);
    return CONF_ERR_VALUE;
  }
  *field = static_cast<uint32_t>(v);
  return 0;
}

int conf_item_call(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "Call Sign", &rc);
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

int conf_item_ssid(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "SSID", &rc);
  if (arg == nullptr) return rc;
  int v = conf_to_int(arg, 0);
  if (v < 0 || v > 15) {
    std::printf(CONF_LINE_ERROR "invalid SSID argument range [0..15]: %d: %s\n", ln.number, v, line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.ssid = static_cast<uint16_t>(v);
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

int conf_item_altitude(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "Altitude", &rc);
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

int conf_item_widemax(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "n", &rc);
  if (arg == nullptr) return rc;
  int v = conf_to_int(arg, 10);
  if (v < 1 || v > CONF_WIDE_LIMIT) {
    std::printf(CONF_LINE_ERROR "invalid n argument range [1..%d]: %d: %s\n", ln.number, CONF_WIDE_LIMIT, v,
                line_copy);
    return CONF_ERR_VALUE;
  }
  if (v > config_record.widetotal) {
    std::printf(CONF_LINE_ERROR "invalid n argument %d must be <= WIDETOTAL: %d: %s\n", ln.number, v,
                static_cast<int>(config_record.widetotal), line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.widemax = static_cast<uint16_t>(v);
  return 0;
}

int conf_item_widetotal(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "n", &rc);
  if (arg == nullptr) return rc;
  int v = conf_to_int(arg, 10);
  if (v < 1 || v > CONF_WIDE_LIMIT) {
    std::printf(CONF_LINE_ERROR "invalid n argument range [1..%d]: %d: %s\n", ln.number, CONF_WIDE_LIMIT, v,
                line_copy);
    return CONF_ERR_VALUE;
  }
  if (v < config_record.widemax) {
    std::printf(CONF_LINE_ERROR "invalid n argument %d must be >= WIDEMAX: %d: %s\n", ln.number, v,
                static_cast<int>(config_record.widemax), line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.widetotal = static_cast<uint16_t>(v);
  return 0;
}

// On/off switches: 1, y, t, e (either case) are on, anything else off;
// nonaprs also takes p for "pass".
int conf_item_switch(conf_line& ln, uint16_t* field, bool pass_is_on) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "y | n", &rc);
  if (arg == nullptr) return rc;
  char c = arg[0];
  bool on = std::strchr("1yYtTeE", c) != nullptr;
  if (pass_is_on && (c == 'p' || c == 'P')) on = true;
  *field = on ? 1 : 0;
  return 0;
}

int conf_item_dupewin(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "seconds", &rc);
  if (arg == nullptr) return rc;
  int v = conf_to_int(arg, 10);
  if (v < 5 || v > 500) {
    std::printf(CONF_LINE_ERROR "invalid seconds argument range [5..500]: %d: %s\n", ln.number, v, line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.dupewin = static_cast<uint16_t>(v);
  return 0;
}

int conf_item_ratelimcall(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "seconds", &rc);
  if (arg == nullptr) return rc;
  int v = conf_to_int(arg, 10);
  if (v < 0 || v > 65535) {
    std::printf(CONF_LINE_ERROR "invalid seconds argument range [0..%d]: %d: %s\n", ln.number, 65535, v,
                line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.ratelimcall = static_cast<uint16_t>(v);
  return 0;
}

int conf_item_beacon(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_VALUE, true, "seconds", &rc);
  if (arg == nullptr) return rc;
  int v = conf_to_int(arg, 0);
  if (v != 0 && (v < 10 || v > 65535)) {
    std::printf(CONF_LINE_ERROR "invalid seconds argument range [0, %d..%d]: %d: %s\n", ln.number, 10, 65535, v,
                line_copy);
    return CONF_ERR_VALUE;
  }
  config_record.beacon = static_cast<uint16_t>(v);
  return 0;
}

int conf_item_digipath(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_TEXT, true, "Digi Path", &rc);
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

int conf_item_bcomment(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_TEXT, true, "Beacon Comment", &rc);
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

int conf_item_icon(conf_line& ln) {
  int rc = 0;
  char* arg = conf_arg(ln, CONF_SEP_ICON, false, "Beacon Icon", &rc);
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

int conf_apply(conf_line& ln, int item) {
  config_fields& c = config_record;
  switch (item) {
    case CONF_ITEM_HOST: return conf_item_baud(ln, &c.host_baud);
    case CONF_ITEM_GPS: return conf_item_baud(ln, &c.gps_baud);
    case CONF_ITEM_TNC: return conf_item_baud(ln, &c.tnc_baud);
    case CONF_ITEM_CALL: return conf_item_call(ln);
    case CONF_ITEM_SSID: return conf_item_ssid(ln);
    case CONF_ITEM_POSITION: return conf_item_position(ln);
    case CONF_ITEM_LAT: return conf_latitude(ln, CONF_SEP_KEYWORD);
    case CONF_ITEM_LON: return conf_longitude(ln, CONF_SEP_KEYWORD, false);
    case CONF_ITEM_ALTITUDE: return conf_item_altitude(ln);
    case CONF_ITEM_WIDEMAX: return conf_item_widemax(ln);
    case CONF_ITEM_WIDETOTAL: return conf_item_widetotal(ln);
    case CONF_ITEM_HAVEGPS: return conf_item_switch(ln, &c.havegps, false);
    case CONF_ITEM_LOG: return conf_item_switch(ln, &c.log_port, false);
    case CONF_ITEM_DROPMANGLD: return conf_item_switch(ln, &c.dropmangld, false);
    case CONF_ITEM_HALTONERR: return conf_item_switch(ln, &c.haltonerr, false);
    case CONF_ITEM_FIXVALID: return conf_item_switch(ln, &c.fixvalid, false);
    case CONF_ITEM_NSR: return conf_item_switch(ln, &c.nsr, false);
    case CONF_ITEM_RELAYDROP: return conf_item_switch(ln, &c.relaydrop, false);
    case CONF_ITEM_NONAPRS: return conf_item_switch(ln, &c.nonaprs, true);
    case CONF_ITEM_DUPEWIN: return conf_item_dupewin(ln);
    case CONF_ITEM_RATELIMCALL: return conf_item_ratelimcall(ln);
    case CONF_ITEM_BEACON: return conf_item_beacon(ln);
    case CONF_ITEM_DIGIPATH: return conf_item_digipath(ln);
    case CONF_ITEM_BCOMMENT: return conf_item_bcomment(ln);
    case CONF_ITEM_ICON: return conf_item_icon(ln);
    case CONF_ITEM_UITRACE:
      c.uitrace = static_cast<uint16_t>(~c.uitrace);
      return 0;
    default:
      std::printf("\a\aError: internal processing error 2: line %d: %s\n", ln.number, line_copy);
      return CONF_ERR_INTERNAL;
  }
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

    const int row = txt_match(word, conf_keywords, &conf_keyword::name);
    if (row == TXT_AMBIGUOUS) {
      std::printf(CONF_LINE_ERROR "Ambiguous command: %s: %s\n", number, word, line_copy);
      return CONF_ERR_KEYWORD;
    }
    if (row == TXT_UNKNOWN) {
      std::printf(CONF_LINE_ERROR "command %s invalid: %s\n", number, word, line_copy);
      return CONF_ERR_KEYWORD;
    }
    if (*items < INT_MAX) ++*items;
    int rc = conf_apply(ln, conf_keywords[static_cast<size_t>(row)].item);
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
    return rc;
  }
  conf_processed = 1;
  conf_stopped = 0;
  std::printf("Configuration items processed %d\n", items);
  return 0;
}
