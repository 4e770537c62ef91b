// Firmware update through the device's firmware loader.
#pragma once
#include <cstddef>
#include <cstdint>

// Updates the firmware from the Intel HEX file `file_name` over the port
// `port_name` ("COMn" or a device path). 0 on success, else -1 .. -14.
int firmware(const char* port_name, const char* file_name);
// Prints the progress line for `done` of `total` record lines.
void firmware_progress(long done, long total);

// Width of the progress bar at 100 %, and of the text before it.
constexpr int FW_BAR_WIDTH = 59;
constexpr int FW_PROGRESS_TEXT = 21;
// Formats the progress line for `elapsed` seconds and `done` of `total` record
// lines into `out` (NUL-terminated): the first 21 characters of the time,
// estimate and percentage text, then the bar. Returns its length.
int firmware_progress_format(char* out, size_t size, int64_t elapsed, long done, long total);
