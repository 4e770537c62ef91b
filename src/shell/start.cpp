#include <cstdio>

#include "console/console.h"
#include "serial/portlist.h"
#include "serial/trace.h"
#include "shell/options.h"
#include "shell/shell.h"

namespace {

shell_options options;

}  // namespace

int shell_main(int argc, char** argv, void (*line_done)(int status)) {
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
  // A trace that cannot be kept stops the run before anything is done.
  if (options.trace != nullptr && trace_start(options.trace) != 0) return OPT_USAGE_STATUS;
  con_auto_yes = options.yes;
  shell_settings settings{options.commands, options.command_count, options.exit_on_error};
  settings.line_done = line_done;
  int status = shell_run(settings);
  // With -e a trace that lost text fails the run: the record asked for is not there.
  trace_stop();
  if (options.exit_on_error && trace_incomplete() && status == 0) status = 1;
  return status;
}
