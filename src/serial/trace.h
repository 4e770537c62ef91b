// The serial trace (--trace FILE): a record of every serial operation of the
// run, for bug reports. An operation only notes what happened, in a fixed
// buffer in memory: no output and no allocation on the way to the device.
// The text is written out when the port closes, at exit, on the fatal read
// path, and when the buffer is full.
#pragma once
#include <cstdint>

#include "serial/deadline.h"

constexpr int TRACE_BUFFER_SIZE = 1 << 21;  // bytes of notes kept in memory
constexpr int TRACE_BYTES_PER_LINE = 16;    // data bytes shown per line

// True while a trace is being kept.
extern bool trace_on;

// Starts the trace, appended to the file `path` ("-": standard error), with
// a first line that tells when it started. The clock of the time stamps
// starts here. 0, or -1 when the file cannot be opened (the message is
// printed on standard error).
int trace_start(const char* path);

// The start of an operation: the monotonic clock in nanoseconds, 0 when no
// trace is kept (then nothing else is done).
inline int64_t trace_now() { return trace_on ? deadline_now_ns() : 0; }

// Notes of the operations, each with the stamp taken at its start. `error`
// is the system's text of a failure, nullptr when there was none.
void trace_open(int64_t t0, const char* port_name, long baud, int rc, const char* error);
void trace_close(int64_t t0);
void trace_purge(int64_t t0);
void trace_drain(int64_t t0, const char* error);
void trace_write(int64_t t0, const uint8_t* data, int asked, int written, const char* error);
void trace_read(int64_t t0, const uint8_t* data, int asked, int timeout_ms, int got, const char* error);

// Writes out every note kept so far and empties the buffer.
void trace_flush();
// Flushes and ends the trace (the file is closed).
void trace_stop();
// True when text of the trace could not be written, flushed or closed (one
// warning "trace FILE incomplete: <reason>" went to standard error then).
bool trace_incomplete();
