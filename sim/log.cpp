// The clock and the operator's log of tovsim: the lowest part of the front
// end, called by the others and calling none of them.
#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "frontend.h"

namespace {

constexpr int LOG_LINE_MAX = 2048;

bool log_nonblocking = false;
long log_dropped = 0;

void write_all_blocking(int fd, const char* s, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, s, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    s += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

int64_t sim_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sim_log_write(const char* line, size_t n) {
  if (!log_nonblocking) {
    write_all_blocking(1, line, n);
    return;
  }
  // A pipe: lines up to PIPE_BUF go in whole or not at all.
  const ssize_t w = write(1, line, n);
  if (w < 0) log_dropped++;
}

void sim_log(const char* fmt, ...) {
  char line[LOG_LINE_MAX];
  va_list ap;
  va_start(ap, fmt);
  const size_t n = simdev::format_log_line(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n > 0) sim_log_write(line, n);
}

void sim_log_never_block(bool on) {
  const int flags = fcntl(1, F_GETFL);
  fcntl(1, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
  log_nonblocking = on;
}

long sim_log_dropped() { return log_dropped; }
