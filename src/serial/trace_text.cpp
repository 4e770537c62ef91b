#include "serial/trace_text.h"

#include <cerrno>
#include <cstdint>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace trace_text {

// Writes all of `data`; false with errno on a failure.
bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
#ifdef _WIN32
    const int n = _write(fd, data, static_cast<unsigned>(len));
#else
    const ssize_t n = write(fd, data, len);
#endif
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void put(text_line& l, const char* s, size_t n) {
  for (size_t i = 0; i < n && s[i] != '\0' && l.len < l.cap; ++i) l.at[l.len++] = s[i];
}
void put(text_line& l, const char* s) { put(l, s, SIZE_MAX); }

// `v` in decimal, right-aligned in `width` characters padded with `pad`.
void put_unsigned(text_line& l, uint64_t v, int width, char pad) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < width; ++i) put(l, &pad, 1);
  while (n > 0) put(l, &digits[--n], 1);
}

void put_signed(text_line& l, int64_t v) {
  if (v < 0) put(l, "-");
  put_unsigned(l, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
}

void put_hex4(text_line& l, unsigned v) {
  constexpr char digits[] = "0123456789abcdef";
  char h[4];
  for (int i = 3; i >= 0; --i, v >>= 4) h[i] = digits[v & 0xF];
  put(l, h, sizeof h);
}

// Nanoseconds as milliseconds with three decimals (to the nearest
// microsecond, halves up), right-aligned in `width` characters.
void put_ms(text_line& l, int64_t ns, int width) {
  const bool negative = ns < 0;
  const uint64_t us = ((negative ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns)) + 500) / 1000;
  char digits[32];
  text_line t{digits, 0, sizeof digits};
  if (negative) put(t, "-");
  put_unsigned(t, us / 1000);
  put(t, ".");
  put_unsigned(t, us % 1000, 3, '0');
  for (size_t i = t.len; i < static_cast<size_t>(width > 0 ? width : 0); ++i) put(l, " ");
  put(l, digits, t.len);
}

}  // namespace trace_text
