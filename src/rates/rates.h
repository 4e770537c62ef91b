// The rates a serial port can be set to: the serial layer opens a port only
// at one of them, and the configuration reader checks its baud items
// against the same table.
#pragma once

// The 13 rates a port can be set to, ended by a zero entry.
extern const long baud_table[14];

// The baud_table entry equal to `baud`, or nullptr. A baud of 0 prints
// "get_baud: Error: invalid baud: %ld\n"; any other unknown rate prints nothing.
const long* get_baud(long baud);
