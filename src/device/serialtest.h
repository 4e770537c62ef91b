// Serial echo test.
#pragma once

// Runs the echo test on the open link; `command_number` must be 42 and
// `iterations` is the count text the operator typed. 0 when the test passed
// and the device was told to end it, else -1 (refused before anything was
// sent: the link stays) or -2 .. -8 (the link was dropped; -8: the port was
// lost under a read, a vanished device).
int serial_test(int command_number, const char* iterations);
