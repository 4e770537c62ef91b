// Shared pieces of the link, download and serial-test device tests: one run
// of the built tovhost against a fresh simulator, the transcript after the
// start-up text, and the simulator's packet log.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_program.h"
#include "sim_harness.h"

namespace linkdev {

// Everything tovhost prints before it reads its first line, the first
// "Command> " included: the output of a run with no input, less the line end
// printed at the end of input.
inline const std::string& startup_text() {
  static const std::string text = [] {
    prog_result r = run_program(tovhost_path(), {}, "", 10);
    std::string out = r.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }();
  return text;
}

// What tovhost printed after the start-up text.
inline std::string transcript(const prog_result& r) {
  const std::string& start = startup_text();
  EXPECT_FALSE(start.empty());
  if (r.out.compare(0, start.size(), start) != 0) {
    ADD_FAILURE() << "output does not begin with the start-up text:\n" << r.out;
    return r.out;
  }
  return r.out.substr(start.size());
}

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

struct session {
  prog_result host;
  std::string sim_log;
  std::string dir;  // the simulator's --save-dir
  std::string pty;
};

// Starts a simulator (--quick, saving into a fresh directory, plus `sim_args`),
// runs tovhost with `host_args` and `input`, in which every "{port}" stands
// for the simulator's port and every "{dir}" for its --save-dir, and stops
// the simulator.
inline session run_session(const std::string& name, const std::vector<std::string>& sim_args,
                           const std::string& input, double timeout_s = 60,
                           const std::vector<std::string>& host_args = {}) {
  session s;
  s.dir = scratch_dir(name);
  std::vector<std::string> args = {"--quick", "--save-dir", s.dir, "--exit-after", "150"};
  args.insert(args.end(), sim_args.begin(), sim_args.end());
  sim_handle sim = sim_start(args);
  s.pty = sim.pty;
  EXPECT_FALSE(sim.pty.empty()) << "the simulator did not start";
  auto expand = [&](const std::string& text) { return replace_all(replace_all(text, "{port}", sim.pty), "{dir}", s.dir); };
  std::vector<std::string> host;
  for (const std::string& a : host_args) host.push_back(expand(a));
  if (!sim.pty.empty()) s.host = run_program(tovhost_path(), host, expand(input), timeout_s);
  s.sim_log = sim_stop(sim);
  EXPECT_FALSE(s.host.timed_out) << s.host.out;
  EXPECT_EQ(s.host.err, "");
  return s;
}

// The bytes of the write notes of a serial trace (--trace), in order: the
// data lines ("  <offset>  <hex bytes>  |<ascii>|") after each "write" line.
inline std::string trace_written_bytes(const std::string& trace) {
  std::string bytes;
  bool in_write = false;
  size_t at = 0;
  while (at < trace.size()) {
    size_t end = trace.find('\n', at);
    if (end == std::string::npos) end = trace.size();
    const std::string line = trace.substr(at, end - at);
    at = end + 1;
    const std::string body = line.size() > 11 ? line.substr(11) : "";
    if (body.rfind("  ", 0) != 0) {
      in_write = body.rfind("write ", 0) == 0;
      continue;
    }
    const size_t bar = body.rfind("  |");
    if (!in_write || bar == std::string::npos || bar < 8) continue;
    for (size_t pos = 8; pos + 2 <= bar && body[pos] != ' '; pos += 3)
      bytes += static_cast<char>(std::strtoul(body.substr(pos, 2).c_str(), nullptr, 16));
  }
  return bytes;
}

// "Connecting at N..." and the success line of a connect or baud change.
inline std::string connected_at(long baud) {
  return "Connecting at " + std::to_string(baud) + "...\n\aConnected at " + std::to_string(baud) + "\n";
}

inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// One line of packets.log: the packet's bytes and the answer given.
struct logged_packet {
  std::vector<uint8_t> bytes;
  int answer = -1;  // -1: none
};

// Parses packets.log ("<length> <hex bytes> -> <answer>" per line).
inline std::vector<logged_packet> packet_log(const std::string& dir) {
  std::vector<logged_packet> out;
  const std::string text = read_file(dir + "/packets.log");
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    logged_packet p;
    const size_t arrow = line.find(" -> ");
    const std::string head = line.substr(0, arrow);
    if (arrow != std::string::npos) {
      char* stop = nullptr;
      const std::string ans = line.substr(arrow + 4);
      const long v = std::strtol(ans.c_str(), &stop, 16);
      if (stop != ans.c_str()) p.answer = static_cast<int>(v);
    }
    const size_t sp = head.find(' ');
    size_t pos = sp == std::string::npos ? head.size() : sp + 1;
    while (pos + 2 <= head.size()) {
      p.bytes.push_back(static_cast<uint8_t>(std::strtoul(head.substr(pos, 2).c_str(), nullptr, 16)));
      pos += 3;
    }
    EXPECT_EQ(std::to_string(p.bytes.size()), head.substr(0, sp)) << line;
    out.push_back(p);
  }
  return out;
}

}  // namespace linkdev
