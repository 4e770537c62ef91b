#include "config/line_reader.h"

#include <cstdio>
#include <cstring>

#include "text/files.h"
#include "text/lines.h"

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
  const int n = txt_read_line(f, line_buf, LINE_BUF_SIZE);
  if (n < 0) return -1;
  std::memcpy(line_copy, line_buf, static_cast<size_t>(n) + 1);
  return n;
}
