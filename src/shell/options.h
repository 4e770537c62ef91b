// The command-line options of tovhost. Started without any, the program is
// the interactive console and nothing here changes it.
#pragma once
#include <cstdio>

constexpr int OPT_COMMANDS_MAX = 128;  // -c lines in one run

// Exit status of a run that could not start: a bad option or operand.
constexpr int OPT_USAGE_STATUS = 2;

struct shell_options {
  bool help;           // -h
  bool version;        // -V
  bool yes;            // -y
  bool exit_on_error;  // -e
  bool list_ports;     // -l
  const char* trace;   // -t FILE ("-": standard error); nullptr: no trace
  const char* commands[OPT_COMMANDS_MAX];  // -c lines in the order given
  int command_count;
};

// Reads the options of argv into `out` (options in any order, short and long
// forms). 0, or OPT_USAGE_STATUS after one line saying what is wrong and the
// usage were printed on standard error.
int opt_parse(int argc, char** argv, shell_options* out);

// Prints the usage of the options.
void opt_usage(FILE* f);

// Prints "tovhost <version>" and a line end.
void opt_version(FILE* f);
