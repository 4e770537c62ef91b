// Serial port services on POSIX terminals: the line set with termios, the
// port held for this program alone, and reads and writes on a nonblocking
// descriptor that wait on it until data, room or the deadline.
//
// What is not in POSIX sits behind a guard of its own, each with a portable
// way or a plain refusal where it is missing:
//   - Linux (unless the build asks for the generic path, TOVHOST_GENERIC_POSIX):
//     every rate set exactly through termios2, also those without a Bxxx
//     constant (platform_linux.cpp); low latency asked of the driver;
//   - macOS: rates without a Bxxx constant through IOSSIOSPEED; waits with
//     select(), as its poll() does not serve terminals;
//   - the BSDs: a speed is the rate itself, so any rate the driver takes;
//   - elsewhere: a rate without a Bxxx constant is refused.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial/platform.h"
#include "serial/port_name.h"

#if defined(__linux__) && !defined(TOVHOST_GENERIC_POSIX)
#define PLAT_LINUX_EXTRAS 1
#include <linux/serial.h>

#include "serial/platform_linux.h"
#endif

#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#include <sys/select.h>
#else
#include <poll.h>
#endif

#if defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || defined(__DragonFly__)
#define PLAT_SPEED_IS_RATE 1
#endif

namespace {

#if !defined(PLAT_LINUX_EXTRAS)
struct speed_entry {
  uint32_t baud;
  speed_t code;
};

// The rates with a constant of their own; which exist differs by system.
constexpr speed_entry standard_speeds[] = {
    {50, B50},         {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},       {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},   {9600, B9600},
#ifdef B14400
    {14400, B14400},
#endif
    {19200, B19200},   {38400, B38400},
#ifdef B56000
    {56000, B56000},
#endif
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
};

// The Bxxx constant of a rate, or false when there is none.
bool speed_code(uint32_t baud, speed_t* code) {
  for (const speed_entry& s : standard_speeds) {
    if (s.baud == baud) {
      *code = s.code;
      return true;
    }
  }
#if defined(PLAT_SPEED_IS_RATE)
  *code = static_cast<speed_t>(baud);
  return true;
#else
  return false;
#endif
}
#endif

int fd_of(plat_handle h) {
  return static_cast<int>(h);
}

// Raises or drops one modem line; a device without modem lines (a
// pseudo-terminal) has nothing to change.
int set_modem_line(int fd, int line, bool on) {
#if defined(TIOCMBIS) && defined(TIOCMBIC)
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) {
    return 0;
  }
  return (errno == ENOTTY || errno == EINVAL) ? 0 : -1;
#else
  (void)fd;
  (void)line;
  (void)on;
  return 0;
#endif
}

// Asks the driver to pass received bytes on at once (USB adapters otherwise
// hold them back for their latency timer). Drivers without the setting refuse;
// that is no failure.
void ask_low_latency(int fd) {
#if defined(PLAT_LINUX_EXTRAS)
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) {
    return;
  }
  constexpr int low_latency = static_cast<int>(ASYNC_LOW_LATENCY);
  if ((ss.flags & low_latency) == 0) {
    ss.flags |= low_latency;
    ioctl(fd, TIOCSSERIAL, &ss);
  }
#else
  (void)fd;
#endif
}

// Raw 8N1 without flow control: no translation, no echo, no signals, bytes
// passed on as they come (VMIN 0, VTIME 0; the waiting is done by wait_fd).
void make_link_settings(termios& t) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                      IXANY | INPCK | IGNPAR);
#ifdef IUCLC
  t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
  t.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
#ifdef IUTF8
  t.c_iflag &= ~static_cast<tcflag_t>(IUTF8);
#endif
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
#ifdef XCASE
  t.c_lflag &= ~static_cast<tcflag_t>(XCASE);
#endif
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CMSPAR
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
#ifdef CRTSCTS
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

// Applies the settings `t` with the rate `baud`, and checks that the driver
// really took the rate: a driver may quietly keep another one, and the line
// is only usable at the rate asked for. 0, or -1 with errno set (EINVAL for
// a rate this system cannot set).
int apply_settings(int fd, termios& t, uint32_t baud) {
#if defined(PLAT_LINUX_EXTRAS)
  if (tcsetattr(fd, TCSANOW, &t) != 0 || linux_set_rate(fd, baud) != 0) {
    return -1;
  }
  if (linux_rate(fd) != baud) {
    errno = EINVAL;
    return -1;
  }
  return 0;
#else
  speed_t code = 0;
  if (!speed_code(baud, &code)) {
#if defined(__APPLE__)
    // IOSSIOSPEED sets any rate the driver takes; it comes after the other
    // settings, which would otherwise put the old rate back.
    speed_t speed = static_cast<speed_t>(baud);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
      return -1;
    }
    return ioctl(fd, IOSSIOSPEED, &speed) == 0 ? 0 : -1;
#else
    errno = EINVAL;
    return -1;
#endif
  }
  if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0 || tcsetattr(fd, TCSANOW, &t) != 0) {
    return -1;
  }
  // tcsetattr succeeds when it made any of the changes; the rate is checked.
  termios back{};
  if (tcgetattr(fd, &back) != 0) {
    return -1;
  }
  if (cfgetospeed(&back) != code) {
    errno = EINVAL;
    return -1;
  }
  return 0;
#endif
}

// Waits until `fd` is readable (or writable) or `until` has passed. 1 ready,
// 0 deadline passed, -1 failed: also a hang-up or an error of the device
// with nothing to read (errno EIO). An interrupted wait goes on with what is
// left of the deadline.
int wait_fd(int fd, bool for_write, const deadline& until) {
  for (;;) {
    const int left_ms = deadline_left_ms(until);
#if defined(__APPLE__)
    // Hang-up shows as readable; the read that follows fails.
    if (fd >= FD_SETSIZE) {
      errno = EBADF;
      return -1;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{left_ms / 1000, (left_ms % 1000) * 1000};
    const int r = select(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &tv);
#else
    const short want = for_write ? POLLOUT : POLLIN;
    pollfd p{fd, want, 0};
    const int r = poll(&p, 1, left_ms);
    if (r > 0 && (p.revents & want) == 0) {
      errno = (p.revents & POLLNVAL) != 0 ? EBADF : EIO;
      return -1;
    }
#endif
    if (r > 0) {
      return 1;
    }
    if (r < 0 && errno != EINTR) {
      return -1;
    }
    if (r == 0 && deadline_passed(until)) {
      return 0;
    }
  }
}

void close_keep_errno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

// strerror_r comes in two shapes: XSI returns 0 and fills the buffer, GNU
// returns the text, which may be a static one. Either is taken.
[[maybe_unused]] const char* error_text_of(int rc, const char* buf) {
  return rc == 0 || buf[0] != '\0' ? buf : nullptr;  // ERANGE: the text cut to the buffer
}
[[maybe_unused]] const char* error_text_of(const char* text, const char*) {
  return text;
}

}  // namespace

plat_handle plat_open(const char* port_name) {
  std::array<char, 512> path{};
  if (port_device_path(port_name, path.data(), path.size()) != 0) {
    errno = ENOENT;
    return PLAT_NO_HANDLE;
  }
  // Nonblocking: no wait for a carrier at the open, and every read and write
  // after it waits on the descriptor with its own deadline instead.
  const int fd = open(path.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return PLAT_NO_HANDLE;
  }
  // Exclusive use: the advisory lock holds against every program that asks
  // for it (root included), TIOCEXCL refuses other opens of the terminal.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      errno = EBUSY;
    }
    close_keep_errno(fd);
    return PLAT_NO_HANDLE;
  }
#ifdef TIOCEXCL
  ioctl(fd, TIOCEXCL);
#endif
  ask_low_latency(fd);
  return static_cast<plat_handle>(fd);
}

int plat_configure_line(plat_handle h, uint32_t baud, plat_line_fault* fault) {
  plat_line_fault dummy{};
  plat_line_fault& f = fault != nullptr ? *fault : dummy;
  f = {PLAT_LINE_DONE, 0};
  if (h < 0) {
    errno = EBADF;
    f.step = PLAT_LINE_QUERY;
    return PLAT_FAILED;
  }
  const int fd = fd_of(h);
  // A terminal can always be set to 8N1 and waited on with a deadline; a
  // device that is no terminal cannot be asked anything.
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    f.step = PLAT_LINE_QUERY;
    return PLAT_FAILED;
  }
  make_link_settings(t);
  if (apply_settings(fd, t, baud) != 0) {
    f.step = PLAT_LINE_SET;
    return PLAT_FAILED;
  }
  if (set_modem_line(fd, TIOCM_DTR, false) != 0 || set_modem_line(fd, TIOCM_RTS, false) != 0) {
    f.step = PLAT_LINE_SET;
    return PLAT_FAILED;
  }
  return PLAT_OK;
}

int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got) {
  *got = 0;
  if (h < 0) {
    // No descriptor to wait on: the time-out cannot even be set, as on
    // Windows, where a read on a closed handle fails at its time-outs.
    errno = EBADF;
    return PLAT_WAIT_REFUSED;
  }
  const int fd = fd_of(h);
  while (*got < size) {
    const int w = wait_fd(fd, false, until);
    if (w < 0) {
      return PLAT_FAILED;
    }
    if (w == 0) {
      return PLAT_OK;  // the deadline passed with what arrived
    }
    const ssize_t n = read(fd, buf + *got, static_cast<size_t>(size - *got));
    if (n > 0) {
      *got += static_cast<int>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n == 0) {
      errno = EIO;  // readable, yet nothing to read: end of file, the device vanished
    }
    return PLAT_FAILED;
  }
  return PLAT_OK;
}

int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline& until, int* written) {
  *written = 0;
  if (h < 0) {
    errno = EBADF;
    return PLAT_FAILED;
  }
  const int fd = fd_of(h);
  while (*written < len) {
    const ssize_t n = write(fd, buf + *written, static_cast<size_t>(len - *written));
    if (n > 0) {
      *written += static_cast<int>(n);  // go on with the bytes not yet written
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return PLAT_FAILED;
    }
    if (deadline_passed(until)) {
      errno = ETIMEDOUT;
      return PLAT_FAILED;
    }
    if (wait_fd(fd, true, until) < 0) {
      return PLAT_FAILED;
    }
  }
  return PLAT_OK;
}

int plat_drain(plat_handle h, const deadline& until) {
  if (h < 0) {
    errno = EBADF;
    return PLAT_FAILED;
  }
  // The driver waits until the output queue and the transmitter are empty;
  // the system offers no bound on that wait. Without flow control the line
  // always empties, within the write time-out of what is queued, so the
  // deadline is kept by the line itself.
  (void)until;
  while (tcdrain(fd_of(h)) != 0) {
    if (errno != EINTR) {
      return PLAT_FAILED;
    }
  }
  return PLAT_OK;
}

int plat_purge(plat_handle h, bool output) {
  if (h < 0) {
    errno = EBADF;
    return PLAT_FAILED;
  }
  return tcflush(fd_of(h), output ? TCIOFLUSH : TCIFLUSH) == 0 ? PLAT_OK : PLAT_FAILED;
}

void plat_close(plat_handle h) {
  if (h < 0) {
    return;
  }
  const int fd = fd_of(h);
  // The exclusive flag stays with the terminal (a pseudo-terminal outlives
  // this descriptor); clear it so the port can be opened again at once.
#ifdef TIOCNXCL
  ioctl(fd, TIOCNXCL);
#endif
  flock(fd, LOCK_UN);
  close(fd);
}

int plat_last_error() {
  return errno;
}

void plat_error_text(int err, char* buf, size_t cap) {
  if (buf == nullptr || cap == 0) {
    return;
  }
  buf[0] = '\0';
  const char* text = error_text_of(strerror_r(err, buf, cap), buf);
  if (text == nullptr) {
    snprintf(buf, cap, "Unknown error %d", err);
  } else if (text != buf) {
    snprintf(buf, cap, "%s", text);
  }
  size_t n = strlen(buf);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r')) {
    buf[--n] = '\0';
  }
}

void plat_sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
