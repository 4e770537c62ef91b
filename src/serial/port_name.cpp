#include "serial/port_name.h"

#include <cstdio>

#include "text/words.h"

namespace {

// How one system names its first serial ports: printf format of the device
// path with the port's index, and the index of COM1.
struct port_system_row {
  port_system sys;
  const char* format;  // nullptr: no fixed names
  int first;
};

constexpr port_system_row port_systems[] = {
    {PORT_LINUX, "/dev/ttyS%d", 0},   {PORT_FREEBSD, "/dev/cuau%d", 0}, {PORT_OPENBSD, "/dev/cua%02d", 0},
    {PORT_NETBSD, "/dev/dty%02d", 0}, {PORT_MACOS, nullptr, 0},         {PORT_WINDOWS, "\\\\.\\COM%d", 1},
    {PORT_BROWSER, "page port %d", 1},
};

const port_system_row* row_of(port_system sys) {
  for (const port_system_row& row : port_systems)
    if (row.sys == sys) return &row;
  return nullptr;
}

// Writes the device of port `n` (1 to PORT_COM_COUNT) on `row`.
int format_device(const port_system_row& row, int n, char* out, size_t cap) {
  const int len = std::snprintf(out, cap, row.format, n - 1 + row.first);
  if (len < 0 || static_cast<size_t>(len) >= cap) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

}  // namespace

port_system port_system_here() {
#if defined(_WIN32)
  return PORT_WINDOWS;
#elif defined(__FreeBSD__) || defined(__DragonFly__)
  return PORT_FREEBSD;
#elif defined(__OpenBSD__)
  return PORT_OPENBSD;
#elif defined(__NetBSD__)
  return PORT_NETBSD;
#elif defined(__APPLE__)
  return PORT_MACOS;
#elif defined(__EMSCRIPTEN__)
  return PORT_BROWSER;
#else
  return PORT_LINUX;
#endif
}

int port_com_number(std::string_view name) {
  if (name.size() < 4 || name.size() > 5 || !txt_equal(name.substr(0, 3), "com") || name[3] == '0') return 0;
  int n = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n <= PORT_COM_COUNT ? n : 0;
}

bool port_is_path(port_system sys, std::string_view name) {
  if (!name.empty() && name.front() == '/') return true;
  return sys == PORT_WINDOWS && (name.substr(0, 4) == "\\\\.\\" || name.substr(0, 4) == "\\\\?\\");
}

int port_device_path_on(port_system sys, const char* port_name, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  out[0] = '\0';
  const port_system_row* row = row_of(sys);
  if (port_name == nullptr || row == nullptr) return -1;
  const std::string_view name(port_name);
  if (port_is_path(sys, name)) {
    if (name.size() >= cap) return -1;
    std::snprintf(out, cap, "%s", port_name);
    return 0;
  }
  const int n = port_com_number(name);
  if (n == 0 || row->format == nullptr) return -1;
  return format_device(*row, n, out, cap);
}

int port_device_path(const char* port_name, char* out, size_t cap) {
  return port_device_path_on(port_system_here(), port_name, out, cap);
}

int port_com_name_on(port_system sys, std::string_view device, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  out[0] = '\0';
  const port_system_row* row = row_of(sys);
  if (row == nullptr || row->format == nullptr) return -1;
  // Each port's device is written out and compared: twenty short names.
  char candidate[32];
  for (int n = 1; n <= PORT_COM_COUNT; ++n) {
    if (format_device(*row, n, candidate, sizeof candidate) != 0 || device != candidate) continue;
    const int len = std::snprintf(out, cap, "COM%d", n);
    if (len < 0 || static_cast<size_t>(len) >= cap) {
      out[0] = '\0';
      return -1;
    }
    return 0;
  }
  return -1;
}

int port_com_name(std::string_view device, char* out, size_t cap) {
  return port_com_name_on(port_system_here(), device, out, cap);
}
