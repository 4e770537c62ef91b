#include "console/console.h"

#include <cstdio>

bool con_auto_yes = false;

char* con_answer(char* buf, int size, int kind) {
  if (buf == nullptr || size < 1) return nullptr;
  if (!con_auto_yes) return std::fgets(buf, size, stdin);
  const char* answer = kind == CON_ENTER ? "\n" : "y\n";
  std::fputs(answer, stdout);
  std::snprintf(buf, static_cast<size_t>(size), "%s", answer);
  return buf;
}
