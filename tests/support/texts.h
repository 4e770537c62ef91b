// Texts of the program that many tests look for, the start-up text of a run,
// and the string helpers the tests share.
#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "run_program.h"

inline const std::string prompt = "Command> ";
inline const std::string not_connected = "\a\aError: not Connected!\n";
inline const std::string both_succeeded = "Downloading Configuration succeeded\nDownloading Rules succeeded\n";
inline const std::string firmware_succeeded = "\a\aFirmware update succeeded!\n";
inline const std::string firmware_failed = "Error: Firmware update failed!\n\tTry again!\n";

// "Connecting at N..." and the success line of a connect or baud change.
inline std::string connected_at(long baud) {
  return "Connecting at " + std::to_string(baud) + "...\n\aConnected at " + std::to_string(baud) + "\n";
}

// How often `what` occurs in `text`, occurrences not overlapping.
inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The lines of `text`, without their line feeds (a last line without one too).
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// A temporary binary stream holding `text`, rewound (nullptr when none can be made).
inline FILE* text_stream(const std::string& text) {
  FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  return f;
}

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Everything tovhost prints before it reads its first line, the first
// "Command> " included: the output of a run with no input, less the line end
// printed at the end of input.
inline const std::string& startup_text() {
  static const std::string text = [] {
    prog_result r = run_program(tovhost_path(), {}, "", 20);
    std::string out = r.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }();
  return text;
}

// What tovhost printed after the start-up text, the first prompt excluded.
inline std::string after_startup(const prog_result& r) {
  const std::string& start = startup_text();
  EXPECT_FALSE(start.empty());
  if (r.out.compare(0, start.size(), start) != 0) {
    ADD_FAILURE() << "output does not begin with the start-up text:\n" << r.out;
    return r.out;
  }
  return r.out.substr(start.size());
}
