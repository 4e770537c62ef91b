// Intel HEX verification: every record line of a firmware file is checked
// before a single byte of it goes to the device.
#include "device/inhex.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "text/lines.h"
#include "text/numbers.h"
#include "text/words.h"

namespace {

constexpr int INHEX_COUNT_MAX = 128;  // data bytes in one record

// A character an editor may show as nothing or as a blank: a control
// character or a byte of a UTF-8 sequence (no-break space, byte order mark,
// zero-width space).
bool inhex_unseen(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F || u >= 0x80;
}

bool inhex_hex(char c) { return txt_digit(c, 16) >= 0; }

// Character `i` of a line of `len` characters; NUL beyond its end.
char inhex_at(const char* line, int len, int i) { return i < len ? line[i] : '\0'; }

// Hex digit values by character; INHEX_NOT_HEX for every other byte.
constexpr uint8_t INHEX_NOT_HEX = 0x80;
constexpr std::array<uint8_t, 256> inhex_values = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const int d = txt_digit(static_cast<char>(c), 16);
    t[static_cast<size_t>(c)] = d < 0 ? INHEX_NOT_HEX : static_cast<uint8_t>(d);
  }
  return t;
}();

uint8_t inhex_value(char c) { return inhex_values[static_cast<unsigned char>(c)]; }

}  // namespace

int hexntoi(const char* text, int n) {
  if (text == nullptr || n < 1) return 0;
  int i = 0;
  while (i < n && txt_blank(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Any run of blanks and "0x" prefixes; a prefix counts only when both of
  // its characters lie within the n.
  while (i < n) {
    if (txt_blank(text[i])) {
      ++i;
    } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      i += 2;
    } else {
      break;
    }
  }
  // Saturates at the limits of int instead of overflowing on long digit runs.
  const size_t left = static_cast<size_t>(n - i);
  const std::string_view digits(text + i, strnlen(text + i, left));
  const uint64_t cap = negative ? uint64_t{INT_MAX} + 1 : uint64_t{INT_MAX};
  const auto value = static_cast<long long>(txt_digits(digits, 16, cap));
  return static_cast<int>(negative ? -value : value);
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
  // The last piece filled INHEX_LINE_SIZE - 1 characters without its line
  // end: the next piece is the rest of the same line.
  bool continues = false;
};

// A line that does not begin with ':' is a comment, unless it holds a record
// that the sender would skip: 0 for a comment, or the code of the fault (its
// message printed). The rest of a long comment (`rest`) is no record however
// it looks, but blanks before a ':' in it are refused as they always were.
int inhex_check_comment(const char* line, int len, unsigned long line_number, bool rest) {
  int i = 0;
  bool only_blanks = true;
  while (i < len && (txt_blank(line[i]) || inhex_unseen(line[i]))) {
    if (!txt_blank(line[i])) only_blanks = false;
    ++i;
  }
  if (i > 0 && i < len && line[i] == ':') {
    if (only_blanks) {
      std::printf("\a\aError: blanks before the record start (':') for line %lu in Firmware file!\n", line_number);
      return -9;
    }
    if (rest) return 0;
    std::printf("\a\aError: control characters or non-ASCII bytes before the record start (':') for line %lu in "
                "Firmware file!\n",
                line_number);
    return -12;
  }
  // Nothing but hex digits, as long as a record or longer: a record that
  // lost its ':'.
  int digits = 0;
  while (digits < len && inhex_hex(line[digits])) ++digits;
  if (!rest && len >= 11 && digits == len) {
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

// Sum and count of a record line of at least 11 characters with nothing
// but hex digits after its ':', read through the digit table. False for any
// other line: the general reading (hexntoi, inhexsum) decides it, with the
// same results wherever both apply.
bool inhex_plain(const char* line, int len, uint8_t* sum, int* count) {
  if (len < 11) return false;
  unsigned total = 0;
  unsigned seen = 0;  // every value or'ed together: INHEX_NOT_HEX marks a stranger
  int i = 1;
  for (; i + 1 < len; i += 2) {
    const uint8_t hi = inhex_value(line[i]);
    const uint8_t lo = inhex_value(line[i + 1]);
    seen |= hi | lo;
    total += hi * 16u + lo;
  }
  if (i < len) {  // an odd last character stands alone
    const uint8_t v = inhex_value(line[i]);
    seen |= v;
    total += v;
  }
  if ((seen & INHEX_NOT_HEX) != 0) return false;
  *sum = static_cast<uint8_t>(total & 0xFFu);
  *count = inhex_value(line[1]) * 16 + inhex_value(line[2]);
  return true;
}

// Checks one line (piece) of the file, `len` characters at `piece` (not
// ended by a NUL). 0 to go on, or the code of the fault (its message printed).
int inhex_check_line(inhex_scan& st, const char* piece, int len) {
  const unsigned long line_number = ++st.line_number;
  const bool rest = st.continues;
  st.continues = len == INHEX_LINE_SIZE - 1;
  uint8_t sum = 0;
  int count = 0;
  const bool plain = len > 0 && piece[0] == ':' && inhex_plain(piece, len, &sum, &count);
  // Any other line is looked at as a string of its own.
  static char copy[INHEX_LINE_SIZE];
  const char* line = piece;
  if (!plain) {
    std::memcpy(copy, piece, static_cast<size_t>(len));
    copy[len] = '\0';
    line = copy;
  }
  if (line[0] != ':') return inhex_check_comment(line, len, line_number, rest);
  if (st.records < INT_MAX) ++st.records;

  if (!plain) {
    // The sum ends at a NUL byte while the whole line would be sent: bytes
    // the sum never covered must not reach the loader.
    if (std::memchr(line, '\0', static_cast<size_t>(len)) != nullptr) {
      std::printf("\a\aError: NUL byte in line %lu in Firmware file!\n", line_number);
      return -11;
    }
    sum = inhexsum(line + 1);
  }
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
  if (!plain) count = hexntoi(line + 1, 2);
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
  for (int i = 1; i < len && !plain; ++i) {
    if (!inhex_hex(line[i])) {
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
  // The file goes through a fixed buffer in large reads. A piece is certain
  // once INHEX_LINE_SIZE bytes stand from its start (a piece and its line
  // end), or once the file has ended; before that, the rest of the buffer
  // moves to its front and the buffer is filled again.
  static char chunk[INHEX_CHUNK_SIZE];
  long base = 0;  // offset in the file of chunk[0]
  size_t filled = 0;
  size_t pos = 0;
  bool ended = false;
  bool failed = false;
  int err = 0;
  bool first = true;
  inhex_scan st;
  for (;;) {
    if (!ended && filled - pos < static_cast<size_t>(INHEX_LINE_SIZE)) {
      std::memmove(chunk, chunk + pos, filled - pos);
      base += static_cast<long>(pos);
      filled -= pos;
      pos = 0;
      const size_t want = sizeof chunk - filled;
      errno = 0;
      const size_t got = std::fread(chunk + filled, 1, want, file);
      filled += got;
      if (got < want) {
        ended = true;
        failed = std::ferror(file) != 0;
        err = errno;
      }
      // A byte order mark at the very start is not part of the first line.
      if (first) pos = inhex_bom(chunk, filled);
      first = false;
    }
    const size_t from = pos;
    const char* piece = nullptr;
    const int len = txt_text_piece(chunk, filled, &pos, INHEX_LINE_SIZE, &piece);
    if (len < 0) break;
    // A piece cut short by a read error is no line of the file.
    const bool cut = failed && pos == filled && pos - from == static_cast<size_t>(len) && len < INHEX_LINE_SIZE - 1;
    if (cut) break;
    const int rc = inhex_check_line(st, piece, len);
    if (rc != 0) {
      // Nothing after the faulty line counts as read.
      std::fseek(file, base + static_cast<long>(pos), SEEK_SET);
      return rc;
    }
  }
  if (failed) {
    // What could not be read was never checked: no count for it.
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
  inhex_scan st;
  size_t pos = inhex_bom(text, size);
  const char* piece = nullptr;
  int len = 0;
  while ((len = txt_text_piece(text, size, &pos, INHEX_LINE_SIZE, &piece)) >= 0) {
    const int rc = inhex_check_line(st, piece, len);
    if (rc != 0) return rc;
  }
  return inhex_check_end(st);
}
