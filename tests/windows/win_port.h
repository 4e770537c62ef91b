// The COM port the Windows tests may use: named by TOVHOST_WIN_TEST_PORT
// (such as COM3), with an echoing peer on its far end (pty_peer under Wine).
// Tests that need it are skipped when it is not named.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>
#include <string>

inline std::string test_port_name() {
  const char* p = std::getenv("TOVHOST_WIN_TEST_PORT");
  return p != nullptr ? p : "";
}

#define REQUIRE_TEST_PORT()                                                  \
  do {                                                                       \
    if (test_port_name().empty()) {                                          \
      GTEST_SKIP() << "TOVHOST_WIN_TEST_PORT names no port with a peer";     \
    }                                                                        \
  } while (0)

// True under Wine, whose serial ports differ from Windows' in a few places
// (no exclusive open, modem lines of a pseudo-terminal).
inline bool running_on_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Milliseconds on a steady clock.
inline double now_ms() {
  LARGE_INTEGER f{};
  LARGE_INTEGER c{};
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}
