// Helpers shared by the fuzz targets: quiet standard streams, scratch files
// private to the fuzzing process, and invariant checks that stop the run.
#pragma once
#include <cstddef>
#include <cstdint>

// Standard output goes to /dev/null and standard input reads /dev/null, once
// per process: the code under test prints a lot and some of it asks
// questions on standard input. Aborts when either cannot be redirected, so a
// target never waits on a terminal. TOVHOST_FUZZ_VERBOSE=1 in the environment
// keeps standard output (to watch what one input does).
void fz_quiet();

// "/tmp/tovhost-fuzz-<pid><suffix>"; the file is removed when the process
// exits normally. The same suffix always gives the same path; at most
// FZ_SCRATCH_SLOTS different suffixes (of up to 31 characters).
constexpr int FZ_SCRATCH_SLOTS = 8;
const char* fz_scratch_path(const char* suffix);

// Replaces the file at `path` with `size` bytes of `data`; aborts on failure
// (a harness that cannot write its input must not pass for a clean run).
void fz_write_file(const char* path, const uint8_t* data, size_t size);

// Makes a private directory "/tmp/tovhost-fuzz-<pid>.d", removed (with its
// plain files) at a normal exit, and returns its path.
const char* fz_scratch_dir();

// A broken invariant is a finding: the message goes to standard error and the
// process aborts, which the fuzzer records as a crash with its input.
[[noreturn]] void fz_fail(const char* what);
#define FZ_CHECK(cond)                                         \
  do {                                                         \
    if (!(cond)) fz_fail(__FILE__ ": invariant broken: " #cond); \
  } while (0)
