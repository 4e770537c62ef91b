// The platform layer under the serial operations. One implementation per
// operating system (platform_posix.cpp, platform_win32.cpp), chosen by the
// build; the operations in serial.cpp see the port only through these calls,
// which mirror the services of the Windows comm API.
#pragma once
#include <cstddef>
#include <cstdint>

#include "serial/deadline.h"
#include "serial/serial.h"

using plat_handle = intptr_t;
constexpr plat_handle PLAT_NO_HANDLE = -1;

// Purge flags (as PurgeComm takes them).
constexpr uint32_t PLAT_PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PLAT_PURGE_RXCLEAR = 0x0008;

// Capability masks of a port, as the two-step property query reports them.
struct plat_comm_props {
  uint32_t length;                // record length the port needs (first query)
  uint32_t settable_params;       // 0x1 parity, 0x2 baud, 0x4 data bits, 0x8 stop bits
  uint16_t settable_data;         // 0x0008: 8 data bits
  uint16_t settable_stop_parity;  // 0x0001 one stop bit, 0x0100 no parity
  uint32_t prov_capabilities;     // 0x0040 total time-outs, 0x0080 interval time-outs
};

// Line settings. `flags` is the platform's flag word (bit 0 binary, bit 1
// parity check, bits 2-3 CTS/DSR output flow, bits 4-5 DTR control, bit 8 XON/XOFF
// output, bit 9 XON/XOFF input, bit 11 NUL discard, bits 12-13 RTS control).
struct plat_comm_state {
  uint32_t baud;
  uint32_t flags;
  uint8_t byte_size;  // 8
  uint8_t parity;     // 0: none
  uint8_t stop_bits;  // 0: one stop bit
};

// Opens the device for `port_name` ("COMn" maps to the system's n-th serial
// port; a name beginning with "/" is a device path) exclusively, read/write,
// blocking. PLAT_NO_HANDLE on failure (plat_last_error tells why).
plat_handle plat_open(const char* port_name);
// Property query; `props->length` in is the announced record length. 0 or -1.
int plat_get_props(plat_handle h, plat_comm_props* props);
int plat_get_state(plat_handle h, plat_comm_state* state);
int plat_set_state(plat_handle h, const plat_comm_state& state);
// Applies the five time-out values. 0 or -1.
int plat_set_timeouts(plat_handle h, const comm_timeouts& t);
// Reads raw bytes until `size` have arrived or `until` has passed; `*got` is
// the count. 0 (also on a time-out), or -1 when the system read failed (a
// vanished device included: hang-up, end of file, EIO).
int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got);
// Writes all `len` bytes unless `until` passes first; `*written` is the count.
// 0 when all were written, -1 on failure or time-out.
int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline& until, int* written);
// Waits until the output has left the port, at most until `until`. 0 or -1.
int plat_drain(plat_handle h, const deadline& until);
int plat_purge(plat_handle h, uint32_t flags);
void plat_close(plat_handle h);
// Last system error number, and its text without a trailing line end.
int plat_last_error();
void plat_error_text(int err, char* buf, size_t cap);
void plat_sleep_ms(uint32_t ms);
