// Time stamps on a program's output: reads standard input (the shell's
// output through a pipe) and notes when each of the given texts first appears,
// in order, each searched after the previous one.
//
// bench_stamp [-o COPY] [-e CHAR TIMES] TEXT...
//   Prints one line: the nanoseconds from its own start to the arrival of each
//   TEXT (-1 for a text that never came), then to the end of input.
//   -o COPY keeps everything read in the file COPY.
//   -e CHAR TIMES writes to the file TIMES, one line each, the arrival time
//   of every CHAR between the end of the first TEXT and the start of the last
//   (the shell's progress dots).
// The shell writes its output unbuffered, so a text is seen as soon as the
// shell has printed it.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int64_t stamp_now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Control characters in a mark: "\n", "\r", "\a" and "\\" are understood.
std::string stamp_unescape(const char* s) {
  std::string out;
  for (; *s != '\0'; ++s) {
    if (*s != '\\' || s[1] == '\0') {
      out += *s;
      continue;
    }
    ++s;
    switch (*s) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 'a': out += '\a'; break;
      default: out += *s; break;
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t start = stamp_now_ns();
  FILE* copy = nullptr;
  FILE* every = nullptr;
  char every_char = 0;
  int first_mark = 1;
  while (first_mark < argc) {
    const char* opt = argv[first_mark];
    if (std::strcmp(opt, "-o") == 0 && first_mark + 1 < argc) {
      copy = std::fopen(argv[first_mark + 1], "wb");
      if (copy == nullptr) {
        std::fprintf(stderr, "bench_stamp: cannot write %s: %s\n", argv[first_mark + 1], std::strerror(errno));
        return 1;
      }
      first_mark += 2;
    } else if (std::strcmp(opt, "-e") == 0 && first_mark + 2 < argc && std::strlen(argv[first_mark + 1]) == 1) {
      every_char = argv[first_mark + 1][0];
      every = std::fopen(argv[first_mark + 2], "w");
      if (every == nullptr) {
        std::fprintf(stderr, "bench_stamp: cannot write %s: %s\n", argv[first_mark + 2], std::strerror(errno));
        return 1;
      }
      first_mark += 3;
    } else {
      break;
    }
  }
  std::vector<std::string> marks;
  for (int i = first_mark; i < argc; ++i) marks.push_back(stamp_unescape(argv[i]));
  std::vector<int64_t> seen(marks.size(), -1);

  std::string text;
  size_t next = 0;       // the mark looked for
  size_t search_at = 0;  // where in `text` it may begin
  size_t every_at = 0;   // bytes before this one were looked at for CHAR
  char buf[65536];
  for (;;) {
    const ssize_t n = read(0, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const int64_t now = stamp_now_ns();
    text.append(buf, static_cast<size_t>(n));
    if (copy != nullptr) std::fwrite(buf, 1, static_cast<size_t>(n), copy);
    while (next < marks.size()) {
      const size_t at = text.find(marks[next], search_at);
      if (at == std::string::npos) {
        // Only the tail that may still be the start of the mark is looked at again.
        const size_t keep = marks[next].size() - 1;
        if (text.size() > keep && text.size() - keep > search_at) search_at = text.size() - keep;
        break;
      }
      if (next == 0) every_at = at + marks[next].size();
      if (every != nullptr && next > 0 && next + 1 == marks.size()) {
        // The last mark: only what comes before it counts.
        for (; every_at < at; ++every_at) {
          if (text[every_at] == every_char) std::fprintf(every, "%lld\n", static_cast<long long>(now - start));
        }
      }
      seen[next] = now - start;
      search_at = at + marks[next].size();
      ++next;
    }
    if (every != nullptr && next > 0 && next < marks.size()) {
      for (; every_at < text.size(); ++every_at) {
        if (text[every_at] == every_char) std::fprintf(every, "%lld\n", static_cast<long long>(now - start));
      }
    }
  }
  const int64_t eof = stamp_now_ns() - start;
  if (copy != nullptr) std::fclose(copy);
  if (every != nullptr) std::fclose(every);
  for (const int64_t s : seen) std::printf("%lld ", static_cast<long long>(s));
  std::printf("%lld\n", static_cast<long long>(eof));
  return 0;
}
