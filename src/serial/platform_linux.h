// Linux additions to the POSIX serial backend: rates set exactly through the
// kernel's termios2 (also those without a Bxxx constant, such as 14400 and
// 56000), kept apart because the kernel's termios header and <termios.h>
// cannot be included together.
#pragma once
#include <cstdint>

// Sets input and output rate of the terminal `fd` to `baud`, leaving every
// other setting as it is. 0, or -1 with errno set.
int linux_set_rate(int fd, uint32_t baud);
// The output rate the terminal `fd` is set to, in baud; 0 when it cannot be read.
uint32_t linux_rate(int fd);
