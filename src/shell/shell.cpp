#include "shell/shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "console/console.h"
#include "device/link.h"
#include "serial/serial.h"
#include "shell/editor.h"
#include "text/lines.h"
#include "text/numbers.h"
#include "text/words.h"

namespace {

constexpr const char* SHELL_VERSION = "Version 2.7";

constexpr const char* SHELL_PROMPT = "Command> ";

char prev_line[SHELL_LINE_SIZE];
char command_word[SHELL_WORD_SIZE];

// Command lines come from the line editor (an operator at a terminal) or
// plainly from standard input.
bool editing = false;
// What is left of a line typed in the editor. It is handed out in the pieces
// the plain reader makes of a long line, each after a prompt of its own.
const char* typed_rest = nullptr;
size_t typed_left = 0;

}  // namespace

char shell_line[SHELL_LINE_SIZE];

const long link_bauds[5] = {4800, 9600, 19200, 38400, 57600};

int shell_match(const char* word) { return txt_match(word, command_table, &command_entry::name); }

void show_help() {
  long def = conf_default_baud();
  std::printf("\n\t\tCommand Summary:\n%-10s %-20s %s\n", "Command", "Arguments", "Comments");
  for (const command_entry& row : command_table) {
    if (row.shown == 0) continue;
    std::printf("%-10s %-20s %s\n", row.name, row.args, row.comment);
    if (row.id != CMD_BAUD) continue;
    std::printf("%-10s Valid Baud Rates:\t", "");
    for (long b : link_bauds) std::printf(b == def ? "[%ld] " : "%ld ", b);
    std::printf("\n\n");
  }
}

char* shell_take(shell_args& a, const char* seps) { return txt_word(&a.next, seps, TXT_END_NULLPTR); }

long shell_atol(const char* word) {
  // Results are printed with %d: they stay within int, the same bound for
  // both signs.
  constexpr long long cap = 2147483647;
  return static_cast<long>(txt_int(word, 10, -cap, cap));
}

namespace {

// Runs the handler of the row: 0, SHELL_FAILED or SHELL_END.
int dispatch(const command_entry& row, shell_args& a) {
  if (row.handler == nullptr) {
    std::printf("\a\aInternal Error: command %d is invalid!\n", row.id);
    return SHELL_FAILED;
  }
  const int status = row.handler(a);
  if (status == SHELL_END) return status;
  // A port lost under a command (a vanished device) leaves no link behind,
  // and the command failed, whatever its handler made of it.
  if (link_state.connected == 1 && !port_is_open()) {
    dev_drop_link();
    return SHELL_FAILED;
  }
  return status;
}

// The -c lines not yet run, and how far the current one has been read.
const char* const* source_lines = nullptr;
int source_count = 0;
int source_index = 0;
const char* source_at = nullptr;  // rest of the current line; nullptr: take the next
std::string source_text;          // the current line and its line feed

// The next command line from the line editor, as the plain reader would
// give it: at most size - 1 characters, the line feed kept when it fits.
char* edit_command_line(char* buf, int size) {
  if (typed_left == 0) {
    const int n = edit_line(SHELL_PROMPT, &typed_rest);
    if (n < 0) return nullptr;
    typed_left = static_cast<size_t>(n);
  } else {
    std::printf("%s", SHELL_PROMPT);
  }
  size_t used = 0;
  if (txt_text_line(typed_rest, typed_left, &used, buf, size, TXT_KEEP_LF) < 0) buf[0] = '\0';
  typed_rest += used;
  typed_left -= used;
  return buf;
}

// Shows the prompt and reads one line from where the commands come from: the
// -c lines, the line editor, or standard input. -c lines are shown after the
// prompt, as typing shows them.
char* read_command_line(char* buf, int size) {
  if (source_count == 0 && editing) return edit_command_line(buf, size);
  std::printf("%s", SHELL_PROMPT);
  if (source_count == 0) {
    return con_fgets(buf, size, stdin);
  }
  char* line = shell_source_next(buf, size);
  if (line != nullptr) {
    std::fputs(line, stdout);
    if (line[std::strlen(line) - 1] != '\n') std::fputs("\n", stdout);
  }
  return line;
}

}  // namespace

int shell_line_step(int* status) {
  if (status != nullptr) *status = 0;
  if (shell_line[0] == '\n') return 0;
  shell_line[std::strcspn(shell_line, "\n")] = '\0';
  if (shell_line[0] == '.') {
    std::memcpy(shell_line, prev_line, SHELL_LINE_SIZE);
  } else {
    std::memcpy(prev_line, shell_line, SHELL_LINE_SIZE);
  }
  shell_args a{shell_line};
  char* word = shell_take(a, SHELL_WORD_SEPS);
  if (word == nullptr) return 0;
  // A word too long for the command word buffer can match no name: it is
  // reported whole as unknown.
  const char* shown = word;
  int row = SHELL_UNKNOWN;
  if (std::strlen(word) < SHELL_WORD_SIZE) {
    std::snprintf(command_word, sizeof command_word, "%s", word);
    shown = command_word;
    row = shell_match(command_word);
  }
  int rc = SHELL_FAILED;
  if (row == SHELL_UNKNOWN) {
    std::printf("\a\aError: unknown command: %s\n", shown);
  } else if (row == SHELL_AMBIGUOUS) {
    std::printf("\a\aError: ambiguous command: %s\n", shown);
  } else {
    rc = dispatch(command_table[row], a);
    if (rc == SHELL_END) return 1;
  }
  if (status != nullptr) *status = rc;
  return 0;
}

void shell_source_set(const char* const* lines, int count) {
  source_lines = lines;
  source_count = lines != nullptr && count > 0 ? count : 0;
  source_index = 0;
  source_at = nullptr;
}

char* shell_source_next(char* buf, int size) {
  if (buf == nullptr || size < 2) return nullptr;
  if (source_at == nullptr) {
    if (source_index >= source_count) return nullptr;
    // Read as standard input would give it: the text ended by a line feed.
    source_text = source_lines[source_index++];
    if (source_text.empty() || source_text.back() != '\n') source_text += '\n';
    source_at = source_text.c_str();
  }
  size_t used = 0;
  const size_t left = std::strlen(source_at);
  txt_text_line(source_at, left, &used, buf, size, TXT_KEEP_LF);
  source_at = used < left ? source_at + used : nullptr;
  return buf;
}

namespace {

// The command loop: lines are read and run until exit or the end of input.
int run_lines(const shell_settings& settings) {
  for (;;) {
    // The end of the -c lines is an exit: no prompt is left waiting.
    if (source_count > 0 && source_at == nullptr && source_index >= source_count) return 0;
    if (read_command_line(shell_line, SHELL_LINE_SIZE) == nullptr) {
      std::printf("\n");
      // With -e the end of input, reached without a failure, is a success.
      return settings.exit_on_error ? 0 : 1;
    }
    int status = 0;
    if (shell_line_step(&status) != 0) return 0;
    if (settings.line_done != nullptr) settings.line_done(status);
    if (status != 0 && settings.exit_on_error) return 1;
  }
}

}  // namespace

int shell_run(const shell_settings& settings) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::printf("Tovarelink PC Host Digi Utility %s\n", SHELL_VERSION);
  conf_default();
  show_help();
  std::printf("\n");
  shell_source_set(settings.commands, settings.command_count);
  // The editor serves an operator at a terminal, never the -c lines.
  editing = source_count == 0 && edit_open() == EDIT_OK;
  const int rc = run_lines(settings);
  if (editing) edit_close();
  return rc;
}
