// The browser edition's entry point: the program as on the console (the same
// options, the same shell), with the page told when each command line is
// done and how it ended. Standard input and output are the page's
// (library_tovhost.js); the serial port is the page's Web Serial port.
#include <emscripten.h>

#include <cstdlib>

#include "shell/shell.h"

namespace {

// clang-format off
EM_JS(void, web_line_done, (int status), {
  if (Module.tovLineDone) Module.tovLineDone(status);
});
// clang-format on

}  // namespace

int main(int argc, char** argv) { std::exit(shell_main(argc, argv, web_line_done)); }
