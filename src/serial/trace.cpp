#include "serial/trace.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "serial/port_name.h"
#include "serial/trace_text.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

bool trace_on = false;

namespace {

using namespace trace_text;

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
// The bytes of whole notes in `notes`. A note is copied in first and counted
// after, so that a signal handler never sees half a note.
std::atomic<size_t> notes_used{0};
static_assert(std::atomic<size_t>::is_always_lock_free, "read from a signal handler");
std::array<char, TRACE_TEXT_SIZE> text{};
size_t text_used = 0;

int trace_fd = -1;
bool trace_to_stderr = false;
int64_t trace_origin = 0;
int trace_errno = 0;  // the first failure to write or close the trace; 0: none
char trace_name[256];  // the file, for the warning
volatile std::sig_atomic_t trace_dying = 0;  // set while a signal handler writes the notes out

#ifndef _WIN32
// The signals that end the program with the notes so far written out.
constexpr int trace_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Holds those signals back while the notes and the file change hands, so
// that the handler never writes the same notes twice or into a closed file.
struct signal_hold {
  sigset_t before;
  signal_hold() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : trace_signals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &before);
  }
  ~signal_hold() { sigprocmask(SIG_SETMASK, &before, nullptr); }
  signal_hold(const signal_hold&) = delete;
  signal_hold& operator=(const signal_hold&) = delete;
};
#else
// The console's Ctrl-C handler runs on a thread of its own there: the notes
// are written out at exit only.
struct signal_hold {
  signal_hold() {}   // NOLINT: user-provided, so that a hold is not taken for an unused variable
  ~signal_hold() {}  // NOLINT
};
#endif

// The one warning of a trace that lost text. Writing stops at the first
// failure: what follows would be a trace with a hole.
void trace_failed_with(int err) {
  if (trace_errno != 0) return;
  trace_errno = err != 0 ? err : EIO;
  std::fprintf(stderr, "trace %s incomplete: %s\n", trace_name, std::strerror(trace_errno));
}

// The first failure to write the trace, told from a signal handler: no
// stdio there, and the system's text only where the C library gives it
// safely.
void trace_failed_in_handler(int err) {
  if (trace_errno != 0) return;
  trace_errno = err != 0 ? err : EIO;
  char out[512];
  text_line l{out, 0, sizeof out - 1};
  put(l, "trace ");
  put(l, trace_name);
  put(l, " incomplete: ");
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  const char* desc = strerrordesc_np(trace_errno);
#else
  const char* desc = nullptr;
#endif
  if (desc != nullptr) {
    put(l, desc);
  } else {
    put(l, "error ");
    put_signed(l, trace_errno);
  }
  out[l.len++] = '\n';
  write_all(2, out, l.len);
}

void text_out() {
  if (text_used > 0 && trace_fd >= 0 && trace_errno == 0 && !write_all(trace_fd, text.data(), text_used)) {
    if (trace_dying != 0) {
      trace_failed_in_handler(errno);
    } else {
      trace_failed_with(errno);
    }
  }
  text_used = 0;
}

// Starts a line stamped with `t` in the text, writing the text out first
// when it is nearly full; end_line() adds it.
text_line begin_line(int64_t t) {
  if (TRACE_TEXT_SIZE - text_used < TRACE_LINE_MAX) text_out();
  text_line l{text.data() + text_used, 0, TRACE_LINE_MAX - 2};
  put_ms(l, t - trace_origin, 10);
  put(l, " ");
  return l;
}

void end_line(text_line& l) {
  l.at[l.len++] = '\n';
  text_used += l.len;
}

// The bytes in lines of TRACE_BYTES_PER_LINE: offset, hex, printable ASCII.
void data_lines(int64_t t, const uint8_t* data, uint32_t count) {
  for (uint32_t off = 0; off < count; off += TRACE_BYTES_PER_LINE) {
    constexpr char digits[] = "0123456789abcdef";
    char hex[TRACE_BYTES_PER_LINE * 3];
    char ascii[TRACE_BYTES_PER_LINE];
    size_t a = 0;
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
    text_line l = begin_line(t);
    put(l, "  ");
    put_hex4(l, off);
    put(l, " ");
    put(l, hex, sizeof hex);
    put(l, "  |");
    put(l, ascii, a);
    put(l, "|");
    end_line(l);
  }
}

// "<what> in <ms> ms" and ", failed: TEXT" when the note has a failure.
void put_took(text_line& l, const trace_note& n) {
  put(l, " in ");
  put_ms(l, n.t1 - n.t0);
  put(l, " ms");
}
void put_failed(text_line& l, const trace_note& n, const uint8_t* error) {
  if (n.error_len == 0) return;
  put(l, ", failed: ");
  put(l, reinterpret_cast<const char*>(error), n.error_len);
}

void format_note(const trace_note& n, const uint8_t* data, const uint8_t* error) {
  text_line l = begin_line(n.t1);
  const char* bytes = reinterpret_cast<const char*>(data);
  switch (n.kind) {
    case TN_OPEN: {
      // The data: the port's name (`asked` bytes), then its device.
      const uint32_t asked = n.asked >= 0 ? static_cast<uint32_t>(n.asked) : n.data_len;
      const size_t name_len = asked <= n.data_len ? asked : n.data_len;
      put(l, "open ");
      put(l, bytes, name_len);
      put(l, " (");
      put(l, bytes + name_len, n.data_len - name_len);
      put(l, ") at ");
      put_signed(l, n.baud);
      put(l, " baud");
      put_took(l, n);
      if (n.rc == 0) {
        put(l, ": ok");
      } else {
        put(l, ": result ");
        put_signed(l, n.rc);
        put_failed(l, n, error);
      }
      end_line(l);
      break;
    }
    case TN_CLOSE: put(l, "close"); put_took(l, n); end_line(l); break;
    case TN_PURGE: put(l, "purge"); put_took(l, n); end_line(l); break;
    case TN_DRAIN: put(l, "drain"); put_took(l, n); put_failed(l, n, error); end_line(l); break;
    case TN_WRITE:
    case TN_READ:
      put(l, n.kind == TN_WRITE ? "write " : "read ");
      put_signed(l, n.asked);
      if (n.kind == TN_READ) {
        put(l, " (time-out ");
        put_signed(l, n.timeout);
        put(l, " ms): got ");
      } else {
        put(l, ": wrote ");
      }
      put_signed(l, n.done);
      put_took(l, n);
      put_failed(l, n, error);
      end_line(l);
      data_lines(n.t1, data, n.data_len);
      break;
    case TN_FULL: put(l, "trace buffer full: written out"); put_took(l, n); end_line(l); break;
    default: break;
  }
}

void flush_notes() {
  const size_t used = notes_used.load(std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_acquire);
  size_t at = 0;
  while (at + sizeof(trace_note) <= used) {
    trace_note n;
    std::memcpy(&n, notes.data() + at, sizeof n);
    const uint8_t* data = notes.data() + at + sizeof n;
    format_note(n, data, data + n.data_len);
    at += sizeof n + n.data_len + n.error_len;
  }
  notes_used.store(0, std::memory_order_relaxed);
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
  size_t used = notes_used.load(std::memory_order_relaxed);
  if (TRACE_BUFFER_SIZE - used < need + sizeof(trace_note)) {
    trace_note full{};
    full.kind = TN_FULL;
    full.t0 = deadline_now_ns();
    const signal_hold hold;
    trace_flush();
    full.t1 = deadline_now_ns();
    std::memcpy(notes.data(), &full, sizeof full);
    notes_used.store(sizeof full, std::memory_order_relaxed);
    used = sizeof full;
  }
  uint8_t* at = notes.data() + used;
  std::memcpy(at, &n, sizeof n);
  if (n.data_len > 0) std::memcpy(at + sizeof n, data, n.data_len);
  if (n.error_len > 0) std::memcpy(at + sizeof n + n.data_len, error, n.error_len);
  std::atomic_signal_fence(std::memory_order_release);
  notes_used.store(used + need, std::memory_order_relaxed);
}

trace_note note_of(trace_kind kind, int64_t t0) {
  trace_note n{};
  n.kind = kind;
  n.t0 = t0;
  return n;
}

void trace_at_exit() { trace_stop(); }

#ifndef _WIN32
struct sigaction trace_previous[std::size(trace_signals)];

// Writes out the notes so far (whole notes only: a note being added when
// the signal came is not counted yet), then lets the signal end the program
// as it would have: the handler found before the trace started, or the
// default action, so that the exit status still tells the signal.
void trace_signal(int sig) {
  const int saved = errno;
  if (trace_dying == 0) {
    trace_dying = 1;
    if (trace_fd >= 0) {
      flush_notes();
      text_line l = begin_line(deadline_now_ns());
      put(l, "ended by signal ");
      put_signed(l, sig);
      end_line(l);
      text_out();
    }
  }
  for (size_t i = 0; i < std::size(trace_signals); ++i) {
    if (trace_signals[i] != sig) continue;
    const struct sigaction& before = trace_previous[i];
    if ((before.sa_flags & SA_SIGINFO) == 0 && before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN &&
        before.sa_handler != trace_signal) {
      before.sa_handler(sig);
      errno = saved;
      return;
    }
  }
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved;
}

// Catches the signals, once; one the program was started ignoring (nohup)
// stays ignored.
void trace_catch_signals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  for (size_t i = 0; i < std::size(trace_signals); ++i) {
    if (sigaction(trace_signals[i], nullptr, &trace_previous[i]) != 0 || trace_previous[i].sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = trace_signal;
    sigemptyset(&sa.sa_mask);
    for (int other : trace_signals) sigaddset(&sa.sa_mask, other);
    sigaction(trace_signals[i], &sa, nullptr);
  }
}
#endif

}  // namespace

int trace_start(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    std::fprintf(stderr, "tovhost: no trace file named\n");
    return -1;
  }
  trace_stop();
  const signal_hold hold;
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
  notes_used.store(0, std::memory_order_relaxed);
  trace_origin = deadline_now_ns();
  trace_on = true;
  const std::time_t now = std::time(nullptr);
  char when[40] = "?";
  const std::tm* utc = std::gmtime(&now);
  if (utc != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
  text_line l = begin_line(trace_origin);
  put(l, "trace started ");
  put(l, when);
  put(l, " (times in ms since this line)");
  end_line(l);
  text_out();
#ifndef _WIN32
  trace_catch_signals();
#endif
  return 0;
}

bool trace_incomplete() { return trace_errno != 0; }

void trace_flush() {
  if (trace_fd < 0) return;
  const int saved = errno;  // a failure being reported keeps its number
  const signal_hold hold;
  flush_notes();
  errno = saved;
}

void trace_stop() {
  if (trace_fd < 0) return;
  const signal_hold hold;
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
  // The name as the line shows it (299 bytes at most), then the device it
  // stands for ("?" when none): the line is made without the port list.
  char both[300 + 300];
  const char* name = port_name != nullptr ? port_name : "(none)";
  const size_t name_len = strnlen(name, 299);
  std::memcpy(both, name, name_len);
  both[name_len] = '\0';
  char device[300];
  if (port_device_path(both, device, sizeof device) != 0) std::snprintf(device, sizeof device, "?");
  const size_t device_len = strnlen(device, sizeof device - 1);
  std::memcpy(both + name_len, device, device_len);
  n.asked = static_cast<int32_t>(name_len);
  note(n, reinterpret_cast<const uint8_t*>(both), static_cast<uint32_t>(name_len + device_len), error);
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
