// Intel HEX verification.
#pragma once
#include <cstdint>
#include <cstdio>

// Value of at most the first `n` characters of `text` read as hexadecimal.
int hexntoi(const char* text, int n);
// Sum modulo 256 of the byte pairs of `text`.
uint8_t inhexsum(const char* text);
// Checks every record line of an open text stream; the record count (>= 1)
// or -1 .. -7.
int inhexverify(FILE* file);

// Size of the line buffer of the HEX file readers: a line is taken in pieces
// of at most INHEX_LINE_SIZE - 1 characters, each counting as a line.
constexpr int INHEX_LINE_SIZE = 512;
// Reads the next piece of a HEX file (opened in binary mode) into `buf`: at
// most size - 1 characters, up to a line feed. A CR LF line end reads as LF,
// and the LF is removed. Returns the number of characters kept (NUL bytes
// included), or -1 at the end of the file.
int inhex_read_line(FILE* file, char* buf, int size);
