// The far end of a serial line for the Windows tests that run under Wine: a
// Linux program that creates a pseudo-terminal, prints the path of its
// terminal side alone on the first line, and echoes back every byte that
// arrives until it is terminated. It holds the terminal side open itself, so
// the port may be opened and closed again by the tests as often as they like.
//
//   pty_peer [--exit-after SEC]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pty_pair.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) {
  stop_requested = 1;
}

bool write_all(int fd, const unsigned char* p, ssize_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, static_cast<size_t>(n));
    if (w < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return false;
    }
    p += w;
    n -= w;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long exit_after = 600;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--exit-after") == 0 && i + 1 < argc) {
      exit_after = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: pty_peer [--exit-after SEC]\n");
      return 2;
    }
  }

  // The terminal side held open so that the master never sees a hang-up
  // between the tests.
  pty_pair pty;
  if (!pty.open_pair(true)) {
    std::perror("pty_peer: pseudo-terminal");
    return 1;
  }
  const int master = pty.master;
  const int held = pty.slave;
  const char* name = pty.slave_path.c_str();
  termios t{};
  if (tcgetattr(held, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(held, TCSANOW, &t);
  }

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  std::printf("%s\n", name);
  std::fflush(stdout);

  const time_t end = time(nullptr) + exit_after;
  unsigned char buf[4096];
  while (!stop_requested && time(nullptr) < end) {
    pollfd p{master, POLLIN, 0};
    const int r = poll(&p, 1, 200);
    if (r <= 0) {
      continue;
    }
    const ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      if (!write_all(master, buf, n)) {
        break;
      }
    } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO) {
      break;
    }
  }
  return 0;
}
