// The operator's answers to the questions that commands ask before a risky
// step (download's two questions, firmware's question and its Enter wait).
// They are read from standard input, unless --yes answers them.
#pragma once
#include <cstdio>

constexpr int CON_YES_NO = 0;  // a yes/no question; --yes answers "y"
constexpr int CON_ENTER = 1;   // "Type the Enter key"; --yes answers an empty line

// Set by --yes: every question is answered without reading standard input.
extern bool con_auto_yes;

// fgets for lines typed or piped in (txt_read_line keeping the line feed):
// a CR LF end reads as LF, also when the CR is the last character that fits
// in `buf` (the LF is then taken too).
char* con_fgets(char* buf, int size, FILE* f);

// Reads one answer line into `buf` as fgets does (at most size - 1
// characters, up to and including a line feed; a CR LF end reads as LF). With con_auto_yes the answer
// is "y\n" (CON_YES_NO) or "\n" (CON_ENTER), printed after the question so
// that the output shows what was decided. nullptr at the end of input.
char* con_answer(char* buf, int size, int kind);
