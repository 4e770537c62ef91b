#include "config/line_reader.h"

#include <cstdio>
#include <cstring>

#include "text/files.h"

char line_buf[LINE_BUF_SIZE];
char line_copy[LINE_BUF_SIZE];

FILE* line_open(const char* path) {
  FILE* f = nullptr;
  const int rc = txt_open_regular(path, &f);
  if (rc == TXT_OPEN_NOT_REGULAR) std::printf("\a\aError: cannot open %s: not a regular file\n", path);
  if (rc == TXT_OPEN_FAILED) std::printf("\a\aError: cannot open %s\n", path);
  return f;
}

int line_read(FILE* f) {
  int n = 0;
  int c = 0;
  // At most 255 characters, up to and including a line feed; NUL bytes are
  // kept as they are (the string functions of the callers stop at them).
  while (n < LINE_BUF_SIZE - 1 && (c = std::getc(f)) != EOF) {
    line_buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  // A piece cut short by a read error is not a line of the file.
  if (n == 0 || std::ferror(f)) return -1;
  // A full piece that ends in the CR of a CR LF pair ends the line there:
  // the LF is taken with it rather than starting a piece of its own.
  if (n == LINE_BUF_SIZE - 1 && line_buf[n - 1] == '\r') {
    c = std::getc(f);
    if (c == '\n') {
      line_buf[n - 1] = '\n';
    } else if (c != EOF) {
      std::ungetc(c, f);
    }
  }
  line_buf[n] = '\0';
  if (line_buf[n - 1] == '\n') {
    line_buf[--n] = '\0';
    // A line written on Windows ends in CR LF; it reads the same as LF alone.
    if (n > 0 && line_buf[n - 1] == '\r') line_buf[--n] = '\0';
  }
  std::memcpy(line_copy, line_buf, static_cast<size_t>(n) + 1);
  return n;
}
