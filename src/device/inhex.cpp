// Intel HEX verification: every record line of a firmware file is checked
// before a single byte of it goes to the device.
#include "device/inhex.h"

#include <climits>
#include <cstdio>

namespace {

constexpr int INHEX_COUNT_MAX = 128;  // data bytes in one record

bool inhex_blank(char c) { return c == ' ' || c == '\t'; }

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
  return any ? len : -1;
}

int inhexverify(FILE* file) {
  if (file == nullptr) {
    std::printf("inhexverify: Error: param fp is invalid\n");
    return -1;
  }
  std::rewind(file);
  static char line[INHEX_LINE_SIZE];
  unsigned long line_number = 0;
  int records = 0;
  int len = 0;
  while ((len = inhex_read_line(file, line, INHEX_LINE_SIZE)) >= 0) {
    ++line_number;
    if (line[0] != ':') continue;
    if (records < INT_MAX) ++records;

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
  }
  if (records == 0) {
    // No line at all, or no record line among them.
    std::printf("\a\aError: Firmware file is empty!\n");
    return -7;
  }
  return records;
}
