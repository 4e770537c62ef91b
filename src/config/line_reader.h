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
// Reads the next piece of a line into line_buf (txt_read_line: at most 255
// characters, a CR LF end read as a line feed wherever it falls, the line
// feed removed) and copies it into line_copy. Returns the number of bytes kept
// (NUL bytes included), or -1 at the end of the file or on a read error (a
// piece cut short by the error is dropped; std::ferror tells the two apart).
int line_read(FILE* f);
