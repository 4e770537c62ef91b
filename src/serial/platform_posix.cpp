// Serial port services on Linux: termios2 line settings (every rate set
// exactly, standard or not), exclusive use, reads and writes on a
// nonblocking descriptor that wait with poll() until data or the deadline.
//
// The kernel's own termios header is used instead of <termios.h>: the two
// cannot be included together, and only the kernel's termios2 carries rates
// that have no Bxxx constant (14400, 56000).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "serial/platform.h"

namespace {

constexpr int com_port_count = 20;       // COM1 .. COM20
constexpr uint32_t prop_record_length = 64;

// Capability masks every termios port has.
constexpr uint32_t posix_settable_params = 0xF;
constexpr uint16_t posix_settable_data = 0x000F;        // 5 to 8 data bits
constexpr uint16_t posix_settable_stop_parity = 0x1F07; // 1, 1.5, 2 stop bits; none, odd, even, mark, space
constexpr uint32_t posix_prov_capabilities = 0x00FF;

// Flag word bits (see plat_comm_state).
constexpr uint32_t flag_binary = 0x0001;
constexpr uint32_t flag_parity_check = 0x0002;
constexpr uint32_t flag_cts_flow = 0x0004;
constexpr uint32_t flag_outx = 0x0100;
constexpr uint32_t flag_inx = 0x0200;
constexpr int dtr_shift = 4;
constexpr int rts_shift = 12;
constexpr uint32_t line_control_disable = 0;
constexpr uint32_t line_control_enable = 1;
constexpr uint32_t line_control_handshake = 2;

struct speed_entry {
  uint32_t baud;
  tcflag_t code;
};

constexpr std::array<speed_entry, 18> standard_speeds = {{
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
}};

int fd_of(plat_handle h) {
  return static_cast<int>(h);
}

// "COMn" (any case) names the n-th serial port; a name beginning with "/" is
// a device path. False for anything else.
bool port_path(const char* port_name, char* path, size_t cap) {
  const std::string_view name(port_name);
  if (!name.empty() && name.front() == '/') {
    if (name.size() >= cap) {
      return false;
    }
    snprintf(path, cap, "%s", port_name);
    return true;
  }
  if (name.size() < 4 || name.size() > 5 || strncasecmp(port_name, "COM", 3) != 0) {
    return false;
  }
  int number = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') {
      return false;
    }
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > com_port_count || name[3] == '0') {
    return false;
  }
  snprintf(path, cap, "/dev/ttyS%d", number - 1);
  return true;
}

uint32_t decode_speed(const termios2& t) {
  const tcflag_t code = t.c_cflag & CBAUD;
  if (code == BOTHER) {
    return static_cast<uint32_t>(t.c_ospeed);
  }
  for (const speed_entry& s : standard_speeds) {
    if (s.code == code) {
      return s.baud;
    }
  }
  return static_cast<uint32_t>(t.c_ospeed);
}

void encode_speed(termios2& t, uint32_t baud) {
  tcflag_t code = BOTHER;
  for (const speed_entry& s : standard_speeds) {
    if (s.baud == baud) {
      code = s.code;
    }
  }
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));  // input speed follows the output speed
  t.c_cflag |= code;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
}

// Raises or drops one modem line; a device without modem lines (a
// pseudo-terminal) has nothing to change.
int set_modem_line(int fd, int line, bool on) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) {
    return 0;
  }
  return (errno == ENOTTY || errno == EINVAL) ? 0 : -1;
}

// Asks the driver to pass received bytes on at once (USB adapters otherwise
// hold them back for their latency timer). Drivers without the setting refuse;
// that is no failure.
void ask_low_latency(int fd) {
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) {
    return;
  }
  if ((ss.flags & ASYNC_LOW_LATENCY) == 0) {
    ss.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &ss);
  }
}

void close_keep_errno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

plat_handle plat_open(const char* port_name) {
  std::array<char, 512> path{};
  if (port_name == nullptr || !port_path(port_name, path.data(), path.size())) {
    errno = ENOENT;
    return PLAT_NO_HANDLE;
  }
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
  ioctl(fd, TIOCEXCL);
  ask_low_latency(fd);
  return static_cast<plat_handle>(fd);
}

int plat_get_props(plat_handle h, plat_comm_props* props) {
  termios2 t{};
  if (props == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  if (ioctl(fd_of(h), TCGETS2, &t) != 0) {
    return -1;
  }
  props->length = prop_record_length;
  props->settable_params = posix_settable_params;
  props->settable_data = posix_settable_data;
  props->settable_stop_parity = posix_settable_stop_parity;
  props->prov_capabilities = posix_prov_capabilities;
  return 0;
}

int plat_get_state(plat_handle h, plat_comm_state* state) {
  termios2 t{};
  if (state == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  const int fd = fd_of(h);
  if (ioctl(fd, TCGETS2, &t) != 0) {
    return -1;
  }
  int lines = 0;
  const bool have_lines = ioctl(fd, TIOCMGET, &lines) == 0;

  uint32_t flags = flag_binary;
  if ((t.c_iflag & INPCK) != 0) {
    flags |= flag_parity_check;
  }
  if ((t.c_cflag & CRTSCTS) != 0) {
    flags |= flag_cts_flow;
    flags |= line_control_handshake << rts_shift;
  } else if (have_lines && (lines & TIOCM_RTS) != 0) {
    flags |= line_control_enable << rts_shift;
  }
  if (have_lines && (lines & TIOCM_DTR) != 0) {
    flags |= line_control_enable << dtr_shift;
  }
  if ((t.c_iflag & IXON) != 0) {
    flags |= flag_outx;
  }
  if ((t.c_iflag & IXOFF) != 0) {
    flags |= flag_inx;
  }

  state->baud = decode_speed(t);
  state->flags = flags;
  switch (t.c_cflag & CSIZE) {
    case CS5: state->byte_size = 5; break;
    case CS6: state->byte_size = 6; break;
    case CS7: state->byte_size = 7; break;
    default: state->byte_size = 8; break;
  }
  if ((t.c_cflag & PARENB) == 0) {
    state->parity = 0;
  } else if ((t.c_cflag & CMSPAR) != 0) {
    state->parity = (t.c_cflag & PARODD) != 0 ? 3 : 4;
  } else {
    state->parity = (t.c_cflag & PARODD) != 0 ? 1 : 2;
  }
  state->stop_bits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
  return 0;
}

int plat_set_state(plat_handle h, const plat_comm_state& state) {
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  const int fd = fd_of(h);
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) {
    return -1;
  }
  const uint32_t dtr = (state.flags >> dtr_shift) & 3;
  const uint32_t rts = (state.flags >> rts_shift) & 3;

  // Raw input and output: no translation, no echo, no signals, bytes passed
  // on as they come (VMIN 0, VTIME 0; waiting is done with poll).
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                      IXON | IXOFF | IXANY | IMAXBEL | IUTF8 | INPCK | IGNPAR);
  if ((state.flags & flag_parity_check) != 0) {
    t.c_iflag |= INPCK;
  }
  if ((state.flags & flag_outx) != 0) {
    t.c_iflag |= IXON;
  }
  if ((state.flags & flag_inx) != 0) {
    t.c_iflag |= IXOFF;
  }
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | XCASE);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (state.byte_size) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  switch (state.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (state.stop_bits != 0) {
    t.c_cflag |= CSTOPB;
  }
  if ((state.flags & flag_cts_flow) != 0 || rts == line_control_handshake) {
    t.c_cflag |= CRTSCTS;
  }
  t.c_cflag |= CLOCAL | CREAD;
  encode_speed(t, state.baud);

  if (ioctl(fd, TCSETS2, &t) != 0) {
    return -1;
  }
  // A driver may quietly keep another rate; the line is only usable at the
  // rate asked for.
  termios2 back{};
  if (ioctl(fd, TCGETS2, &back) != 0) {
    return -1;
  }
  if (decode_speed(back) != state.baud) {
    errno = EINVAL;
    return -1;
  }

  if (set_modem_line(fd, TIOCM_DTR, dtr != line_control_disable) != 0) {
    return -1;
  }
  if (rts != line_control_handshake && set_modem_line(fd, TIOCM_RTS, rts == line_control_enable) != 0) {
    return -1;
  }
  return 0;
}

int plat_set_timeouts(plat_handle h, const comm_timeouts& t) {
  // Each read and write carries its own deadline, computed from these values
  // by the caller; the terminal keeps no time-outs of its own (VMIN and VTIME
  // stay 0). A device that has gone away shows at the read, as a failed read.
  (void)t;
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  return 0;
}

int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got) {
  *got = 0;
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  const int fd = fd_of(h);
  while (*got < size) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, deadline_left_ms(until));
    if (r < 0) {
      if (errno == EINTR) {
        continue;  // the deadline stands; wait again for what is left
      }
      return -1;
    }
    if (r == 0) {
      if (deadline_passed(until)) {
        return 0;
      }
      continue;
    }
    if ((p.revents & POLLIN) == 0) {
      // Hang-up or error without data: the device is gone.
      errno = (p.revents & POLLNVAL) != 0 ? EBADF : EIO;
      return -1;
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
    return -1;
  }
  return 0;
}

int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline& until, int* written) {
  *written = 0;
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  const int fd = fd_of(h);
  while (*written < len) {
    const ssize_t n = write(fd, buf + *written, static_cast<size_t>(len - *written));
    if (n > 0) {
      *written += static_cast<int>(n);  // go on with the bytes not yet written
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return -1;
    }
    if (deadline_passed(until)) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    const int r = poll(&p, 1, deadline_left_ms(until));
    if (r < 0 && errno != EINTR) {
      return -1;
    }
    if (r > 0 && (p.revents & POLLOUT) == 0) {
      errno = (p.revents & POLLNVAL) != 0 ? EBADF : EIO;
      return -1;
    }
  }
  return 0;
}

int plat_drain(plat_handle h, const deadline& until) {
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  // The driver waits until the output queue and the transmitter are empty
  // (what the output-queue count alone does not see). Without flow control the
  // line always empties, within the write time-out of what is queued; the
  // kernel wakes us when it has, so nothing here polls.
  (void)until;
  for (;;) {
    if (ioctl(fd_of(h), TCSBRK, 1) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int plat_purge(plat_handle h, uint32_t flags) {
  if (h < 0) {
    errno = EBADF;
    return -1;
  }
  const bool tx = (flags & PLAT_PURGE_TXCLEAR) != 0;
  const bool rx = (flags & PLAT_PURGE_RXCLEAR) != 0;
  if (!tx && !rx) {
    return 0;
  }
  const int which = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
  return ioctl(fd_of(h), TCFLSH, which) == 0 ? 0 : -1;
}

void plat_close(plat_handle h) {
  if (h < 0) {
    return;
  }
  const int fd = fd_of(h);
  // The exclusive flag stays with the terminal (a pseudo-terminal outlives
  // this descriptor); clear it so the port can be opened again at once.
  ioctl(fd, TIOCNXCL);
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
  // GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(err, buf, cap);
  if (text != buf) {
    snprintf(buf, cap, "%s", text != nullptr ? text : "");
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
