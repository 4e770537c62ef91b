// Runs a program with given standard input and collects its output, with a
// time limit. Used by the transcript and device tests.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct prog_result {
  int exit_code = -1;     // exit status, or -1 when killed by a signal
  int term_signal = 0;    // signal that ended it, or 0
  bool timed_out = false; // killed because it ran past the limit
  std::string out;        // standard output
  std::string err;        // standard error
  double seconds = 0;     // wall time
};

// Runs `path` with `args`, feeds `input` on standard input (then closes it),
// and waits at most `timeout_s` seconds.
prog_result run_program(const std::string& path, const std::vector<std::string>& args, const std::string& input,
                        double timeout_s = 30.0);

// A second part of the input, for a test that acts while the program waits:
// once all of `input` is fed and standard output holds `wait_for`, `between`
// runs, then `rest` is fed and standard input is closed.
// With `signal`, the program also gets that signal once its standard output
// holds `signal_at` (after the step, when there is one).
struct input_step {
  std::string wait_for;
  std::function<void()> between;
  std::string rest;
  int signal = 0;
  std::string signal_at;
};
prog_result run_program(const std::string& path, const std::vector<std::string>& args, const std::string& input,
                        double timeout_s, const input_step& step);

// Starts `path` with `args` in a session of its own on the terminal `tty`
// (the slave side of a pseudo-terminal), which becomes its controlling
// terminal and its standard input, output and error. `env` entries are
// "NAME=value" to set and "NAME" to unset; `dir` is the working directory
// (empty: this one). The process id, or -1.
pid_t start_on_terminal(const std::string& path, const std::vector<std::string>& args, const std::string& tty,
                        const std::vector<std::string>& env, const std::string& dir);
// Waits at most `timeout_s` for a started program to end (then kills it),
// calling `meanwhile` between looks (it should wait a little, reading the
// program's output). Fills exit_code, term_signal, timed_out and seconds.
prog_result wait_program(pid_t pid, double timeout_s, const std::function<void()>& meanwhile);

// Path of the built tovhost and tovsim programs.
std::string tovhost_path();
std::string tovsim_path();
// Directory of the examples.
std::string examples_dir();
// A fresh scratch directory for one test (under the build tree).
std::string scratch_dir(const std::string& name);
// Writes `text` to `path`; returns path.
std::string write_file(const std::string& path, const std::string& text);
// Makes a named pipe at `path` (removing what was there); returns path, or ""
// when it cannot be made. Nothing writes to it, so opening it to read blocks.
std::string make_fifo(const std::string& path);
// Names that are not regular files, for the file readers' refusals: the
// directory `dir`, and where the system has them the endless device
// /dev/zero and a named pipe without a writer (made in `dir`).
std::vector<std::string> not_regular_files(const std::string& dir);
// A stream that gives `text` and then fails with EIO (a disk or network file
// system failing in the middle of a file); it can be rewound. nullptr where
// the C library cannot make one (the test then has nothing to check).
FILE* failing_stream(const std::string& text);
// Reads a whole file (empty when it cannot be read).
std::string read_file(const std::string& path);
