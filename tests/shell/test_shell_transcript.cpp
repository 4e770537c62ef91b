// Transcript tests: the built program is fed lines on standard input and its
// standard output is compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "run_program.h"
#include "texts.h"

namespace {

// One help row: name in 10 columns, a blank, arguments in 20 columns, a blank, comment.
std::string row(const std::string& name, const std::string& args, const std::string& comment) {
  std::string s = name;
  s.resize(10, ' ');
  s += ' ';
  std::string a = args;
  a.resize(20, ' ');
  return s + a + ' ' + comment + "\n";
}

std::string help_text(const std::string& bauds) {
  return "\n\t\tCommand Summary:\n" + row("Command", "Arguments", "Comments") +
         row("help", "", "Displays this summary (alias ?)") + row(".", "", "Repeats the previous command") +
         row("angles", "", "Displays the Angles format used for Lat and Lon") +
         row("baud", "baud", "Changes the baud rates on host and Tovarelink\n\t\t\t\tonce connected. Default [ ]") +
         "           Valid Baud Rates:\t" + bauds + "\n\n" + row("configure", "file_name", "Reads a Configuration file") +
         row("dconfigure", "", "Displays the Configuration") + row("rules", "file_name", "Reads a Rules file") +
         row("drules", "", "Displays the Rules") +
         row("connect", "com_port [baud]", "Connect to Tovarelink at optional baud\n\t\t\t\t(8 bits No Parity 1 Stop)") +
         row("disconnect", "", "Disconnect from the Tovarelink") +
         row("download", "", "Download Configuration and Rules to Tovarelink") +
         row("firmware", "com_port file_name", "Update Tovarelink firmware from firmware file") +
         row("serialtest", "iterations", "Serial data test for the specified iterations") +
         row("exit", "", "Exits this program (aliases quit, x)");
}

const std::string kDefaultHelp = help_text("4800 9600 [19200] 38400 57600 ");
const std::string kStart = "Tovarelink PC Host Digi Utility Version 2.7\n" + kDefaultHelp + "\n";
const std::string& P = prompt;  // short for the long expectations

prog_result run(const std::string& input) { return run_program(tovhost_path(), {}, input, 20); }

// Output after the start-up text, which every run must begin with.
std::string after_start(const prog_result& r) {
  EXPECT_EQ(r.out.substr(0, kStart.size()), kStart);
  return r.out.size() >= kStart.size() ? r.out.substr(kStart.size()) : r.out;
}

}  // namespace

TEST(ShellTranscript, StartUpAndEndOfInput) {
  prog_result r = run("");
  EXPECT_EQ(r.out, kStart + P + "\n");
  EXPECT_EQ(r.exit_code, 1);
  // The baud row is followed by ten blanks, the label, a tab and the marked default.
  EXPECT_NE(r.out.find("\n          " " Valid Baud Rates:\t4800 9600 [19200] 38400 57600 \n\n"), std::string::npos);
}

TEST(ShellTranscript, ExitAliasesEndWithStatusZero) {
  for (const char* cmd : {"exit\n", "quit\n", "x\n", "e\n", "q\n", "EXIT\n", "Qu\n"}) {
    prog_result r = run(std::string(cmd) + "help\n");
    EXPECT_EQ(r.exit_code, 0) << cmd;
    EXPECT_EQ(after_start(r), P) << cmd;
  }
}

TEST(ShellTranscript, UnknownAndAmbiguousWords) {
  prog_result r = run("helpme\nc\nco\ncon\nd\nxyz 1 2\n");
  EXPECT_EQ(after_start(r), P + "\a\aError: unknown command: helpme\n" + P + "\a\aError: ambiguous command: c\n" + P +
                                "\a\aError: ambiguous command: co\n" + P + "\a\aError: ambiguous command: con\n" + P +
                                "\a\aError: ambiguous command: d\n" + P + "\a\aError: unknown command: xyz\n" + P + "\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(ShellTranscript, HelpAliases) {
  prog_result r = run("HELP\n?\nhe\n");
  EXPECT_EQ(after_start(r), P + kDefaultHelp + P + kDefaultHelp + P + kDefaultHelp + P + "\n");
}

TEST(ShellTranscript, RepeatRule) {
  // "." as the first line does nothing; "." repeats the previous line, ignoring
  // what follows it; an empty line leaves the previous line alone; a line of
  // blanks becomes the previous line and a following "." does nothing.
  prog_result r = run(".\nhelpme\n.\n\n.xyz\n   \n.\nbogus\n");
  const std::string u = "\a\aError: unknown command: helpme\n";
  EXPECT_EQ(after_start(r), P + P + u + P + u + P + P + u + P + P + P + "\a\aError: unknown command: bogus\n" + P + "\n");
}

TEST(ShellTranscript, FullStopAsWordIsInternalError) {
  prog_result r = run(" .\n");
  EXPECT_EQ(after_start(r), P + "\a\aInternal Error: command 33 is invalid!\n" + P + "\n");
}

TEST(ShellTranscript, MissingArguments) {
  prog_result r = run("configure\nrules ,\t\nconnect\nfirmware\nfirmware 3\nbaud\nserialtest\ndownload\ndisconnect\n");
  EXPECT_EQ(after_start(r), P + "\a\aError: missing argument: file_name\n" + P + "\a\aError: missing argument: file_name\n" +
                                P + "\a\aError: missing argument: com_port\n" + P +
                                "\a\aError: missing arguments: com_port file_name\n" + P +
                                "\a\aError: missing argument: file_name\n" + P +
                                "\a\aError: must be Connected before changing the Baud!\n" + P +
                                "\a\aError: not Connected!\n" + P + "\a\aError: not Connected!\n" + P +
                                "\a\aError: not Connected!\n" + P + "\n");
}

TEST(ShellTranscript, ConnectArgumentChecks) {
  prog_result r = run("connect com21\nconnect com\nconnect 0\nconnect 3 1200\nconnect,3,abc\nfirmware com0 x.hex\n");
  EXPECT_EQ(after_start(r), P + "\a\aError: invalid COM port number (1..20): com21\n" + P +
                                "\a\aError: invalid COM port number (1..20): com\n" + P +
                                "\a\aError: invalid COM port number (1..20): 0\n" + P +
                                "\a\aError: invalid baud rate: 1200\n" + P + "\a\aError: invalid baud rate: 0\n" + P +
                                "\a\aError: invalid COM port number (1..20): com0\n" + P + "\n");
}

TEST(ShellTranscript, FirmwareQuestionRefused) {
  const std::string q = "\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: ";
  const std::string no = "Tovarelink Firmware will NOT be updated!\n";
  prog_result r = run("firmware 3 my fw.hex\nn\nfirmware 3 my fw.hex\n\nfirmware 3 my fw.hex\n");
  EXPECT_EQ(after_start(r), P + q + no + P + q + no + P + q + "\n" + no + P + "\n");
}

TEST(ShellTranscript, LongFirmwareAnswerLeavesRestForThePrompt) {
  // The answer buffer takes 39 characters; the rest of the line is read at the next prompt.
  std::string answer = "no" + std::string(37, 'a') + "helpme";
  prog_result r = run("firmware 3 fw.hex\n" + answer + "\n");
  const std::string q = "\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: ";
  EXPECT_EQ(after_start(r), P + q + "Tovarelink Firmware will NOT be updated!\n" + P +
                                "\a\aError: unknown command: helpme\n" + P + "\n");
}

TEST(ShellTranscript, BadInputNeverCrashes) {
  // A first word of 40 characters or more, a line longer than 255 characters
  // (read in pieces), NUL and other binary bytes, a line of separators only.
  std::string long_word(60, 'h');
  std::string long_line(600, 'z');
  std::string binary = std::string("he\0lp\n", 6) + "\xff\xfe\x01\n" + " , \t ,\n";
  prog_result r = run(long_word + "\n" + long_line + "\n" + binary);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.term_signal, 0);
  std::string out = after_start(r);
  EXPECT_EQ(out.substr(0, P.size() + 32), P + "\a\aError: unknown command: " + long_word.substr(0, 6));
  // 600 characters come as pieces of 255, 255 and 90: three unknown words.
  size_t n = 0;
  for (size_t pos = 0; (pos = out.find("unknown command: zzz", pos)) != std::string::npos; ++pos) ++n;
  EXPECT_EQ(n, 3u);
  // "he" up to the NUL is a prefix of help: the summary is shown.
  EXPECT_NE(out.find(kDefaultHelp), std::string::npos);
  EXPECT_NE(out.find("\a\aError: unknown command: \xff\xfe\x01\n"), std::string::npos);
}

TEST(ShellTranscript, AnglesCommandPrintsHelpText) {
  prog_result r = run("angles\n");
  std::string out = after_start(r);
  EXPECT_EQ(out.substr(0, P.size()), P);
  EXPECT_NE(out.find("Colon, Dotted and DMC formats for Angles, Latitudes and Longitudes"), std::string::npos);
  EXPECT_NE(out.find("Colon format"), std::string::npos);
  EXPECT_NE(out.find("Dotted format"), std::string::npos);
  EXPECT_NE(out.find("DMC format"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - (1 + P.size() + 1)), "\n" + P + "\n");
}

TEST(ShellTranscript, ConfigureFileNamesAndHelpMark) {
  std::string dir = scratch_dir("shell_conf");
  write_file(dir + "/my conf.txt", "havegps y\ngps 9600\n");
  write_file(dir + "/ x.conf", "host 4800\n");
  // One blank after configure: the name holds a blank. Two blanks: the name
  // begins with a blank. A comma ends the name.
  prog_result r = run("configure " + dir + "/my conf.txt,ignored\nhelp\nconfigure  " + dir.substr(0) +
                      "/nothing\nconfigure " + dir + "/ x.conf\n");
  std::string out = after_start(r);
  EXPECT_EQ(out.substr(0, P.size() + 32), P + "Configuration items processed 2\n");
  EXPECT_NE(out.find(help_text("4800 [9600] 19200 38400 57600 ")), std::string::npos);
  EXPECT_NE(out.find("\a\aError: cannot open  " + dir + "/nothing\n\a\aError: Configuration processing failed\n"),
            std::string::npos);
  EXPECT_NE(out.find(P + "Configuration items processed 1\n"), std::string::npos);
}

TEST(ShellTranscript, RepeatRereadsConfiguration) {
  std::string dir = scratch_dir("shell_repeat");
  write_file(dir + "/a.conf", "call n0call\n");
  prog_result r = run("configure " + dir + "/a.conf\n.\n.anything\n");
  std::string ok = "Configuration items processed 1\n";
  EXPECT_EQ(after_start(r), P + ok + P + ok + P + ok + P + "\n");
}

TEST(ShellTranscript, RulesFailureMessage) {
  std::string dir = scratch_dir("shell_rules");
  prog_result r = run("rules " + dir + "/missing.rules\n");
  EXPECT_EQ(after_start(r), P + "\a\aError: cannot open " + dir + "/missing.rules\n\a\aError: Rule processing failed\n" +
                                P + "\n");
}

// ---------------------------------------------------------------- CR LF lines (scripts saved on Windows)

TEST(ShellTranscript, CrLfCommandLinesReadAsLf) {
  // Every way of ending the program: exit with CR LF ends with status 0.
  for (const char* cmd : {"exit\r\n", "quit\r\n", "x\r\n"}) {
    prog_result r = run(std::string(cmd) + "help\r\n");
    EXPECT_EQ(r.exit_code, 0) << cmd;
    EXPECT_EQ(after_start(r), P) << cmd;
  }
  // A file name ends before the CR; a repeated line too. A CR inside a line
  // (not before its LF) stays part of it.
  std::string dir = scratch_dir("shell_crlf");
  write_file(dir + "/a.conf", "call n0call\r\n");
  prog_result r = run("configure " + dir + "/a.conf\r\n.\r\nhel\rp\r\n\r\nexit\r\n");
  const std::string ok = "Configuration items processed 1\n";
  EXPECT_EQ(after_start(r), P + ok + P + ok + P + "\a\aError: unknown command: hel\rp\n" + P + P);
  EXPECT_EQ(r.exit_code, 0);
  // A line of 254 characters: its CR is the last character of a 255-character
  // piece and still not part of the file name.
  const std::string head = "configure " + dir + "/";
  const std::string name = dir + "/" + std::string(254 - head.size(), 'n');
  write_file(name, "call n0call\r\n");
  r = run("configure " + name + "\r\nexit\r\n");
  EXPECT_EQ(after_start(r), P + ok + P);
}

TEST(ShellTranscript, CrLfAnswersReadAsLf) {
  // The firmware question: "y" with CR LF goes on (here to the file check),
  // "n" with CR LF refuses, and so does an empty answer with CR LF.
  const std::string q = "\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: ";
  const std::string no = "Tovarelink Firmware will NOT be updated!\n";
  std::string dir = scratch_dir("shell_crlf_fw");
  prog_result r = run("firmware 3 " + dir + "/none.hex\r\ny\r\nfirmware 3 x.hex\r\nn\r\nfirmware 3 x.hex\r\n\r\nx\r\n");
  EXPECT_EQ(after_start(r), P + q + "\a\aError: cannot open " + dir + "/none.hex\nError: Firmware update failed!\n\tTry again!\n" +
                                P + q + no + P + q + no + P);
  EXPECT_EQ(r.exit_code, 0);
}

// ---------------------------------------------------------------- file names that are not regular files

TEST(ShellTranscript, FileCommandsOnPipesAndDevicesReturnAtOnce) {
  // Each name is refused at once by configure, rules and firmware; a regular
  // file whose reading fails gives the system's reason.
  const std::string q = "\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: ";
  const std::string conf_failed = "\a\aError: Configuration processing failed\n";
  const std::string rules_failed = "\a\aError: Rule processing failed\n";
  const std::string fw_failed = "Error: Firmware update failed!\n\tTry again!\n";
  std::string input;
  std::string expected;
  for (const std::string& name : not_regular_files(scratch_dir("shell_not_regular"))) {
    const std::string refused = "\a\aError: cannot open " + name + ": not a regular file\n";
    input += "configure " + name + "\nrules " + name + "\nfirmware 3 " + name + "\ny\n";
    expected += P + refused + conf_failed + P + refused + rules_failed + P + q + refused + fw_failed;
  }
  prog_result r = run(input + "configure /proc/self/mem\nexit\n");
  EXPECT_FALSE(r.timed_out);
  EXPECT_LT(r.seconds, 5.0);
  EXPECT_EQ(r.exit_code, 0);
  const std::string out = after_start(r);
  EXPECT_EQ(out.substr(0, expected.size()), expected);
  const std::string rest = out.substr(std::min(expected.size(), out.size()));
  EXPECT_EQ(rest.rfind(P + "\a\aError: /proc/self/mem[1]: read error: ", 0), 0U) << rest;
  EXPECT_EQ(rest.substr(rest.size() - conf_failed.size() - P.size()), conf_failed + P);
}
