// Built without a line editor (no libedit, or Windows, where the console
// edits lines and keeps their history itself): command lines are read plainly.
#include "shell/editor.h"

int edit_open() { return EDIT_NOT_BUILT; }

int edit_line(const char*, const char**) { return -1; }

void edit_close() {}
