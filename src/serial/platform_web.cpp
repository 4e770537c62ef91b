// Serial port services in a browser page: the Web Serial port that the page
// keeps for "COMn" (web/page/serial.js, reached as Module.tovSerial). The
// page's calls are asynchronous; each blocking call here suspends the program
// (Asyncify) until the page answers, so the operations above run unchanged.
//
// Reads are served from what the page has already received; only when that
// is not enough does the call wait, for the rest or the deadline, whichever
// comes first. The page never cancels a pending read of the port (that would
// lose the bytes it holds): it races that read against a timer.
//
// A call the page fails with an exception ends as a failed call here (the
// page keeps the error's text): a rejected promise would leave the program
// suspended for good.
#include <emscripten.h>

#include <cstdio>

#include "serial/platform.h"

namespace {

// The deadline in the page's clock: performance.now() milliseconds, the clock
// that CLOCK_MONOTONIC reads here.
double web_ms(const deadline& d) { return static_cast<double>(d.end_ns) / 1e6; }

}  // namespace

// clang-format off
EM_ASYNC_JS(int, web_serial_open, (const char* name), {
  try {
    return await Module.tovSerial.open(UTF8ToString(name));
  } catch (e) {
    return Module.tovSerial.caught(e);
  }
});
EM_ASYNC_JS(int, web_serial_configure, (int h, int baud, int* value), {
  try {
    const r = await Module.tovSerial.configure(h, baud >>> 0);
    HEAP32[value >> 2] = r.value | 0;
    return r.step;
  } catch (e) {
    Module.tovSerial.caught(e);
    HEAP32[value >> 2] = 0;
    return 9; // PLAT_LINE_SET: the settings were refused
  }
});
EM_JS(int, web_serial_take, (int h, uint8_t* buf, int size), {
  const got = Module.tovSerial.take(h, size);
  if (got === null) return -1;
  HEAPU8.set(got, buf);
  return got.length;
});
EM_ASYNC_JS(int, web_serial_wait, (int h, int size, double until), {
  try {
    return await Module.tovSerial.wait(h, size, until);
  } catch (e) {
    return Module.tovSerial.caught(e);
  }
});
EM_ASYNC_JS(int, web_serial_write, (int h, const uint8_t* buf, int len, double until), {
  try {
    return await Module.tovSerial.write(h, HEAPU8.slice(buf, buf + len), until);
  } catch (e) {
    return Module.tovSerial.caught(e);
  }
});
EM_ASYNC_JS(int, web_serial_drain, (int h, double until), {
  try {
    return await Module.tovSerial.drain(h, until);
  } catch (e) {
    return Module.tovSerial.caught(e);
  }
});
EM_JS(void, web_serial_purge, (int h, int output), {
  Module.tovSerial.purge(h, output !== 0);
});
EM_ASYNC_JS(void, web_serial_close, (int h), {
  try {
    await Module.tovSerial.close(h);
  } catch (e) {
    Module.tovSerial.caught(e);
  }
});
EM_JS(int, web_serial_last_error, (), {
  return Module.tovSerial.lastError();
});
EM_JS(void, web_serial_error_text, (int err, char* buf, int cap), {
  stringToUTF8(Module.tovSerial.errorText(err), buf, cap);
});
EM_ASYNC_JS(void, web_sleep, (double ms), {
  await new Promise((resolve) => setTimeout(resolve, ms));
});
// clang-format on

plat_handle plat_open(const char* port_name) {
  if (port_name == nullptr) return PLAT_NO_HANDLE;
  const int h = web_serial_open(port_name);
  return h < 0 ? PLAT_NO_HANDLE : h;
}

int plat_configure_line(plat_handle h, uint32_t baud, plat_line_fault* fault) {
  int value = 0;
  const int step = web_serial_configure(static_cast<int>(h), static_cast<int>(baud), &value);
  if (step == PLAT_LINE_DONE) return PLAT_OK;
  if (fault != nullptr) *fault = plat_line_fault{static_cast<plat_line_step>(step), static_cast<uint32_t>(value)};
  return PLAT_FAILED;
}

int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got) {
  *got = 0;
  if (h == PLAT_NO_HANDLE) return PLAT_WAIT_REFUSED;
  // What has arrived already; a wait only for what is missing.
  int n = web_serial_take(static_cast<int>(h), buf, size);
  if (n < 0) return PLAT_FAILED;
  *got = n;
  if (n == size || deadline_passed(until)) return PLAT_OK;
  const int rc = web_serial_wait(static_cast<int>(h), size - n, web_ms(until));
  // Whatever arrived meanwhile is taken, also when the port failed after it.
  const int more = web_serial_take(static_cast<int>(h), buf + n, size - n);
  if (more > 0) *got = n + more;
  return rc < 0 || more < 0 ? PLAT_FAILED : PLAT_OK;
}

int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline& until, int* written) {
  *written = 0;
  if (h == PLAT_NO_HANDLE) return PLAT_FAILED;
  const int n = web_serial_write(static_cast<int>(h), buf, len, web_ms(until));
  if (n < 0) return PLAT_FAILED;
  *written = n;
  return n == len ? PLAT_OK : PLAT_FAILED;
}

int plat_drain(plat_handle h, const deadline& until) {
  if (h == PLAT_NO_HANDLE) return PLAT_FAILED;
  return web_serial_drain(static_cast<int>(h), web_ms(until)) == 0 ? PLAT_OK : PLAT_FAILED;
}

int plat_purge(plat_handle h, bool output) {
  if (h == PLAT_NO_HANDLE) return PLAT_FAILED;
  web_serial_purge(static_cast<int>(h), output ? 1 : 0);
  return PLAT_OK;
}

void plat_close(plat_handle h) {
  if (h != PLAT_NO_HANDLE) web_serial_close(static_cast<int>(h));
}

int plat_last_error() { return web_serial_last_error(); }

void plat_error_text(int err, char* buf, size_t cap) {
  if (buf == nullptr || cap == 0) return;
  buf[0] = '\0';
  web_serial_error_text(err, buf, cap > 0x7fffffff ? 0x7fffffff : static_cast<int>(cap));
}

void plat_sleep_ms(uint32_t ms) { web_sleep(static_cast<double>(ms)); }
