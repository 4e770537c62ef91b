// Line reading shared by the configuration and rules file readers.
#pragma once
#include <cstdio>

constexpr int LINE_BUF_SIZE = 256;

extern char line_buf[LINE_BUF_SIZE];   // the line being read (255 characters and NUL)
extern char line_copy[LINE_BUF_SIZE];  // copy of the current line without its line end

// Opens `path` for binary reading when it names a regular file
// (txt_open_regular). Otherwise prints "\a\aError: cannot open PATH\n" (no
// such file, no permission) or "\a\aError: cannot open PATH: not a regular
// file\n" (a directory, a device, a named pipe) and returns nullptr.
FILE* line_open(const char* path);
// Reads the next piece of at most 255 characters (up to and including a line
// feed) into line_buf, removes the line feed and a carriage return before it
// (also when the piece is full right after the carriage return),
// and copies the result into line_copy. Returns the number of bytes kept
// (NUL bytes included), or -1 at the end of the file or on a read error (a
// piece cut short by the error is dropped; std::ferror tells the two apart).
int line_read(FILE* f);
