// Angle parser: latitude, longitude and other angle text in Colon, Dotted or
// DMC notation to signed decimal degrees.
#pragma once

// Text that the angles command prints (followed by one newline) to teach the
// three notations.
extern const char angles_help[];

// Converts `text` to signed decimal degrees. On every rejection it prints its
// own message to standard output and returns FLT_MAX. A newline ends the text.
double dmctodeg(const char* text);
