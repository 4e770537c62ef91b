// The serial ports of a Windows machine: the present devices of the Ports
// class from SetupAPI (port name, friendly name, hardware id), then any
// port that only the registry's SERIALCOMM map knows (as under Wine, or for
// drivers that install no device of the Ports class).
#include "serial/portlist.h"

#include <windows.h>
#include <setupapi.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "serial/port_name.h"

namespace {

constexpr int pl_max_ports = 256;
constexpr size_t pl_value_size = 256;

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the Ports (COM & LPT) class.
constexpr GUID pl_ports_class = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

struct pl_seen {
  std::array<std::array<char, 16>, pl_max_ports> names{};
  int count = 0;
};

bool pl_is_com(const char* name) { return _strnicmp(name, "COM", 3) == 0 && name[3] >= '1' && name[3] <= '9'; }

bool pl_already(const pl_seen& seen, const char* name) {
  for (int i = 0; i < seen.count; ++i) {
    if (_stricmp(seen.names[static_cast<size_t>(i)].data(), name) == 0) return true;
  }
  return false;
}

void pl_remember(pl_seen& seen, const char* name) {
  if (seen.count >= pl_max_ports) return;
  std::snprintf(seen.names[static_cast<size_t>(seen.count)].data(), seen.names[0].size(), "%s", name);
  ++seen.count;
}

bool pl_property(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property, char* out, size_t cap) {
  DWORD type = 0;
  DWORD size = 0;
  out[0] = '\0';
  if (!SetupDiGetDeviceRegistryPropertyA(set, dev, property, &type, reinterpret_cast<BYTE*>(out),
                                         static_cast<DWORD>(cap - 1), &size))
    return false;
  out[cap - 1] = '\0';  // a multi-string's first string, or the one string
  return out[0] != '\0';
}

// One port: its name, its device, and the friendly name and hardware id
// (SetupAPI) or the kernel device (SERIALCOMM).
void pl_line(FILE* out, const char* name, const char* friendly, const char* hardware_id, const char* kernel) {
  char line[3 * pl_value_size + 64] = "";
  size_t used = 0;
  auto add = [&](const char* label, const char* value) {
    if (value == nullptr || value[0] == '\0' || used + 1 >= sizeof line) return;
    const int n = std::snprintf(line + used, sizeof line - used, "%s%s %s", used > 0 ? ", " : "", label, value);
    if (n > 0) used += static_cast<size_t>(n) < sizeof line - used ? static_cast<size_t>(n) : sizeof line - used - 1;
  };
  char device[32];
  if (port_device_path(name, device, sizeof device) == 0) add("device", device);
  add("name", friendly);
  add("hardware id", hardware_id);
  add("kernel device", kernel);
  std::fprintf(out, "%-14s %s\n", name, line);
}

int pl_setupapi(FILE* out, pl_seen& seen) {
  HDEVINFO set = SetupDiGetClassDevsA(&pl_ports_class, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return 0;
  int listed = 0;
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char name[pl_value_size] = "";
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const LONG rc = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    name[sizeof name - 1] = '\0';
    if (rc != ERROR_SUCCESS || type != REG_SZ || !pl_is_com(name) || pl_already(seen, name)) continue;
    char friendly[pl_value_size];
    char hardware_id[pl_value_size];
    pl_property(set, &dev, SPDRP_FRIENDLYNAME, friendly, sizeof friendly);
    pl_property(set, &dev, SPDRP_HARDWAREID, hardware_id, sizeof hardware_id);
    pl_line(out, name, friendly, hardware_id, nullptr);
    pl_remember(seen, name);
    ++listed;
  }
  SetupDiDestroyDeviceInfoList(set);
  return listed;
}

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: one value per port, the device's
// name in the kernel as value name and the COM name as data.
int pl_serialcomm(FILE* out, pl_seen& seen) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  int listed = 0;
  for (DWORD i = 0; i < pl_max_ports; ++i) {
    char kernel_name[pl_value_size];
    char name[pl_value_size];
    DWORD kernel_size = sizeof kernel_name;
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const LONG rc =
        RegEnumValueA(key, i, kernel_name, &kernel_size, nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    name[size < sizeof name ? size : sizeof name - 1] = '\0';
    if (!pl_is_com(name) || pl_already(seen, name)) continue;
    kernel_name[sizeof kernel_name - 1] = '\0';
    pl_line(out, name, nullptr, nullptr, kernel_name);
    pl_remember(seen, name);
    ++listed;
  }
  RegCloseKey(key);
  return listed;
}

}  // namespace

int port_list(FILE* out, const portlist_roots&) {
  pl_seen seen;
  int listed = pl_setupapi(out, seen);
  listed += pl_serialcomm(out, seen);
  if (listed == 0) std::fprintf(out, "No serial ports found.\n");
  return listed;
}
