// tovsim, the device simulator on a pseudo-terminal: the front end of the
// device model (sim/model). Its parts:
//   tovsim.cpp       main: the event loop and the model's effects;
//   link.cpp         the pseudo-terminal and the order of the far end's events;
//   sim_options.cpp  the command line, one table row per option;
//   savedir.cpp      the files of --save-dir;
//   log.cpp          the clock and the operator's log.
// Calls go one way: tovsim.cpp calls the others, link.cpp and savedir.cpp
// call log.cpp, and the link hears of the device's effects through the
// function it was given. The model calls none of them; they call the model.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "model/model.h"

// ---------------------------------------------------------------- options (sim_options.cpp)

struct sim_cli {
  simdev::options dev;   // what the device does
  const char* save_dir;  // nullptr: keep nothing on disk
  bool no_inotify;       // see opens and closes by hang-ups only (diagnostic)
  double exit_after_s;   // 0: never
};

// 0: serve; 1: done (help printed); -1: bad command line (told on standard error).
int cli_parse(int argc, char** argv, sim_cli* cli);
void cli_usage(FILE* to);

// ---------------------------------------------------------------- clock and log (log.cpp)

// Milliseconds of the monotonic clock.
int64_t sim_now_ms();
// One line of the operator's log on standard output ('\n' added). Never blocks
// once sim_log_never_block(true) was called (standard output a pipe): a line
// that finds the pipe full is dropped and counted.
void sim_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Whole lines, their '\n' included, as they are.
void sim_log_write(const char* line, size_t n);
void sim_log_never_block(bool on);
long sim_log_dropped();

// ---------------------------------------------------------------- link (link.cpp)

// Creates the pseudo-terminal for `dev`; `effects` is called after every
// call into the device, to carry out what it did. 0, or negative (told on
// standard error).
int link_create(bool no_inotify, simdev::device* dev, void (*effects)());
const char* link_path();
// Serves the far end's bytes and events in order; true when it stopped with
// work left for the next turn.
bool link_service();
// Writes what the device has due, as far as the port takes it.
void link_flush();
// The descriptors to wait on and what for; `timeout_ms` may be shortened.
int link_poll_fds(struct pollfd* fds, int cap, int* timeout_ms);
// After poll(): the far end's readiness.
void link_after_poll(const struct pollfd* fds, int count);
bool link_events_pending();
// The device vanished: the port is closed for good.
void link_vanish();
void link_close();

// ---------------------------------------------------------------- --save-dir (savedir.cpp)

// Prepares DIR (created when missing; stale files removed). 0 or -1.
int savedir_open(const char* dir);
// Writes one of the device's file effects.
void savedir_apply(const simdev::keep& k);
void savedir_close();
