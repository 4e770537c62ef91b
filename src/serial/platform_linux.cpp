// Exact line rates on Linux through termios2: a rate with a Bxxx code is set
// by its code, any other with BOTHER and the number itself; the input rate
// follows the output rate.
#include "serial/platform_linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <array>

namespace {

struct rate_code {
  uint32_t baud;
  tcflag_t code;
};

constexpr std::array<rate_code, 18> rate_codes = {{
    {50, B50},       {75, B75},       {110, B110},     {134, B134},       {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
}};

}  // namespace

int linux_set_rate(int fd, uint32_t baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) {
    return -1;
  }
  tcflag_t code = BOTHER;
  for (const rate_code& r : rate_codes) {
    if (r.baud == baud) {
      code = r.code;
    }
  }
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));  // input rate: as output
  t.c_cflag |= code;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0 ? 0 : -1;
}

uint32_t linux_rate(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) {
    return 0;
  }
  const tcflag_t code = t.c_cflag & CBAUD;
  if (code == BOTHER) {
    return t.c_ospeed;
  }
  for (const rate_code& r : rate_codes) {
    if (r.code == code) {
      return r.baud;
    }
  }
  return t.c_ospeed;
}
