#include "shell/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#ifndef TOVHOST_VERSION
#error "TOVHOST_VERSION comes from the build (the project version)"
#endif

namespace {

constexpr const char* opt_program = "tovhost";
constexpr const char* opt_short = ":hVc:yet:l";

const option opt_long[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"command", required_argument, nullptr, 'c'},
    {"yes", no_argument, nullptr, 'y'},
    {"exit-on-error", no_argument, nullptr, 'e'},
    {"trace", required_argument, nullptr, 't'},
    {"list-ports", no_argument, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

constexpr const char* opt_usage_text =
    "Usage: tovhost [options]\n"
    "Tovarelink PC host utility. Without options it reads commands at the\n"
    "\"Command> \" prompt from standard input (type help for the commands).\n"
    "\n"
    "Options:\n"
    "  -c, --command CMD      run CMD as if typed at the prompt, then end as after\n"
    "                         exit; may be given many times, run in order\n"
    "  -y, --yes              answer yes to the download and firmware questions\n"
    "                         and skip the firmware's Enter wait\n"
    "  -e, --exit-on-error    end with status 1 as soon as a command fails, and\n"
    "                         with status 0 when all the commands succeeded\n"
    "  -t, --trace FILE       append a record of every serial operation to FILE\n"
    "                         (- for standard error)\n"
    "  -l, --list-ports       list the serial ports of this machine and exit\n"
    "  -V, --version          print the version and exit\n"
    "  -h, --help             print this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  exit, quit or x; the end of the -c commands; with -e, the end of the\n"
    "     commands without a failure\n"
    "  1  the end of standard input (without -e); with -e, a failed command\n"
    "  2  a bad option or operand\n";

// One line saying what is wrong, then the usage, on standard error.
int opt_fail(const char* what, const char* detail) {
  std::fprintf(stderr, "%s: %s%s\n", opt_program, what, detail);
  opt_usage(stderr);
  return OPT_USAGE_STATUS;
}

// The long name of option `val`, for a message.
const char* opt_long_name(int val) {
  for (const option& o : opt_long) {
    if (o.name != nullptr && o.val == val) return o.name;
  }
  return "?";
}

}  // namespace

void opt_usage(FILE* f) { std::fputs(opt_usage_text, f); }

void opt_version(FILE* f) { std::fprintf(f, "%s %s\n", opt_program, TOVHOST_VERSION); }

int opt_parse(int argc, char** argv, shell_options* out) {
  *out = shell_options{};
  opterr = 0;  // the messages are ours
  optind = 0;  // a fresh scan (also when called again)
  char dashed[3] = {'-', '?', '\0'};
  for (;;) {
    const int prev = optind > 0 ? optind : 1;  // the word being read
    const int c = getopt_long(argc, argv, opt_short, opt_long, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h': out->help = true; break;
      case 'V': out->version = true; break;
      case 'y': out->yes = true; break;
      case 'e': out->exit_on_error = true; break;
      case 'l': out->list_ports = true; break;
      case 't': out->trace = optarg; break;
      case 'c':
        if (out->command_count >= OPT_COMMANDS_MAX) return opt_fail("too many -c commands, at most ", "128");
        out->commands[out->command_count++] = optarg;
        break;
      case ':':
        // A missing argument: optopt names the option (short or long).
        if (prev < argc && argv[prev][0] == '-' && argv[prev][1] == '-') {
          return opt_fail("option requires an argument: --", opt_long_name(optopt));
        }
        dashed[1] = static_cast<char>(optopt);
        return opt_fail("option requires an argument: ", dashed);
      default:
        // An unknown option. optopt holds an unknown short letter; a letter
        // we know (a long form given an argument it does not take) or none
        // (an unknown long form) leaves the word just passed to name it.
        if (optopt != 0 && std::strchr(opt_short, optopt) == nullptr) {
          dashed[1] = static_cast<char>(optopt);
          return opt_fail("unknown option: ", dashed);
        }
        return opt_fail("unknown option: ", argv[optind > 0 ? optind - 1 : 0]);
    }
  }
  if (optind < argc) return opt_fail("unexpected operand: ", argv[optind]);
  return 0;
}
