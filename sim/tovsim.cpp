// tovsim: a Tovarelink device behind a pseudo-terminal, for trying tovhost
// without hardware. It prints the path of the port on the first line of
// standard output and serves until SIGTERM/SIGINT; later lines tell the
// operator what the device received.
//
// The device itself is the model of sim/model; this program is its front
// end: it tells the model what the far end does (link.cpp) and when, and
// carries out what the model answers: bytes to the port, lines to the log,
// files to --save-dir, and the port closed for good when the device vanishes.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend.h"

namespace {

constexpr int LINK_FINAL_WAKEUPS = 1000;  // at most this many link turns after a signal
constexpr int POLL_MAX = 3;

sim_cli cli;
simdev::device dev;
bool dev_gone = false;  // the port was closed after the device vanished
int sig_pipe[2] = {-1, -1};

void on_signal(int) {
  const char c = 1;
  const ssize_t r = write(sig_pipe[1], &c, 1);
  (void)r;
}

// The earlier of two instants, -1 standing for "never".
int64_t earliest(int64_t a, int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

}  // namespace

namespace {

// Carries out what the device did after a call into it: files kept, log
// lines, the port closed for good when it vanished, due bytes to the port.
void sim_effects() {
  simdev::keep k{};
  for (size_t i = 0; simdev::take_keep(dev, i, &k); i++) savedir_apply(k);
  simdev::keeps_taken(dev);
  const char* text = nullptr;
  const size_t len = simdev::take_log(dev, &text);
  for (size_t at = 0; at < len;) {
    const char* nl = static_cast<const char*>(std::memchr(text + at, '\n', len - at));
    const size_t end = nl != nullptr ? static_cast<size_t>(nl - text) + 1 : len;
    sim_log_write(text + at, end - at);
    at = end;
  }
  simdev::log_taken(dev);
  if (simdev::vanished(dev) && !dev_gone) {
    dev_gone = true;
    link_vanish();
  }
  link_flush();
}

}  // namespace

int main(int argc, char** argv) {
  const int p = cli_parse(argc, argv, &cli);
  if (p != 0) return p > 0 ? 0 : 2;

  signal(SIGPIPE, SIG_IGN);
  if (pipe(sig_pipe) != 0) return 1;
  fcntl(sig_pipe[0], F_SETFL, O_NONBLOCK);
  fcntl(sig_pipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  struct sigaction old_int {};
  sigaction(SIGINT, nullptr, &old_int);
  if (old_int.sa_handler != SIG_IGN) sigaction(SIGINT, &sa, nullptr);

  if (cli.save_dir != nullptr && savedir_open(cli.save_dir) != 0) return 1;
  if (link_create(cli.no_inotify, &dev, sim_effects) != 0) return 1;
  simdev::init(dev, cli.dev, sim_now_ms());

  // Line 1: the port, alone.
  char first[160];
  const int n = std::snprintf(first, sizeof first, "%s\n", link_path());
  sim_log_write(first, static_cast<size_t>(n));

  struct stat st {};
  const bool log_to_pipe = fstat(1, &st) == 0 && S_ISFIFO(st.st_mode);
  if (log_to_pipe) sim_log_never_block(true);
  const int64_t exit_at_ms =
      cli.exit_after_s > 0 ? sim_now_ms() + static_cast<int64_t>(cli.exit_after_s * 1000.0) : -1;
  sim_log("Tovarelink simulator on %s (%s)", link_path(), cli.dev.version_text);

  bool link_more = false;  // link_service() left work for the next turn
  bool signalled = false;
  for (;;) {
    int64_t now = sim_now_ms();
    if (exit_at_ms >= 0 && now >= exit_at_ms) {
      sim_log("exit after %g s", cli.exit_after_s);
      break;
    }
    simdev::tick(dev, now);
    sim_effects();

    const int64_t next = earliest(simdev::next_timer(dev), exit_at_ms);
    now = sim_now_ms();
    int timeout = -1;
    if (next >= 0) timeout = next <= now ? 0 : static_cast<int>(next - now > 60000 ? 60000 : next - now);
    if (link_more) timeout = 0;

    pollfd fds[POLL_MAX];
    fds[0] = {sig_pipe[0], POLLIN, 0};
    const int nf = 1 + link_poll_fds(fds + 1, POLL_MAX - 1, &timeout);
    const int rc = poll(fds, static_cast<nfds_t>(nf), timeout);
    if (rc < 0 && errno != EINTR) break;
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
      signalled = true;
      break;
    }
    link_more = false;
    if (rc > 0 || link_events_pending()) link_more = link_service();
    link_after_poll(fds + 1, rc > 0 ? nf - 1 : 0);
  }
  if (signalled) {
    // What the far end wrote before the signal (its last bytes, its close)
    // is still handled, so that the log tells all the device received.
    for (int i = 0; i < LINK_FINAL_WAKEUPS && link_service(); i++) {
    }
    sim_log("stopped by signal");
  }
  simdev::shutdown(dev, sim_now_ms());
  sim_effects();
  savedir_close();
  // The last lines wait for room in the pipe rather than be dropped.
  if (log_to_pipe) sim_log_never_block(false);
  if (sim_log_dropped() > 0) sim_log("%ld log lines dropped (standard output full)", sim_log_dropped());
  link_close();
  return 0;
}
