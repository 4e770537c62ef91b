// Completion at the prompt: which word is completed and with what (POSIX
// only: the Windows console has no completion).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "run_program.h"
#include "shell/completion.h"
#include "shell/shell.h"

namespace {

// A line before the cursor, how many candidates it has, and the text that
// replaces its last word (when there is one).
struct completion_row {
  std::string line;
  int found;
  std::string text;
};

template <size_t N>
void expect_completions(const completion_row (&rows)[N]) {
  for (const completion_row& r : rows) {
    cpl_result res;
    EXPECT_EQ(cpl_complete(r.line, res), r.found) << r.line;
    if (r.found > 0) {
      EXPECT_EQ(res.text, r.text) << r.line;
    }
  }
}

}  // namespace

// The word before the cursor is split off as the command will take it.
TEST(ShellCompletion, WhichWordAndWhere) {
  struct row {
    const char* line;
    int kind;
    size_t start;
  };
  const row rows[] = {
      {"", CPL_COMMAND, 0},
      {" ,\t", CPL_COMMAND, 3},
      {"  co", CPL_COMMAND, 2},
      {"configure", CPL_COMMAND, 0},
      {"configure ", CPL_FILE, 10},
      {"configure my st", CPL_FILE, 10},   // blanks belong to a file name
      {"conf  x", CPL_FILE, 5},            // ... even a leading one
      {"rules\tex", CPL_FILE, 6},
      {"rules a,b", CPL_NOTHING, 8},       // a comma ends it: what follows takes nothing
      {"connect ", CPL_PORT, 8},
      {"connect /dev/ttyU", CPL_PORT, 8},
      {"connect 3 ", CPL_RATE, 10},
      {"CONN,3,19", CPL_RATE, 7},
      {"connect 3 19200 ", CPL_NOTHING, 16},
      {"baud 96", CPL_RATE, 5},
      {"firmware ", CPL_PORT, 9},
      {"firmware 3 ", CPL_FILE, 11},
      {"firmware 3 fw", CPL_FILE, 11},
      {"help ", CPL_NOTHING, 5},
      {"c x", CPL_NOTHING, 3},             // ambiguous command word
      {"nosuch x", CPL_NOTHING, 8},
      {".conf", CPL_NOTHING, 5},           // a repeat: the rest is ignored
  };
  for (const row& r : rows) {
    cpl_word w = cpl_find(r.line);
    EXPECT_EQ(w.kind, r.kind) << '"' << r.line << '"';
    EXPECT_EQ(w.start, r.start) << '"' << r.line << '"';
  }
}

TEST(ShellCompletion, CommandsAndRates) {
  const completion_row rows[] = {
      {"he", 1, "help "},       {"CONF", 1, "configure "}, {"x", 1, "x "},          {"qu", 1, "quit "},
      {"co", 2, "con"},         {"d", 4, "d"},             {"zz", 0, ""},           {"connect 3 1", 1, "19200 "},
      {"baud 5", 1, "57600 "},  {"baud 1200", 0, ""},      {"baud ", 5, ""},        {"baud,9", 1, "9600 "},
      {"connect 3 19200 ", 0, ""},
  };
  expect_completions(rows);
  cpl_result res;
  ASSERT_EQ(cpl_complete("  d", res), 4);
  EXPECT_EQ(res.start, 2u);
  EXPECT_EQ(res.choices, (std::vector<std::string>{"dconfigure", "disconnect", "download", "drules"}));
  ASSERT_EQ(cpl_complete("", res), SHELL_ROWS);  // every name, aliases too
}

TEST(ShellCompletion, FileNames) {
  const std::string dir = scratch_dir("complete_files");
  for (const char* f : {"alpha.conf", "alpine.rules", ".hidden", "with,comma", "sub dir/inner.hex"}) {
    std::string path = dir + "/" + f;
    if (path.find("sub dir") != std::string::npos) mkdir((dir + "/sub dir").c_str(), 0755);
    write_file(path, "x\n");
  }
  const completion_row rows[] = {
      {"configure " + dir + "/al", 2, dir + "/alp"},
      {"configure " + dir + "/alpi", 1, dir + "/alpine.rules"},   // no blank after a file name
      {"rules " + dir + "/s", 1, dir + "/sub dir/"},              // a folder ends with "/"
      {"rules " + dir + "/sub dir/", 1, dir + "/sub dir/inner.hex"},
      {"firmware 3 " + dir + "/sub dir/i", 1, dir + "/sub dir/inner.hex"},
      {"configure " + dir + "/.h", 1, dir + "/.hidden"},          // hidden only when asked for
      {"configure " + dir + "/w", 0, ""},                         // a comma would end the name
      {"configure " + dir + "/nothing/x", 0, ""},
  };
  expect_completions(rows);
  cpl_result res;
  ASSERT_EQ(cpl_complete("configure " + dir + "/", res), 3);
  EXPECT_EQ(res.text, dir + "/");
  EXPECT_EQ(res.choices, (std::vector<std::string>{"alpha.conf", "alpine.rules", "sub dir/"}));

  // "~" is the home folder; the completed name holds the folder itself,
  // since the program opens names as they are written.
  const char* old_home = std::getenv("HOME");
  const std::string saved = old_home != nullptr ? old_home : "";
  setenv("HOME", dir.c_str(), 1);
  EXPECT_EQ(cpl_complete("configure ~/alpha", res), 1);
  EXPECT_EQ(res.text, dir + "/alpha.conf");
  EXPECT_EQ(cpl_complete("configure ~", res), 3);
  EXPECT_EQ(res.text, dir + "/");
  if (old_home != nullptr) setenv("HOME", saved.c_str(), 1);
  else unsetenv("HOME");
}
