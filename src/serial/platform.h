// The platform layer under the serial operations. One implementation per
// family of operating systems (platform_posix.cpp, platform_win32.cpp), chosen
// by the build. It speaks the program's terms: a port opened for exclusive
// use, the line set the way the device needs it, reads and writes that end at
// a deadline, a drain, a purge, and the system's text for an error. The
// operations in serial.cpp see the port only through these calls.
#pragma once
#include <cstddef>
#include <cstdint>

#include "serial/deadline.h"

using plat_handle = intptr_t;
constexpr plat_handle PLAT_NO_HANDLE = -1;

// Results of the calls below.
constexpr int PLAT_OK = 0;
constexpr int PLAT_FAILED = -1;        // the system call failed (plat_last_error tells why)
constexpr int PLAT_WAIT_REFUSED = -2;  // plat_read: the port refused the time-out of the read

// The steps of setting up the line, in the order they are taken. A step that
// fails is reported with the value the port showed, where there is one (the
// capabilities it has instead of the ones asked for). A backend reports only
// the steps its system has: a terminal has no capability record, so on POSIX
// a port whose line cannot be read at all fails at the first step.
enum plat_line_step : int {
  PLAT_LINE_DONE = 0,
  PLAT_LINE_QUERY,         // what the port can do could not be asked
  PLAT_LINE_QUERY_LENGTH,  // the port asked for a capability record of an impossible length
  PLAT_LINE_QUERY_AGAIN,   // the second, full-length question failed
  PLAT_LINE_PARAMS,        // parity, rate, data bits or stop bits not settable (value: the settable set)
  PLAT_LINE_DATA_BITS,     // 8 data bits not settable (value: the settable sizes)
  PLAT_LINE_STOP_PARITY,   // one stop bit or no parity not settable (value: the settable set)
  PLAT_LINE_TIMEOUT_CAPS,  // the port has no total or no interval time-outs (value: what it has)
  PLAT_LINE_GET,           // the current settings could not be read
  PLAT_LINE_SET,           // the settings were refused, the rate included
  PLAT_LINE_WAITS,         // the port refused the time-outs its reads and writes need
};

struct plat_line_fault {
  plat_line_step step;
  uint32_t value;
};

// Opens the device for `port_name` ("COMn" names the system's n-th serial
// port; a name beginning with "/" is a device path) for reading and writing,
// for this program alone. The handle never blocks the program beyond the
// deadlines of the calls below. PLAT_NO_HANDLE on failure.
plat_handle plat_open(const char* port_name);
// Sets the line the device needs: `baud` exactly (a rate the port cannot set
// is refused, never rounded), 8 data bits, no parity, one stop bit, no flow
// control of any kind, DTR and RTS off, every byte passed raw both ways.
// PLAT_OK, or PLAT_FAILED with `*fault` naming the step that failed.
int plat_configure_line(plat_handle h, uint32_t baud, plat_line_fault* fault);
// Reads raw bytes until `size` have arrived or `until` has passed; `*got` is
// the count. PLAT_OK (also on a time-out); PLAT_FAILED when the system read
// failed (a vanished device included: hang-up, end of file, EIO);
// PLAT_WAIT_REFUSED when the port would not take the time-out (so also when
// there is no port at all).
int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got);
// Writes all `len` bytes unless `until` passes first; `*written` is the count.
// PLAT_OK when all were written, PLAT_FAILED on failure or time-out.
int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline& until, int* written);
// Waits until the output has left the port, without polling. Where the
// system counts what it still holds, the wait is bounded by the wire time of
// those bytes (Windows); it never goes past `until` where the system can
// bound the wait at all. PLAT_OK, or PLAT_FAILED (also when the bound passed
// with bytes still held).
int plat_drain(plat_handle h, const deadline& until);
// Discards what waits in the input queue (received, not read) and, with
// `output`, what waits in the output queue (written, not sent).
int plat_purge(plat_handle h, bool output);
void plat_close(plat_handle h);
// Last system error number, and its text without a trailing line end.
int plat_last_error();
void plat_error_text(int err, char* buf, size_t cap);
void plat_sleep_ms(uint32_t ms);
