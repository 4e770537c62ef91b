#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "run_program.h"

namespace {

constexpr int start_limit_ms = 10000;
constexpr int stop_limit_ms = 10000;
constexpr int pipe_size = 1 << 20;

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads what `fd` has within `ms` into `out`; false at end of file.
bool read_some(int fd, std::string& out, int ms) {
  pollfd p{fd, POLLIN, 0};
  const int rc = poll(&p, 1, ms);
  if (rc < 0) return errno == EINTR;
  if (rc == 0) return true;
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  out.append(buf, static_cast<size_t>(n));
  return true;
}

}  // namespace

sim_handle sim_start(const std::vector<std::string>& args) {
  sim_handle s;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return s;
  const std::string path = tovsim_path();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  // The device tests run once more against a device on a real wire's timing.
  static std::string wire = "--wire-time";
  const char* wire_env = getenv("TOV_TEST_WIRE_TIME");
  if (wire_env != nullptr && *wire_env != '\0') argv.push_back(wire.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return s;
  }
  if (pid == 0) {
    setsid();
    dup2(out[1], 1);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    signal(SIGPIPE, SIG_DFL);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  fcntl(out[0], F_SETPIPE_SZ, pipe_size);  // best effort
  s.pid = pid;
  s.out_fd = out[0];

  std::string got;
  const long long end = now_ms() + start_limit_ms;
  for (;;) {
    const size_t nl = got.find('\n');
    if (nl != std::string::npos) {
      s.pty = got.substr(0, nl);
      s.log = got.substr(nl + 1);
      break;
    }
    const long long left = end - now_ms();
    if (left <= 0 || !read_some(s.out_fd, got, static_cast<int>(left))) {
      s.log = got;
      break;
    }
  }
  return s;
}

std::string sim_stop(sim_handle& s) {
  if (s.pid > 0) {
    kill(s.pid, SIGTERM);
    bool killed = false;
    const long long end = now_ms() + stop_limit_ms;
    while (s.out_fd >= 0) {
      const long long left = end - now_ms();
      if (left <= 0 && !killed) {
        kill(s.pid, SIGKILL);
        killed = true;
      }
      if (!read_some(s.out_fd, s.log, left > 0 ? static_cast<int>(left) : 100) || (killed && left < -2000)) break;
    }
    int status = 0;
    while (waitpid(s.pid, &status, 0) < 0 && errno == EINTR) {
    }
    s.pid = -1;
  }
  if (s.out_fd >= 0) close(s.out_fd);
  s.out_fd = -1;
  std::string log = s.log;
  s.log.clear();
  s.pty.clear();
  return log;
}
