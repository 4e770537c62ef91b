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
