// The serial ports of a browser page: the ports the operator has allowed the
// page to use, in the order the page numbers them (COM1 is the first).
#include <emscripten.h>

#include <array>
#include <cstdio>

#include "serial/portlist.h"

namespace {

constexpr int pl_max_ports = 20;  // COM1 .. COM20

}  // namespace

// clang-format off
EM_JS(int, web_port_count, (), {
  return Module.tovSerial.ports().length;
});
EM_JS(void, web_port_text, (int i, char* buf, int cap), {
  stringToUTF8(Module.tovSerial.ports()[i], buf, cap);
});
// clang-format on

int port_list(FILE* out, const portlist_roots&) {
  int count = web_port_count();
  if (count > pl_max_ports) count = pl_max_ports;
  for (int i = 0; i < count; ++i) {
    std::array<char, 256> text{};
    web_port_text(i, text.data(), static_cast<int>(text.size()));
    std::fprintf(out, "COM%d  %s\n", i + 1, text.data());
  }
  if (count == 0) std::fprintf(out, "No serial ports found.\n");
  return count;
}

int port_devices(const portlist_roots&, std::vector<std::string>&) { return 0; }
