// Command-line options: parsing and its errors, --help and --version, -c
// command lines, -y answers, and -e with the exit status of every kind of
// failure. The built program is run with arguments and piped input.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "run_program.h"
#include "texts.h"

namespace {

const std::string& P = prompt;  // short for the long expectations
const std::string kBanner = "Tovarelink PC Host Digi Utility Version 2.7\n";

prog_result run(const std::vector<std::string>& args, const std::string& input = "") {
  return run_program(tovhost_path(), args, input, 20);
}

// What a run printed after the start-up text, from its first prompt on.
std::string after_start(const prog_result& r) { return P + after_startup(r); }

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n') + 1); }

TEST(ShellOptions, HelpGoesToStandardOutputAndEndsTheRun) {
  for (const char* opt : {"-h", "--help"}) {
    const prog_result r = run({opt, "-c", "help"}, "help\n");
    EXPECT_EQ(r.exit_code, 0) << opt;
    EXPECT_EQ(r.err, "") << opt;
    EXPECT_EQ(r.out.rfind("Usage: tovhost [options]\n", 0), 0u) << r.out;
    // Every option in both forms, and not the console's command summary.
    for (const char* o : {"-c, --command CMD", "-y, --yes", "-e, --exit-on-error", "-t, --trace FILE",
                          "-l, --list-ports", "-V, --version", "-h, --help"})
      EXPECT_NE(r.out.find(o), std::string::npos) << o;
    EXPECT_EQ(r.out.find("Command Summary"), std::string::npos);
    EXPECT_EQ(r.out.find(kBanner), std::string::npos);
  }
}

TEST(ShellOptions, VersionIsOneLineWithTheProjectVersion) {
  for (const char* opt : {"-V", "--version"}) {
    const prog_result r = run({opt}, "help\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "tovhost " TOVHOST_VERSION "\n");
    EXPECT_EQ(r.err, "");
  }
  // The banner keeps its own text.
  EXPECT_EQ(run({}).out.rfind(kBanner, 0), 0u);
}

struct usage_case {
  std::vector<std::string> args;
  const char* message;  // the first line on standard error
};

TEST(ShellOptions, UsageErrorsExitWithStatusTwo) {
  const usage_case cases[] = {
      {{"--bogus"}, "tovhost: unknown option: --bogus\n"},
      {{"-q"}, "tovhost: unknown option: -q\n"},
      {{"-eq"}, "tovhost: unknown option: -q\n"},
      {{"-c"}, "tovhost: option requires an argument: -c\n"},
      {{"-e", "--command"}, "tovhost: option requires an argument: --command\n"},
      {{"--trace"}, "tovhost: option requires an argument: --trace\n"},
      {{"-t"}, "tovhost: option requires an argument: -t\n"},
      {{"COM3"}, "tovhost: unexpected operand: COM3\n"},
      {{"-c", "help", "extra"}, "tovhost: unexpected operand: extra\n"},
      {{"--help=yes"}, "tovhost: unknown option: --help=yes\n"},
  };
  for (const usage_case& c : cases) {
    const prog_result r = run(c.args, "help\n");
    const std::string where = c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(r.exit_code, 2) << where;
    EXPECT_EQ(r.out, "") << where;
    EXPECT_EQ(first_line(r.err), c.message) << where;
    EXPECT_NE(r.err.find("\nUsage: tovhost [options]\n"), std::string::npos) << where;
  }
}

TEST(ShellOptions, CommandLinesRunInOrderThenEndAsAfterExit) {
  // The standard input is not read for commands: "bogus" there changes nothing.
  const prog_result r = run({"-c", "drules", "--command", "helpme", "-c", ".", "-c", ""}, "bogus\n");
  EXPECT_EQ(r.exit_code, 0);
  const std::string unknown = "\a\aError: unknown command: helpme\n";
  EXPECT_EQ(after_start(r), P + "drules\nNo Rules are configured!  Implicit Rule Action is Pass\n" + P + "helpme\n" +
                                unknown + P + ".\n" + unknown + P + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(ShellOptions, CommandLineExitEndsAtOnce) {
  const prog_result r = run({"-c", "x", "-c", "help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(after_start(r), P + "x\n");
  // A line taken from a script saved with CR LF ends is the same line; a CR
  // inside a line stays (and makes the word unknown).
  const prog_result crlf = run({"-c", "drules\r", "-c", "he\rlp", "-c", "x\r", "-c", "help"});
  EXPECT_EQ(crlf.exit_code, 0);
  EXPECT_EQ(after_start(crlf), P + "drules\nNo Rules are configured!  Implicit Rule Action is Pass\n" + P +
                                   "he\rlp\n\a\aError: unknown command: he\rlp\n" + P + "x\n");
}

TEST(ShellOptions, LongCommandLineComesInPiecesAsTypedInput) {
  // 300 characters: a piece of 255 and one of 45, each a command word (too
  // long for the command word buffer, so reported whole).
  const std::string word(300, 'z');
  const prog_result r = run({"-c", word});
  const std::string out = after_start(r);
  EXPECT_EQ(out, P + word.substr(0, 255) + "\n\a\aError: unknown command: " + word.substr(0, 255) + "\n" + P +
                     word.substr(255) + "\n\a\aError: unknown command: " + word.substr(255) + "\n");
}

TEST(ShellOptions, QuestionsOfCommandLinesStillReadStandardInput) {
  const std::string q = "\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: ";
  const std::string no = "Tovarelink Firmware will NOT be updated!\n";
  // The first answer comes from the input, the second meets its end.
  const prog_result r = run({"-c", "firmware 3 fw.hex", "-c", "firmware 3 fw.hex"}, "n\n");
  EXPECT_EQ(after_start(r), P + "firmware 3 fw.hex\n" + q + no + P + "firmware 3 fw.hex\n" + q + "\n" + no);
  EXPECT_EQ(r.exit_code, 0);
}

TEST(ShellOptions, YesAnswersTheFirmwareQuestionAndShowsIt) {
  const std::string dir = scratch_dir("opt_yes");
  const std::string q = "\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: ";
  // The answer "y" is printed; the update then stops at the missing file,
  // before any port is opened. Standard input is not read.
  const prog_result r = run({"-y", "-c", "firmware 3 " + dir + "/none.hex"}, "n\n");
  const std::string out = after_start(r);
  EXPECT_EQ(out.rfind(P + "firmware 3 " + dir + "/none.hex\n" + q + "y\n", 0), 0u) << out;
  EXPECT_NE(out.find("Error: Firmware update failed!\n\tTry again!\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("NOT be updated"), std::string::npos) << out;
}

// -e: one command that fails, after a command that succeeds, with a
// command after it that must not run.
struct fail_case {
  const char* name;
  std::string command;
  std::string messages;  // what the failing command prints
  std::string input;     // standard input after the commands (answers)
  bool to_the_end = false;  // the command reads standard input to its end
};

void PrintTo(const fail_case& c, std::ostream* os) { *os << c.name; }

class ExitOnError : public ::testing::TestWithParam<fail_case> {};

TEST_P(ExitOnError, FailedCommandEndsTheRunWithStatusOne) {
  const fail_case& c = GetParam();
  const std::string dir = scratch_dir("opt_fail");
  write_file(dir + "/good.conf", "call n0call\n");
  write_file(dir + "/bad.conf", "call n0call\nhost 1234\n");
  write_file(dir + "/bad.rules", "pass destin\n");
  auto expand = [&](std::string s) {
    for (size_t at = s.find("{dir}"); at != std::string::npos; at = s.find("{dir}")) s.replace(at, 5, dir);
    return s;
  };
  const std::string command = expand(c.command);
  const std::string before = P + "angles\n";
  // From -c lines, and the same lines typed on standard input.
  const prog_result from_args = run({"-e", "-c", "angles", "-c", command, "-c", "help"}, c.input);
  EXPECT_EQ(from_args.exit_code, 1) << from_args.out;
  std::string out = after_start(from_args);
  const std::string tail = P + command + "\n" + expand(c.messages);
  EXPECT_EQ(out.substr(out.size() < tail.size() ? 0 : out.size() - tail.size()), tail);
  EXPECT_EQ(out.rfind(before, 0), 0u);

  const prog_result from_input =
      run({"--exit-on-error"}, "angles\n" + command + "\n" + c.input + (c.to_the_end ? "" : "help\n"));
  EXPECT_EQ(from_input.exit_code, 1) << from_input.out;
  out = after_start(from_input);
  const std::string typed_tail = P + expand(c.messages);
  EXPECT_EQ(out.substr(out.size() < typed_tail.size() ? 0 : out.size() - typed_tail.size()), typed_tail);
}

const std::string fw_q = "\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: ";

INSTANTIATE_TEST_SUITE_P(
    EveryKind, ExitOnError,
    ::testing::Values(
        fail_case{"unknown", "helpme", "\a\aError: unknown command: helpme\n", ""},
        fail_case{"ambiguous", "con", "\a\aError: ambiguous command: con\n", ""},
        fail_case{"internal", " .", "\a\aInternal Error: command 33 is invalid!\n", ""},
        fail_case{"conf_missing", "configure", "\a\aError: missing argument: file_name\n", ""},
        fail_case{"conf_unreadable", "configure {dir}/none.conf",
                  "\a\aError: cannot open {dir}/none.conf\n\a\aError: Configuration processing failed\n", ""},
        fail_case{"conf_bad_line", "configure {dir}/bad.conf",
                  "\a\aError: line 2: invalid Baud argument: 1234: host 1234\n"
                  "\a\aError: Configuration processing failed\n",
                  ""},
        fail_case{"rules_missing", "rules", "\a\aError: missing argument: file_name\n", ""},
        fail_case{"rules_bad_line", "rules {dir}/bad.rules",
                  "\a\aError: {dir}/bad.rules[1]: missing Destination:\npass destin\n\a\aError: Rule processing failed\n",
                  ""},
        fail_case{"connect_missing", "connect", "\a\aError: missing argument: com_port\n", ""},
        fail_case{"connect_port", "connect com21", "\a\aError: invalid COM port number (1..20): com21\n", ""},
        fail_case{"connect_baud", "connect 3 1200", "\a\aError: invalid baud rate: 1200\n", ""},
        fail_case{"connect_no_device", "connect {dir}/no-such-port",
                  "Connecting at 19200...\n"
                  "\a\aError: cannot open COM port {dir}/no-such-port: No such file or directory\n"
                  "\a\aError: could not open COM port {dir}/no-such-port\n",
                  ""},
        fail_case{"disconnect", "disconnect", not_connected, ""},
        fail_case{"baud", "baud 9600", "\a\aError: must be Connected before changing the Baud!\n", ""},
        fail_case{"download", "download", not_connected, ""},
        fail_case{"serialtest", "serialtest 3", not_connected, ""},
        fail_case{"firmware_missing", "firmware 3", "\a\aError: missing argument: file_name\n", ""},
        fail_case{"firmware_refused", "firmware 3 fw.hex", fw_q + "Tovarelink Firmware will NOT be updated!\n", "n\n"},
        fail_case{"firmware_end_of_input", "firmware 3 fw.hex",
                  fw_q + "\nTovarelink Firmware will NOT be updated!\n", "", true},
        fail_case{"firmware_file", "firmware 3 {dir}/none.hex",
                  fw_q + "\a\aError: cannot open {dir}/none.hex\nError: Firmware update failed!\n\tTry again!\n",
                  "y\n"}),
    [](const ::testing::TestParamInfo<fail_case>& i) { return std::string(i.param.name); });

TEST(ShellOptions, ExitOnErrorSucceedsWhenNothingFails) {
  const std::string dir = scratch_dir("opt_ok");
  write_file(dir + "/good.conf", "call n0call\n");
  write_file(dir + "/good.rules", "pass destin N0CALL\n");
  const std::vector<std::string> lines = {"help", "?", "angles", "dconfigure", "drules", "",
                                          "configure " + dir + "/good.conf", "rules " + dir + "/good.rules", "."};
  std::vector<std::string> args = {"-e"};
  std::string input;
  for (const std::string& l : lines) {
    args.push_back("-c");
    args.push_back(l);
    input += l + "\n";
  }
  // The end of the -c lines, and the end of standard input: both status 0.
  const prog_result a = run(args);
  EXPECT_EQ(a.exit_code, 0) << a.out;
  EXPECT_EQ(a.out.find("\a\aError"), std::string::npos) << a.out;
  EXPECT_NE(a.out.find("Rules processed 1, implicit 0\n" + P + ".\nRules processed 1"), std::string::npos) << a.out;
  const prog_result b = run({"-e"}, input);
  EXPECT_EQ(b.exit_code, 0) << b.out;
  EXPECT_EQ(b.out.substr(b.out.size() - P.size() - 1), P + "\n");
  // The file check of the README: a faulty file fails it.
  EXPECT_EQ(run({"-e", "-c", "configure " + dir + "/good.conf", "-c", "rules " + dir + "/good.rules"}).exit_code, 0);
  EXPECT_EQ(run({"-e", "-c", "configure " + dir + "/good.rules", "-c", "rules " + dir + "/good.rules"}).exit_code, 1);
}

TEST(ShellOptions, WithoutExitOnErrorFailuresKeepTodaysStatuses) {
  // A failing -c list still ends with 0; failing input still ends with 1.
  EXPECT_EQ(run({"-c", "helpme", "-c", "disconnect"}).exit_code, 0);
  EXPECT_EQ(run({}, "helpme\ndisconnect\n").exit_code, 1);
  EXPECT_EQ(run({}, "helpme\nexit\n").exit_code, 0);
}

}  // namespace

// A trace that cannot be kept is never lost in silence: one warning when its
// text cannot be written (with -e the run then fails), and a named pipe
// without a reader refused at once rather than blocking the start.
TEST(ShellOptions, TraceThatCannotBeKeptIsTold) {
  struct trace_case {
    std::vector<std::string> args;
    int exit_code;
    std::string err;
  };
  const std::string fifo = make_fifo(scratch_dir("opt_trace") + "/no_reader");
  ASSERT_FALSE(fifo.empty());
  const std::string full = "trace /dev/full incomplete: No space left on device\n";
  const trace_case cases[] = {
      {{"-t", "/dev/full", "-c", "help"}, 0, full},
      {{"-e", "-t", "/dev/full", "-c", "help"}, 1, full},
      {{"-t", fifo, "-c", "help"}, 2, "tovhost: cannot open the trace file " + fifo + ": a named pipe without a reader\n"},
  };
  for (const trace_case& c : cases) {
    const prog_result r = run(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[1];
    EXPECT_FALSE(r.timed_out) << c.args[1];
  }
}
