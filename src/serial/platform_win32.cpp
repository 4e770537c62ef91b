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

#include "serial/platform.h"

namespace {

// Room for the property record. The system writes a whole COMMPROP whatever
// length the record announces, so the buffer is never smaller than one; a
// provider asking for more than this gets this much.
constexpr size_t prop_buffer_bytes = 4096;
static_assert(prop_buffer_bytes >= sizeof(COMMPROP), "a property record must fit");
static_assert(sizeof(COMMPROP) == 64, "COMMPROP as the system defines it");

// dwProvSpec1 of a record whose length field is valid.
constexpr DWORD prop_initialized_mark = 0xE73CF52E;

// Longest device path CreateFileA is given.
constexpr size_t path_cap = MAX_PATH;

// Characters the UART may still hold after the driver's queue is empty.
constexpr uint32_t fifo_chars = 16;

// The time-outs last applied through plat_set_timeouts, and whether a read
// has used them since: the first read after they were set runs under them as
// they are; a read called again for the rest of the same deadline gets a
// total time-out of what is left. Writes always keep these write values.
struct timeout_record {
  plat_handle handle = PLAT_NO_HANDLE;
  COMMTIMEOUTS applied{};
  bool fresh = false;
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
  d.fDummy2 = (f >> 15) & 0x1FFFF;
}

bool starts_with(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
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
  port_timeouts.fresh = false;
  return true;
}

// True when these time-outs end every read: all zero would wait for ever.
bool read_is_bounded(const COMMTIMEOUTS& ct) {
  return ct.ReadIntervalTimeout != 0 || ct.ReadTotalTimeoutMultiplier != 0 ||
         ct.ReadTotalTimeoutConstant != 0;
}

// Read time-outs that end at `until`: a total time-out of what is left, or,
// when nothing is left, a read that returns at once with what is waiting.
bool set_read_deadline(HANDLE h, const deadline& until) {
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
  return SetCommTimeouts(h, &ct) != 0;
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
  // "COM3" opens as \\.\COM3, the only form that reaches COM10 and above. A
  // name that already is a device path is taken as it is, and so is one
  // beginning with "/" (under Wine the Unix path of a serial device).
  std::array<char, path_cap> path{};
  const bool is_path = starts_with(port_name, "\\\\.\\") || starts_with(port_name, "\\\\?\\") ||
                       port_name[0] == '/';
  const int n = is_path ? std::snprintf(path.data(), path.size(), "%s", port_name)
                        : std::snprintf(path.data(), path.size(), "\\\\.\\%s", port_name);
  if (n < 0 || static_cast<size_t>(n) >= path.size()) {
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

int plat_get_props(plat_handle h, plat_comm_props* props) {
  if (props == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // A record shorter than a COMMPROP is only announced as such (the first
  // query); the buffer behind it always holds a whole one.
  alignas(COMMPROP) std::array<unsigned char, prop_buffer_bytes> record{};
  uint32_t announced = props->length;
  if (announced > prop_buffer_bytes) {
    announced = prop_buffer_bytes;
  }
  auto* cp = reinterpret_cast<COMMPROP*>(record.data());
  cp->wPacketLength = static_cast<WORD>(announced);
  if (announced >= sizeof(COMMPROP)) {
    cp->dwProvSpec1 = prop_initialized_mark;
  }
  if (!GetCommProperties(native(h), cp)) {
    return -1;
  }
  COMMPROP answer{};
  std::memcpy(&answer, record.data(), sizeof answer);
  // Some systems answer with a needed length below the size of the record
  // they have just written; never ask for less than a whole one.
  props->length = answer.wPacketLength < sizeof(COMMPROP) ? static_cast<uint32_t>(sizeof(COMMPROP))
                                                          : answer.wPacketLength;
  props->settable_params = answer.dwSettableParams;
  props->settable_data = answer.wSettableData;
  props->settable_stop_parity = answer.wSettableStopParity;
  props->prov_capabilities = answer.dwProvCapabilities;
  return 0;
}

int plat_get_state(plat_handle h, plat_comm_state* state) {
  if (state == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(native(h), &dcb)) {
    return -1;
  }
  state->baud = dcb.BaudRate;
  state->flags = dcb_flags(dcb);
  state->byte_size = dcb.ByteSize;
  state->parity = dcb.Parity;
  state->stop_bits = dcb.StopBits;
  return 0;
}

int plat_set_state(plat_handle h, const plat_comm_state& state) {
  // Everything the state does not carry (XON/XOFF limits and characters,
  // error and event characters) stays as the port has it.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(native(h), &dcb)) {
    return -1;
  }
  dcb.BaudRate = state.baud;
  set_dcb_flags(dcb, state.flags);
  dcb.ByteSize = state.byte_size;
  dcb.Parity = state.parity;
  dcb.StopBits = state.stop_bits;
  return SetCommState(native(h), &dcb) ? 0 : -1;
}

int plat_set_timeouts(plat_handle h, const comm_timeouts& t) {
  COMMTIMEOUTS ct{};
  ct.ReadIntervalTimeout = t.read_interval;
  ct.ReadTotalTimeoutMultiplier = t.read_total_multiplier;
  ct.ReadTotalTimeoutConstant = t.read_total_constant;
  ct.WriteTotalTimeoutMultiplier = t.write_total_multiplier;
  ct.WriteTotalTimeoutConstant = t.write_total_constant;
  if (!SetCommTimeouts(native(h), &ct)) {
    return -1;
  }
  port_timeouts.handle = h;
  port_timeouts.applied = ct;
  port_timeouts.fresh = true;
  return 0;
}

int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got) {
  int total = 0;
  if (got != nullptr) {
    *got = 0;
  }
  if (buf == nullptr || size <= 0 || got == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  HANDLE nh = native(h);
  if (!known_timeouts(nh, h)) {
    return -1;
  }
  bool first = true;
  while (total < size) {
    // The first read runs under the time-outs just set for it; any read
    // after it waits only for what is left of the deadline.
    const bool as_set = first && port_timeouts.fresh && read_is_bounded(port_timeouts.applied);
    port_timeouts.fresh = false;
    first = false;
    if (!as_set && !set_read_deadline(nh, until)) {
      *got = total;
      return -1;
    }
    DWORD n = 0;
    if (!ReadFile(nh, buf + total, static_cast<DWORD>(size - total), &n, nullptr)) {
      *got = total;
      return -1;
    }
    total += static_cast<int>(n);
    if (total < size && !device_present(nh)) {
      *got = total;
      return -1;
    }
    if (deadline_passed(until)) {
      break;
    }
  }
  *got = total;
  return 0;
}

int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline& until, int* written) {
  int total = 0;
  if (written != nullptr) {
    *written = 0;
  }
  if (buf == nullptr || len < 0 || written == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // WriteFile ends early only when the write time-out has passed; what it
  // left unwritten is tried again while the deadline allows.
  while (total < len) {
    DWORD n = 0;
    if (!WriteFile(native(h), buf + total, static_cast<DWORD>(len - total), &n, nullptr)) {
      *written = total;
      return -1;
    }
    total += static_cast<int>(n);
    if (total < len && deadline_passed(until)) {
      *written = total;
      SetLastError(ERROR_TIMEOUT);
      return -1;
    }
  }
  *written = total;
  return 0;
}

int plat_drain(plat_handle h, const deadline& until) {
  // FlushFileBuffers would wait without a bound; the driver's transmit
  // queue is watched instead until it is empty or the deadline has passed.
  HANDLE nh = native(h);
  for (;;) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(nh, &errors, &status)) {
      return -1;
    }
    if (status.cbOutQue == 0) {
      break;
    }
    if (deadline_passed(until)) {
      SetLastError(ERROR_TIMEOUT);
      return -1;
    }
    Sleep(1);
  }
  // The last characters may still sit in the UART's transmit FIFO.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(nh, &dcb) && dcb.BaudRate > 0) {
    const uint32_t fifo_ms = fifo_chars * 10000 / dcb.BaudRate + 1;
    const int left = deadline_left_ms(until);
    const uint32_t wait_ms = static_cast<uint32_t>(left) < fifo_ms ? static_cast<uint32_t>(left) : fifo_ms;
    if (wait_ms > 0) {
      Sleep(wait_ms);
    }
  }
  return 0;
}

int plat_purge(plat_handle h, uint32_t flags) {
  return PurgeComm(native(h), flags) ? 0 : -1;
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
