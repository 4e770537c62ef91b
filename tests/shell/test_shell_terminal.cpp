// The program at a terminal: driven through a pseudo-terminal as an operator
// types, with its home and state folders in a scratch folder. Line editing,
// history and completion, and the terminal modes given back however it ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pty_pair.h"
#include "run_program.h"
#include "texts.h"

namespace {

constexpr int WAIT_MS = 10000;  // what a healthy program answers in well within
const std::string& P = prompt;  // short for the long expectations

#ifdef TOVHOST_HAS_EDITOR
#define NEEDS_EDITOR() (void)0
#else
#define NEEDS_EDITOR() GTEST_SKIP() << "built without line editing"
#endif

// One run of tovhost on a pseudo-terminal. The terminal starts in the normal
// (canonical) mode but without ECHOCTL, which libedit's own idea of the
// normal mode sets: only a program that puts back what it found leaves it off.
struct terminal_run {
  pty_pair pty;
  int slave = -1;  // kept open to look at the modes
  pid_t pid = -1;
  termios before{};

  bool start(const std::string& home, const std::vector<std::string>& env, const std::vector<std::string>& args = {}) {
    if (!pty.open_pair()) return false;
    slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0 || tcgetattr(slave, &before) != 0) return false;
    before.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    if (tcsetattr(slave, TCSANOW, &before) != 0 || tcgetattr(slave, &before) != 0) return false;
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 80;
    ioctl(pty.master, TIOCSWINSZ, &ws);
    std::vector<std::string> all = {"TERM=xterm", "HOME=" + home, "EDITRC", "XDG_STATE_HOME"};
    all.insert(all.end(), env.begin(), env.end());
    pid = start_on_terminal(tovhost_path(), args, pty.slave_path, all, examples_dir() + "/..");
    return pid > 0 && prompt();
  }
  // Waits for the next prompt and, with the editor, for its mode: libedit
  // shows the prompt before it takes the terminal, and keys typed in between
  // would meet the terminal's own line editing (which swallows Ctrl-R and
  // turns Ctrl-D into a NUL).
  bool prompt() {
    if (!pty.wait_for(P, WAIT_MS)) return false;
#ifdef TOVHOST_HAS_EDITOR
    for (int ms = 0; ms < WAIT_MS; ++ms) {
      if ((now().c_lflag & ICANON) == 0) return true;
      usleep(1000);
    }
    return false;
#else
    return true;
#endif
  }
  bool type(const std::string& keys) { return pty.send(keys); }
  bool expect(const std::string& text) { return pty.wait_for(text, WAIT_MS); }
  prog_result finish() {
    prog_result r = wait_program(pid, WAIT_MS / 1000.0, [this] { pty.drain(20); });
    pty.drain(20);
    return r;
  }
  termios now() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
  ~terminal_run() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (slave >= 0) close(slave);
  }
};

bool same_modes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace

TEST(ShellTerminal, UpAndCtrlRRecallCommands) {
  NEEDS_EDITOR();
  const std::string dir = scratch_dir("term_recall");
  terminal_run t;
  ASSERT_TRUE(t.start(dir, {}));
  const std::string done = "Configuration items processed 27";
  ASSERT_TRUE(t.type("configure examples/sample.conf\r"));
  ASSERT_TRUE(t.expect(done));
  ASSERT_TRUE(t.prompt());
  ASSERT_TRUE(t.type("angles\r"));
  ASSERT_TRUE(t.expect("DMC format"));
  ASSERT_TRUE(t.prompt());
  // Up twice: back past angles to the configure line.
  ASSERT_TRUE(t.type("\x1b[A\x1b[A\r"));
  ASSERT_TRUE(t.expect(done));
  ASSERT_TRUE(t.prompt());
  // Ctrl-R searches back for the last line holding "ang".
  ASSERT_TRUE(t.type("\x12" "ang\r"));
  ASSERT_TRUE(t.expect("DMC format"));
  ASSERT_TRUE(t.prompt());
  ASSERT_TRUE(t.type("exit\r"));
  prog_result r = t.finish();
  EXPECT_EQ(r.exit_code, 0) << t.pty.seen;
  EXPECT_EQ(count_of(t.pty.seen, done), 2u);
}

TEST(ShellTerminal, TabCompletesCommandsFilesAndRates) {
  NEEDS_EDITOR();
  const std::string dir = scratch_dir("term_complete");
  terminal_run t;
  ASSERT_TRUE(t.start(dir, {}));
  // The command word, a folder (with "/"), a file in it; the line then runs.
  ASSERT_TRUE(t.type("conf\t"));
  ASSERT_TRUE(t.expect("igure "));
  ASSERT_TRUE(t.type("exa\t"));
  ASSERT_TRUE(t.expect("mples/"));
  ASSERT_TRUE(t.type("sample.c\t"));
  ASSERT_TRUE(t.expect("onf"));
  ASSERT_TRUE(t.type("\r"));
  ASSERT_TRUE(t.expect("Configuration items processed 27"));
  ASSERT_TRUE(t.prompt());
  // A link rate, then the command with it.
  ASSERT_TRUE(t.type("baud 3\t"));
  ASSERT_TRUE(t.expect("8400 "));
  ASSERT_TRUE(t.type("\r"));
  ASSERT_TRUE(t.expect("Error: must be Connected before changing the Baud!"));
  ASSERT_TRUE(t.prompt());
  // Four commands begin with d: the first Tab cannot choose, the second lists them.
  ASSERT_TRUE(t.type("d\t\t"));
  ASSERT_TRUE(t.expect("dconfigure  disconnect  download    drules"));
  ASSERT_TRUE(t.type("\x15" "exit\r"));  // Ctrl-U clears the line first
  prog_result r = t.finish();
  EXPECT_EQ(r.exit_code, 0) << t.pty.seen;
}

TEST(ShellTerminal, HistoryKeptAcrossRuns) {
  NEEDS_EDITOR();
  // No XDG_STATE_HOME: the history goes under ~/.local/state, made as needed.
  const std::string home = scratch_dir("term_history");
  const std::string file = home + "/.local/state/tovhost/history";
  unlink(file.c_str());
  {
    terminal_run t;
    ASSERT_TRUE(t.start(home, {}));
    // Kept: angles, help once (twice in a row), exit. Not kept: "." and empty lines.
    for (const char* line : {"angles\r", "help\r", "help\r", ".\r", "\r", "  \r"}) {
      ASSERT_TRUE(t.type(line));
      ASSERT_TRUE(t.prompt()) << line;
    }
    ASSERT_TRUE(t.type("exit\r"));
    EXPECT_EQ(t.finish().exit_code, 0);
  }
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  terminal_run t;
  ASSERT_TRUE(t.start(home, {}));
  // Up three times: exit, help, angles.
  ASSERT_TRUE(t.type("\x1b[A\x1b[A\x1b[A\r"));
  ASSERT_TRUE(t.expect("DMC format"));
  ASSERT_TRUE(t.prompt());
  ASSERT_TRUE(t.type("x\r"));
  EXPECT_EQ(t.finish().exit_code, 0);
}

TEST(ShellTerminal, AnswersAreNotCommandLines) {
  NEEDS_EDITOR();
  const std::string dir = scratch_dir("term_answers");
  terminal_run t;
  ASSERT_TRUE(t.start(dir, {"XDG_STATE_HOME=" + dir + "/state"}));
  const std::string q = "Do you want to continue (n or y)? [n]: ";
  const std::string no = "Tovarelink Firmware will NOT be updated!";
  ASSERT_TRUE(t.type("firmware 3 fw.hex\r"));
  ASSERT_TRUE(t.expect(q));
  // The question is read in the terminal's own mode, as it was found.
  EXPECT_TRUE(same_modes(t.now(), t.before));
  ASSERT_TRUE(t.type("no\r"));
  ASSERT_TRUE(t.expect(no));
  ASSERT_TRUE(t.prompt());
  // Up gives the firmware line again, not the answer.
  ASSERT_TRUE(t.type("\x1b[A\r"));
  ASSERT_TRUE(t.expect(q));
  // The answer takes 39 characters; the rest of its line is the next command line.
  ASSERT_TRUE(t.type("no" + std::string(37, 'a') + "helpme\r"));
  ASSERT_TRUE(t.expect(no));
  ASSERT_TRUE(t.expect("Error: unknown command: helpme"));
  ASSERT_TRUE(t.prompt());
  ASSERT_TRUE(t.type("exit\r"));
  EXPECT_EQ(t.finish().exit_code, 0) << t.pty.seen;
}

TEST(ShellTerminal, LongLineReadInPiecesAsFromAPipe) {
  NEEDS_EDITOR();
  const std::string dir = scratch_dir("term_long");
  terminal_run t;
  ASSERT_TRUE(t.start(dir, {"XDG_STATE_HOME=" + dir + "/state"}));
  // 300 characters: a piece of 255, then one of 45 after a prompt of its own.
  ASSERT_TRUE(t.type(std::string(300, 'z') + "\r"));
  ASSERT_TRUE(t.expect("Error: unknown command: " + std::string(255, 'z') + "\r\n"));
  ASSERT_TRUE(t.expect(P + "\a\aError: unknown command: " + std::string(45, 'z') + "\r\n" + P));
  ASSERT_TRUE(t.type("exit\r"));
  EXPECT_EQ(t.finish().exit_code, 0);
}

// However the program ends, the terminal is left in the modes it had.
TEST(ShellTerminal, TerminalModesGivenBack) {
  struct ending {
    const char* name;
    const char* keys;  // typed at the prompt
    int signal;        // then sent, or 0
    int exit_code;
  };
  const ending endings[] = {
      {"exit", "exit\r", 0, 0},
      {"Ctrl-D", "\x04", 0, 1},
      {"SIGTERM", "hel", SIGTERM, -1},
      {"SIGINT", "hel", SIGINT, -1},
      {"SIGHUP", "hel", SIGHUP, -1},
  };
  const std::string dir = scratch_dir("term_modes");
  for (const ending& e : endings) {
    terminal_run t;
    // A trace is kept, so that the editor passes the signal on to its handler.
    const std::string trace = dir + "/" + e.name + ".trace";
    std::remove(trace.c_str());
    ASSERT_TRUE(t.start(dir, {"XDG_STATE_HOME=" + dir + "/state"}, {"-t", trace})) << e.name;
    ASSERT_TRUE(t.type(e.keys)) << e.name;
    if (e.signal != 0) {
      ASSERT_TRUE(t.expect("hel")) << e.name;
#ifdef TOVHOST_HAS_EDITOR
      // The editor holds the terminal in its own mode while the line is edited.
      EXPECT_EQ(t.now().c_lflag & ICANON, 0u) << e.name;
#endif
      kill(t.pid, e.signal);
    }
    prog_result r = t.finish();
    EXPECT_FALSE(r.timed_out) << e.name;
    EXPECT_EQ(r.exit_code, e.exit_code) << e.name;
    EXPECT_EQ(r.term_signal, e.signal) << e.name;
    EXPECT_TRUE(same_modes(t.now(), t.before)) << e.name;
    const std::string text = read_file(trace);
    const size_t ended = text.find(" ended by signal ");
    if (e.signal != 0) {
      EXPECT_EQ(text.substr(ended == std::string::npos ? 0 : ended), " ended by signal " + std::to_string(e.signal) + "\n")
          << e.name;
    } else {
      EXPECT_EQ(ended, std::string::npos) << e.name;
      EXPECT_NE(text.find(" trace started "), std::string::npos) << e.name;
    }
    if (e.exit_code == 1) {
      // End of input: a newline after the prompt, as from a pipe.
      EXPECT_EQ(t.pty.seen.substr(t.pty.seen.size() - P.size() - 2), P + "\r\n") << e.name;
    }
  }
}

TEST(ShellTerminal, UnusableHistoryWarnsOnceAndWorksOn) {
  NEEDS_EDITOR();
  const std::string dir = scratch_dir("term_nohistory");
  // The state folder is a plain file; the history file is a folder; the
  // history file is a symbolic link, to another file or to none.
  write_file(dir + "/plain", "x\n");
  mkdir((dir + "/state").c_str(), 0700);
  mkdir((dir + "/state/tovhost").c_str(), 0700);
  mkdir((dir + "/state/tovhost/history").c_str(), 0700);
  const std::string other = write_file(dir + "/other", "someone else's\n");
  chmod(other.c_str(), 0644);
  for (const char* link : {"/linked", "/dangling"}) {
    mkdir((dir + link).c_str(), 0700);
    mkdir((dir + link + "/tovhost").c_str(), 0700);
  }
  ASSERT_EQ(symlink(other.c_str(), (dir + "/linked/tovhost/history").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/made").c_str(), (dir + "/dangling/tovhost/history").c_str()), 0);
  for (const std::string& state : {dir + "/plain", dir + "/state", dir + "/linked", dir + "/dangling"}) {
    terminal_run t;
    ASSERT_TRUE(t.start(dir, {"XDG_STATE_HOME=" + state})) << state;
    for (const char* line : {"help\r", "angles\r", "angles\r"}) {
      ASSERT_TRUE(t.type(line));
      ASSERT_TRUE(t.prompt()) << state << line;
    }
    ASSERT_TRUE(t.type("\x1b[A\r"));  // the history of the session still works
    ASSERT_TRUE(t.expect("DMC format"));
    ASSERT_TRUE(t.prompt());
    ASSERT_TRUE(t.type("exit\r"));
    EXPECT_EQ(t.finish().exit_code, 0) << state;
    EXPECT_EQ(count_of(t.pty.seen, "Warning: command history not kept"), 1u) << state << t.pty.seen;
  }
  // Neither link was followed.
  struct stat st {};
  EXPECT_EQ(read_file(other), "someone else's\n");
  EXPECT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_NE(access((dir + "/made").c_str(), F_OK), 0);
}
