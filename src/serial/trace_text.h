// The trace's text, built without the printf family: the same code writes
// the notes out from a signal handler, where only plain stores and write()
// are safe.
#pragma once
#include <cstddef>
#include <cstdint>

namespace trace_text {

// Writes all of `data` to `fd`; false with errno on a failure.
bool write_all(int fd, const char* data, size_t len);

// One line of text being built.
struct text_line {
  char* at;
  size_t len;
  size_t cap;  // a line longer than this is cut
};

// At most `n` characters of `s`, up to its NUL.
void put(text_line& l, const char* s, size_t n);
void put(text_line& l, const char* s);
// `v` in decimal, right-aligned in `width` characters padded with `pad`.
void put_unsigned(text_line& l, uint64_t v, int width = 0, char pad = ' ');
void put_signed(text_line& l, int64_t v);
// Four lower-case hex digits.
void put_hex4(text_line& l, unsigned v);
// Nanoseconds as milliseconds with three decimals (to the nearest
// microsecond, halves up), right-aligned in `width` characters.
void put_ms(text_line& l, int64_t ns, int width = 0);

}  // namespace trace_text
