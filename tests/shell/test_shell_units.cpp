// Matching, argument taking and number reading of the command shell.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "shell/completion.h"
#include "shell/shell.h"
#include "run_program.h"

namespace {

std::string row_name(int row) { return row >= 0 ? command_table[row].name : std::to_string(row); }

}  // namespace

TEST(ShellMatch, PrefixesCaseInsensitive) {
  EXPECT_EQ(row_name(shell_match("HELP")), "help");
  EXPECT_EQ(row_name(shell_match("Help")), "help");
  EXPECT_EQ(row_name(shell_match("he")), "help");
  EXPECT_EQ(shell_match("helpme"), SHELL_UNKNOWN);
  EXPECT_EQ(row_name(shell_match("conf")), "configure");
  EXPECT_EQ(row_name(shell_match("conn")), "connect");
  EXPECT_EQ(row_name(shell_match("dc")), "dconfigure");
  EXPECT_EQ(row_name(shell_match("dr")), "drules");
  EXPECT_EQ(row_name(shell_match("di")), "disconnect");
  EXPECT_EQ(row_name(shell_match("do")), "download");
  EXPECT_EQ(row_name(shell_match("?")), "?");
  EXPECT_EQ(row_name(shell_match(".")), ".");
  EXPECT_EQ(row_name(shell_match("X")), "x");
  EXPECT_EQ(row_name(shell_match("q")), "quit");
  EXPECT_EQ(row_name(shell_match("e")), "exit");
}

TEST(ShellMatch, AmbiguousAndUnknown) {
  for (const char* w : {"c", "co", "con", "d"}) EXPECT_EQ(shell_match(w), SHELL_AMBIGUOUS) << w;
  for (const char* w : {"configures", "z", "exitx", "..", "help?"}) EXPECT_EQ(shell_match(w), SHELL_UNKNOWN) << w;
}

TEST(ShellMatch, TableIdsAndOrder) {
  const int ids[SHELL_ROWS] = {22, 22, 33, 26, 5, 28, 23, 29, 24, 30, 31, 0, 1, 42, 8, 8, 8};
  for (int i = 0; i < SHELL_ROWS; ++i) EXPECT_EQ(command_table[i].id, ids[i]) << i;
}

TEST(ShellArgs, WordsAndFileNames) {
  char line[] = "configure my conf.txt,rest";
  shell_args a{line};
  EXPECT_STREQ(shell_take(a, SHELL_WORD_SEPS), "configure");
  EXPECT_STREQ(shell_take(a, SHELL_FILE_SEPS), "my conf.txt");
  EXPECT_STREQ(shell_take(a, SHELL_FILE_SEPS), "rest");
  EXPECT_EQ(shell_take(a, SHELL_FILE_SEPS), nullptr);
  EXPECT_EQ(shell_take(a, SHELL_WORD_SEPS), nullptr);

  char two_blanks[] = "configure  x.conf ";
  shell_args b{two_blanks};
  shell_take(b, SHELL_WORD_SEPS);
  EXPECT_STREQ(shell_take(b, SHELL_FILE_SEPS), " x.conf ");

  char comma[] = "connect,3\t,, 9600";
  shell_args c{comma};
  EXPECT_STREQ(shell_take(c, SHELL_WORD_SEPS), "connect");
  EXPECT_STREQ(shell_take(c, SHELL_WORD_SEPS), "3");
  EXPECT_STREQ(shell_take(c, SHELL_WORD_SEPS), "9600");

  char only_seps[] = " ,\t ";
  shell_args d{only_seps};
  EXPECT_EQ(shell_take(d, SHELL_WORD_SEPS), nullptr);
}

TEST(ShellNumbers, AtolLikeAndSaturating) {
  EXPECT_EQ(shell_atol("19200"), 19200);
  EXPECT_EQ(shell_atol("19200x"), 19200);
  EXPECT_EQ(shell_atol("abc"), 0);
  EXPECT_EQ(shell_atol("  -3"), -3);
  EXPECT_EQ(shell_atol("+12abc"), 12);
  EXPECT_EQ(shell_atol("99999999999999999999999"), 2147483647L);
  EXPECT_EQ(shell_atol("-99999999999999999999999"), -2147483647L);
}

TEST(ShellNumbers, PortWords) {
  char out[256];
  testing::internal::CaptureStdout();
  EXPECT_EQ(shell_port_name("3", out, sizeof out), 0);
  EXPECT_STREQ(out, "COM3");
  EXPECT_EQ(shell_port_name("com3", out, sizeof out), 0);
  EXPECT_STREQ(out, "COM3");
  EXPECT_EQ(shell_port_name("Com12", out, sizeof out), 0);
  EXPECT_STREQ(out, "COM12");
  EXPECT_EQ(shell_port_name("COM20", out, sizeof out), 0);
  EXPECT_EQ(shell_port_name("/dev/ttyUSB0", out, sizeof out), 0);
  EXPECT_STREQ(out, "/dev/ttyUSB0");
  std::string quiet = testing::internal::GetCapturedStdout();
  EXPECT_EQ(quiet, "");

  testing::internal::CaptureStdout();
  for (const char* w : {"com", "com0", "com21", "0", "21", "-3", "x"}) EXPECT_EQ(shell_port_name(w, out, sizeof out), -1);
  std::fflush(stdout);
  std::string msgs = testing::internal::GetCapturedStdout();
  EXPECT_EQ(msgs,
            "\a\aError: invalid COM port number (1..20): com\n"
            "\a\aError: invalid COM port number (1..20): com0\n"
            "\a\aError: invalid COM port number (1..20): com21\n"
            "\a\aError: invalid COM port number (1..20): 0\n"
            "\a\aError: invalid COM port number (1..20): 21\n"
            "\a\aError: invalid COM port number (1..20): -3\n"
            "\a\aError: invalid COM port number (1..20): x\n");
}

TEST(ShellNumbers, LinkBauds) {
  for (long b : {4800L, 9600L, 19200L, 38400L, 57600L}) EXPECT_TRUE(shell_link_baud(b));
  for (long b : {0L, 1200L, 2400L, 115200L, 19201L}) EXPECT_FALSE(shell_link_baud(b));
}

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
  struct row {
    const char* line;
    int found;
    const char* text;
  };
  const row rows[] = {
      {"he", 1, "help "},       {"CONF", 1, "configure "}, {"x", 1, "x "},          {"qu", 1, "quit "},
      {"co", 2, "con"},         {"d", 4, "d"},             {"zz", 0, ""},           {"connect 3 1", 1, "19200 "},
      {"baud 5", 1, "57600 "},  {"baud 1200", 0, ""},      {"baud ", 5, ""},        {"baud,9", 1, "9600 "},
      {"connect 3 19200 ", 0, ""},
  };
  for (const row& r : rows) {
    cpl_result res;
    EXPECT_EQ(cpl_complete(r.line, res), r.found) << r.line;
    if (r.found > 0) {
      EXPECT_EQ(res.text, r.text) << r.line;
    }
  }
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
  struct row {
    std::string line;
    int found;
    std::string text;
  };
  const row rows[] = {
      {"configure " + dir + "/al", 2, dir + "/alp"},
      {"configure " + dir + "/alpi", 1, dir + "/alpine.rules"},   // no blank after a file name
      {"rules " + dir + "/s", 1, dir + "/sub dir/"},              // a folder ends with "/"
      {"rules " + dir + "/sub dir/", 1, dir + "/sub dir/inner.hex"},
      {"firmware 3 " + dir + "/sub dir/i", 1, dir + "/sub dir/inner.hex"},
      {"configure " + dir + "/.h", 1, dir + "/.hidden"},          // hidden only when asked for
      {"configure " + dir + "/w", 0, ""},                         // a comma would end the name
      {"configure " + dir + "/nothing/x", 0, ""},
  };
  for (const row& r : rows) {
    cpl_result res;
    EXPECT_EQ(cpl_complete(r.line, res), r.found) << r.line;
    if (r.found > 0) {
      EXPECT_EQ(res.text, r.text) << r.line;
    }
  }
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

TEST(ShellCompletion, SerialDevicesPresent) {
  const std::string root = scratch_dir("complete_devices");
  const std::string dev = root + "/dev", sys = root + "/sys";
  for (const std::string& d : {dev, dev + "/serial", dev + "/serial/by-id", sys, sys + "/class", sys + "/class/tty",
                               sys + "/class/tty/ttyS0", sys + "/class/tty/ttyS1"})
    mkdir(d.c_str(), 0755);
  for (const char* f : {"ttyS0", "ttyS1", "ttyS2", "ttyUSB0", "ttyUSBx", "ttyACM1", "tty0", "ttyS", "null"})
    write_file(dev + "/" + f, "");
  write_file(dev + "/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", "");
  write_file(sys + "/class/tty/ttyS0/type", "4\n");  // a 16550A
  write_file(sys + "/class/tty/ttyS1/type", "0\n");  // no UART; ttyS2 has no type at all
  std::vector<std::string> found;
  cpl_serial_devices(dev.c_str(), sys.c_str(), found);
  EXPECT_EQ(found, (std::vector<std::string>{dev + "/serial/by-id/usb-FTDI_FT232R_A1-if00-port0", dev + "/ttyACM1",
                                             dev + "/ttyS0", dev + "/ttyUSB0"}));
}

TEST(ShellSource, CommandLinesComeAsTypedLines) {
  // Each -c text ends with a line feed; a line feed inside one ends a line
  // there; pieces of at most 255 characters, as standard input gives them.
  const std::string long_line(300, 'w');
  const char* lines[] = {"help", "", "drules\nangles", "x\n", long_line.c_str()};
  shell_source_set(lines, 5);
  char buf[SHELL_LINE_SIZE];
  const std::string want[] = {"help\n", "\n", "drules\n", "angles\n", "x\n", long_line.substr(0, 255),
                              long_line.substr(255) + "\n"};
  for (const std::string& w : want) {
    ASSERT_NE(shell_source_next(buf, sizeof buf), nullptr) << w;
    EXPECT_EQ(std::string(buf), w);
  }
  EXPECT_EQ(shell_source_next(buf, sizeof buf), nullptr);
  EXPECT_EQ(shell_source_next(buf, sizeof buf), nullptr);
  shell_source_set(nullptr, 0);
  EXPECT_EQ(shell_source_next(buf, sizeof buf), nullptr);
}
