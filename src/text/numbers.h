// Reading integers from text, saturating instead of overflowing. Callers
// keep their own names for what a number means (a port, a count, a record
// field) as thin wrappers over these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Value of `c` as a digit of `base` (2 to 36, letters in either case), or -1.
constexpr int txt_digit(char c, int base) {
  int v = 99;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'a' && c <= 'z') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'Z') {
    v = c - 'A' + 10;
  }
  return v < base ? v : -1;
}

// Reads the run of `base` digits at the start of `text`, most significant
// first. The value saturates at `cap`; *used (when given) receives the
// number of digits taken, all of them, also those past the saturation.
uint64_t txt_digits(std::string_view text, int base, uint64_t cap, size_t* used = nullptr);

// Reads an integer as the C library's strtol does: white space (txt_space),
// an optional sign, then digits of `base`: 10, or 0 for C notation (0x or
// 0X and hexadecimal digits, a leading 0 and octal digits, else decimal).
// The result saturates at `lo` and `hi` (lo <= 0 <= hi) instead of
// overflowing. No digits give 0. *used (when given) receives the number of
// characters the number took, 0 when there were no digits.
long long txt_int(std::string_view text, int base, long long lo, long long hi, size_t* used = nullptr);
