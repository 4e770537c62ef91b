// The floor of one-byte round trips on this machine: the device's serial echo
// test driven over the same kind of pseudo-terminal with nothing but blocking
// write() and read() of one byte each, no time-outs, no clock reads, no poll.
//
// rt_baseline PORT [ITERATIONS [TIMES]]
//   Opens PORT raw, sends "serialtest\n", collects the start text, then sends
//   the 63 characters 0x40..0x7E ITERATIONS times (default 2000), each awaited
//   and checked before the next, and ends the test with 0x03.
//   TIMES: a file to get the end time of every iteration, one a line, in
//   nanoseconds (as the shell's progress dots mark them).
// Prints one line:
//   round_trips <n> total_ns <t> after_first_ns <t1>
// total_ns covers every round trip; after_first_ns covers iterations 2..n
// (the span between the first and the last progress dot of the shell).
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view rt_command = "serialtest\n";
constexpr std::string_view rt_start_text = "Begin serial test: end with <ctrl>-c";
constexpr uint8_t rt_first = 0x40;
constexpr uint8_t rt_last = 0x7E;
constexpr int rt_per_iteration = rt_last - rt_first + 1;
static_assert(rt_per_iteration == 63, "63 echo characters per iteration");
constexpr uint8_t rt_interrupt = 0x03;
constexpr int rt_reply_size = 1024;     // the read the shell makes for the start text
constexpr int rt_reply_wait_ms = 1000;  // for the start text
constexpr int rt_rest_wait_ms = 100;    // for the filler behind it, without --quick

int64_t rt_now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool rt_write_all(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    const ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool rt_contains(const uint8_t* buf, int len, std::string_view text) {
  const int tl = static_cast<int>(text.size());
  for (int i = 0; i + tl <= len; ++i) {
    if (std::memcmp(buf + i, text.data(), text.size()) == 0) return true;
  }
  return false;
}

// Setup only (not timed): reads the reply to "serialtest\n" until the start
// text has come and the 1024 bytes of a padded reply are in, or nothing more
// arrives for a while.
bool rt_read_start_text(int fd) {
  std::array<uint8_t, rt_reply_size> reply{};
  int got = 0;
  bool found = false;
  while (got < rt_reply_size) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, found ? rt_rest_wait_ms : rt_reply_wait_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    const ssize_t n = read(fd, reply.data() + got, static_cast<size_t>(rt_reply_size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
    found = found || rt_contains(reply.data(), got, rt_start_text);
  }
  return found;
}

long rt_parse_iterations(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 10'000'000) return -1;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: rt_baseline PORT [ITERATIONS [TIMES]]\n");
    return 2;
  }
  const long iterations = argc >= 3 ? rt_parse_iterations(argv[2]) : 2000;
  if (iterations < 1) {
    std::fprintf(stderr, "rt_baseline: bad iteration count %s\n", argv[2]);
    return 2;
  }

  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "rt_baseline: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  // The same line the shell sets: raw 8N1, no flow control; a read returns
  // as soon as one byte is there.
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    std::fprintf(stderr, "rt_baseline: tcgetattr: %s\n", std::strerror(errno));
    return 1;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetspeed(&t, B57600);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    std::fprintf(stderr, "rt_baseline: tcsetattr: %s\n", std::strerror(errno));
    return 1;
  }
  tcflush(fd, TCIFLUSH);

  if (!rt_write_all(fd, rt_command.data(), rt_command.size()) || !rt_read_start_text(fd)) {
    std::fprintf(stderr, "rt_baseline: no serial test start text\n");
    return 1;
  }

  // Iteration ends, noted outside the byte loop (one clock read per 63
  // round trips).
  std::vector<int64_t> ends(static_cast<size_t>(iterations));

  // The measured loop: one byte out, one byte back, nothing else.
  const int64_t start = rt_now_ns();
  for (long i = 1; i <= iterations; ++i) {
    for (unsigned c = rt_first; c <= rt_last; ++c) {
      const uint8_t ch = static_cast<uint8_t>(c);
      uint8_t echo = 0;
      if (write(fd, &ch, 1) != 1 || read(fd, &echo, 1) != 1) {
        std::fprintf(stderr, "rt_baseline: round trip %ld/0x%02x failed: %s\n", i, c, std::strerror(errno));
        return 1;
      }
      if (echo != ch) {
        std::fprintf(stderr, "rt_baseline: sent 0x%02x, got 0x%02x\n", c, static_cast<unsigned>(echo));
        return 1;
      }
    }
    ends[static_cast<size_t>(i - 1)] = rt_now_ns();
  }
  const int64_t after_first = ends[0];
  const int64_t end = rt_now_ns();

  if (!rt_write_all(fd, &rt_interrupt, 1)) {
    std::fprintf(stderr, "rt_baseline: could not end the test\n");
    return 1;
  }
  tcdrain(fd);
  close(fd);
  if (argc == 4) {
    FILE* f = std::fopen(argv[3], "w");
    if (f == nullptr) {
      std::fprintf(stderr, "rt_baseline: cannot write %s: %s\n", argv[3], std::strerror(errno));
      return 1;
    }
    for (const int64_t e : ends) std::fprintf(f, "%lld\n", static_cast<long long>(e - start));
    std::fclose(f);
  }
  std::printf("round_trips %ld total_ns %lld after_first_ns %lld\n", iterations * rt_per_iteration,
              static_cast<long long>(end - start), static_cast<long long>(end - after_first));
  return 0;
}
