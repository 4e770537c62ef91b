// Firmware update through the device's firmware loader.
#pragma once
#include <cstddef>
#include <cstdint>

// Called once the device has been interrupted and drained, right before it
// is reset into its loader: the caller warns the operator (the update takes
// less than `minutes`) and waits until he is ready. The update goes on when
// it returns.
using fw_confirm = void (*)(int minutes);

// Updates the firmware from the Intel HEX file `file_name` over the port
// `port_name` ("COMn" or a device path), calling `confirm` (when given)
// before the reset. The file is read once, whole, and
// the verified image is what is sent. 0 only when every record line of it
// was accepted by the loader; else -1 .. -16: -1 no name, -2 cannot open or
// not a regular file, -3 read error or too large, -4 verification failed,
// -5 port not opened, -6 .. -14 the loader exchange, -15 the port was lost
// (a vanished device), -16 not every record line was sent.
int firmware(const char* port_name, const char* file_name, fw_confirm confirm);
// Prints the progress line for `done` of `total` record lines.
void firmware_progress(long done, long total);

// Width of the progress bar at 100 %, and of the text before it.
constexpr int FW_BAR_WIDTH = 59;
constexpr int FW_PROGRESS_TEXT = 21;
// Formats the progress line for `elapsed` seconds and `done` of `total` record
// lines into `out` (NUL-terminated): the first 21 characters of the time,
// estimate and percentage text, then the bar. Returns its length.
int firmware_progress_format(char* out, size_t size, int64_t elapsed, long done, long total);
