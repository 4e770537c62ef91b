// Port names: "COMn" (n 1 to 20, letters in any case) and the device each
// stands for on every system the program is built for, and the other way
// round. A name that already is a device path is opened as it stands. The
// open, the port list, the trace and the shell all ask here.
#pragma once
#include <cstddef>
#include <string_view>

constexpr int PORT_COM_COUNT = 20;  // COM1 .. COM20

enum port_system {
  PORT_LINUX,    // /dev/ttyS0 .. /dev/ttyS19
  PORT_FREEBSD,  // /dev/cuau0 .. /dev/cuau19 (the dial-out devices), DragonFly too
  PORT_OPENBSD,  // /dev/cua00 .. /dev/cua19
  PORT_NETBSD,   // /dev/dty00 .. /dev/dty19
  PORT_MACOS,    // no fixed names: a port is named by its path (/dev/cu.usbserial-...)
  PORT_WINDOWS,  // \\.\COM1 .. \\.\COM20, the only form that reaches COM10 and above
  PORT_BROWSER,  // a browser page: COMn is the n-th port the operator allowed the page to use
};

// The system this program was built for.
port_system port_system_here();

// n for "COMn" with n 1 to PORT_COM_COUNT (any case, no sign, blank or
// leading zero), else 0.
int port_com_number(std::string_view name);

// True when `name` is a device path on `sys`, to be opened as it stands:
// it begins with "/" (on Windows too, where Wine takes the Unix path of a
// serial device), or on Windows with one of the device name spaces "\\.\"
// and "\\?\".
bool port_is_path(port_system sys, std::string_view name);

// The device that `port_name` opens on `sys`, into `out`: a path as it
// stands, COM3 as /dev/ttyS2 on Linux or \\.\COM3 on Windows. 0, or -1 when
// the name names no port there or `out` is too small (out is then empty).
int port_device_path_on(port_system sys, const char* port_name, char* out, size_t cap);
int port_device_path(const char* port_name, char* out, size_t cap);

// The COMn name of the device at `device` on `sys` (/dev/ttyS2 is COM3 on
// Linux), into `out`. 0, or -1 when the device has no such name.
int port_com_name_on(port_system sys, std::string_view device, char* out, size_t cap);
int port_com_name(std::string_view device, char* out, size_t cap);
