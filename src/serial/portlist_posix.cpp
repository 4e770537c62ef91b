// The serial ports of a Linux machine, from sysfs: every tty of
// <sys>/class/tty with a device behind it. Built-in ttyS ports are listed
// only when the kernel found a UART there (their "type" is not 0); USB
// adapters are described by the USB device above them (ids, manufacturer,
// product, serial number) and by their stable name in <dev>/serial/by-id.
#include "serial/portlist.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serial/port_name.h"

namespace {

constexpr int pl_usb_levels = 8;  // directories above a tty searched for its USB device
constexpr size_t pl_value_size = 128;

struct pl_path {
  char text[PATH_MAX];
};

// Appends `src` to the text in `out` (of `cap` bytes), cutting it short
// rather than overflowing.
void pl_append(char* out, size_t cap, const char* src) {
  const size_t used = std::strlen(out);
  if (used + 1 >= cap) return;
  size_t n = std::strlen(src);
  if (n > cap - used - 1) n = cap - used - 1;
  std::memcpy(out + used, src, n);
  out[used + n] = '\0';
}

bool pl_join(pl_path& out, const char* a, const char* b) {
  const int n = std::snprintf(out.text, sizeof out.text, "%s/%s", a, b);
  return n > 0 && static_cast<size_t>(n) < sizeof out.text;
}

// The first line of a small sysfs file, without its line end. False when
// there is none.
bool pl_read_value(const char* dir, const char* name, char* out, size_t cap) {
  pl_path p;
  if (!pl_join(p, dir, name)) return false;
  FILE* f = std::fopen(p.text, "r");
  if (f == nullptr) return false;
  const bool ok = std::fgets(out, static_cast<int>(cap), f) != nullptr;
  std::fclose(f);
  if (!ok) return false;
  out[std::strcspn(out, "\r\n")] = '\0';
  return out[0] != '\0';
}

// The last component of where the link dir/name points. False without one.
bool pl_link_name(const char* dir, const char* name, char* out, size_t cap) {
  pl_path p;
  if (!pl_join(p, dir, name)) return false;
  char target[PATH_MAX];
  const ssize_t n = readlink(p.text, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const char* slash = std::strrchr(target, '/');
  out[0] = '\0';
  pl_append(out, cap, slash != nullptr ? slash + 1 : target);
  return out[0] != '\0';
}

// Cuts the last component off `dir`; false at the root.
bool pl_parent(char* dir) {
  char* slash = std::strrchr(dir, '/');
  if (slash == nullptr || slash == dir) return false;
  *slash = '\0';
  return true;
}

// ttyS ports without a UART behind them: the kernel keeps them with type 0
// (or, on older kernels without the file, as platform placeholders).
bool pl_builtin_without_hardware(const char* tty_dir, const char* device_dir) {
  char value[pl_value_size];
  if (pl_read_value(tty_dir, "type", value, sizeof value)) return std::strtol(value, nullptr, 10) == 0;
  char subsystem[pl_value_size];
  return pl_link_name(device_dir, "subsystem", subsystem, sizeof subsystem) && std::strcmp(subsystem, "platform") == 0;
}

// The driver of the device, or of the first device above it that is not
// part of the serial core's own port bus.
void pl_driver(const char* device_dir, char* out, size_t cap) {
  pl_path dir;
  std::snprintf(dir.text, sizeof dir.text, "%s", device_dir);
  for (int level = 0; level < pl_usb_levels; ++level) {
    char subsystem[pl_value_size] = "";
    pl_link_name(dir.text, "subsystem", subsystem, sizeof subsystem);
    if (std::strcmp(subsystem, "serial-base") != 0 && pl_link_name(dir.text, "driver", out, cap)) return;
    if (!pl_parent(dir.text)) break;
  }
  out[0] = '\0';
}

// The USB device above a tty: the first directory upwards with idVendor.
bool pl_usb_device(const char* device_dir, const char* sys_root, char* out, size_t cap) {
  pl_path dir;
  std::snprintf(dir.text, sizeof dir.text, "%s", device_dir);
  const size_t root_len = std::strlen(sys_root);
  for (int level = 0; level < pl_usb_levels; ++level) {
    char value[pl_value_size];
    if (pl_read_value(dir.text, "idVendor", value, sizeof value)) {
      std::snprintf(out, cap, "%s", dir.text);
      return true;
    }
    if (!pl_parent(dir.text) || std::strlen(dir.text) <= root_len) break;
  }
  return false;
}

// The first link of <dev>/serial/by-id that leads to `device_real`.
bool pl_by_id(const char* dev_root, const char* device_real, char* out, size_t cap) {
  pl_path dir;
  if (!pl_join(dir, dev_root, "serial/by-id")) return false;
  DIR* d = opendir(dir.text);
  if (d == nullptr) return false;
  bool found = false;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    pl_path link;
    char real[PATH_MAX];
    if (!pl_join(link, dir.text, e->d_name) || realpath(link.text, real) == nullptr) continue;
    if (std::strcmp(real, device_real) == 0) {
      std::snprintf(out, cap, "%s", link.text);
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

// Appends `src` with its control characters and bytes from 0x80 written as
// \xNN: what a USB device calls itself must not reach the terminal as is.
void pl_append_escaped(char* out, size_t cap, const char* src) {
  constexpr char digits[] = "0123456789abcdef";
  for (const char* p = src; *p != '\0'; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    if (b >= 0x20 && b < 0x7F) {
      const char one[2] = {*p, '\0'};
      pl_append(out, cap, one);
    } else {
      const char esc[5] = {'\\', 'x', digits[b >> 4], digits[b & 0xF], '\0'};
      pl_append(out, cap, esc);
    }
  }
}

// Appends ", <label> <value>" to the line.
void pl_add(char* line, size_t cap, const char* label, const char* value) {
  if (value == nullptr || value[0] == '\0') return;
  if (line[0] != '\0') pl_append(line, cap, ", ");
  pl_append(line, cap, label);
  pl_append(line, cap, " ");
  pl_append_escaped(line, cap, value);
}

int pl_tty_order(const dirent** a, const dirent** b) { return versionsort(a, b); }

// One tty of <sys>/class/tty that is a serial port with hardware behind it.
struct pl_tty {
  pl_path device;             // <dev>/<name>
  char device_dir[PATH_MAX];  // its device in sysfs, links resolved
  bool builtin;               // a ttyS port
};

// Fills `t` when the tty `name` is a serial port with hardware behind it
// and a device file; false for anything else.
bool pl_identify(const portlist_roots& roots, const char* class_dir, const char* name, pl_tty& t) {
  pl_path tty_dir;
  pl_path device_link;
  if (!pl_join(tty_dir, class_dir, name) || !pl_join(device_link, tty_dir.text, "device") ||
      realpath(device_link.text, t.device_dir) == nullptr)
    return false;  // a virtual terminal, a pseudo-terminal master, the console
  t.builtin = std::strncmp(name, "ttyS", 4) == 0;
  if (t.builtin && pl_builtin_without_hardware(tty_dir.text, t.device_dir)) return false;
  struct stat st {};
  return pl_join(t.device, roots.dev, name) && stat(t.device.text, &st) == 0;
}

// Prints the line of one tty, when it is a serial port with hardware behind it.
bool pl_port(FILE* out, const portlist_roots& roots, const char* class_dir, const char* name) {
  pl_tty t;
  if (!pl_identify(roots, class_dir, name, t)) return false;
  const bool builtin = t.builtin;
  const pl_path& device = t.device;
  const char* device_dir = t.device_dir;

  // The name to type at connect: COMn for the first twenty built-in ports
  // (named by their place in /dev, wherever the tests put the tree).
  char typed[PATH_MAX];
  const std::string in_dev = std::string("/dev/") + name;
  if (!builtin || port_com_name(in_dev, typed, sizeof typed) != 0) std::snprintf(typed, sizeof typed, "%s", device.text);

  char line[2048] = "";
  pl_add(line, sizeof line, "device", device.text);
  char real[PATH_MAX];
  char by_id[PATH_MAX];
  if (realpath(device.text, real) != nullptr && pl_by_id(roots.dev, real, by_id, sizeof by_id))
    pl_add(line, sizeof line, "by-id", by_id);
  char driver[pl_value_size];
  pl_driver(device_dir, driver, sizeof driver);
  pl_add(line, sizeof line, "driver", driver);
  char usb[PATH_MAX];
  if (pl_usb_device(device_dir, roots.sys, usb, sizeof usb)) {
    char vendor[pl_value_size] = "";
    char product_id[pl_value_size] = "";
    pl_read_value(usb, "idVendor", vendor, sizeof vendor);
    pl_read_value(usb, "idProduct", product_id, sizeof product_id);
    char ids[2 * pl_value_size + 2];
    std::snprintf(ids, sizeof ids, "%s:%s", vendor, product_id);
    pl_add(line, sizeof line, "usb", ids);
    for (const char* field : {"manufacturer", "product", "serial"}) {
      char value[pl_value_size];
      if (pl_read_value(usb, field, value, sizeof value)) pl_add(line, sizeof line, field, value);
    }
  }
  std::fprintf(out, "%-14s %s\n", typed, line);
  return true;
}

// The ttys of <sys>/class/tty in the order of their names, numbers counted
// as numbers; -1 without sysfs. The caller frees each name and the array.
int pl_scan(const portlist_roots& roots, pl_path& class_dir, dirent*** names) {
  *names = nullptr;
  return pl_join(class_dir, roots.sys, "class/tty") ? scandir(class_dir.text, names, nullptr, pl_tty_order) : -1;
}

}  // namespace

int port_list(FILE* out, const portlist_roots& roots) {
  pl_path class_dir;
  int listed = 0;
  dirent** names = nullptr;
  const int n = pl_scan(roots, class_dir, &names);
  for (int i = 0; i < n; ++i) {
    if (names[i]->d_name[0] != '.' && pl_port(out, roots, class_dir.text, names[i]->d_name)) ++listed;
    free(names[i]);
  }
  free(names);
  if (listed == 0) std::fprintf(out, "No serial ports found.\n");
  return listed;
}

int port_devices(const portlist_roots& roots, std::vector<std::string>& out) {
  pl_path class_dir;
  const size_t before = out.size();
  dirent** names = nullptr;
  const int n = pl_scan(roots, class_dir, &names);
  for (int i = 0; i < n; ++i) {
    pl_tty t;
    if (names[i]->d_name[0] != '.' && pl_identify(roots, class_dir.text, names[i]->d_name, t)) {
      out.emplace_back(t.device.text);
      char real[PATH_MAX];
      char by_id[PATH_MAX];
      if (realpath(t.device.text, real) != nullptr && pl_by_id(roots.dev, real, by_id, sizeof by_id))
        out.emplace_back(by_id);
    }
    free(names[i]);
  }
  free(names);
  return static_cast<int>(out.size() - before);
}
