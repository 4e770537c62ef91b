// The serial ports of this machine, for --list-ports. One implementation
// per operating system (portlist_posix.cpp: sysfs and /dev;
// portlist_win32.cpp: SetupAPI and the registry), chosen by the build like
// the platform layer. The names of ports are in port_name.h.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// Where the port list looks: the roots of sysfs and of the device files
// ("/sys" and "/dev" on a real machine; a made-up tree in the tests). Not
// used on Windows.
struct portlist_roots {
  const char* sys;
  const char* dev;
};

constexpr portlist_roots PORTLIST_SYSTEM_ROOTS = {"/sys", "/dev"};

// Prints one line per serial port: the name to type at connect, then what is
// known about it. "No serial ports found." when there are none. Returns the
// number of ports listed.
int port_list(FILE* out, const portlist_roots& roots);

// Appends the device path of every port that port_list lists, and after it
// the port's stable name under <dev>/serial/by-id when it has one, in the
// same order (the choices that completion at the prompt offers). Returns how
// many were appended. POSIX builds only: the Windows console has no completion.
int port_devices(const portlist_roots& roots, std::vector<std::string>& out);
