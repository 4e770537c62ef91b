// Firmware update through the device's firmware loader.
#pragma once
#include <cstdint>

// Updates the firmware from the Intel HEX file `file_name` over the port
// `port_name` ("COMn" or a device path). 0 on success, else -1 .. -14.
int firmware(const char* port_name, const char* file_name);
// Prints the progress line for `done` of `total` record lines.
void firmware_progress(long done, long total);
