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

char* con_answer(char* buf, int size, int kind) {
  if (buf == nullptr || size < 1) return nullptr;
  if (!con_auto_yes) {
    if (std::fgets(buf, size, stdin) == nullptr) return nullptr;
    con_crlf(buf);
    return buf;
  }
  const char* answer = kind == CON_ENTER ? "\n" : "y\n";
  std::fputs(answer, stdout);
  std::snprintf(buf, static_cast<size_t>(size), "%s", answer);
  return buf;
}
