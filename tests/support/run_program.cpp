#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// In a forked child: becomes the program at `path` with `args`, or ends
// with status 127 when it cannot be run.
[[noreturn]] void exec_program(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(path.c_str(), argv.data());
  _exit(127);
}

}  // namespace

prog_result run_program(const std::string& path, const std::vector<std::string>& args, const std::string& input,
                        double timeout_s) {
  return run_program(path, args, input, timeout_s, input_step{});
}

namespace {

// With TOVHOST_SESSION_LOG naming a folder, each run of tovhost without
// arguments leaves its standard input there (one file per run): the browser
// page's tests replay these sessions and compare the page with the program.
void log_session(const std::string& path, const std::vector<std::string>& args, const std::string& input) {
  static int count = 0;
  const char* dir = std::getenv("TOVHOST_SESSION_LOG");
  if (dir == nullptr || !args.empty() || path != tovhost_path()) return;
  write_file(std::string(dir) + "/" + std::to_string(getpid()) + "-" + std::to_string(count++) + ".in", input);
}

}  // namespace

prog_result run_program(const std::string& path, const std::vector<std::string>& args, const std::string& first,
                        double timeout_s, const input_step& step) {
  if (step.wait_for.empty()) log_session(path, args, first);
  prog_result r;
  std::string input = first;
  bool step_waiting = !step.wait_for.empty();
  bool signalled = false;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return r;
  double start = now_s();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    setsid();  // no controlling terminal: a pseudo-terminal never becomes one
    exec_program(path, args);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  int in_fd = in_pipe[1];
  fcntl(in_fd, F_SETFL, O_NONBLOCK);
  size_t in_off = 0;
  if (input.empty() && !step_waiting) {
    close(in_fd);
    in_fd = -1;
  }
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  while (out_fd >= 0 || err_fd >= 0) {
    double left = timeout_s - (now_s() - start);
    if (left <= 0) {
      kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    pollfd p[3];
    int n = 0;
    int io = -1, oo = -1, eo = -1;
    if (step_waiting && in_off >= input.size() && r.out.find(step.wait_for) != std::string::npos) {
      step_waiting = false;
      if (step.between) step.between();
      input += step.rest;
      if (in_off >= input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    if (step.signal != 0 && !step_waiting && !signalled && r.out.find(step.signal_at) != std::string::npos) {
      kill(pid, step.signal);
      signalled = true;
    }
    if (in_fd >= 0 && in_off < input.size()) { io = n; p[n++] = {in_fd, POLLOUT, 0}; }
    if (out_fd >= 0) { oo = n; p[n++] = {out_fd, POLLIN, 0}; }
    if (err_fd >= 0) { eo = n; p[n++] = {err_fd, POLLIN, 0}; }
    int rc = poll(p, n, static_cast<int>(left * 1000) + 1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) continue;
    if (io >= 0 && p[io].revents) {
      ssize_t w = write(in_fd, input.data() + in_off, input.size() - in_off);
      if (w > 0) in_off += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN) in_off = input.size();
      if (in_off >= input.size() && !step_waiting) {
        close(in_fd);
        in_fd = -1;
      }
    }
    char buf[65536];
    if (oo >= 0 && p[oo].revents) {
      ssize_t k = read(out_fd, buf, sizeof buf);
      if (k > 0) r.out.append(buf, static_cast<size_t>(k));
      else { close(out_fd); out_fd = -1; }
    }
    if (eo >= 0 && p[eo].revents) {
      ssize_t k = read(err_fd, buf, sizeof buf);
      if (k > 0) r.err.append(buf, static_cast<size_t>(k));
      else { close(err_fd); err_fd = -1; }
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.seconds = now_s() - start;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
  return r;
}

pid_t start_on_terminal(const std::string& path, const std::vector<std::string>& args, const std::string& tty,
                        const std::vector<std::string>& env, const std::string& dir) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  // The program starts as from a terminal's shell, however the tests were started.
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setsid();
  int fd = open(tty.c_str(), O_RDWR);  // the first terminal a session leader opens becomes its own
  if (fd < 0) _exit(126);
  dup2(fd, 0);
  dup2(fd, 1);
  dup2(fd, 2);
  if (fd > 2) close(fd);
  for (const std::string& e : env) {
    size_t eq = e.find('=');
    if (eq == std::string::npos) unsetenv(e.c_str());
    else setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
  }
  if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
  exec_program(path, args);
}

prog_result wait_program(pid_t pid, double timeout_s, const std::function<void()>& meanwhile) {
  prog_result r;
  double start = now_s();
  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) break;
    if (now_s() - start > timeout_s) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      r.timed_out = true;
      break;
    }
    meanwhile();
  }
  r.seconds = now_s() - start;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
  return r;
}

std::string tovhost_path() { return TOVHOST_BIN; }
std::string tovsim_path() { return TOVSIM_BIN; }
std::string examples_dir() { return TOVHOST_EXAMPLES; }

std::string scratch_dir(const std::string& name) {
  std::string base = std::string(TOVHOST_SCRATCH);
  mkdir(base.c_str(), 0755);
  std::string d = base + "/" + name + "." + std::to_string(getpid());
  mkdir(d.c_str(), 0755);
  return d;
}

std::string write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
  return path;
}

std::string make_fifo(const std::string& path) {
  unlink(path.c_str());
  return mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
}

std::vector<std::string> not_regular_files(const std::string& dir) {
  std::vector<std::string> names = {dir, "/dev/zero"};
  const std::string fifo = make_fifo(dir + "/pipe");
  if (!fifo.empty()) names.push_back(fifo);
  return names;
}

FILE* failing_stream(const std::string& text) {
  struct stream_state {
    std::string text;
    size_t at;
  };
  cookie_io_functions_t io{};
  io.read = [](void* c, char* buf, size_t size) -> ssize_t {
    auto* s = static_cast<stream_state*>(c);
    if (s->at >= s->text.size()) {
      errno = EIO;
      return -1;
    }
    const size_t n = std::min(size, s->text.size() - s->at);
    std::memcpy(buf, s->text.data() + s->at, n);
    s->at += n;
    return static_cast<ssize_t>(n);
  };
  io.seek = [](void* c, off64_t* offset, int whence) -> int {
    if (whence != SEEK_SET || *offset != 0) return -1;
    static_cast<stream_state*>(c)->at = 0;
    return 0;
  };
  io.close = [](void* c) -> int {
    delete static_cast<stream_state*>(c);
    return 0;
  };
  auto* state = new stream_state{text, 0};
  FILE* f = fopencookie(state, "rb", io);
  if (f == nullptr) delete state;
  return f;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
