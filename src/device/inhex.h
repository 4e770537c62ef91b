// Intel HEX verification.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Value of at most the first `n` characters of `text` read as hexadecimal.
int hexntoi(const char* text, int n);
// Sum modulo 256 of the byte pairs of `text`.
uint8_t inhexsum(const char* text);
// Checks every record line of an open binary stream from its start; the
// record count (>= 1) or -1 .. -16: -1 no stream, -2 checksum, -3 type, -4
// record length, -5 more than 128 data bytes, -6 data offset, -7 no record
// line, -8 no end of file record (type 01), -9 a record line with blanks
// before its ':', -10 a read error (with the system's text), -11 a NUL byte
// in a record line (the sum would not cover what follows it), -12 control
// characters or bytes >= 0x80 before a record's ':', -13 a line of 11 or
// more hex digits alone (a record without its ':'), -14 a character other
// than a hex digit after the ':', -15 a data count that does not fit the
// record type (01: 0, 02 and 04: 2, 03 and 05: 4), -16 a record after the
// end of file record. A UTF-8 byte order mark at the very start is skipped;
// other lines not beginning with ':' are comments. Each fault prints its
// message.
int inhexverify(FILE* file);
// The same check on a whole file held in memory (`size` bytes at `text`);
// -1 .. -9 and -11 .. -16 as above.
int inhexverify_text(const char* text, size_t size);
// Length of the UTF-8 byte order mark at the start of `text` (3), or 0.
size_t inhex_bom(const char* text, size_t size);

// Size of the line buffer of the HEX file readers: a line is taken in pieces
// of at most INHEX_LINE_SIZE - 1 characters (txt_text_piece), each counting
// as a line.
constexpr int INHEX_LINE_SIZE = 512;
// Size of the buffer inhexverify reads a file through.
constexpr int INHEX_CHUNK_SIZE = 1 << 16;
