// The in-memory port: a platform backend of the serial layer whose far end
// is the device model, on a virtual clock. Linked instead of the system's
// backend (tov_serial_mem, tov_device_mem), it runs src/serial and
// src/device in the test's own process: no pseudo-terminal, and a time-out
// costs no time (the clock jumps to the next thing the device does, or to
// the deadline of the read that waits).
#pragma once
#include <cstdint>
#include <string>

#include "model/model.h"

namespace memport {

// The port's name: every other name fails to open.
constexpr const char* port_name = "/dev/memport0";

// A fresh device with `opt` (copied), its port closed, the clock at 1 s.
void start(const simdev::options& opt);
// The options of the default device (tovsim's defaults).
simdev::options defaults();
// What the device logged, and the files it kept, since start().
const std::string& log();
const std::string& file(simdev::keep_file f);
bool vanished();
// The virtual clock, in milliseconds.
int64_t now_ms();

// The scripted far end, for exchanges the model does not make by itself (a
// NAK twice, a stray byte): after start_scripted(), a fresh port as start()
// makes it, the far end keeps what it receives and answers only with what
// script() queued, until start() brings the model back.
void start_scripted();
// Queues `reply`: it arrives once the far end has received `after` since its
// previous reply (at once when `after` is empty). Replies come in order; one
// due while the port is closed is lost.
void script(const std::string& reply, const std::string& after = "");
// Queues `reply` to arrive at the first purge of the port's input after the
// previous reply (as a device answers a reopened port once the host has
// purged it).
void script_after_purge(const std::string& reply);
// What the scripted far end received since the last call.
std::string received();

}  // namespace memport
