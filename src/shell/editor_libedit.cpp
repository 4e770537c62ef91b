// Line editing at the prompt with libedit (BSD editline): emacs keys unless
// ~/.editrc says otherwise, a history kept across runs, completion with Tab.
#include <fcntl.h>
#include <histedit.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "shell/completion.h"
#include "shell/editor.h"
#include "text/home.h"

namespace {

constexpr int EDIT_HISTORY_LINES = 1000;

EditLine* editor = nullptr;
History* history_list = nullptr;
termios saved_tty{};
volatile sig_atomic_t tty_saved = 0;

std::string history_path;  // empty while the history is not kept across runs
const char* prompt_text = "";
std::string last_tab_line;  // the line as the last Tab that left several choices saw it

// Keys bound before ~/.editrc is read, so that it may change them.
constexpr const char* edit_keys[][2] = {
    {"^I", "tovhost-complete"},       {"^R", "em-inc-search-prev"},     {"^W", "ed-delete-prev-word"},
    {"\\e[1~", "ed-move-to-beg"},     {"\\e[4~", "ed-move-to-end"},     {"\\e[H", "ed-move-to-beg"},
    {"\\e[F", "ed-move-to-end"},      {"\\eOH", "ed-move-to-beg"},      {"\\eOF", "ed-move-to-end"},
    {"\\e[3~", "ed-delete-next-char"}, {"\\e[1;5D", "ed-prev-word"},    {"\\e[1;5C", "em-next-word"},
};

// Signals that end the program while a line is edited.
constexpr int edit_fatal_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

const char* edit_prompt(EditLine*) { return prompt_text; }

void tty_restore(int when) {
  if (tty_saved) tcsetattr(STDIN_FILENO, when, &saved_tty);
}

// The handlers found before the editor's (the trace's, say), by signal.
struct sigaction edit_previous[std::size(edit_fatal_signals)];

// libedit's own handler runs first while a line is edited (it sets what it
// takes for the normal mode) and then passes the signal on to this one, which
// puts back the modes the terminal had and passes it on to the handler found
// before, or ends the program by the signal.
void edit_signal(int sig) {
  tty_restore(TCSANOW);
  for (size_t i = 0; i < std::size(edit_fatal_signals); ++i) {
    const struct sigaction& before = edit_previous[i];
    if (edit_fatal_signals[i] == sig && (before.sa_flags & SA_SIGINFO) == 0 && before.sa_handler != SIG_DFL &&
        before.sa_handler != SIG_IGN && before.sa_handler != edit_signal) {
      before.sa_handler(sig);
      return;
    }
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void edit_catch(int sig) {
  struct sigaction old {};
  if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN || old.sa_handler == edit_signal) return;
  for (size_t i = 0; i < std::size(edit_fatal_signals); ++i)
    if (edit_fatal_signals[i] == sig) edit_previous[i] = old;
  struct sigaction sa {};
  sa.sa_handler = edit_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

// --- history file

// $XDG_STATE_HOME/tovhost/history, by default ~/.local/state/tovhost/history;
// empty when there is no home folder.
std::string history_file() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tovhost/history";
  const std::string h = txt_home();
  return h.empty() ? "" : h + "/.local/state/tovhost/history";
}

// Creates the folders above `file` that are missing. 0, or the errno.
int make_folders(const std::string& file) {
  for (size_t i = file.find('/', 1); i != std::string::npos; i = file.find('/', i + 1)) {
    const std::string dir = file.substr(0, i);
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      return ENOTDIR;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// The one warning of a session whose history cannot be kept; the editor and
// the history of the session go on.
void history_give_up(const std::string& why) {
  std::fprintf(stderr, "Warning: command history not kept: %s\n", why.c_str());
  history_path.clear();
}

void history_give_up(const char* what, const std::string& path, const char* why) {
  history_give_up(std::string(what) + " " + path + ": " + why);
}

void history_load() {
  history_path = history_file();
  if (history_path.empty()) {
    history_give_up("no home folder");
    return;
  }
  if (int err = make_folders(history_path); err != 0) {
    history_give_up("cannot create the folder of", history_path, std::strerror(err));
    return;
  }
  // A symbolic link is not followed: the history would be written wherever
  // it leads (a file of someone else's choosing, created or overwritten).
  struct stat st {};
  if (lstat(history_path.c_str(), &st) != 0) {
    if (errno != ENOENT) history_give_up("cannot read", history_path, std::strerror(errno));
    return;
  }
  if (S_ISLNK(st.st_mode)) {
    history_give_up("cannot use", history_path, "a symbolic link");
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    history_give_up("cannot read", history_path, "not a regular file");
    return;
  }
  if (access(history_path.c_str(), R_OK | W_OK) != 0) {
    history_give_up("cannot use", history_path, std::strerror(errno));
    return;
  }
  HistEvent ev;
  if (history(history_list, &ev, H_LOAD, history_path.c_str()) < 0)
    history_give_up("cannot read", history_path, "not a history file");
}

// Writes the whole history (at most EDIT_HISTORY_LINES lines) over the file.
void history_save() {
  if (history_path.empty()) return;
  const int fd = open(history_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    history_give_up("cannot write", history_path, std::strerror(errno));
    return;
  }
  FILE* f = fdopen(fd, "w");
  if (f == nullptr) {
    const int err = errno;
    close(fd);
    history_give_up("cannot write", history_path, std::strerror(err));
    return;
  }
  HistEvent ev;
  const int n = history(history_list, &ev, H_SAVE_FP, f);
  const int save_err = errno;
  if (std::fclose(f) != 0) {
    history_give_up("cannot write", history_path, std::strerror(errno));
  } else if (n < 0) {
    history_give_up("cannot write", history_path, std::strerror(save_err));
  }
}

// Command lines are kept, except empty ones and those beginning with ".",
// which repeat the line before.
void history_add(const char* line, int len) {
  std::string s(line, static_cast<size_t>(len));
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  if (s.find_first_not_of(" \t") == std::string::npos || s[0] == '.') return;
  HistEvent ev;
  history(history_list, &ev, H_ENTER, s.c_str());
  history_save();
}

// --- completion

void list_choices(const std::vector<std::string>& names) {
  int cols = 0;
  if (el_get(editor, EL_GETTC, "co", &cols) != 0 || cols <= 0) cols = 80;
  size_t width = 0;
  for (const std::string& n : names) width = std::max(width, n.size() + 2);
  const size_t per_row = std::max<size_t>(1, static_cast<size_t>(cols) / width);
  const size_t rows = (names.size() + per_row - 1) / per_row;
  std::fputs("\n", stdout);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < per_row; ++c) {
      const size_t i = c * rows + r;
      if (i >= names.size()) break;
      const bool last = c + 1 == per_row || i + rows >= names.size();
      std::printf("%-*s", last ? 0 : static_cast<int>(width), names[i].c_str());
    }
    std::fputs("\n", stdout);
  }
}

// Tab: completes the word before the cursor as far as the choices agree; a
// second Tab where they part lists them.
unsigned char edit_complete(EditLine* e, int) {
  const LineInfo* li = el_line(e);
  const std::string line(li->buffer, static_cast<size_t>(li->cursor - li->buffer));
  cpl_result r;
  const int n = cpl_complete(line, r);
  if (n == 0) return CC_REFRESH_BEEP;
  const size_t word_len = line.size() - r.start;
  if (n == 1 || r.text.size() > word_len) {
    el_deletestr(e, static_cast<int>(word_len));
    if (el_insertstr(e, r.text.c_str()) != 0) return CC_REFRESH_BEEP;
    last_tab_line = n == 1 ? "" : line.substr(0, r.start) + r.text;
    return CC_REFRESH;
  }
  if (line != last_tab_line) {
    last_tab_line = line;
    return CC_REFRESH_BEEP;
  }
  list_choices(r.choices);
  return CC_REDISPLAY;
}

// The end-of-file key (Ctrl-D): on an empty line it ends the input as it does
// at a plain terminal, with nothing shown; elsewhere it deletes the character
// under the cursor.
unsigned char edit_delete_or_eof(EditLine* e, int) {
  const LineInfo* li = el_line(e);
  if (li->buffer == li->lastchar) return CC_EOF;
  if (li->cursor == li->lastchar) return CC_ERROR;
  el_cursor(e, 1);
  el_deletestr(e, 1);
  return CC_REFRESH;
}

// The key of termios c_cc as libedit writes it in a binding ("^D").
std::string key_name(cc_t c) {
  if (c == 127) return "^?";
  if (c < 32) return std::string("^") + static_cast<char>(c + 64);
  return std::string(1, static_cast<char>(c));
}

}  // namespace

int edit_open() {
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) return EDIT_NOT_TERMINAL;
  if (tcgetattr(STDIN_FILENO, &saved_tty) != 0) return EDIT_FAILED;
  // The questions read their answers with the standard reader. Unbuffered,
  // it takes no more than the answer's line from the terminal, and the rest
  // of a long answer comes to the next prompt as it does from a pipe.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  std::setlocale(LC_CTYPE, "");
  editor = el_init("tovhost", stdin, stdout, stderr);
  if (editor == nullptr) return EDIT_FAILED;
  tty_saved = 1;
  history_list = history_init();
  HistEvent ev;
  history(history_list, &ev, H_SETSIZE, EDIT_HISTORY_LINES);
  history(history_list, &ev, H_SETUNIQUE, 1);
  el_set(editor, EL_EDITOR, "emacs");
  el_set(editor, EL_SIGNAL, 1);
  el_set(editor, EL_PROMPT, edit_prompt);
  el_set(editor, EL_HIST, history, history_list);
  el_set(editor, EL_ADDFN, "tovhost-complete", "Complete the word before the cursor", edit_complete);
  el_set(editor, EL_ADDFN, "tovhost-delete-or-eof", "Delete the character under the cursor, or end the input",
         edit_delete_or_eof);
  for (const auto& key : edit_keys) el_set(editor, EL_BIND, key[0], key[1], nullptr);
  if (saved_tty.c_cc[VEOF] != _POSIX_VDISABLE)
    el_set(editor, EL_BIND, key_name(saved_tty.c_cc[VEOF]).c_str(), "tovhost-delete-or-eof", nullptr);
  el_source(editor, nullptr);  // ~/.editrc, as every libedit program reads it
  for (int sig : edit_fatal_signals) edit_catch(sig);
  history_load();
  return EDIT_OK;
}

int edit_line(const char* prompt, const char** text) {
  prompt_text = prompt;
  int count = 0;
  const char* s = el_gets(editor, &count);
  // A signal the program ignores (started with SIGINT ignored, say) still
  // interrupts libedit's read: the line is read anew, not taken as the end.
  while (s == nullptr && count < 0 && errno == EINTR) {
    std::fputs("\n", stdout);
    s = el_gets(editor, &count);
  }
  tty_restore(TCSADRAIN);
  if (s == nullptr || count <= 0) return -1;
  history_add(s, count);
  *text = s;
  return count;
}

// libedit's el_end is not called: it would discard what was typed ahead
// (TCSAFLUSH), which belongs to whatever reads the terminal next, and the
// program ends right after this anyway.
void edit_close() {
  tty_restore(TCSADRAIN);
  tty_saved = 0;
}
