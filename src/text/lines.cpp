#include "text/lines.h"

#include <cstring>

int txt_text_piece(const char* text, size_t size, size_t* pos, int cap, const char** piece) {
  if (text == nullptr || pos == nullptr || piece == nullptr || cap < 2 || *pos >= size) return -1;
  const char* p = text + *pos;
  const size_t room = static_cast<size_t>(cap) - 1;
  const size_t rest = size - *pos;
  // A piece ends at a line feed at most `room` characters on, or right after
  // a CR that stands last in the piece's room.
  const size_t window = rest < room + 1 ? rest : room + 1;
  const auto* lf = static_cast<const char*>(std::memchr(p, '\n', window));
  const size_t at = lf != nullptr ? static_cast<size_t>(lf - p) : window;
  size_t len = 0;
  size_t used = 0;
  if (lf != nullptr && at < room) {
    len = (at > 0 && p[at - 1] == '\r') ? at - 1 : at;
    used = at + 1;
  } else if (lf != nullptr && at == room && p[room - 1] == '\r') {
    len = room - 1;
    used = room + 1;
  } else {
    len = rest < room ? rest : room;
    used = len;
  }
  *piece = p;
  *pos += used;
  return static_cast<int>(len);
}

int txt_text_line(const char* text, size_t size, size_t* pos, char* buf, int cap, txt_line_feed lf) {
  if (buf == nullptr || pos == nullptr) return -1;
  const size_t from = *pos;
  const char* piece = nullptr;
  int len = txt_text_piece(text, size, pos, cap, &piece);
  if (len < 0) return -1;
  std::memcpy(buf, piece, static_cast<size_t>(len));
  // A piece whose line end was taken with it is shorter than its room.
  if (lf == TXT_KEEP_LF && *pos - from > static_cast<size_t>(len)) buf[len++] = '\n';
  buf[len] = '\0';
  return len;
}

int txt_read_line(FILE* f, char* buf, int cap, txt_line_feed lf) {
  if (f == nullptr || buf == nullptr || cap < 2) return -1;
  int len = 0;
  int c = 0;
  bool any = false;
  while (len < cap - 1 && (c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\r') {
      const int next = std::getc(f);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, f);
      }
    }
    if (c == '\n') {
      if (lf == TXT_KEEP_LF) buf[len++] = '\n';
      break;
    }
    buf[len++] = static_cast<char>(c);
  }
  buf[len] = '\0';
  if (std::ferror(f)) return -1;
  return any ? len : -1;
}
