// The program's one serial port. Everything here is the same on every
// operating system; the system itself is reached only through platform.h.
#include "serial/serial.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "serial/platform.h"
#include "serial/trace.h"

namespace {

constexpr uint32_t fatal_sleep_ms = 5000;
constexpr int fatal_bad_param = 25;
constexpr int fatal_read_failed = 26;

plat_handle port = PLAT_NO_HANDLE;
long port_baud = 0;                  // baud of the current line settings
comm_timeouts port_timeouts{};       // the values last applied to the port
uint64_t port_unsent = 0;            // bytes written since the output was last known empty

std::array<char, 1024> error_text{};
std::array<char, 2048> fatal_text{};  // a port name and a system text fit

uint32_t saturate_ms(uint64_t ms) {
  return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// Removes NUL bytes from buf[0..n) in place; returns the count kept.
int drop_nul_bytes(uint8_t* buf, int n) {
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (buf[i] != 0) {
      buf[kept++] = buf[i];
    }
  }
  return kept;
}

// The port failed under a read: reported, closed, READ_PORT_LOST.
int read_port_lost(int code, const char* format, const char* port_name) {
  snprintf(fatal_text.data(), fatal_text.size(), format, port_name, sys_error_text());
  port_lost(code, fatal_text.data());
  return READ_PORT_LOST;
}

// The message and the result of each step of setting up the line that can
// fail. A step with a value prints it in the message's own width.
struct line_fault_row {
  plat_line_step step;
  int code;
  const char* format;  // port name, then the system's text or the value
  bool shows_value;
};

constexpr std::array<line_fault_row, 10> line_fault_rows = {{
    {PLAT_LINE_QUERY, -4, "\a\aError: could not get comm properties for port %s: %s\n", false},
    {PLAT_LINE_QUERY_LENGTH, -5, "\a\aError: could not malloc comm properties buffer for port %s: %s\n", false},
    {PLAT_LINE_QUERY_AGAIN, -6, "\a\aError: could not get comm properties for port %s: %s\n", false},
    {PLAT_LINE_PARAMS, -7,
     "\a\aError: required comm properties for port %s not settable: Settable Params 0x%08x\n", true},
    {PLAT_LINE_DATA_BITS, -9,
     "\a\aError: 8 data bits comm properties for port %s not settable: Settable Data 0x%04x\n", true},
    {PLAT_LINE_STOP_PARITY, -10,
     "\a\aError: 1 stop bit, no parity comm properties for port %s not settable: Settable Stop & Parity 0x%04x\n",
     true},
    {PLAT_LINE_TIMEOUT_CAPS, -11,
     "\a\aError: timeouts comm properties for port %s not settable: Settable Prov Cap 0x%08x\n", true},
    {PLAT_LINE_GET, -12, "\a\aError: could not get the comm state for port %s: %s\n", false},
    {PLAT_LINE_SET, -13, "\a\aError: could not set the comm state for port %s: %s\n", false},
    {PLAT_LINE_WAITS, -14, "\a\aError: could not set the comm timeouts for port %s: %s\n", false},
}};

// Prints the message of a failed step; returns its result code.
int line_fault_message(const char* port_name, const plat_line_fault& fault) {
  for (const line_fault_row& row : line_fault_rows) {
    if (row.step != fault.step) {
      continue;
    }
    if (row.shows_value) {
      printf(row.format, port_name, static_cast<unsigned>(fault.value));
    } else {
      printf(row.format, port_name, sys_error_text());
    }
    return row.code;
  }
  // A step without a row of its own: the settings were not taken.
  printf("\a\aError: could not set the comm state for port %s: %s\n", port_name, sys_error_text());
  return -13;
}

}  // namespace

comm_timeouts standing_timeouts(long baud) {
  comm_timeouts t{};
  t.read_total_multiplier = baud > 0 ? static_cast<uint32_t>(10000 / baud) : 0;
  t.read_total_constant = 1;
  t.write_total_multiplier = baud > 0 ? static_cast<uint32_t>(20000 / baud) : 0;
  t.write_total_constant = 10;
  return t;
}

comm_timeouts read_timeouts(long baud, int timeout) {
  // The standing values with the read constant of this read; the read
  // multiplier is the standing one, 10000 / baud.
  comm_timeouts t = standing_timeouts(baud);
  t.read_total_constant = saturate_ms(static_cast<uint64_t>(timeout > 0 ? timeout : 0) + 10);
  return t;
}

uint32_t read_total_ms(const comm_timeouts& t, int size) {
  const uint64_t n = size > 0 ? static_cast<uint64_t>(size) : 0;
  return saturate_ms(uint64_t{t.read_total_multiplier} * n + t.read_total_constant);
}

uint32_t write_total_ms(const comm_timeouts& t, int len) {
  const uint64_t n = len > 0 ? static_cast<uint64_t>(len) : 0;
  return saturate_ms(uint64_t{t.write_total_multiplier} * n + t.write_total_constant);
}

namespace {

int open_port_steps(const char* port_name, long baud) {
  if (port_name == nullptr) {
    printf("open_port: Error: port null argument\n");
    return -1;
  }
  // One port at a time: a handle still held would keep the device locked
  // against this very open.
  close_port();

  port = plat_open(port_name);
  if (port == PLAT_NO_HANDLE) {
    printf("\a\aError: cannot open COM port %s: %s\n", port_name, sys_error_text());
    return -2;
  }
  const int rc = set_comm_prop(port_name, baud);
  if (rc != 0) {
    // set_comm_prop printed its message and closed the port; a port that
    // refused the time-outs of its reads and writes has a code of its own.
    return rc == -14 ? -14 : -3;
  }
  port_timeouts = standing_timeouts(port_baud);

  // Only what arrived before is stale; bytes written before a close and
  // reopen (a baud change command) must still leave.
  plat_purge(port, false);
  return 0;
}

}  // namespace

int open_port(const char* port_name, long baud) {
  const int64_t t0 = trace_now();
  const int rc = open_port_steps(port_name, baud);
  // The messages of -2 and -14 have just filled error_text with the reason.
  trace_open(t0, port_name, baud, rc, rc == -2 || rc == -14 ? error_text.data() : nullptr);
  return rc;
}

int set_comm_prop(const char* port_name, long baud) {
  if (port_name == nullptr) {
    printf("set_comm_prop: Error: port null argument\n");
    return -1;
  }
  if (get_baud(baud) == nullptr) {
    printf("\a\aError: Invalid baud rate %ld\n", baud);
    close_port();
    return -2;
  }
  // 8N1 at the asked rate; no parity checking, no flow control, DTR and RTS
  // off. Received NUL bytes are dropped by read_port.
  plat_line_fault fault{PLAT_LINE_DONE, 0};
  if (plat_configure_line(port, static_cast<uint32_t>(baud), &fault) != PLAT_OK) {
    const int code = line_fault_message(port_name, fault);
    close_port();
    return code;
  }
  port_baud = baud;
  return 0;
}

int read_port(const char* port_name, uint8_t* buffer, int size, int timeout) {
  if (port_name == nullptr) {
    port_fatal(fatal_bad_param, "read_port: Error: invalid param port\n");
  }
  if (buffer == nullptr) {
    port_fatal(fatal_bad_param, "read_port: Error: invalid param buf ptr\n");
  }
  if (size <= 0) {
    snprintf(fatal_text.data(), fatal_text.size(), "read_port: Error: invalid param size: %d\n", size);
    port_fatal(fatal_bad_param, fatal_text.data());
  }

  const int64_t t0 = trace_now();
  const comm_timeouts t = timeout > 0 ? read_timeouts(port_baud, timeout) : standing_timeouts(port_baud);
  port_timeouts = t;

  // One deadline for the whole read; NUL bytes are dropped as they arrive
  // and the wait goes on, with what is left, for the bytes still missing.
  const deadline until = deadline_in_ms(read_total_ms(t, size));
  int got = 0;
  while (got < size) {
    int n = 0;
    const int rc = plat_read(port, buffer + got, size - got, until, &n);
    if (rc == PLAT_WAIT_REFUSED) {
      trace_read(t0, buffer, size, static_cast<int>(read_total_ms(t, size)), got, sys_error_text());
      // A port that no longer takes its time-outs is gone as surely as one
      // that fails a read (a USB adapter pulled out fails here first).
      return read_port_lost(fatal_bad_param, "\a\aError: could not set the comm timeouts for port %s: %s\n",
                            port_name);
    }
    if (rc != PLAT_OK) {
      got += drop_nul_bytes(buffer + got, n);
      trace_read(t0, buffer, size, static_cast<int>(read_total_ms(t, size)), got, sys_error_text());
      // Whatever came before the failure is dropped with the port: the
      // exchange it belonged to cannot go on.
      return read_port_lost(fatal_read_failed, "\a\aError: could not read on COM port %s: %s\n", port_name);
    }
    got += drop_nul_bytes(buffer + got, n);
    if (deadline_passed(until)) {
      break;
    }
  }
  trace_read(t0, buffer, size, static_cast<int>(read_total_ms(t, size)), got, nullptr);
  return got;
}

int write_port(const char* port_name, const uint8_t* buffer, int len) {
  if (port_name == nullptr) {
    printf("write_port: Error: invalid param file port\n");
    return -1;
  }
  if (buffer == nullptr) {
    printf("write_port: Error: invalid param buf ptr\n");
    return -2;
  }
  if (len <= 0) {
    printf("write_port: Error: invalid param len: %d\n", len);
    return -1;
  }
  const int64_t t0 = trace_now();
  const deadline until = deadline_in_ms(write_total_ms(port_timeouts, len));
  int written = 0;
  const int rc = plat_write(port, buffer, len, until, &written);
  port_unsent += static_cast<uint64_t>(written > 0 ? written : 0);
  if (rc != PLAT_OK || written != len) {
    // Also a write cut short by its time-out: the bytes not written never
    // reach the device, so the caller must not take it as sent.
    const char* why = sys_error_text();
    trace_write(t0, buffer, len, written, why);
    printf("\a\aError: wrote %d of %d, got error on port %s: %s\n", written, len, port_name, why);
    return -3;
  }
  trace_write(t0, buffer, len, written, nullptr);
  return len;
}

void drain_port() {
  if (port == PLAT_NO_HANDLE) {
    return;
  }
  const int64_t t0 = trace_now();
  const int unsent = port_unsent > INT32_MAX ? INT32_MAX : static_cast<int>(port_unsent);
  const int rc = plat_drain(port, deadline_in_ms(write_total_ms(port_timeouts, unsent)));
  port_unsent = 0;
  trace_drain(t0, rc != 0 && trace_on ? sys_error_text() : nullptr);
}

void purge_port() {
  if (port == PLAT_NO_HANDLE) {
    return;
  }
  const int64_t t0 = trace_now();
  plat_purge(port, true);
  port_unsent = 0;
  trace_purge(t0);
}

void purge_port_input() {
  if (port == PLAT_NO_HANDLE) {
    return;
  }
  const int64_t t0 = trace_now();
  plat_purge(port, false);
  trace_purge(t0);
}

void close_port() {
  if (port == PLAT_NO_HANDLE) {
    return;
  }
  const int64_t t0 = trace_now();
  plat_close(port);
  port = PLAT_NO_HANDLE;
  port_unsent = 0;
  trace_close(t0);
  trace_flush();  // the line is quiet now: the notes can be written out
}

bool port_is_open() {
  return port != PLAT_NO_HANDLE;
}

const char* sys_error_text() {
  plat_error_text(plat_last_error(), error_text.data(), error_text.size());
  return error_text.data();
}

void port_fatal(int code, const char* message) {
  const int err = plat_last_error();
  fputs(message, stderr);
  fprintf(stderr, "Return code %d, system error code %d\n", code, err);
  trace_flush();  // the last notes must reach the file before the end
  plat_sleep_ms(fatal_sleep_ms);
  abort();
}

void port_lost(int code, const char* message) {
  const int err = plat_last_error();
  fputs(message, stderr);
  fprintf(stderr, "Return code %d, system error code %d\n", code, err);
  close_port();
}
