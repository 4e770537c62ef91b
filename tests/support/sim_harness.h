// Starts and stops the device simulator (tovsim) for the device tests.
//
// tovsim prints the path of its pseudo-terminal alone on the first line of
// standard output; every later line is its log of what the device received.
//
// The log is not read while a test runs. Instead the pipe is enlarged to
// 1 MiB (F_SETPIPE_SZ), and tovsim itself never blocks on a pipe: when the
// pipe is full it drops log lines (and counts them in a last line) rather
// than stop serving the port. So a test may run any exchange without draining
// the simulator's output, and sim_stop() collects the log once the simulator
// has ended. The files of --save-dir are written before the device answers,
// so they can be read at once after tovhost has finished.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct sim_handle {
  pid_t pid = -1;     // the simulator process, -1 when none
  std::string pty;    // the port to give tovhost; empty when the start failed
  int out_fd = -1;    // read end of the simulator's standard output
  std::string log;    // output read so far after line 1
};

// Spawns tovsim_path() with `args` in a session of its own, and reads line 1
// (the pty path) for at most 10 s. With TOV_TEST_WIRE_TIME set in the
// environment, --wire-time is added (the device tests' wire variants). On failure `pty` is empty (the process, if
// any, is still in `pid` for sim_stop).
sim_handle sim_start(const std::vector<std::string>& args);

// Stops the simulator with SIGTERM (SIGKILL after 10 s), waits for it, and
// returns its log: everything it printed after line 1. Safe to call twice
// and on a failed start. The handle is left empty (pid -1, out_fd -1).
std::string sim_stop(sim_handle& s);
