#include "config/line_reader.h"

#include <sys/stat.h>

#include <cstring>

char line_buf[LINE_BUF_SIZE];
char line_copy[LINE_BUF_SIZE];

FILE* line_open(const char* path) {
  if (path == nullptr) return nullptr;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return nullptr;
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
    std::fclose(f);
    return nullptr;
  }
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
  if (n == 0) return -1;
  line_buf[n] = '\0';
  if (line_buf[n - 1] == '\n') {
    line_buf[--n] = '\0';
    // A line written on Windows ends in CR LF; it reads the same as LF alone.
    if (n > 0 && line_buf[n - 1] == '\r') line_buf[--n] = '\0';
  }
  std::memcpy(line_copy, line_buf, static_cast<size_t>(n) + 1);
  return n;
}
