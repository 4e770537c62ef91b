#include "console/console.h"

#include <cstdio>
#include <cstring>

#include "text/lines.h"

bool con_auto_yes = false;

char* con_fgets(char* buf, int size, FILE* f) {
  return txt_read_line(f, buf, size, TXT_KEEP_LF) < 0 ? nullptr : buf;
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
