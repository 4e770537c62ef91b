#include "shell/shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "angles/angles.h"
#include "config/config.h"
#include "rules/rules.h"

namespace {

constexpr const char* SHELL_VERSION = "Version 2.7";

char prev_line[SHELL_LINE_SIZE];
char command_word[SHELL_WORD_SIZE];

}  // namespace

char shell_line[SHELL_LINE_SIZE];

const command_entry command_table[SHELL_ROWS] = {
    {1, CMD_HELP, "help", "", "Displays this summary (alias ?)"},
    {0, CMD_HELP, "?", "", "Displays this summary"},
    {1, CMD_REPEAT, ".", "", "Repeats the previous command"},
    {1, CMD_ANGLES, "angles", "", "Displays the Angles format used for Lat and Lon"},
    {1, CMD_BAUD, "baud", "baud", "Changes the baud rates on host and Tovarelink\n\t\t\t\tonce connected. Default [ ]"},
    {1, CMD_CONFIGURE, "configure", "file_name", "Reads a Configuration file"},
    {1, CMD_DCONFIGURE, "dconfigure", "", "Displays the Configuration"},
    {1, CMD_RULES, "rules", "file_name", "Reads a Rules file"},
    {1, CMD_DRULES, "drules", "", "Displays the Rules"},
    {1, CMD_CONNECT, "connect", "com_port [baud]",
     "Connect to Tovarelink at optional baud\n\t\t\t\t(8 bits No Parity 1 Stop)"},
    {1, CMD_DISCONNECT, "disconnect", "", "Disconnect from the Tovarelink"},
    {1, CMD_DOWNLOAD, "download", "", "Download Configuration and Rules to Tovarelink"},
    {1, CMD_FIRMWARE, "firmware", "com_port file_name", "Update Tovarelink firmware from firmware file"},
    {1, CMD_SERIALTEST, "serialtest", "iterations", "Serial data test for the specified iterations"},
    {1, CMD_EXIT, "exit", "", "Exits this program (aliases quit, x)"},
    {0, CMD_EXIT, "quit", "", "Same as exit"},
    {0, CMD_EXIT, "x", "", "Same as exit"},
};

const long link_bauds[5] = {4800, 9600, 19200, 38400, 57600};

int shell_match(const char* word) {
  size_t len = std::strlen(word);
  int found = SHELL_UNKNOWN;
  for (int row = 0; row < SHELL_ROWS; ++row) {
    const char* name = command_table[row].name;
    if (len > std::strlen(name) || strncasecmp(word, name, len) != 0) continue;
    if (found != SHELL_UNKNOWN) return SHELL_AMBIGUOUS;
    found = row;
  }
  return found;
}

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

char* shell_take(shell_args& a, const char* seps) {
  char* p = a.next;
  if (p == nullptr) return nullptr;
  p += std::strspn(p, seps);
  if (*p == '\0') {
    a.next = nullptr;
    return nullptr;
  }
  char* end = p + std::strcspn(p, seps);
  if (*end == '\0') {
    a.next = nullptr;
  } else {
    *end = '\0';
    a.next = end + 1;
  }
  return p;
}

long shell_atol(const char* word) {
  const char* p = word;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = (*p++ == '-');
  long v = 0;
  constexpr long cap = 2147483647L;  // results are printed with %d: keep them in int range
  for (; *p >= '0' && *p <= '9'; ++p) {
    const long digit = *p - '0';
    v = v > (cap - digit) / 10 ? cap : v * 10 + digit;
  }
  return neg ? -v : v;
}

namespace {

void dispatch(int id, shell_args& a) {
  switch (id) {
    case CMD_HELP: show_help(); break;
    case CMD_ANGLES: std::printf("%s\n", angles_help); break;
    case CMD_CONFIGURE: cmd_configure(a); break;
    case CMD_DCONFIGURE: conf_display(); break;
    case CMD_RULES: cmd_rules(a); break;
    case CMD_DRULES: rules_display(); break;
    case CMD_CONNECT: cmd_connect(a); break;
    case CMD_DISCONNECT: cmd_disconnect(a); break;
    case CMD_BAUD: cmd_baud(a); break;
    case CMD_DOWNLOAD: cmd_download(a); break;
    case CMD_FIRMWARE: cmd_firmware(a); break;
    case CMD_SERIALTEST: cmd_serialtest(a); break;
    default: std::printf("\a\aInternal Error: command %d is invalid!\n", id); break;
  }
}

}  // namespace

int shell_line_step() {
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
  if (row == SHELL_UNKNOWN) {
    std::printf("\a\aError: unknown command: %s\n", shown);
  } else if (row == SHELL_AMBIGUOUS) {
    std::printf("\a\aError: ambiguous command: %s\n", shown);
  } else if (command_table[row].id == CMD_EXIT) {
    return 1;
  } else {
    dispatch(command_table[row].id, a);
  }
  return 0;
}

int shell_run() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::printf("Tovarelink PC Host Digi Utility %s\n", SHELL_VERSION);
  conf_default();
  show_help();
  std::printf("\n");
  for (;;) {
    std::printf("Command> ");
    if (std::fgets(shell_line, SHELL_LINE_SIZE, stdin) == nullptr) {
      std::printf("\n");
      return 1;
    }
    if (shell_line_step() != 0) return 0;
  }
}
