// Helpers of the rule table tests: run the reader or the display with
// standard output captured, and build the reader's error messages.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/config.h"
#include "rules/rules.h"
#include "capture.h"
#include "run_program.h"

struct rules_run {
  int rc;
  std::string out;
  std::string path;
};

// Writes `text` as a rules file in a scratch directory and reads it.
inline rules_run run_rules_text(const std::string& text, const std::string& name = "t.rules") {
  const std::string path = scratch_dir("rules") + "/" + name;
  write_file(path, text);
  int rc = 0;
  std::string out = capture_stdout([&] { rc = rules_process(path.c_str()); });
  return {rc, out, path};
}

inline rules_run run_rules_path(const char* path) {
  int rc = 0;
  std::string out = capture_stdout([&] { rc = rules_process(path); });
  return {rc, out, path != nullptr ? path : ""};
}

inline std::string display_rules() {
  return capture_stdout([] { rules_display(); });
}

// The reader's message for line `line_no` holding `line`.
inline std::string rules_msg(const std::string& path, int line_no, const std::string& text, const std::string& line) {
  return "\a\aError: " + path + "[" + std::to_string(line_no) + "]: " + text + ":\n" + line + "\n";
}

// "%f" of the angle parser's failure value, as a range message shows it.
inline std::string flt_max_text() {
  char b[64];
  std::snprintf(b, sizeof b, "%f", 3.4028234663852886e38);
  return b;
}

// Starts every test from the built-in configuration and an empty table.
class rules_test : public testing::Test {
 protected:
  void SetUp() override {
    conf_default();
    for (auto& e : rule_table) e = rule_entry{};
    rules_processed = false;
  }
};
