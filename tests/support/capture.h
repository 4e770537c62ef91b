// Standard output of an in-process call, for the tests that compare the
// program's messages byte for byte.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// Runs `fn` with standard output captured and returns what it printed.
// Everything printed before is flushed first, so it does not land in the
// capture.
template <class F>
std::string capture_stdout(F&& fn) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}
