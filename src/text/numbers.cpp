#include "text/numbers.h"

#include "text/words.h"

uint64_t txt_digits(std::string_view text, int base, uint64_t cap, size_t* used) {
  const auto b = static_cast<uint64_t>(base);
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const int d = txt_digit(text[i], base);
    if (d < 0) break;
    const auto digit = static_cast<uint64_t>(d);
    value = (digit > cap || value > (cap - digit) / b) ? cap : value * b + digit;
  }
  if (used != nullptr) *used = i;
  return value;
}

long long txt_int(std::string_view text, int base, long long lo, long long hi, size_t* used) {
  size_t i = 0;
  while (i < text.size() && txt_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (base == 0) {
    base = 10;
    if (i < text.size() && text[i] == '0') {
      base = 8;
      // "0x" counts as a prefix only when a hexadecimal digit follows it;
      // otherwise the number is the 0 before the x.
      if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && txt_digit(text[i + 2], 16) >= 0) {
        base = 16;
        i += 2;
      }
    }
  }
  // The magnitude is gathered towards the limit of its sign, so that the
  // most negative value is reachable.
  const uint64_t cap = negative ? static_cast<uint64_t>(-(lo + 1)) + 1 : static_cast<uint64_t>(hi);
  size_t n = 0;
  const uint64_t magnitude = txt_digits(text.substr(i), base, cap, &n);
  if (used != nullptr) *used = n == 0 ? 0 : i + n;
  if (n == 0) return 0;
  if (!negative) return static_cast<long long>(magnitude);
  return magnitude == 0 ? 0 : -static_cast<long long>(magnitude - 1) - 1;
}
