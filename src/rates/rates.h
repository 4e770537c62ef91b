// The rates a serial port can be set to: the serial layer opens a port only
// at one of them, and the configuration reader checks its baud items
// against the same table.
#pragma once
#include <cstdint>

// The 13 rates a port can be set to, ended by a zero entry.
extern const long baud_table[14];

// The baud_table entry equal to `baud`, or nullptr. A baud of 0 prints
// "get_baud: Error: invalid baud: %ld\n"; any other unknown rate prints nothing.
const long* get_baud(long baud);

// Time `bytes` bytes take on the line at `baud` (10 bits a byte), in whole
// milliseconds rounded up, saturated; 0 for a baud of 0 or less. A write
// returns when its bytes are queued, so a wait for the answer to them adds
// this: it counts from when they have left.
uint32_t wire_time_ms(long baud, uint32_t bytes);
