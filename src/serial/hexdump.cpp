// Received-data display: offset, sixteen bytes in hexadecimal, the printable
// ones as characters, and a column header every `group` lines.
#include "serial/hexdump.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<char, 16> hex_digits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
constexpr const char* column_header =
    "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";

constexpr int bytes_per_line = 16;
constexpr int prefix_width = 11;   // "%4d %04x| "
constexpr int bar_column = 61;     // "|" before the character column
constexpr int chars_column = 63;   // first character of the run
// The widest prefix ("%4d %04x| " of the largest offset) is 10 + 1 + 8 + 2
// characters; the line keeps room for it so that columns shift instead of
// overlapping.
constexpr int max_prefix_width = 21;
constexpr size_t line_cap = chars_column + (max_prefix_width - prefix_width) + bytes_per_line + 2;

void hexdump_header(FILE* stream, int flags, const char* label, const void* buffer, int32_t length) {
  const unsigned hex_length = static_cast<unsigned>(length);
  if (flags == 0) {
    if (label == nullptr) {
      fprintf(stream, "hexdump: buffer addr 0x%p, length %d (0x%x):\n", buffer, length, hex_length);
    } else {
      fprintf(stream, "hexdump: %s%sbuffer addr 0x%p, length %d (0x%x):\n", label,
              label[0] != '\0' ? ": " : "", buffer, length, hex_length);
    }
  } else if ((flags & 1) != 0) {
    if (label == nullptr) {
      fprintf(stream, "hexdump: length %d (0x%x):\n", length, hex_length);
    } else {
      fprintf(stream, "%s%slength %d (0x%x):\n", label, label[0] != '\0' ? ": " : "", length, hex_length);
    }
  } else if ((flags & 2) != 0) {
    fprintf(stream, "length %d (0x%x):\n", length, hex_length);
  }
}

// One data line for the run of `count` bytes at offset `q`.
void hexdump_line(FILE* stream, const uint8_t* run, int count, int32_t q) {
  std::array<char, line_cap> line{};
  int width = snprintf(line.data(), line.size(), "%4d %04x| ", q, static_cast<unsigned>(q));
  if (width < prefix_width || width > max_prefix_width) {
    width = prefix_width;  // cannot happen for a 32-bit offset; keeps the columns inside the line
  }
  // Offsets of five decimal or hexadecimal digits and more widen the prefix;
  // the rest of the line moves right with it.
  const size_t shift = static_cast<size_t>(width - prefix_width);
  const size_t bar = bar_column + shift;
  for (size_t col = static_cast<size_t>(width); col < bar; ++col) {
    line[col] = ' ';
  }
  for (int i = 0; i < count; ++i) {
    const size_t col = prefix_width + shift + static_cast<size_t>(3 * i + (i >= 8 ? 2 : 0));
    line[col] = hex_digits[run[i] >> 4];
    line[col + 1] = hex_digits[run[i] & 0x0F];
  }
  line[bar] = '|';
  line[bar + 1] = ' ';
  size_t col = bar + 2;
  for (int i = 0; i < count; ++i) {
    const uint8_t c = run[i];
    line[col++] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
  }
  line[col++] = '\n';
  line[col] = '\0';
  fputs(line.data(), stream);
}

}  // namespace

void hexdump(FILE* stream, int flags, const char* label, const void* buffer, int32_t length, int group) {
  if (stream == nullptr) {
    return;
  }
  if (buffer == nullptr) {
    fprintf(stream, "hexdump: invalid param buf ptr\n");
    return;
  }
  if (length < 0) {
    fprintf(stream, "hexdump: invalid param len %d\n", length);
    return;
  }
  hexdump_header(stream, flags, label, buffer, length);

  const auto* bytes = static_cast<const uint8_t*>(buffer);
  int lines = 0;
  for (int32_t q = 0; q < length; q += bytes_per_line) {
    if (group != 0 && lines % group == 0) {
      fprintf(stream, "%s%s", lines == 0 ? "" : "\n", column_header);
    }
    const int32_t rest = length - q;
    const int count = rest < bytes_per_line ? static_cast<int>(rest) : bytes_per_line;
    hexdump_line(stream, bytes + q, count, q);
    ++lines;
    if (rest <= bytes_per_line) {
      break;  // the last run; q + 16 could pass INT32_MAX
    }
  }
}
