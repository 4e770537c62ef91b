// Opening the files the program reads (configuration, rules, firmware).
#pragma once
#include <cstdio>

constexpr int TXT_OPEN_FAILED = -1;       // no such file, no permission
constexpr int TXT_OPEN_NOT_REGULAR = -2;  // a directory, a device, a named pipe

// Opens `path` for binary reading when it names a regular file: 0 and the
// stream in *file, or TXT_OPEN_FAILED or TXT_OPEN_NOT_REGULAR (*file
// nullptr). Anything but a regular file is refused before it is opened, so
// that nothing blocks (opening a named pipe waits for a writer, a device may
// never end), and looked at again once open, in case the name was replaced
// in between. Prints nothing: the caller says what failed.
int txt_open_regular(const char* path, FILE** file);
