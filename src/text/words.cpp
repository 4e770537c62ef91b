#include "text/words.h"

#include <cstring>

char* txt_word(char** cursor, const char* seps, txt_cursor_rule rule) {
  if (*cursor == nullptr) return nullptr;
  char* p = *cursor + std::strspn(*cursor, seps);
  if (*p == '\0') {
    *cursor = rule == TXT_END_NULLPTR ? nullptr : p;
    return nullptr;
  }
  char* end = p + std::strcspn(p, seps);
  if (*end == '\0') {
    *cursor = rule == TXT_END_NULLPTR ? nullptr : end;
  } else {
    *end = '\0';
    *cursor = end + 1;
  }
  return p;
}

bool txt_prefix(std::string_view word, std::string_view name) {
  if (word.size() > name.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (txt_lower(word[i]) != txt_lower(name[i])) return false;
  }
  return true;
}

bool txt_equal(std::string_view word, std::string_view name) {
  return word.size() == name.size() && txt_prefix(word, name);
}
