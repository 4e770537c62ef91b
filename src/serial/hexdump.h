// Received-data display: a classic hex dump with headers.
#pragma once
#include <cstdint>
#include <cstdio>

// Prints `length` bytes of `buffer` to `stream`. `flags` selects the header
// line, `label` names the dump, `group` repeats the column header every
// `group` data lines (0: never).
void hexdump(FILE* stream, int flags, const char* label, const void* buffer, int32_t length, int group);
