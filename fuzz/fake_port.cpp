// Scripted platform layer and virtual clock; see fake_port.h.
#include "fake_port.h"

#include <cstdio>
#include <cstring>

#include "serial/deadline.h"
#include "serial/platform.h"

namespace {

constexpr plat_handle fake_handle = 7;

const uint8_t* script = nullptr;
size_t script_size = 0;
size_t script_pos = 0;
int64_t clock_ns = 1'000'000'000;  // virtual monotonic time
int write_fail_at = 0;
int open_fail_at = 0;
long reads = 0;
long writes = 0;
long opens = 0;
bool is_open = false;
bool vanished = false;

void advance_to(int64_t ns) {
  if (ns > clock_ns) clock_ns = ns;
}

}  // namespace

void fake_port_reset(const uint8_t* s, size_t size) {
  script = s;
  script_size = size;
  script_pos = 0;
  write_fail_at = 0;
  open_fail_at = 0;
  reads = 0;
  writes = 0;
  opens = 0;
  vanished = false;
}

void fake_port_fail_write(int nth) { write_fail_at = nth > 0 ? static_cast<int>(writes) + nth : 0; }
void fake_port_fail_open(int nth) { open_fail_at = nth > 0 ? static_cast<int>(opens) + nth : 0; }
long fake_port_reads() { return reads; }
long fake_port_writes() { return writes; }
bool fake_port_vanished() { return vanished; }

// The clock: time passes only when a read or write waits out its deadline.
int64_t deadline_now_ns() { return clock_ns; }
deadline deadline_in_ms(uint32_t ms) { return deadline{clock_ns + static_cast<int64_t>(ms) * 1'000'000}; }
int deadline_left_ms(const deadline& d) {
  const int64_t left = d.end_ns - clock_ns;
  if (left <= 0) return 0;
  const int64_t ms = (left + 999'999) / 1'000'000;
  return ms > 2147483647 ? 2147483647 : static_cast<int>(ms);
}
bool deadline_passed(const deadline& d) { return clock_ns >= d.end_ns; }

plat_handle plat_open(const char* port_name) {
  if (port_name == nullptr || port_name[0] == '\0') return PLAT_NO_HANDLE;
  ++opens;
  if (open_fail_at != 0 && opens == open_fail_at) return PLAT_NO_HANDLE;
  if (is_open) {
    // The serial operations keep one port: a second open means a handle leaked.
    std::fprintf(stderr, "fake_port: open while the port is still open\n");
    __builtin_trap();
  }
  is_open = true;
  return fake_handle;
}

int plat_configure_line(plat_handle h, uint32_t, plat_line_fault* fault) {
  if (fault != nullptr) *fault = {h == fake_handle ? PLAT_LINE_DONE : PLAT_LINE_QUERY, 0};
  return h == fake_handle ? PLAT_OK : PLAT_FAILED;
}

int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got) {
  if (got != nullptr) *got = 0;
  if (h != fake_handle || buf == nullptr || got == nullptr || size <= 0) {
    // The serial operations never pass these; a caller that does is at fault.
    std::fprintf(stderr, "fake_port: bad read arguments (size %d)\n", size);
    __builtin_trap();
  }
  ++reads;
  int n = 0;
  while (n < size && script_pos < script_size && script[script_pos] != FAKE_PAUSE &&
         script[script_pos] != FAKE_VANISH)
    buf[n++] = script[script_pos++];
  *got = n;
  if (n == 0 && script_pos < script_size && script[script_pos] == FAKE_VANISH) {
    // The device is gone: the read fails (EIO); the marker is used up.
    ++script_pos;
    vanished = true;
    return -1;
  }
  if (n == 0) {
    // Silence: the marker is used up and the read waits out its deadline.
    if (script_pos < script_size) ++script_pos;
    advance_to(until.end_ns);
  }
  return 0;
}

int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline&, int* written) {
  if (written != nullptr) *written = 0;
  if (h != fake_handle || buf == nullptr || written == nullptr || len <= 0) {
    std::fprintf(stderr, "fake_port: bad write arguments (len %d)\n", len);
    __builtin_trap();
  }
  ++writes;
  if (write_fail_at != 0 && writes == write_fail_at) return -1;
  // Touch every byte: a buffer shorter than its length shows up under ASan.
  volatile uint8_t sink = 0;
  for (int i = 0; i < len; ++i) sink = static_cast<uint8_t>(sink ^ buf[i]);
  *written = len;
  return 0;
}

int plat_drain(plat_handle h, const deadline&) { return h == fake_handle ? 0 : -1; }
int plat_purge(plat_handle h, bool) { return h == fake_handle ? 0 : -1; }

void plat_close(plat_handle h) {
  if (h == fake_handle) is_open = false;
}

int plat_last_error() { return 5; }

void plat_error_text(int err, char* buf, size_t cap) {
  if (buf != nullptr && cap > 0) std::snprintf(buf, cap, "scripted device error %d", err);
}

// A fatal read stop would sleep here; the fuzzer must not wait.
void plat_sleep_ms(uint32_t) {}
