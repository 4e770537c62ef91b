// What the Linux kernel holds as the rate of a terminal, read with termios2
// (kept apart: the kernel's termios header and <termios.h> do not mix).
#pragma once
#include <cstdint>

struct termios2_rate {
  bool ok;          // the terminal could be read
  bool other;       // the rate is given as a number (BOTHER), not by a Bxxx code
  bool input_same;  // the input rate follows the output rate
  uint32_t ospeed;  // the output rate the kernel keeps, in baud
};

termios2_rate probe_termios2_rate(int fd);
