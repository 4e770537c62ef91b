#include "termios2_probe.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

termios2_rate probe_termios2_rate(int fd) {
  termios2 t{};
  termios2_rate r{};
  if (ioctl(fd, TCGETS2, &t) != 0) {
    return r;
  }
  r.ok = true;
  r.other = (t.c_cflag & CBAUD) == BOTHER;
  r.input_same = ((t.c_cflag >> IBSHIFT) & CBAUD) == 0 || t.c_ispeed == t.c_ospeed;
  r.ospeed = t.c_ospeed;
  return r;
}
