// The command shell: start-up, the command loop, the command table with its
// prefix matching and help, and the handlers of every command.
#pragma once
#include <cstdint>

constexpr int SHELL_LINE_SIZE = 256;   // 255 characters and NUL
constexpr int SHELL_WORD_SIZE = 40;    // command word: 39 characters and NUL
constexpr int SHELL_ROWS = 17;

// Command numbers.
constexpr int CMD_DOWNLOAD = 0, CMD_FIRMWARE = 1, CMD_BAUD = 5, CMD_EXIT = 8, CMD_HELP = 22,
              CMD_DCONFIGURE = 23, CMD_DRULES = 24, CMD_ANGLES = 26, CMD_CONFIGURE = 28, CMD_RULES = 29,
              CMD_CONNECT = 30, CMD_DISCONNECT = 31, CMD_REPEAT = 33, CMD_SERIALTEST = 42;

struct command_entry {
  int32_t shown;
  int32_t id;
  const char* name;
  const char* args;
  const char* comment;
};

extern const command_entry command_table[SHELL_ROWS];
extern const long link_bauds[5];

constexpr int SHELL_UNKNOWN = -1;    // as TXT_UNKNOWN
constexpr int SHELL_AMBIGUOUS = -2;  // as TXT_AMBIGUOUS

// Row of the command table that `word` selects, or SHELL_UNKNOWN / SHELL_AMBIGUOUS.
int shell_match(const char* word);
// Prints the command summary.
void show_help();
// What a command handler returns when the command failed (0: it succeeded).
constexpr int SHELL_FAILED = -1;

// Handles the line in shell_line as the loop does (empty line, repeat rule,
// matching, dispatch). 1 when the command ends the program, else 0. When
// `status` is given it receives SHELL_FAILED for a line whose command failed
// (an unknown or ambiguous word included), else 0.
int shell_line_step(int* status = nullptr);

// How the program was started (the command-line options that reach the shell).
struct shell_settings {
  const char* const* commands;  // -c lines, run in place of standard input
  int command_count;            // 0: commands come from standard input
  bool exit_on_error;           // -e: the first failed command ends the run
};

// Runs the shell. Without -c lines: until exit (returns 0) or the end of
// standard input (returns 1). With -c lines: until they are done (returns 0)
// or exit. With exit_on_error: a failed command returns 1 at once, and the
// end of the commands returns 0.
int shell_run(const shell_settings& settings);

// The source of command lines: the next -c line (or the next piece of a
// line longer than 255 characters, as standard input would give it) into
// `buf`, ended by a line feed; nullptr when they are used up. Resets with
// shell_source_set.
void shell_source_set(const char* const* lines, int count);
char* shell_source_next(char* buf, int size);

// Argument taking, shared by every handler: the rest of the current line is
// consumed word by word, each call continuing where the previous word ended.
constexpr const char* SHELL_WORD_SEPS = ", \t";  // ordinary argument
constexpr const char* SHELL_FILE_SEPS = ",\t";   // file name: blanks belong to it

struct shell_args {
  char* next;  // where the next word begins; nullptr once the line is used up
};
// Splits off the next word with `seps` as separators, like the standard
// tokeniser: leading separators are skipped, the separator that ends the word
// is replaced by NUL. nullptr when no word is left.
char* shell_take(shell_args& a, const char* seps);

// Decimal reading of a word as the standard atol does (leading blanks, sign,
// digits up to the first other character, no digits give 0), saturating
// instead of overflowing.
long shell_atol(const char* word);
// Port word to port name: "3", "com3", "COM12" give "COMn" (1..20); a word
// that is a device path on this system (port_is_path) is taken as it is. 0,
// or -1 when invalid (the message is printed).
int shell_port_name(const char* word, char* out, int cap);
// True when `baud` is one of link_bauds.
bool shell_link_baud(long baud);

// Command handlers (the rest of the line in `a`): 0, or SHELL_FAILED when
// the command did not do what it was asked (its messages say why).
int cmd_configure(shell_args& a);
int cmd_rules(shell_args& a);
int cmd_connect(shell_args& a);
int cmd_disconnect(shell_args& a);
int cmd_baud(shell_args& a);
int cmd_download(shell_args& a);
int cmd_firmware(shell_args& a);
int cmd_serialtest(shell_args& a);

// The input line, which the download questions also read their answers into.
extern char shell_line[SHELL_LINE_SIZE];
