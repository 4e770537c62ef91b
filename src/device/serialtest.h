// Serial echo test.
#pragma once

// Runs the echo test on the open link; `command_number` must be 42 and
// `iterations` is the count text the operator typed.
void serial_test(int command_number, const char* iterations);
