// Intel HEX verification: every record line of a firmware file is checked
// before a single byte of it goes to the device.
#include "device/inhex.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr int INHEX_COUNT_MAX = 128;  // data bytes in one record

bool inhex_blank(char c) { return c == ' ' || c == '\t'; }

// A character an editor may show as nothing or as a blank: a control
// character or a byte of a UTF-8 sequence (no-break space, byte order mark,
// zero-width space).
bool inhex_unseen(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F || u >= 0x80;
}

// Value of a hex digit, or -1.
int inhex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Character `i` of a line of `len` characters; NUL beyond its end.
char inhex_at(const char* line, int len, int i) { return i < len ? line[i] : '\0'; }

}  // namespace

int hexntoi(const char* text, int n) {
  if (text == nullptr || n < 1) return 0;
  int i = 0;
  while (i < n && inhex_blank(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Any run of blanks and "0x" prefixes; a prefix counts only when both of
  // its characters lie within the n.
  while (i < n) {
    if (inhex_blank(text[i])) {
      ++i;
    } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      i += 2;
    } else {
      break;
    }
  }
  // Saturates instead of overflowing on long digit runs.
  constexpr long long limit = static_cast<long long>(INT_MAX) + 1;
  long long value = 0;
  for (; i < n; ++i) {
    int d = inhex_digit(text[i]);
    if (d < 0) break;
    value = value * 16 + d;
    if (value > limit) value = limit;
  }
  if (negative) return static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

uint8_t inhexsum(const char* text) {
  if (text == nullptr) return 0;
  unsigned sum = 0;
  for (const char* p = text; *p != '\0'; p += 2) {
    sum += static_cast<unsigned>(hexntoi(p, 2));
    if (p[1] == '\0') break;  // an odd last character stands alone
  }
  return static_cast<uint8_t>(sum & 0xFFu);
}

int inhex_read_line(FILE* file, char* buf, int size) {
  if (file == nullptr || buf == nullptr || size < 2) return -1;
  int len = 0;
  int c = 0;
  bool any = false;
  while (len < size - 1 && (c = std::getc(file)) != EOF) {
    any = true;
    if (c == '\r') {
      // CR LF reads as LF, as a text stream shows it on every platform.
      int next = std::getc(file);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, file);
      }
    }
    if (c == '\n') break;
    buf[len++] = static_cast<char>(c);
  }
  buf[len] = '\0';
  if (std::ferror(file)) return -1;  // a piece cut short by a read error is no line
  return any ? len : -1;
}

int inhex_text_line(const char* text, size_t size, size_t* pos, char* buf, int cap) {
  if (text == nullptr || pos == nullptr || buf == nullptr || cap < 2 || *pos >= size) return -1;
  size_t at = *pos;
  int len = 0;
  while (len < cap - 1 && at < size) {
    char c = text[at++];
    if (c == '\r' && at < size && text[at] == '\n') {
      c = '\n';  // CR LF reads as LF, as inhex_read_line reads it
      ++at;
    }
    if (c == '\n') break;
    buf[len++] = c;
  }
  buf[len] = '\0';
  *pos = at;
  return len;
}

size_t inhex_bom(const char* text, size_t size) {
  if (text == nullptr || size < 3) return 0;
  const auto* u = reinterpret_cast<const unsigned char*>(text);
  return (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) ? 3 : 0;
}

namespace {

// What the check has seen so far.
struct inhex_scan {
  unsigned long line_number = 0;
  int records = 0;
  bool end_record = false;
};

// A line that does not begin with ':' is a comment, unless it holds a record
// that the sender would skip: 0 for a comment, or the code of the fault (its
// message printed).
int inhex_check_comment(const char* line, int len, unsigned long line_number) {
  int i = 0;
  bool only_blanks = true;
  while (i < len && (inhex_blank(line[i]) || inhex_unseen(line[i]))) {
    if (!inhex_blank(line[i])) only_blanks = false;
    ++i;
  }
  if (i > 0 && i < len && line[i] == ':') {
    if (only_blanks) {
      std::printf("\a\aError: blanks before the record start (':') for line %lu in Firmware file!\n", line_number);
      return -9;
    }
    std::printf("\a\aError: control characters or non-ASCII bytes before the record start (':') for line %lu in "
                "Firmware file!\n",
                line_number);
    return -12;
  }
  // Nothing but hex digits, as long as a record or longer: a record that
  // lost its ':'.
  int digits = 0;
  while (digits < len && inhex_digit(line[digits]) >= 0) ++digits;
  if (len >= 11 && digits == len) {
    std::printf("\a\aError: record start (':') missing for line %lu in Firmware file!\n", line_number);
    return -13;
  }
  return 0;
}

// Data bytes a record of type `type` ('1' to '5') must carry; -1 for data
// records, which carry any number.
int inhex_type_count(char type) {
  switch (type) {
    case '1': return 0;
    case '2': case '4': return 2;
    case '3': case '5': return 4;
    default: return -1;
  }
}

// Checks one line (piece) of the file. 0 to go on, or the code of the fault
// (its message printed).
int inhex_check_line(inhex_scan& st, const char* line, int len) {
  const unsigned long line_number = ++st.line_number;
  if (line[0] != ':') return inhex_check_comment(line, len, line_number);
  if (st.records < INT_MAX) ++st.records;

  // The sum ends at a NUL byte while the whole line would be sent: bytes the
  // sum never covered must not reach the loader.
  if (std::memchr(line, '\0', static_cast<size_t>(len)) != nullptr) {
    std::printf("\a\aError: NUL byte in line %lu in Firmware file!\n", line_number);
    return -11;
  }
  uint8_t sum = inhexsum(line + 1);
  if (sum != 0) {
    std::printf("\a\aError: checksum mismatch (0x%02x) for line %lu in Firmware file!\n", sum, line_number);
    return -2;
  }
  char type_hi = inhex_at(line, len, 7);
  char type_lo = inhex_at(line, len, 8);
  if (type_hi != '0' || type_lo < '0' || type_lo > '5') {
    std::printf("\a\aError: invalid type (%c%c) for line %lu in Firmware file!\n", type_hi, type_lo, line_number);
    return -3;
  }
  int count = hexntoi(line + 1, 2);
  if (len != 2 * count + 11) {
    std::printf("\a\aError: invalid record length (%u) for line %lu in Firmware file!\n",
                static_cast<unsigned>(count), line_number);
    return -4;
  }
  if (count > INHEX_COUNT_MAX) {
    std::printf("\a\aError: record length > 128 (%u) for line %lu in Firmware file!\n", static_cast<unsigned>(count),
                line_number);
    return -5;
  }
  if (type_lo == '0') {
    char offset_lo = inhex_at(line, len, 6);
    if (offset_lo != '0' && offset_lo != '4' && offset_lo != '8' && offset_lo != 'C' && offset_lo != 'c') {
      std::printf("\a\aError: data record offset boundary error for line %lu in Firmware file!\n", line_number);
      return -6;
    }
  }
  // The sum and the length read through signs, blanks and "0x"; the loader
  // takes nothing but hex digits.
  for (int i = 1; i < len; ++i) {
    if (inhex_digit(line[i]) < 0) {
      std::printf("\a\aError: non-hex character (0x%02x) for line %lu in Firmware file!\n",
                  static_cast<unsigned char>(line[i]), line_number);
      return -14;
    }
  }
  const int type_count = inhex_type_count(type_lo);
  if (type_count >= 0 && count != type_count) {
    std::printf("\a\aError: record length (%u) does not fit type (%c%c) for line %lu in Firmware file!\n",
                static_cast<unsigned>(count), type_hi, type_lo, line_number);
    return -15;
  }
  // Two images joined: the loader would take the second one over the first.
  if (st.end_record) {
    std::printf("\a\aError: record after the end of file record for line %lu in Firmware file!\n", line_number);
    return -16;
  }
  if (type_lo == '1') st.end_record = true;
  return 0;
}

// The checks of the whole file, after its last line.
int inhex_check_end(const inhex_scan& st) {
  if (st.records == 0) {
    // No line at all, or no record line among them.
    std::printf("\a\aError: Firmware file is empty!\n");
    return -7;
  }
  if (!st.end_record) {
    // A file cut short (an interrupted download) loses its end record first.
    std::printf("\a\aError: Firmware file has no end of file record (type 01)!\n");
    return -8;
  }
  return st.records;
}

}  // namespace

int inhexverify(FILE* file) {
  if (file == nullptr) {
    std::printf("inhexverify: Error: param fp is invalid\n");
    return -1;
  }
  std::rewind(file);
  // A byte order mark at the very start is not part of the first line.
  unsigned char head[3] = {0, 0, 0};
  const size_t got = std::fread(head, 1, sizeof head, file);
  if (inhex_bom(reinterpret_cast<const char*>(head), got) == 0) std::rewind(file);
  static char line[INHEX_LINE_SIZE];
  inhex_scan st;
  int len = 0;
  errno = 0;
  while ((len = inhex_read_line(file, line, INHEX_LINE_SIZE)) >= 0) {
    const int rc = inhex_check_line(st, line, len);
    if (rc != 0) return rc;
  }
  if (std::ferror(file)) {
    // What could not be read was never checked: no count for it.
    const int err = errno;
    std::printf("\a\aError: Firmware file: read error: %s\n", err != 0 ? std::strerror(err) : "unknown");
    return -10;
  }
  return inhex_check_end(st);
}

int inhexverify_text(const char* text, size_t size) {
  if (text == nullptr && size != 0) {
    std::printf("inhexverify: Error: param fp is invalid\n");
    return -1;
  }
  static char line[INHEX_LINE_SIZE];
  inhex_scan st;
  size_t pos = inhex_bom(text, size);
  int len = 0;
  while ((len = inhex_text_line(text, size, &pos, line, INHEX_LINE_SIZE)) >= 0) {
    const int rc = inhex_check_line(st, line, len);
    if (rc != 0) return rc;
  }
  return inhex_check_end(st);
}
