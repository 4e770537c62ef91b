// The browser edition's entry point: the program as on the console (the same
// options, the same shell), with the page told when each command line is
// done and how it ended. Standard input and output are the page's
// (library_tovhost.js); the serial port is the page's Web Serial port.
#include <emscripten.h>

#include <cstdio>
#include <cstdlib>

#include "console/console.h"
#include "serial/portlist.h"
#include "serial/trace.h"
#include "shell/options.h"
#include "shell/shell.h"

namespace {

shell_options options;

// clang-format off
EM_JS(void, web_line_done, (int status), {
  if (Module.tovLineDone) Module.tovLineDone(status);
});
// clang-format on

}  // namespace

int main(int argc, char** argv) {
  const int rc = opt_parse(argc, argv, &options);
  if (rc != 0) return rc;
  if (options.help) {
    opt_usage(stdout);
    return 0;
  }
  if (options.version) {
    opt_version(stdout);
    return 0;
  }
  if (options.list_ports) {
    port_list(stdout, PORTLIST_SYSTEM_ROOTS);
    return 0;
  }
  if (options.trace != nullptr && trace_start(options.trace) != 0) return OPT_USAGE_STATUS;
  con_auto_yes = options.yes;
  shell_settings settings{options.commands, options.command_count, options.exit_on_error};
  settings.line_done = web_line_done;
  std::exit(shell_run(settings));
}
