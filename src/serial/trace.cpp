#include "serial/trace.h"

#include <array>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "serial/port_name.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

bool trace_on = false;

namespace {

enum trace_kind : uint8_t { TN_OPEN, TN_CLOSE, TN_PURGE, TN_DRAIN, TN_WRITE, TN_READ, TN_FULL };

// One note as it lies in the buffer, followed by `data_len` bytes of data
// (the bytes moved, or the port name of an open) and `error_len` bytes of
// the system's text.
struct trace_note {
  int64_t t0;
  int64_t t1;
  int64_t baud;
  int32_t asked;
  int32_t done;
  int32_t timeout;
  int32_t rc;
  uint32_t data_len;
  uint32_t error_len;
  uint8_t kind;
};

constexpr size_t TRACE_ERROR_MAX = 256;  // of a system's text kept per note
constexpr size_t TRACE_TEXT_SIZE = 1 << 16;
constexpr size_t TRACE_LINE_MAX = 1024;

std::array<uint8_t, TRACE_BUFFER_SIZE> notes{};
size_t notes_used = 0;
std::array<char, TRACE_TEXT_SIZE> text{};
size_t text_used = 0;

int trace_fd = -1;
bool trace_to_stderr = false;
int64_t trace_origin = 0;
int trace_errno = 0;  // the first failure to write or close the trace; 0: none
char trace_name[256];  // the file, for the warning

// The one warning of a trace that lost text. Writing stops at the first
// failure: what follows would be a trace with a hole.
void trace_failed_with(int err) {
  if (trace_errno != 0) return;
  trace_errno = err != 0 ? err : EIO;
  std::fprintf(stderr, "trace %s incomplete: %s\n", trace_name, std::strerror(trace_errno));
}

// Writes all of `data`; false with errno on a failure.
bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
#ifdef _WIN32
    const int n = _write(fd, data, static_cast<unsigned>(len));
#else
    const ssize_t n = write(fd, data, len);
#endif
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

double ms_since_start(int64_t t) { return static_cast<double>(t - trace_origin) / 1e6; }
double ms_between(int64_t a, int64_t b) { return static_cast<double>(b - a) / 1e6; }

void text_out() {
  if (text_used > 0 && trace_fd >= 0 && trace_errno == 0 && !write_all(trace_fd, text.data(), text_used))
    trace_failed_with(errno);
  text_used = 0;
}

// Appends one line (stamped with `t`) to the text, writing the text out
// when it is nearly full.
void line(int64_t t, const char* format, ...) __attribute__((format(printf, 2, 3)));
void line(int64_t t, const char* format, ...) {
  if (TRACE_TEXT_SIZE - text_used < TRACE_LINE_MAX) text_out();
  char* at = text.data() + text_used;
  const size_t room = TRACE_LINE_MAX - 1;  // one line is cut rather than overflow
  int n = std::snprintf(at, room, "%10.3f ", ms_since_start(t));
  if (n < 0) return;
  va_list ap;
  va_start(ap, format);
  const int m = std::vsnprintf(at + n, room - static_cast<size_t>(n), format, ap);
  va_end(ap);
  size_t len = static_cast<size_t>(n) + (m > 0 ? static_cast<size_t>(m) : 0);
  if (len > room - 1) len = room - 1;
  at[len++] = '\n';
  text_used += len;
}

// The bytes in lines of TRACE_BYTES_PER_LINE: offset, hex, printable ASCII.
void data_lines(int64_t t, const uint8_t* data, uint32_t count) {
  for (uint32_t off = 0; off < count; off += TRACE_BYTES_PER_LINE) {
    constexpr char digits[] = "0123456789abcdef";
    char hex[TRACE_BYTES_PER_LINE * 3 + 1];
    char ascii[TRACE_BYTES_PER_LINE + 1];
    int a = 0;
    for (uint32_t i = 0; i < TRACE_BYTES_PER_LINE; ++i) {
      char* h = hex + 3 * i;
      h[0] = ' ';
      if (off + i < count) {
        const uint8_t b = data[off + i];
        h[1] = digits[b >> 4];
        h[2] = digits[b & 0xF];
        ascii[a++] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
      } else {
        h[1] = ' ';
        h[2] = ' ';
      }
    }
    hex[sizeof hex - 1] = '\0';
    ascii[a] = '\0';
    line(t, "  %04x %s  |%s|", static_cast<unsigned>(off), hex, ascii);
  }
}

// ", failed: TEXT" or nothing.
void failure_text(const trace_note& n, const uint8_t* error, char* out, size_t cap) {
  if (n.error_len == 0) {
    out[0] = '\0';
    return;
  }
  std::snprintf(out, cap, ", failed: %.*s", static_cast<int>(n.error_len), reinterpret_cast<const char*>(error));
}

void format_note(const trace_note& n, const uint8_t* data, const uint8_t* error) {
  char failed[TRACE_ERROR_MAX + 16];
  failure_text(n, error, failed, sizeof failed);
  const double took = ms_between(n.t0, n.t1);
  switch (n.kind) {
    case TN_OPEN: {
      char name[300];
      std::snprintf(name, sizeof name, "%.*s", static_cast<int>(n.data_len), reinterpret_cast<const char*>(data));
      char device[300];
      if (port_device_path(name, device, sizeof device) != 0) std::snprintf(device, sizeof device, "?");
      if (n.rc == 0) {
        line(n.t1, "open %s (%s) at %lld baud in %.3f ms: ok", name, device, static_cast<long long>(n.baud), took);
      } else {
        line(n.t1, "open %s (%s) at %lld baud in %.3f ms: result %d%s", name, device,
             static_cast<long long>(n.baud), took, static_cast<int>(n.rc), failed);
      }
      break;
    }
    case TN_CLOSE: line(n.t1, "close in %.3f ms", took); break;
    case TN_PURGE: line(n.t1, "purge in %.3f ms", took); break;
    case TN_DRAIN: line(n.t1, "drain in %.3f ms%s", took, failed); break;
    case TN_WRITE:
      line(n.t1, "write %d: wrote %d in %.3f ms%s", static_cast<int>(n.asked), static_cast<int>(n.done), took, failed);
      data_lines(n.t1, data, n.data_len);
      break;
    case TN_READ:
      line(n.t1, "read %d (time-out %d ms): got %d in %.3f ms%s", static_cast<int>(n.asked),
           static_cast<int>(n.timeout), static_cast<int>(n.done), took, failed);
      data_lines(n.t1, data, n.data_len);
      break;
    case TN_FULL: line(n.t1, "trace buffer full: written out in %.3f ms", took); break;
    default: break;
  }
}

void flush_notes() {
  size_t at = 0;
  while (at + sizeof(trace_note) <= notes_used) {
    trace_note n;
    std::memcpy(&n, notes.data() + at, sizeof n);
    const uint8_t* data = notes.data() + at + sizeof n;
    format_note(n, data, data + n.data_len);
    at += sizeof n + n.data_len + n.error_len;
  }
  notes_used = 0;
  text_out();
}

// Adds a note with its data and error text. A note that does not fit the
// buffer writes the buffer out first (and says so in the trace).
void note(trace_note n, const uint8_t* data, uint32_t data_len, const char* error) {
  if (!trace_on) return;
  n.t1 = deadline_now_ns();
  const size_t err_len = error != nullptr ? std::strlen(error) : 0;
  n.error_len = static_cast<uint32_t>(err_len < TRACE_ERROR_MAX ? err_len : TRACE_ERROR_MAX);
  constexpr uint32_t data_max = TRACE_BUFFER_SIZE / 4;
  n.data_len = data != nullptr ? (data_len < data_max ? data_len : data_max) : 0;
  const size_t need = sizeof n + n.data_len + n.error_len;
  if (TRACE_BUFFER_SIZE - notes_used < need + sizeof(trace_note)) {
    trace_note full{};
    full.kind = TN_FULL;
    full.t0 = deadline_now_ns();
    trace_flush();
    full.t1 = deadline_now_ns();
    std::memcpy(notes.data(), &full, sizeof full);
    notes_used = sizeof full;
  }
  uint8_t* at = notes.data() + notes_used;
  std::memcpy(at, &n, sizeof n);
  if (n.data_len > 0) std::memcpy(at + sizeof n, data, n.data_len);
  if (n.error_len > 0) std::memcpy(at + sizeof n + n.data_len, error, n.error_len);
  notes_used += need;
}

trace_note note_of(trace_kind kind, int64_t t0) {
  trace_note n{};
  n.kind = kind;
  n.t0 = t0;
  return n;
}

void trace_at_exit() { trace_stop(); }

}  // namespace

int trace_start(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    std::fprintf(stderr, "tovhost: no trace file named\n");
    return -1;
  }
  trace_stop();
  trace_to_stderr = std::strcmp(path, "-") == 0;
  std::snprintf(trace_name, sizeof trace_name, "%s", trace_to_stderr ? "(standard error)" : path);
  trace_errno = 0;
#ifdef _WIN32
  trace_fd = trace_to_stderr ? 2 : _open(path, _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, 0666);
#else
  // Not blocking: a named pipe without a reader is refused at once rather
  // than holding the start of the run. Writes block as usual afterwards.
  trace_fd = trace_to_stderr ? STDERR_FILENO : open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
  if (trace_fd < 0 && errno == ENXIO) {
    std::fprintf(stderr, "tovhost: cannot open the trace file %s: a named pipe without a reader\n", path);
    return -1;
  }
  if (trace_fd >= 0 && !trace_to_stderr) {
    const int flags = fcntl(trace_fd, F_GETFL);
    if (flags >= 0) fcntl(trace_fd, F_SETFL, flags & ~O_NONBLOCK);
  }
#endif
  if (trace_fd < 0) {
    std::fprintf(stderr, "tovhost: cannot open the trace file %s: %s\n", path, std::strerror(errno));
    return -1;
  }
  static bool exit_hook = false;
  if (!exit_hook) {
    std::atexit(trace_at_exit);
    exit_hook = true;
  }
  // Every page of the buffer is touched now, so that no note pays for the
  // first use of a page on its way to the device.
  notes.fill(0);
  notes_used = 0;
  trace_origin = deadline_now_ns();
  trace_on = true;
  const std::time_t now = std::time(nullptr);
  char when[40] = "?";
  const std::tm* utc = std::gmtime(&now);
  if (utc != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
  line(trace_origin, "trace started %s (times in ms since this line)", when);
  text_out();
  return 0;
}

bool trace_incomplete() { return trace_errno != 0; }

void trace_flush() {
  if (trace_fd < 0) return;
  const int saved = errno;  // a failure being reported keeps its number
  flush_notes();
  errno = saved;
}

void trace_stop() {
  if (trace_fd < 0) return;
  trace_flush();
  trace_on = false;
#ifdef _WIN32
  const int closed = trace_to_stderr ? 0 : _close(trace_fd);
#else
  const int closed = trace_to_stderr ? 0 : close(trace_fd);
#endif
  if (closed != 0) trace_failed_with(errno);
  trace_fd = -1;
}

void trace_open(int64_t t0, const char* port_name, long baud, int rc, const char* error) {
  if (!trace_on) return;
  trace_note n = note_of(TN_OPEN, t0);
  n.baud = baud;
  n.rc = rc;
  const char* name = port_name != nullptr ? port_name : "(none)";
  note(n, reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(std::strlen(name)), error);
}

void trace_close(int64_t t0) {
  if (!trace_on) return;
  note(note_of(TN_CLOSE, t0), nullptr, 0, nullptr);
}

void trace_purge(int64_t t0) {
  if (!trace_on) return;
  note(note_of(TN_PURGE, t0), nullptr, 0, nullptr);
}

void trace_drain(int64_t t0, const char* error) {
  if (!trace_on) return;
  note(note_of(TN_DRAIN, t0), nullptr, 0, error);
}

void trace_write(int64_t t0, const uint8_t* data, int asked, int written, const char* error) {
  if (!trace_on) return;
  trace_note n = note_of(TN_WRITE, t0);
  n.asked = asked;
  n.done = written;
  note(n, data, written > 0 ? static_cast<uint32_t>(written) : 0, error);
}

void trace_read(int64_t t0, const uint8_t* data, int asked, int timeout_ms, int got, const char* error) {
  if (!trace_on) return;
  trace_note n = note_of(TN_READ, t0);
  n.asked = asked;
  n.timeout = timeout_ms;
  n.done = got;
  note(n, data, got > 0 ? static_cast<uint32_t>(got) : 0, error);
}
