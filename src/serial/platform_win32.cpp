// Serial port services on Windows, on the comm API of kernel32: a COM port
// opened by CreateFileA for plain blocking I/O, its line settings in a DCB,
// and reads and writes bounded by the port's own time-outs (COMMTIMEOUTS).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "rates/rates.h"
#include "serial/platform.h"
#include "serial/port_name.h"

namespace {

// Property records: the first query announces 62 bytes and learns the
// length the port needs; a port asking for more than 4096 is refused. The
// system writes a whole COMMPROP whatever length the record announces, so
// the buffer is never smaller than one.
constexpr uint32_t prop_first_length = 62;
constexpr size_t prop_buffer_bytes = 4096;
static_assert(prop_buffer_bytes >= sizeof(COMMPROP), "a property record must fit");
static_assert(sizeof(COMMPROP) == 64, "COMMPROP as the system defines it");

// dwProvSpec1 of a record whose length field is valid.
constexpr DWORD prop_initialized_mark = 0xE73CF52E;

// Capabilities the device link needs.
constexpr DWORD need_settable_params = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS;  // 0xF
constexpr WORD need_settable_data = DATABITS_8;                                          // 0x0008
constexpr WORD need_stop_parity = STOPBITS_10 | PARITY_NONE;                              // 0x0101
constexpr DWORD need_prov_capabilities = PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS;             // 0x00C0
static_assert(need_settable_params == 0xF && need_settable_data == 0x0008 && need_stop_parity == 0x0101 &&
                  need_prov_capabilities == 0x00C0,
              "the capability masks the link checks");

// The DCB flag word of the link: kept bits (binary, DSR sensitivity,
// continue on XOFF, error character, abort on error); parity checking, CTS
// and DSR flow, DTR control, XON/XOFF both ways and RTS control cleared
// (DTR and RTS off); received NUL bytes discarded.
constexpr uint32_t link_flags_keep = 0xFFFFCCC1;
constexpr uint32_t link_flag_null_discard = 0x800;

// Longest device path CreateFileA is given.
constexpr size_t path_cap = MAX_PATH;

// Characters the UART may still hold after the driver's queue is empty.
constexpr uint32_t fifo_chars = 16;

// What a drain allows beyond twice the wire time of what the port holds: a
// USB adapter reports its queue up to one latency timer (16 ms) late.
constexpr uint32_t drain_margin_ms = 20;

// The time-outs last applied to the port: each read sets its read values
// and each write its write values from their deadlines, the other half kept.
struct timeout_record {
  plat_handle handle = PLAT_NO_HANDLE;
  COMMTIMEOUTS applied{};
};
timeout_record port_timeouts;

HANDLE native(plat_handle h) {
  return reinterpret_cast<HANDLE>(h);
}

// The DCB flag word, bit by bit: bit 0 fBinary, 1 fParity, 2 fOutxCtsFlow,
// 3 fOutxDsrFlow, 4-5 fDtrControl, 6 fDsrSensitivity, 7 fTXContinueOnXoff,
// 8 fOutX, 9 fInX, 10 fErrorChar, 11 fNull, 12-13 fRtsControl,
// 14 fAbortOnError, 15-31 fDummy2. Built field by field so nothing depends
// on how the compiler packs the bit-fields.
uint32_t dcb_flags(const DCB& d) {
  uint32_t f = 0;
  f |= static_cast<uint32_t>(d.fBinary) << 0;
  f |= static_cast<uint32_t>(d.fParity) << 1;
  f |= static_cast<uint32_t>(d.fOutxCtsFlow) << 2;
  f |= static_cast<uint32_t>(d.fOutxDsrFlow) << 3;
  f |= static_cast<uint32_t>(d.fDtrControl) << 4;
  f |= static_cast<uint32_t>(d.fDsrSensitivity) << 6;
  f |= static_cast<uint32_t>(d.fTXContinueOnXoff) << 7;
  f |= static_cast<uint32_t>(d.fOutX) << 8;
  f |= static_cast<uint32_t>(d.fInX) << 9;
  f |= static_cast<uint32_t>(d.fErrorChar) << 10;
  f |= static_cast<uint32_t>(d.fNull) << 11;
  f |= static_cast<uint32_t>(d.fRtsControl) << 12;
  f |= static_cast<uint32_t>(d.fAbortOnError) << 14;
  f |= static_cast<uint32_t>(d.fDummy2) << 15;
  return f;
}

void set_dcb_flags(DCB& d, uint32_t f) {
  d.fBinary = (f >> 0) & 0x1;
  d.fParity = (f >> 1) & 0x1;
  d.fOutxCtsFlow = (f >> 2) & 0x1;
  d.fOutxDsrFlow = (f >> 3) & 0x1;
  d.fDtrControl = (f >> 4) & 0x3;
  d.fDsrSensitivity = (f >> 6) & 0x1;
  d.fTXContinueOnXoff = (f >> 7) & 0x1;
  d.fOutX = (f >> 8) & 0x1;
  d.fInX = (f >> 9) & 0x1;
  d.fErrorChar = (f >> 10) & 0x1;
  d.fNull = (f >> 11) & 0x1;
  d.fRtsControl = (f >> 12) & 0x3;
  d.fAbortOnError = (f >> 14) & 0x1;
  const DWORD high = f >> 15;  // through a DWORD: the compiler then sees the mask fit the 17 bits
  d.fDummy2 = high & 0x1FFFF;
}

// The link's line settings in a DCB read from the port: `baud`, 8N1, the
// flag word of the link; everything else (XON/XOFF limits and characters,
// error and event characters) as the port has it.
void link_dcb(DCB& d, uint32_t baud) {
  d.BaudRate = baud;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  set_dcb_flags(d, (dcb_flags(d) & link_flags_keep) | link_flag_null_discard);
}

// Applies `ct`, keeping the record of it. False when the port refused.
bool apply_timeouts(HANDLE h, plat_handle ph, const COMMTIMEOUTS& ct) {
  if (port_timeouts.handle == ph && std::memcmp(&port_timeouts.applied, &ct, sizeof ct) == 0) {
    return true;
  }
  COMMTIMEOUTS copy = ct;
  if (!SetCommTimeouts(h, &copy)) {
    return false;
  }
  port_timeouts.handle = ph;
  port_timeouts.applied = ct;
  return true;
}

// The record of what is in force on `h`: taken from the port itself when
// nothing was set through this layer since the port was opened.
bool known_timeouts(HANDLE h, plat_handle ph) {
  if (port_timeouts.handle == ph) {
    return true;
  }
  COMMTIMEOUTS ct{};
  if (!GetCommTimeouts(h, &ct)) {
    return false;
  }
  port_timeouts.handle = ph;
  port_timeouts.applied = ct;
  return true;
}

// Read time-outs that end at `until`: a total time-out of what is left, or,
// when nothing is left, a read that returns at once with what is waiting.
bool set_read_deadline(HANDLE h, plat_handle ph, const deadline& until) {
  if (!known_timeouts(h, ph)) {
    return false;
  }
  COMMTIMEOUTS ct = port_timeouts.applied;
  const int left = deadline_left_ms(until);
  if (left > 0) {
    ct.ReadIntervalTimeout = 0;
    ct.ReadTotalTimeoutMultiplier = 0;
    ct.ReadTotalTimeoutConstant = static_cast<DWORD>(left);
  } else {
    ct.ReadIntervalTimeout = MAXDWORD;
    ct.ReadTotalTimeoutMultiplier = 0;
    ct.ReadTotalTimeoutConstant = 0;
  }
  return apply_timeouts(h, ph, ct);
}

// Write time-outs that end at `until`, never less than 1 ms (0 would be no
// time-out at all).
bool set_write_deadline(HANDLE h, plat_handle ph, const deadline& until) {
  if (!known_timeouts(h, ph)) {
    return false;
  }
  COMMTIMEOUTS ct = port_timeouts.applied;
  const int left = deadline_left_ms(until);
  ct.WriteTotalTimeoutMultiplier = 0;
  ct.WriteTotalTimeoutConstant = left > 0 ? static_cast<DWORD>(left) : 1;
  return apply_timeouts(h, ph, ct);
}

// The longest a drain may take when the driver holds `queued` bytes: twice
// the wire time of those and of a full UART FIFO (the factor of the write
// time-outs), plus the margin.
uint32_t drain_bound_ms(uint32_t queued, uint32_t baud) {
  const uint32_t chars = queued > UINT32_MAX - fifo_chars ? UINT32_MAX : queued + fifo_chars;
  const uint64_t ms = 2 * uint64_t{wire_time_ms(static_cast<long>(baud), chars)} + drain_margin_ms;
  return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// Bytes written and not yet sent, as the driver counts them; false when
// the port cannot be asked (a vanished device).
bool queued_bytes(HANDLE h, uint32_t* queued) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(h, &errors, &status)) {
    return false;
  }
  *queued = status.cbOutQue;
  return true;
}

// The system's text for `err`, without the line end it comes with.
void format_error(int err, char* buf, size_t cap) {
  const DWORD size = cap > 0xFFFF ? 0xFFFF : static_cast<DWORD>(cap);
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(err), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, size,
                           nullptr);
  if (n == 0) {
    std::snprintf(buf, cap, "system error %d", err);
    return;
  }
  if (n >= cap) {
    n = static_cast<DWORD>(cap - 1);
  }
  buf[n] = '\0';
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r')) {
    buf[--n] = '\0';
  }
}

// A read that ends short is also how a vanished device (a USB adapter
// pulled out, the far end of a pseudo-terminal closed under Wine) shows
// itself: the read succeeds with nothing, again and again. The port's status
// tells the two apart; it fails, with the reason as the last error, once the
// device is gone.
bool device_present(HANDLE h) {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(h, &errors, &status) != 0;
}

}  // namespace

plat_handle plat_open(const char* port_name) {
  if (port_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return PLAT_NO_HANDLE;
  }
  // "COM3" opens as \\.\COM3; a device path (also the Unix path of a serial
  // device under Wine) as it stands.
  std::array<char, path_cap> path{};
  if (port_device_path(port_name, path.data(), path.size()) != 0) {
    SetLastError(ERROR_INVALID_NAME);
    return PLAT_NO_HANDLE;
  }
  HANDLE h = CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return PLAT_NO_HANDLE;
  }
  const plat_handle ph = reinterpret_cast<plat_handle>(h);
  port_timeouts = timeout_record{};
  return ph;
}

int plat_configure_line(plat_handle h, uint32_t baud, plat_line_fault* fault) {
  plat_line_fault dummy{};
  plat_line_fault& f = fault != nullptr ? *fault : dummy;
  f = {PLAT_LINE_DONE, 0};
  HANDLE nh = native(h);

  // Two-step property query: the first answer names the record length the
  // port needs, the second (with that length) is the one checked.
  alignas(COMMPROP) std::array<unsigned char, prop_buffer_bytes> record{};
  auto* cp = reinterpret_cast<COMMPROP*>(record.data());
  cp->wPacketLength = static_cast<WORD>(prop_first_length);
  if (!GetCommProperties(nh, cp)) {
    f.step = PLAT_LINE_QUERY;
    return PLAT_FAILED;
  }
  // Some systems answer with a needed length below the size of the record
  // they have just written; never ask for less than a whole one.
  const uint32_t needed = cp->wPacketLength < sizeof(COMMPROP) ? static_cast<uint32_t>(sizeof(COMMPROP))
                                                               : cp->wPacketLength;
  if (needed > prop_buffer_bytes) {
    f.step = PLAT_LINE_QUERY_LENGTH;
    return PLAT_FAILED;
  }
  record.fill(0);
  cp->wPacketLength = static_cast<WORD>(needed);
  cp->dwProvSpec1 = prop_initialized_mark;
  if (!GetCommProperties(nh, cp)) {
    f.step = PLAT_LINE_QUERY_AGAIN;
    return PLAT_FAILED;
  }
  COMMPROP props{};
  std::memcpy(&props, record.data(), sizeof props);
  if ((props.dwSettableParams & need_settable_params) != need_settable_params) {
    f = {PLAT_LINE_PARAMS, props.dwSettableParams};
    return PLAT_FAILED;
  }
  if ((props.wSettableData & need_settable_data) != need_settable_data) {
    f = {PLAT_LINE_DATA_BITS, props.wSettableData};
    return PLAT_FAILED;
  }
  if ((props.wSettableStopParity & need_stop_parity) != need_stop_parity) {
    f = {PLAT_LINE_STOP_PARITY, props.wSettableStopParity};
    return PLAT_FAILED;
  }
  if ((props.dwProvCapabilities & need_prov_capabilities) != need_prov_capabilities) {
    f = {PLAT_LINE_TIMEOUT_CAPS, props.dwProvCapabilities};
    return PLAT_FAILED;
  }

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(nh, &dcb)) {
    f.step = PLAT_LINE_GET;
    return PLAT_FAILED;
  }
  link_dcb(dcb, baud);
  if (!SetCommState(nh, &dcb)) {
    f.step = PLAT_LINE_SET;
    return PLAT_FAILED;
  }

  // Until a read or write sets its own deadline: reads return at once with
  // what is there, writes may take 10 ms. Never the system's default of
  // waiting for ever.
  COMMTIMEOUTS ct{};
  ct.ReadIntervalTimeout = MAXDWORD;
  ct.WriteTotalTimeoutConstant = 10;
  port_timeouts = timeout_record{};
  if (!apply_timeouts(nh, h, ct)) {
    f.step = PLAT_LINE_WAITS;
    return PLAT_FAILED;
  }
  return PLAT_OK;
}

int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got) {
  int total = 0;
  if (got != nullptr) {
    *got = 0;
  }
  if (buf == nullptr || size <= 0 || got == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return PLAT_FAILED;
  }
  HANDLE nh = native(h);
  while (total < size) {
    // Each pass waits only for what is left of the deadline.
    if (!set_read_deadline(nh, h, until)) {
      *got = total;
      return PLAT_WAIT_REFUSED;
    }
    DWORD n = 0;
    if (!ReadFile(nh, buf + total, static_cast<DWORD>(size - total), &n, nullptr)) {
      *got = total;
      return PLAT_FAILED;
    }
    total += static_cast<int>(n);
    if (total < size && !device_present(nh)) {
      *got = total;
      return PLAT_FAILED;
    }
    if (deadline_passed(until)) {
      break;
    }
  }
  *got = total;
  return PLAT_OK;
}

int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline& until, int* written) {
  int total = 0;
  if (written != nullptr) {
    *written = 0;
  }
  if (buf == nullptr || len < 0 || written == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return PLAT_FAILED;
  }
  // WriteFile ends early only when the write time-out has passed; what it
  // left unwritten is tried again while the deadline allows.
  while (total < len) {
    if (!set_write_deadline(native(h), h, until)) {
      *written = total;
      return PLAT_FAILED;
    }
    DWORD n = 0;
    if (!WriteFile(native(h), buf + total, static_cast<DWORD>(len - total), &n, nullptr)) {
      *written = total;
      return PLAT_FAILED;
    }
    total += static_cast<int>(n);
    if (total < len && deadline_passed(until)) {
      *written = total;
      SetLastError(ERROR_TIMEOUT);
      return PLAT_FAILED;
    }
  }
  *written = total;
  return PLAT_OK;
}

int plat_drain(plat_handle h, const deadline& until) {
  // The handle is opened for plain blocking I/O, and neither of the system's
  // own waits for an empty transmit queue can be bounded on it:
  //   - FlushFileBuffers returns once the driver has sent every byte, with no
  //     time-out at all: an adapter whose far end stops taking data holds the
  //     program for ever (Wine runs tcdrain(), just as unbounded);
  //   - WaitCommEvent(EV_TXEMPTY) has a time-out only on a handle opened for
  //     overlapped I/O (every read and write would change with it), and
  //     signals the moment the queue turns empty, so a queue that emptied
  //     just before the wait began sends nothing. Wine derives the event
  //     from the UART's line status or from TIOCOUTQ, which a
  //     pseudo-terminal always reports as 0: there is no moment to signal.
  // The driver's own count of what it holds (ClearCommError's cbOutQue, which
  // Windows drivers and Wine, through TIOCOUTQ, both keep) decides instead.
  // Each wait lasts as long as the bytes still queued need on the wire at the
  // port's rate, so a line that sends at its rate is empty after the first;
  // a queue that did not move at all in that time is held by the far end,
  // and the next wait runs to the bound at once rather than looking again
  // and again. The bound is the wire time of what the port held when the
  // drain began (drain_bound_ms), never past the caller's deadline.
  HANDLE nh = native(h);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  uint32_t queued = 0;
  if (!GetCommState(nh, &dcb) || !queued_bytes(nh, &queued)) {
    return PLAT_FAILED;
  }
  const uint32_t baud = dcb.BaudRate;
  deadline bound = deadline_in_ms(drain_bound_ms(queued, baud));
  if (until.end_ns < bound.end_ns) {
    bound = until;
  }
  uint32_t before = UINT32_MAX;  // the count before the last wait
  while (queued > 0) {
    const int left = deadline_left_ms(bound);
    if (left <= 0) {
      SetLastError(ERROR_TIMEOUT);
      return PLAT_FAILED;
    }
    const uint32_t need =
        queued == before ? static_cast<uint32_t>(left) : wire_time_ms(static_cast<long>(baud), queued);
    Sleep(need < static_cast<uint32_t>(left) ? need : static_cast<uint32_t>(left));
    before = queued;
    if (!queued_bytes(nh, &queued)) {
      return PLAT_FAILED;
    }
  }
  // The last characters may still sit in the UART's transmit FIFO.
  const uint32_t fifo_ms = wire_time_ms(static_cast<long>(baud), fifo_chars);
  const int left = deadline_left_ms(bound);
  const uint32_t wait_ms = static_cast<uint32_t>(left) < fifo_ms ? static_cast<uint32_t>(left) : fifo_ms;
  if (wait_ms > 0) {
    Sleep(wait_ms);
  }
  return PLAT_OK;
}

int plat_purge(plat_handle h, bool output) {
  const DWORD flags = PURGE_RXCLEAR | (output ? PURGE_TXCLEAR : 0);
  return PurgeComm(native(h), flags) ? PLAT_OK : PLAT_FAILED;
}

void plat_close(plat_handle h) {
  if (h == PLAT_NO_HANDLE) {
    return;
  }
  CloseHandle(native(h));
  if (port_timeouts.handle == h) {
    port_timeouts = timeout_record{};
  }
}

int plat_last_error() {
  return static_cast<int>(GetLastError());
}

void plat_error_text(int err, char* buf, size_t cap) {
  if (buf == nullptr || cap == 0) {
    return;
  }
  // Asking for the text leaves the error number as it was.
  const DWORD saved = GetLastError();
  format_error(err, buf, cap);
  SetLastError(saved);
}

void plat_sleep_ms(uint32_t ms) {
  Sleep(ms);
}
