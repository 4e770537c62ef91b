// The baud rates a port can be set to.
#include <cstdio>

#include "rates/rates.h"

const long baud_table[14] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 0};

const long* get_baud(long baud) {
  if (baud == 0) {
    std::printf("get_baud: Error: invalid baud: %ld\n", baud);
    return nullptr;
  }
  for (const long* p = baud_table; *p != 0; ++p) {
    if (*p == baud) return p;
  }
  return nullptr;
}

uint32_t wire_time_ms(long baud, uint32_t bytes) {
  if (baud <= 0) return 0;
  const uint64_t ms = (uint64_t{bytes} * 10 * 1000 + static_cast<uint64_t>(baud) - 1) / static_cast<uint64_t>(baud);
  return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}
