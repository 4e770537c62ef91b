// Connect, baud change and disconnect end to end: the built tovhost against
// the simulated device over a real pseudo-terminal, driven by an operator's
// lines on standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "sim_session.h"

namespace {

TEST(LinkDevice, ConnectsAtEveryLinkRateAndDisconnects) {
  const long rates[] = {4800, 9600, 19200, 38400, 57600};
  std::string input, expected;
  for (long r : rates) {
    input += "connect {port} " + std::to_string(r) + "\ndisconnect\n";
    expected += connected_at(r) + prompt + "Disconnected\n" + prompt;
  }
  // Without a rate: the host baud of the default configuration.
  input += "connect {port}\ndisconnect\nquit\n";
  expected += connected_at(19200) + prompt + "Disconnected\n" + prompt;

  auto s = run_session("link_rates", {}, input);
  EXPECT_EQ(s.host.exit_code, 0);
  EXPECT_EQ(after_startup(s.host), expected);
  EXPECT_EQ(count_of(s.sim_log, "version request: answered"), 6U) << s.sim_log;
}

struct version_case {
  const char* reply;     // the device's name-and-version text
  const char* outcome;   // what follows "Connecting at 19200...\n"
  bool connects;
};

void PrintTo(const version_case& c, std::ostream* os) { *os << '"' << c.reply << '"'; }

class LinkVersion : public ::testing::TestWithParam<version_case> {};

TEST_P(LinkVersion, IsJudgedAgainstTwoSeven) {
  const version_case& c = GetParam();
  auto s = run_session("link_version", {"--version-text", c.reply}, "connect {port}\ndisconnect\nquit\n");
  const std::string after = c.connects ? "Disconnected\n" : not_connected;
  EXPECT_EQ(after_startup(s.host), std::string("Connecting at 19200...\n") + c.outcome + prompt + after + prompt)
      << "reply: " << c.reply;
  EXPECT_EQ(count_of(s.sim_log, "version request: answered"), 1U) << s.sim_log;
}

const char* const accepted = "\aConnected at 19200\n";

INSTANTIATE_TEST_SUITE_P(
    Replies, LinkVersion,
    ::testing::Values(
        version_case{"Tovarelink Version 2.7", accepted, true},
        version_case{"Tovarelink Version 2.12", accepted, true},
        version_case{"Tovarelink Version 3.0", accepted, true},
        version_case{"boot: Tovarelink digi (c) firmware Version 2.7 build 19", accepted, true},
        version_case{"Tovarelink Version 2.6", "\n\a\aError: received Tovarelink version 2.6 but minimal is 2.7!\n",
                     false},
        version_case{"Tovarelink Version 1.9", "\n\a\aError: received Tovarelink version 1.9 but minimal is 2.7!\n",
                     false},
        version_case{"Tovarelink Version -3.9", "\n\a\aError: received Tovarelink version -3.9 but minimal is 2.7!\n",
                     false},
        // No "." after the marker: the minor number counts as 0.
        version_case{"Tovarelink Version 3", accepted, true},
        version_case{"Tovarelink Version 2", "\n\a\aError: received Tovarelink version 2.0 but minimal is 2.7!\n",
                     false},
        // Numbers too large for an int are held at its limit.
        version_case{"Tovarelink Version 99999999999999999999.1", accepted, true},
        version_case{"Tovarelink Version 2.99999999999999999999", accepted, true},
        // The marker counts only after the name.
        version_case{"Version 2.7 Tovarelink", "\n\a\aError: did not receive the Tovarelink version (minimum 2.7)!\n",
                     false},
        version_case{"Tovarelink Version2.7", "\n\a\aError: did not receive the Tovarelink version (minimum 2.7)!\n",
                     false}));

// One line of the operator's hex display of 16 (or fewer) reply bytes.
std::string dump_line(int offset, const std::vector<uint8_t>& b) {
  char text[100];
  int n = std::snprintf(text, sizeof text, "%4d %04x| ", offset, offset);
  std::string line(text, static_cast<size_t>(n));
  for (size_t i = 0; i < b.size(); ++i) {
    std::snprintf(text, sizeof text, "%02x ", b[i]);
    line += text;
    if (i == 7) line += "  ";
  }
  line.resize(61, ' ');
  line += "| ";
  for (uint8_t c : b) line += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
  return line + "\n";
}

TEST(LinkDevice, ReplyWithoutTheNameIsShownWithHighBytesReplaced) {
  auto s = run_session("link_garbage", {"--garbage"}, "connect {port}\ndisconnect\nquit\n");
  const std::string out = after_startup(s.host);
  const std::string head =
      "Connecting at 19200...\n\n\a\aError: did not receive the Tovarelink prompt!\nExpected: Tovarelink\n"
      "Got: length 200 (0xc8):\n"
      "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";
  ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
  // The simulator's 48 garbage bytes, each above 0x7F shown as "#" (0x23).
  std::string lines;
  for (int line = 0; line < 3; ++line) {
    std::vector<uint8_t> b;
    for (int i = line * 16; i < line * 16 + 16; ++i) {
      int v = (i * 73 + 0x81) & 0xFF;
      if (v == 0) v = 0x7F;
      b.push_back(static_cast<uint8_t>(v > 0x7F ? 0x23 : v));
    }
    lines += dump_line(line * 16, b);
  }
  EXPECT_EQ(out.compare(head.size(), lines.size(), lines), 0) << out;
  EXPECT_EQ(count_of(out, "Dec  Hex |"), 2U);  // 13 data lines, a header every 10
  EXPECT_TRUE(out.size() > prompt.size() && out.substr(out.size() - 2 * prompt.size() - not_connected.size()) ==
                                                 prompt + not_connected + prompt)
      << out;
}

TEST(LinkDevice, SilentDeviceGivesAnEmptyDump) {
  auto s = run_session("link_silent", {"--silent"}, "connect {port}\ndisconnect\nquit\n");
  EXPECT_EQ(after_startup(s.host),
            "Connecting at 19200...\n\n\a\aError: did not receive the Tovarelink prompt!\nExpected: Tovarelink\n"
            "Got: length 0 (0x0):\n" +
                prompt + not_connected + prompt);
  EXPECT_GE(s.host.seconds, 2.0);  // the one version read waits out its time
}

TEST(LinkDevice, NulAndHighBytesInTheReplyDoNotHideTheName) {
  auto s = run_session("link_noise", {"--noise"}, "connect {port}\ndisconnect\nquit\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + "Disconnected\n" + prompt);
}

TEST(LinkDevice, DrainSwallowsWhatTheDeviceWasSending) {
  auto s = run_session("link_flood", {"--flood-open", "400"}, "connect {port}\ndisconnect\nquit\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + "Disconnected\n" + prompt);
  EXPECT_NE(s.sim_log.find("flooding the port"), std::string::npos) << s.sim_log;
}

TEST(LinkDevice, BaudChangeResynchronisesAtTheNewRate) {
  auto s = run_session("link_baud",
                       {}, "connect {port} 19200\nbaud 38400\nserialtest 1\nbaud 4800\nbaud 57600\nbaud 57600\n"
                           "disconnect\nquit\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + connected_at(38400) + prompt +
                                    ".\nSerial test passed: wrote 63 characters\n" + prompt + connected_at(4800) +
                                    prompt + connected_at(57600) + prompt + connected_at(57600) + prompt +
                                    "Disconnected\n" + prompt);
  // Every "host N" line reached the device before the port was reopened.
  for (const char* rate : {"38400", "4800", "57600"}) {
    EXPECT_NE(s.sim_log.find(std::string("host ") + rate + ": host port switched to " + rate + " baud"),
              std::string::npos)
        << s.sim_log;
    EXPECT_NE(s.sim_log.find(std::string("line feed after baud change (port at ") + rate + " baud): prompt"),
              std::string::npos)
        << s.sim_log;
  }
  EXPECT_EQ(count_of(s.sim_log, "host port switched"), 4U) << s.sim_log;
  EXPECT_EQ(count_of(s.sim_log, "version request"), 1U);  // a baud change asks for no version
}

TEST(LinkDevice, BaudChangeWithoutThePromptDropsTheLink) {
  auto s = run_session("link_baud_noprompt", {"--no-prompt-after-baud"},
                       "connect {port}\nbaud 38400\nbaud 19200\nserialtest 1\ndisconnect\nquit\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + "Connecting at 38400...\n" +
                                    "\a\aError: did not receive the Tovarelink prompt!\n" + prompt +
                                    "\a\aError: must be Connected before changing the Baud!\n" + prompt +
                                    not_connected + prompt + not_connected + prompt);
  EXPECT_NE(s.sim_log.find("line feed after baud change: no prompt"), std::string::npos) << s.sim_log;
}

TEST(LinkDevice, RefusedWhileDisconnected) {
  // No device is needed for any of these.
  const prog_result r = run_program(tovhost_path(), {},
                                    "disconnect\nbaud 9600\nbaud\nconnect\nconnect com21\nconnect com\nconnect 0\n"
                                    "connect 3 1200\nconnect 3 abc\nserialtest 1\nquit\n",
                                    30);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(after_startup(r), not_connected + prompt + "\a\aError: must be Connected before changing the Baud!\n" +
                               prompt + "\a\aError: must be Connected before changing the Baud!\n" + prompt +
                               "\a\aError: missing argument: com_port\n" + prompt +
                               "\a\aError: invalid COM port number (1..20): com21\n" + prompt +
                               "\a\aError: invalid COM port number (1..20): com\n" + prompt +
                               "\a\aError: invalid COM port number (1..20): 0\n" + prompt +
                               "\a\aError: invalid baud rate: 1200\n" + prompt + "\a\aError: invalid baud rate: 0\n" +
                               prompt + not_connected + prompt);
}

TEST(LinkDevice, PortThatDoesNotOpen) {
  const std::string port = "/dev/tovhost-no-such-port";
  const prog_result r = run_program(tovhost_path(), {}, "connect " + port + " 9600\ndisconnect\nquit\n", 30);
  const std::string out = after_startup(r);
  const std::string head = "Connecting at 9600...\n\a\aError: cannot open COM port " + port + ": ";
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
  const std::string tail = "\n\a\aError: could not open COM port " + port + "\n" + prompt + not_connected + prompt;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
}

TEST(LinkDevice, RefusedWhileConnected) {
  auto s = run_session("link_refused", {},
                       "connect {port}\nconnect {port}\nconnect {port} 9600\nbaud\nbaud 1200\nbaud abc\n"
                       "serialtest\ndisconnect\nquit\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + "\a\aError: already Connected!\n" + prompt +
                                    "\a\aError: already Connected!\n" + prompt + "\a\aError: missing argument: baud\n" +
                                    prompt + "\a\aError: invalid baud rate: 1200\n" + prompt +
                                    "\a\aError: invalid baud rate: 0\n" + prompt +
                                    "\a\aError: missing argument: iteration\n" + prompt + "Disconnected\n" + prompt);
  // Nothing reached the device beyond the one handshake.
  EXPECT_EQ(count_of(s.sim_log, "version request"), 1U) << s.sim_log;
  EXPECT_EQ(s.sim_log.find("host "), std::string::npos) << s.sim_log;
  EXPECT_EQ(count_of(s.sim_log, "port opened"), 1U) << s.sim_log;
}

}  // namespace
