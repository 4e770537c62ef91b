// The program's one serial port: open at 8N1 with checked baud, timed reads,
// bounded writes, purge, close, and the fatal stop on a failed read.
#pragma once
#include <cstdint>

#include "rates/rates.h"


// Five time-out values in milliseconds. A read or write of n bytes may take
// multiplier x n + constant in all.
struct comm_timeouts {
  uint32_t read_interval;        // 0: not used
  uint32_t read_total_multiplier;
  uint32_t read_total_constant;
  uint32_t write_total_multiplier;
  uint32_t write_total_constant;
};

// The standing time-outs for a baud: 0, 10000/baud, 1, 20000/baud, 10.
comm_timeouts standing_timeouts(long baud);
// The time-outs of one read with a positive `timeout`: standing, with the read
// multiplier 10000/baud and the read constant timeout + 10.
comm_timeouts read_timeouts(long baud, int timeout);
// Total time a read of `size` bytes may wait: multiplier * size + constant.
uint32_t read_total_ms(const comm_timeouts& t, int size);
// Total time a write of `len` bytes may take: multiplier * len + constant.
uint32_t write_total_ms(const comm_timeouts& t, int len);

// Opens the named port (COMn, or a device path beginning with "/") at `baud`.
// 0, or -1 no name, -2 not opened, -3 set_comm_prop failed, -14 time-outs
// refused (by a port whose reads and writes are bounded by time-outs it keeps).
int open_port(const char* port_name, long baud);
// Checks the port's capabilities and sets 8N1 at `baud`; 0 or -1, -2, -4 .. -13,
// or -14 when the port refused the time-outs (with open_port's message).
int set_comm_prop(const char* port_name, long baud);
// What read_port returns when the port failed under it (a vanished device: a
// failed system read, or read time-outs the port no longer takes): the
// failure has been reported on standard error, as port_lost does, and the
// port is closed. The caller ends its exchange at once: nothing arrived, and
// nothing more may be written.
constexpr int READ_PORT_LOST = -1;
// Reads up to `size` bytes; returns how many arrived (0..size) when all arrived
// or the time-out passed, or READ_PORT_LOST. NUL bytes are dropped and do not
// count. Invalid arguments (a program fault) end the process through port_fatal.
int read_port(const char* port_name, uint8_t* buffer, int size, int timeout);
// Writes `len` bytes; returns len, or -1 (no name, len 0), -2 (no buffer),
// -3 (system write failed or not finished within the write time-out). Never 0.
int write_port(const char* port_name, const uint8_t* buffer, int len);
// Waits until everything written has left the port (bounded by the write
// time-out of the bytes still queued). Used before a close that must not lose
// a command, such as the baud change.
void drain_port();
// Discards the transmit and receive queues.
void purge_port();
// Discards the receive queue only (what arrived and was not read).
void purge_port_input();
// Closes the port (no-op when none is open).
void close_port();
// True while a port is open.
bool port_is_open();
// The system's text for the last system error (1024-byte buffer, overwritten).
const char* sys_error_text();
// Prints `message` and "Return code %d, system error code %d\n" on standard
// error, waits 5 s and aborts. Only for faults of the program itself.
[[noreturn]] void port_fatal(int code, const char* message);
// Prints `message` and "Return code %d, system error code %d\n" on standard
// error, as port_fatal does, then closes the port and returns: the command
// in progress ends, the program goes on.
void port_lost(int code, const char* message);
