// Line editing at the prompt: when standard input and output are both
// terminals (and the program was built with libedit), command lines are read
// through a line editor with history and completion. Otherwise command lines
// are read plainly and nothing here is used.
#pragma once

constexpr int EDIT_OK = 0;
constexpr int EDIT_NOT_TERMINAL = -1;  // input or output is not a terminal
constexpr int EDIT_NOT_BUILT = -2;     // built without a line editor
constexpr int EDIT_FAILED = -3;        // the editor could not be set up

// Starts the editor. EDIT_OK when command lines are read with edit_line from
// now on; otherwise they are read plainly. A history that cannot be kept
// costs one warning line on standard error, never the editor.
int edit_open();

// Shows `prompt` and reads one line. Returns its length with the newline, or
// -1 at the end of input (Ctrl-D on an empty line). `*text` stays valid until
// the next call. The terminal is back in the mode it had at edit_open when
// this returns.
int edit_line(const char* prompt, const char** text);

// Ends the editor and gives the terminal back as it was.
void edit_close();
