// The simulated Tovarelink as a pure state machine.
//
// The device is told what happens at the far end of its serial line (the
// port opened, closed or purged, bytes received) together with the current
// time in milliseconds, and answers with what it does: bytes to send, each
// with the instant it is due, log lines, files to keep and, at the end, that
// it vanished. It reads no clock, opens no file, touches no descriptor and
// keeps no global state: everything lives in one `simdev::device`, so a
// pseudo-terminal, a test's in-memory port, a fuzzer or a web page can each
// be its far end.
//
// After every call the caller collects the effects, in this order: the
// files to keep (take_keeps), the log (take_log), then the bytes that are
// due (output / output_taken). So whoever receives an answer finds what the
// device kept of it already written. `input` takes only as many bytes as
// the effects have room for: the caller collects them and calls again with
// the rest.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "model/options.h"
#include "model/state.h"

namespace simdev {

// Starts the device at its command line. `opt` must outlive `d`.
void init(device& d, const options& opt, int64_t now);

// The far end opened the port. The rate it set is told with set_rate once
// it is known (a pseudo-terminal shows it only when the first byte comes).
void port_opened(device& d, int64_t now);
// The far end closed the port. A close is told only after every byte the far
// end wrote before it has gone through input().
void port_closed(device& d, int64_t now);
// The far end purged its queues; `output` when it purged what it had sent
// too (every byte after this was written after the purge).
void port_purged(device& d, int64_t now, bool output);
// The rate of the line, in baud (0: unknown).
void set_rate(device& d, long baud);
// Bytes received from the far end. Returns how many were taken: the caller
// collects the effects and calls again with the rest (0 only while bytes
// held through a flood are still being handled).
size_t input(device& d, int64_t now, const uint8_t* bytes, size_t count);
// Timed work due at `now`.
void tick(device& d, int64_t now);
// The next instant the device needs tick() or has bytes due; -1: none.
int64_t next_timer(const device& d);
// The simulator stops: what the current session received is logged.
void shutdown(device& d, int64_t now);

// ---------------------------------------------------------------- effects

// The bytes at the head of the output queue that are due at `now`, in one
// contiguous run (0: none). They stay queued until output_taken().
size_t output(const device& d, int64_t now, const uint8_t** bytes);
void output_taken(device& d, size_t count);
// The far end went away: whatever waits to be sent is lost.
void output_drop(device& d);

// The log lines written since the last take_log, each ending in '\n'.
size_t take_log(device& d, const char** text);
void log_taken(device& d);
// One log line as the device writes it, for the front end's own lines too:
// the text in `line` (`cap` bytes, at least 2), cut to fit, then '\n' (no
// NUL). Its length, or 0 when the format fails.
size_t format_log_line(char* line, size_t cap, const char* fmt, va_list ap);

// A file the device keeps (written only when the options ask for it).
enum keep_file : uint8_t { KEEP_CONF, KEEP_RULES, KEEP_FIRMWARE, KEEP_PACKETS, KEEP_RECEIVED };
enum keep_op : uint8_t {
  KEEP_SAVE,    // the whole file is `data`
  KEEP_START,   // the file begins again, empty
  KEEP_APPEND,  // `data` follows what the file holds
  KEEP_CLOSE,   // the file is complete for now
};
struct keep {
  keep_file file;
  keep_op op;
  const uint8_t* data;
  size_t size;
};
constexpr const char* keep_names[] = {"conf.bin", "rules.bin", "firmware.hex", "packets.log", "received.bin"};
// The n-th file effect since the last keeps_taken (false past the last).
bool take_keep(const device& d, size_t n, keep* out);
void keeps_taken(device& d);

// True once the device has vanished: it will send nothing more, and the far
// end's port should disappear.
bool vanished(const device& d);

}  // namespace simdev
