// Line reading shared by the configuration and rules file readers.
#pragma once
#include <cstdio>

constexpr int LINE_BUF_SIZE = 256;

extern char line_buf[LINE_BUF_SIZE];   // the line being read (255 characters and NUL)
extern char line_copy[LINE_BUF_SIZE];  // copy of the current line without its line end

// Opens a file for reading; nullptr when it cannot be opened or names a directory.
FILE* line_open(const char* path);
// Reads the next piece of at most 255 characters (up to and including a line
// feed) into line_buf, removes the line feed and a carriage return before it,
// and copies the result into line_copy. Returns the number of bytes kept
// (NUL bytes included), or -1 at the end of the file or on a read error.
int line_read(FILE* f);
