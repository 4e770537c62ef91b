#include "console/console.h"

#include <cstdio>
#include <cstring>

bool con_auto_yes = false;

void con_crlf(char* line) {
  if (line == nullptr) return;
  const size_t len = std::strlen(line);
  if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
    line[len - 2] = '\n';
    line[len - 1] = '\0';
  }
}

bool con_cut_at_cr(const char* buf, int size) {
  if (buf == nullptr || size < 2) return false;
  const size_t len = std::strlen(buf);
  return len == static_cast<size_t>(size - 1) && buf[len - 1] == '\r';
}

char* con_fgets(char* buf, int size, FILE* f) {
  if (std::fgets(buf, size, f) == nullptr) return nullptr;
  if (con_cut_at_cr(buf, size)) {
    const int c = std::getc(f);
    if (c == '\n') {
      buf[size - 2] = '\n';
    } else if (c != EOF) {
      std::ungetc(c, f);
    }
  }
  con_crlf(buf);
  return buf;
}

char* con_answer(char* buf, int size, int kind) {
  if (buf == nullptr || size < 1) return nullptr;
  if (!con_auto_yes) {
    return con_fgets(buf, size, stdin);
  }
  const char* answer = kind == CON_ENTER ? "\n" : "y\n";
  std::fputs(answer, stdout);
  std::snprintf(buf, static_cast<size_t>(size), "%s", answer);
  return buf;
}
