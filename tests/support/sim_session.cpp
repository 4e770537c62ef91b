#include "sim_session.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The simulator ends by itself after this long, should a test process die.
constexpr const char* sim_exit_after_s = "150";

}  // namespace

session run_session(const std::string& name, const std::vector<std::string>& sim_args, const std::string& input,
                    const session_options& how) {
  session s;
  s.dir = scratch_dir(name);
  std::vector<std::string> args = {"--quick", "--save-dir", s.dir, "--exit-after", sim_exit_after_s};
  args.insert(args.end(), sim_args.begin(), sim_args.end());
  sim_handle sim = sim_start(args);
  s.pty = sim.pty;
  EXPECT_FALSE(sim.pty.empty()) << "the simulator did not start";
  auto expand = [&](const std::string& text) { return replace_all(replace_all(text, "{port}", sim.pty), "{dir}", s.dir); };
  std::vector<std::string> host;
  for (const std::string& a : how.host_args) host.push_back(expand(a));
  if (!sim.pty.empty()) {
    if (how.step.wait_for.empty() && how.step.signal == 0) {
      s.host = run_program(tovhost_path(), host, expand(input), how.timeout_s);
    } else {
      const input_step step{how.step.wait_for, how.step.between, expand(how.step.rest), how.step.signal,
                            how.step.signal_at};
      s.host = run_program(tovhost_path(), host, expand(input), how.timeout_s, step);
    }
  }
  s.sim_log = sim_stop(sim);
  EXPECT_FALSE(s.host.timed_out) << s.host.out;
  if (how.quiet_stderr) {
    EXPECT_EQ(s.host.err, "");
  }
  return s;
}

session run_session(const std::string& name, const std::vector<std::string>& sim_args, const std::string& input,
                    double timeout_s, const std::vector<std::string>& host_args) {
  session_options how;
  how.timeout_s = timeout_s;
  how.host_args = host_args;
  return run_session(name, sim_args, input, how);
}

std::string trace_written_bytes(const std::string& trace) {
  std::string bytes;
  bool in_write = false;
  for (const std::string& line : lines_of(trace)) {
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

std::vector<logged_packet> packet_log(const std::string& dir) {
  std::vector<logged_packet> out;
  for (const std::string& line : lines_of(read_file(dir + "/packets.log"))) {
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
