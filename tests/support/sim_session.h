// One run of the built tovhost against a fresh device simulator, and what the
// device tests read afterwards: the simulator's packet log and the bytes a
// serial trace says were written.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "run_program.h"
#include "sim_harness.h"
#include "texts.h"

struct session {
  prog_result host;
  std::string sim_log;  // what the device received, in plain words
  std::string dir;      // the simulator's --save-dir
  std::string pty;      // the simulator's port
};

// What varies between the runs of the device tests.
struct session_options {
  std::vector<std::string> host_args;  // tovhost's options
  double timeout_s = 60;
  // Expect nothing on tovhost's standard error (a lost port writes there).
  bool quiet_stderr = true;
  // Input held back until the program waits (see run_program); wait_for
  // empty: none.
  input_step step;
};

// Starts a simulator (--quick, saving into a fresh directory named after
// `name`, plus `sim_args`), runs tovhost with `input`, in which, as in the
// options and the held-back input, every "{port}" stands for the simulator's
// port and every "{dir}" for its --save-dir, and stops the simulator.
session run_session(const std::string& name, const std::vector<std::string>& sim_args, const std::string& input,
                    const session_options& how = {});
// The same with a time limit and options only.
session run_session(const std::string& name, const std::vector<std::string>& sim_args, const std::string& input,
                    double timeout_s, const std::vector<std::string>& host_args = {});

// The bytes of the write notes of a serial trace (--trace), in order: the
// data lines ("  <offset>  <hex bytes>  |<ascii>|") after each "write" line.
std::string trace_written_bytes(const std::string& trace);

// One line of packets.log: the packet's bytes and the answer given.
struct logged_packet {
  std::vector<uint8_t> bytes;
  int answer = -1;  // -1: none
};

// Parses packets.log ("<length> <hex bytes> -> <answer>" per line) in `dir`.
std::vector<logged_packet> packet_log(const std::string& dir);
