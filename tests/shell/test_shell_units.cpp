// Matching, argument taking and number reading of the command shell.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "shell/shell.h"

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
  const std::string quiet = capture_stdout([&] {
    EXPECT_EQ(shell_port_name("3", out, sizeof out), 0);
    EXPECT_STREQ(out, "COM3");
    EXPECT_EQ(shell_port_name("com3", out, sizeof out), 0);
    EXPECT_STREQ(out, "COM3");
    EXPECT_EQ(shell_port_name("Com12", out, sizeof out), 0);
    EXPECT_STREQ(out, "COM12");
    EXPECT_EQ(shell_port_name("COM20", out, sizeof out), 0);
    EXPECT_EQ(shell_port_name("/dev/ttyUSB0", out, sizeof out), 0);
    EXPECT_STREQ(out, "/dev/ttyUSB0");
  });
  EXPECT_EQ(quiet, "");

  const std::string msgs = capture_stdout([&] {
    for (const char* w : {"com", "com0", "com21", "0", "21", "-3", "x"})
      EXPECT_EQ(shell_port_name(w, out, sizeof out), -1);
  });
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
