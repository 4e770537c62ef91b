// Serial echo test end to end: the built tovhost against the simulated device
// over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <string>

#include "sim_session.h"

namespace {

std::string connect_line() { return connected_at(19200) + prompt; }

TEST(SerialTestDevice, OneIterationEchoesSixtyThreeCharacters) {
  auto s = run_session("st_one", {}, "connect {port}\nserialtest 1\ndisconnect\nquit\n");
  const std::string passed = ".\nSerial test passed: wrote 63 characters\n" + prompt;
  EXPECT_EQ(after_startup(s.host), connect_line() + passed + "Disconnected\n" + prompt);
  // The device saw exactly 63 echo bytes and then the 0x03 that ends its test.
  EXPECT_NE(s.sim_log.find("serial test started: echoing until 0x03\nserial test ended after 63 echo bytes\n"),
            std::string::npos)
      << s.sim_log;
}

TEST(SerialTestDevice, CountTextIsReadUpToTheFirstNonDigit) {
  auto s = run_session("st_twelve", {}, "connect {port}\nserialtest 12abc\nserialtest 2\nquit\n");
  EXPECT_EQ(after_startup(s.host), connect_line() + "............\nSerial test passed: wrote 756 characters\n" +
                                    prompt + "..\nSerial test passed: wrote 126 characters\n" + prompt);
  EXPECT_NE(s.sim_log.find("serial test ended after 756 echo bytes"), std::string::npos) << s.sim_log;
}

TEST(SerialTestDevice, CountsBelowOneAreRefusedAndNothingIsSent) {
  auto s = run_session("st_refused", {},
                       "connect {port}\nserialtest 0\nserialtest -3\nserialtest abc\nserialtest\nserialtest 1\n"
                       "quit\n");
  EXPECT_EQ(after_startup(s.host), connect_line() + "\a\aError: Invalid iteration count: 0\n" + prompt +
                                    "\a\aError: Invalid iteration count: -3\n" + prompt +
                                    "\a\aError: Invalid iteration count: 0\n" + prompt +
                                    "\a\aError: missing argument: iteration\n" + prompt +
                                    ".\nSerial test passed: wrote 63 characters\n" + prompt);
  // Only the last command reached the device, on a link still open.
  EXPECT_EQ(count_of(s.sim_log, "serial test started"), 1U) << s.sim_log;
  EXPECT_EQ(s.sim_log.find("unknown command"), std::string::npos) << s.sim_log;
}

TEST(SerialTestDevice, WrongEchoDropsTheLink) {
  auto s = run_session("st_wrong", {"--echo-wrong", "1:E0"}, "connect {port}\nserialtest 3\ndisconnect\nquit\n");
  EXPECT_EQ(after_startup(s.host), connect_line() + "\n\a\aError: serialtest mismatch character 0x40, got 0xe0\n" +
                                    prompt + "\a\aError: not Connected!\n" + prompt);
  EXPECT_NE(s.sim_log.find("serial test: echo byte 1 is 0xe0 instead of 0x40"), std::string::npos) << s.sim_log;
  EXPECT_EQ(s.sim_log.find("serial test ended after"), std::string::npos) << s.sim_log;  // no 0x03 was sent
}

TEST(SerialTestDevice, DeviceThatStopsInTheThirdIteration) {
  // Echo bytes 1..126 are the first two iterations.
  auto s = run_session("st_stop", {"--echo-stop", "127"}, "connect {port}\nserialtest 5\ndownload\nquit\n");
  EXPECT_EQ(after_startup(s.host), connect_line() + "..\n\a\aError: did not receive the serialtest response on port " +
                                    s.pty + "!\n" + prompt + "\a\aError: not Connected!\n" + prompt);
  EXPECT_GE(s.host.seconds, 1.0);
  EXPECT_NE(s.sim_log.find("serial test: echo stopped at byte 127"), std::string::npos) << s.sim_log;
  EXPECT_EQ(s.sim_log.find("download"), std::string::npos) << s.sim_log;
}

TEST(SerialTestDevice, MissingStartTextIsShownAndDropsTheLink) {
  auto s = run_session("st_notext", {"--no-serialtest-text"}, "connect {port}\nserialtest 1\nserialtest 1\nquit\n");
  const std::string out = after_startup(s.host);
  const std::string head =
      connect_line() + "\n\a\aError: did not receive the serialtest response!\nGot: length ";
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
  EXPECT_NE(out.find("Dec  Hex |"), std::string::npos) << out;
  const std::string tail = prompt + "\a\aError: not Connected!\n" + prompt;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
  EXPECT_EQ(count_of(s.sim_log, "serial test started"), 0U) << s.sim_log;
}

}  // namespace
