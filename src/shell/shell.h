// The command shell: start-up, the command loop, the command table with its
// prefix matching and help, and the handlers of every command.
#pragma once
#include <cstdint>

constexpr int SHELL_LINE_SIZE = 256;   // 255 characters and NUL
constexpr int SHELL_WORD_SIZE = 40;    // command word: 39 characters and NUL
constexpr int SHELL_UNKNOWN = -1;    // as TXT_UNKNOWN
constexpr int SHELL_AMBIGUOUS = -2;  // as TXT_AMBIGUOUS

// Row of the command table that `word` selects, or SHELL_UNKNOWN / SHELL_AMBIGUOUS.
int shell_match(const char* word);
// Prints the command summary.
void show_help();
// What a command handler returns: 0 when the command succeeded,
// SHELL_FAILED when it did not do what it was asked (its messages say why),
// SHELL_END when it ends the program.
constexpr int SHELL_FAILED = -1;
constexpr int SHELL_END = 1;

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
  // Called after each command line is handled, with its status (0, or
  // SHELL_FAILED): a front end that shows each command's result (the browser
  // page) learns here that the command is over. nullptr: nobody is told.
  void (*line_done)(int status) = nullptr;
};

// Runs the shell. Without -c lines: until exit (returns 0) or the end of
// standard input (returns 1). With -c lines: until they are done (returns 0)
// or exit. With exit_on_error: a failed command returns 1 at once, and the
// end of the commands returns 0.
int shell_run(const shell_settings& settings);

// The whole program behind main(): the command-line options, then --help,
// --version, --list-ports or the shell with its trace. Returns the exit
// status. `line_done` as in shell_settings.
int shell_main(int argc, char** argv, void (*line_done)(int status));

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

// What a command's arguments are, in order, for completion at the prompt.
enum shell_arg_kind : int {
  SHELL_ARG_NONE = 0,  // none, or one that does not complete
  SHELL_ARG_FILE = 2,  // a file name (blanks belong to it)
  SHELL_ARG_PORT = 3,  // a serial port
  SHELL_ARG_RATE = 4,  // a link rate
};

// Command handlers (the rest of the line in `a`): 0, SHELL_FAILED or SHELL_END.
using shell_handler = int (*)(shell_args& a);
int cmd_help(shell_args& a);
int cmd_angles(shell_args& a);
int cmd_configure(shell_args& a);
int cmd_dconfigure(shell_args& a);
int cmd_rules(shell_args& a);
int cmd_drules(shell_args& a);
int cmd_connect(shell_args& a);
int cmd_disconnect(shell_args& a);
int cmd_baud(shell_args& a);
int cmd_download(shell_args& a);
int cmd_firmware(shell_args& a);
int cmd_serialtest(shell_args& a);
int cmd_exit(shell_args& a);

// Command numbers that code refers to: help prints the valid rates after the
// baud row, and the serial test is handed its own number and checks it.
constexpr int CMD_BAUD = 5, CMD_REPEAT = 33, CMD_SERIALTEST = 42;

// One row of the command table: everything about one command word. Several
// rows may share a number and a handler (aliases); help lists the shown rows.
struct command_entry {
  int32_t shown;             // nonzero: help lists the row
  int32_t id;                // the command number
  const char* name;          // the command word
  const char* args;          // the arguments as help shows them
  const char* comment;       // help's comment (may hold line breaks and tabs)
  shell_arg_kind kinds[2];   // the arguments, for completion
  shell_handler handler;     // nullptr: none (an internal error if reached)
};

// The command table, in the order of help and of the matching. Adding a
// command is one row here and its handler (and its line in the manual page,
// which test_man_page checks).
inline constexpr command_entry command_table[] = {
    {1, 22, "help", "", "Displays this summary (alias ?)", {}, cmd_help},
    {0, 22, "?", "", "Displays this summary", {}, cmd_help},
    {1, CMD_REPEAT, ".", "", "Repeats the previous command", {}, nullptr},  // the loop repeats the line itself
    {1, 26, "angles", "", "Displays the Angles format used for Lat and Lon", {}, cmd_angles},
    {1, CMD_BAUD, "baud", "baud", "Changes the baud rates on host and Tovarelink\n\t\t\t\tonce connected. Default [ ]",
     {SHELL_ARG_RATE}, cmd_baud},
    {1, 28, "configure", "file_name", "Reads a Configuration file", {SHELL_ARG_FILE}, cmd_configure},
    {1, 23, "dconfigure", "", "Displays the Configuration", {}, cmd_dconfigure},
    {1, 29, "rules", "file_name", "Reads a Rules file", {SHELL_ARG_FILE}, cmd_rules},
    {1, 24, "drules", "", "Displays the Rules", {}, cmd_drules},
    {1, 30, "connect", "com_port [baud]", "Connect to Tovarelink at optional baud\n\t\t\t\t(8 bits No Parity 1 Stop)",
     {SHELL_ARG_PORT, SHELL_ARG_RATE}, cmd_connect},
    {1, 31, "disconnect", "", "Disconnect from the Tovarelink", {}, cmd_disconnect},
    {1, 0, "download", "", "Download Configuration and Rules to Tovarelink", {}, cmd_download},
    {1, 1, "firmware", "com_port file_name", "Update Tovarelink firmware from firmware file",
     {SHELL_ARG_PORT, SHELL_ARG_FILE}, cmd_firmware},
    {1, CMD_SERIALTEST, "serialtest", "iterations", "Serial data test for the specified iterations", {},
     cmd_serialtest},
    {1, 8, "exit", "", "Exits this program (aliases quit, x)", {}, cmd_exit},
    {0, 8, "quit", "", "Same as exit", {}, cmd_exit},
    {0, 8, "x", "", "Same as exit", {}, cmd_exit},
};
constexpr int SHELL_ROWS = static_cast<int>(sizeof command_table / sizeof command_table[0]);

extern const long link_bauds[5];

// The input line, which the download questions also read their answers into.
extern char shell_line[SHELL_LINE_SIZE];
