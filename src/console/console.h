// The operator's answers to the questions that commands ask before a risky
// step (download's two questions, firmware's question and its Enter wait).
// They are read from standard input, unless --yes answers them.
#pragma once
#include <cstdio>

constexpr int CON_YES_NO = 0;  // a yes/no question; --yes answers "y"
constexpr int CON_ENTER = 1;   // "Type the Enter key"; --yes answers an empty line

// Set by --yes: every question is answered without reading standard input.
extern bool con_auto_yes;

// Takes a line read from standard input that ends in CR LF (a script saved on
// Windows) as ending in LF; a CR anywhere else stays as it is. Applied to
// every line read from standard input: command lines and answers alike.
void con_crlf(char* line);

// True when `buf` (of `size` bytes) is a full piece of a longer line that
// ends in a CR: when the next character is the LF, the CR ends the line.
bool con_cut_at_cr(const char* buf, int size);

// fgets for lines typed or piped in: a CR LF end reads as LF, also when the
// CR is the last character that fits in `buf` (the LF is then taken too).
char* con_fgets(char* buf, int size, FILE* f);

// Reads one answer line into `buf` as fgets does (at most size - 1
// characters, up to and including a line feed; a CR LF end reads as LF). With con_auto_yes the answer
// is "y\n" (CON_YES_NO) or "\n" (CON_ENTER), printed after the question so
// that the output shows what was decided. nullptr at the end of input.
char* con_answer(char* buf, int size, int kind);
