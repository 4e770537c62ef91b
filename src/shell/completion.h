// Completion of the word before the cursor at the prompt: command names for
// the first word, then by the command's arguments file names, serial devices
// or link rates. The line is split into words exactly as the command shell
// splits it, so what completes is what the command will take.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "shell/shell.h"

// What the word being completed is.
// The arguments are the kinds of the command table's rows.
constexpr int CPL_NOTHING = SHELL_ARG_NONE;  // an argument that does not complete (or none is taken)
constexpr int CPL_COMMAND = 1;               // the command word
constexpr int CPL_FILE = SHELL_ARG_FILE;     // a file name (blanks belong to it)
constexpr int CPL_PORT = SHELL_ARG_PORT;     // a serial port
constexpr int CPL_RATE = SHELL_ARG_RATE;     // a link rate

struct cpl_word {
  int kind = CPL_NOTHING;
  size_t start = 0;  // offset in the line where the word begins; it ends at the cursor
};

// The word that ends at the end of `line` (the text before the cursor).
cpl_word cpl_find(std::string_view line);

struct cpl_result {
  size_t start = 0;                  // the word [start, end of line) is replaced ...
  std::string text;                  // ... by this text
  std::vector<std::string> choices;  // what a listing shows when more than one candidate is left
};

// Completes the last word of `line` (the text before the cursor). Returns the
// number of candidates: 0 (nothing to do), 1 (`text` is the whole word, with
// a blank after it where another argument may follow), or more (`text` is the
// longest beginning they share, `choices` their names sorted).
int cpl_complete(std::string_view line, cpl_result& r);
