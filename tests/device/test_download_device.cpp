// Download end to end: the built tovhost sends the configuration and rules
// images to the simulated device over a real pseudo-terminal. The images the
// device received are compared byte for byte with images built here, in
// process, from the same files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "config/config.h"
#include "capture.h"
#include "device/download.h"
#include "fixtures.h"
#include "rules/rules.h"
#include "sim_session.h"

namespace {

using bytes = std::vector<uint8_t>;

const std::string both_questions =
    "\a\aWarning: Configuration file has not yet been processed!\n"
    "Do you want to use the Default Configuration? (yes|no) [no]: "
    "\n\a\aWarning: Rules file has not yet been processed!\n"
    "Do you  want to use the Implicit Rule only without specific rules?\n(yes|no) [no]: ";

bytes as_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// The images tovhost should send after "configure conf_path" (none: the
// defaults) and "rules rules_path" (none: no rules).
struct images {
  bytes conf;
  bytes rules;
};

images expected_images(const std::string& conf_path, const std::string& rules_path) {
  images im;
  int conf_rc = 0;
  int rules_rc = 0;
  const std::string report = capture_stdout([&] {  // the readers' reports are not under test here
    conf_default();
    config_record.rule_count = 0;
    config_record.implicit_action = IMPLICIT_PASS;
    conf_rc = conf_path.empty() ? 0 : conf_process(conf_path.c_str());
    rules_rc = rules_path.empty() ? 0 : rules_process(rules_path.c_str());
  });
  EXPECT_EQ(conf_rc, 0) << report;
  EXPECT_EQ(rules_rc, 0) << report;
  im.conf.resize(CONF_IMAGE_SIZE);
  conf_image(im.conf.data());
  im.rules.resize(RULE_LIMIT * RULE_ENTRY_SIZE);
  const int n = rules_image(im.rules.data(), static_cast<int>(im.rules.size()));
  EXPECT_GE(n, 0);
  im.rules.resize(static_cast<size_t>(n < 0 ? 0 : n));
  return im;
}

// A rules file of `count` call-sign rules.
std::string rules_file(const std::string& dir, int count) {
  std::string text = "; generated\n";
  for (int i = 0; i < count; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "%s %s N%dCL%c\n", i % 3 ? "pass" : "drop", i % 2 ? "src" : "destin", i % 10,
                  'A' + i % 26);
    text += line;
  }
  return write_file(dir + "/gen" + std::to_string(count) + ".rules", text);
}

uint16_t crc_over(const bytes& b) {
  return crc16(0xFFFF, b.data(), static_cast<int>(b.size()), crc16_table.data());
}

// Checks that `pkts`, from `first` on, carry `file` in data packets of at
// most 60 bytes; returns the index after them.
size_t expect_file(const std::vector<logged_packet>& pkts, size_t first, const bytes& file) {
  size_t at = first;
  size_t done = 0;
  while (done < file.size() && at < pkts.size()) {
    const size_t n = std::min<size_t>(60, file.size() - done);
    const bytes& p = pkts[at].bytes;
    EXPECT_EQ(p.size(), n + 4) << "packet " << at + 1;
    if (p.size() != n + 4) return at + 1;
    EXPECT_EQ(bytes(p.begin() + 2, p.end() - 2), bytes(file.begin() + static_cast<long>(done),
                                                       file.begin() + static_cast<long>(done + n)))
        << "packet " << at + 1;
    done += n;
    ++at;
  }
  EXPECT_EQ(done, file.size());
  return at;
}

std::string ends(const std::string& text, size_t n) { return text.size() < n ? text : text.substr(text.size() - n); }

TEST(DownloadDevice, SampleConfigurationAndFiftyRules) {
  const std::string dir = scratch_dir("dwn_full_files");
  const std::string conf = examples_dir() + "/sample.conf";
  const std::string rules = rules_file(dir, 50);
  const images want = expected_images(conf, rules);
  ASSERT_EQ(want.rules.size(), 1400U);

  auto s = run_session("dwn_full", {}, "configure " + conf + "\nrules " + rules + "\nconnect {port}\ndownload\nquit\n");
  EXPECT_EQ(s.host.exit_code, 0);
  const std::string out = after_startup(s.host);
  EXPECT_NE(out.find("Rules processed 50, implicit 0\n"), std::string::npos) << out;
  const std::string tail = connected_at(19200) + prompt + both_succeeded + "Disconnected\n" + prompt;
  EXPECT_EQ(ends(out, tail.size()), tail);

  EXPECT_EQ(as_bytes(read_file(s.dir + "/conf.bin")), want.conf);
  EXPECT_EQ(as_bytes(read_file(s.dir + "/rules.bin")), want.rules);

  // conf command, 3 conf packets, rules command, 24 rules packets, finish.
  const auto pkts = packet_log(s.dir);
  ASSERT_EQ(pkts.size(), 30U) << s.sim_log;
  for (const auto& p : pkts) {
    EXPECT_EQ(p.answer, DWN_ACK);
    EXPECT_EQ(crc_over(p.bytes), 0);
  }
  EXPECT_EQ(pkts[0].bytes, pkt_conf);
  EXPECT_EQ(expect_file(pkts, 1, want.conf), 4U);
  EXPECT_EQ(pkts[4].bytes, command_packet("rules", "1400"));
  EXPECT_EQ(expect_file(pkts, 5, want.rules), 29U);
  EXPECT_EQ(pkts[28].bytes.size(), 24U);  // 23 packets of 60 bytes, the last of 20
  EXPECT_EQ(pkts[29].bytes, pkt_finish);
}

TEST(DownloadDevice, NoRulesSendsNoRulesData) {
  const images want = expected_images("", "");
  auto s = run_session("dwn_norules", {}, "connect {port}\ndownload\ny\nyes\ndownload\nquit\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + both_questions + both_succeeded + "Disconnected\n" +
                                    prompt + "\a\aError: not Connected!\n" + prompt);
  EXPECT_EQ(as_bytes(read_file(s.dir + "/conf.bin")), want.conf);
  EXPECT_EQ(read_file(s.dir + "/rules.bin"), "");

  const auto pkts = packet_log(s.dir);
  ASSERT_EQ(pkts.size(), 6U) << s.sim_log;
  EXPECT_EQ(pkts[0].bytes, pkt_conf);
  EXPECT_EQ(expect_file(pkts, 1, want.conf), 4U);
  EXPECT_EQ(pkts[2].bytes.size(), 64U);
  EXPECT_EQ(pkts[3].bytes.size(), 60U);
  EXPECT_EQ(pkts[4].bytes, pkt_rules0);
  EXPECT_EQ(pkts[5].bytes, pkt_finish);
}

TEST(DownloadDevice, RulesFileOfExactlySevenChunks) {
  // 15 rules are 420 bytes: seven full packets and no empty one after them.
  const std::string dir = scratch_dir("dwn_420_files");
  const std::string rules = rules_file(dir, 15);
  const images want = expected_images("", rules);
  ASSERT_EQ(want.rules.size(), 420U);

  auto s = run_session("dwn_420", {}, "rules " + rules + "\nconnect {port}\ndownload\ny\nquit\n");
  const std::string tail = connected_at(19200) + prompt +
                           "\a\aWarning: Configuration file has not yet been processed!\n"
                           "Do you want to use the Default Configuration? (yes|no) [no]: " +
                           both_succeeded + "Disconnected\n" + prompt;
  EXPECT_EQ(ends(after_startup(s.host), tail.size()), tail);
  EXPECT_EQ(as_bytes(read_file(s.dir + "/conf.bin")), want.conf);
  EXPECT_EQ(as_bytes(read_file(s.dir + "/rules.bin")), want.rules);

  const auto pkts = packet_log(s.dir);
  ASSERT_EQ(pkts.size(), 13U) << s.sim_log;
  EXPECT_EQ(pkts[4].bytes, command_packet("rules", "420"));
  EXPECT_EQ(expect_file(pkts, 5, want.rules), 12U);
  for (size_t i = 5; i < 12; ++i) EXPECT_EQ(pkts[i].bytes.size(), 64U);
  EXPECT_EQ(pkts[12].bytes, pkt_finish);
}

TEST(DownloadDevice, NakTwiceThenAckResendsTheSamePacket) {
  const images want = expected_images("", "");
  auto s = run_session("dwn_nak2", {"--nak", "3:2"}, "connect {port}\ndownload\ny\ny\nquit\n");
  EXPECT_EQ(after_startup(s.host),
            connected_at(19200) + prompt + both_questions + both_succeeded + "Disconnected\n" + prompt);
  EXPECT_EQ(as_bytes(read_file(s.dir + "/conf.bin")), want.conf);

  const auto pkts = packet_log(s.dir);
  ASSERT_EQ(pkts.size(), 8U) << s.sim_log;
  EXPECT_EQ(pkts[2].answer, DWN_NAK);
  EXPECT_EQ(pkts[3].answer, DWN_NAK);
  EXPECT_EQ(pkts[4].answer, DWN_ACK);
  EXPECT_EQ(pkts[3].bytes, pkts[2].bytes);
  EXPECT_EQ(pkts[4].bytes, pkts[2].bytes);
  EXPECT_EQ(pkts[6].bytes, pkt_rules0);
}

TEST(DownloadDevice, FiveNaksEndTheDownload) {
  auto s = run_session("dwn_nak5", {"--nak", "2:5"}, "connect {port}\ndownload\ny\ny\ndownload\nquit\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + both_questions +
                                    "\a\aError: writing data pkt: -6\n"
                                    "\a\aError: writing Configuration file failed: -3\n"
                                    "\a\aError: Download failed: -2\n"
                                    "Disconnected\n" +
                                    prompt + "\a\aError: not Connected!\n" + prompt);
  const auto pkts = packet_log(s.dir);
  ASSERT_EQ(pkts.size(), 6U) << s.sim_log;  // no sixth sending
  EXPECT_EQ(pkts[0].bytes, pkt_conf);
  for (size_t i = 1; i < 6; ++i) {
    EXPECT_EQ(pkts[i].bytes, pkts[1].bytes);
    EXPECT_EQ(pkts[i].answer, DWN_NAK);
  }
}

struct stray_case {
  int packet;              // the packet answered 0x41
  const char* messages;    // what the download prints from there on
};

void PrintTo(const stray_case& c, std::ostream* os) { *os << "packet " << c.packet; }

class DownloadStray : public ::testing::TestWithParam<stray_case> {};

// With one rule: conf command, three conf packets, rules command, one rules
// packet, finish.
TEST_P(DownloadStray, AnswerOtherThanAckOrNakStopsAtOnce) {
  const stray_case& c = GetParam();
  const std::string dir = scratch_dir("dwn_stray_files");
  const std::string rules = rules_file(dir, 1);
  auto s = run_session("dwn_stray", {"--answer", std::to_string(c.packet) + ":41"},
                       "rules " + rules + "\nconnect {port}\ndownload\ny\nquit\n");
  const std::string tail = std::string("Do you want to use the Default Configuration? (yes|no) [no]: ") + c.messages +
                           "Disconnected\n" + prompt;
  EXPECT_EQ(ends(after_startup(s.host), tail.size()), tail);
  const auto pkts = packet_log(s.dir);
  ASSERT_EQ(pkts.size(), static_cast<size_t>(c.packet)) << s.sim_log;  // nothing sent after the stray byte
  EXPECT_EQ(pkts.back().answer, 0x41);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, DownloadStray,
    ::testing::Values(stray_case{1, "\a\aError: reading ack or nak: got 0x41\n"
                                    "\a\aError: writing Configuration command failed: -5\n"
                                    "\a\aError: Download failed: -1\n"},
                      stray_case{3, "\a\aError: reading ack or nak: got 0x41\n"
                                    "\a\aError: writing data pkt: -5\n"
                                    "\a\aError: writing Configuration file failed: -3\n"
                                    "\a\aError: Download failed: -2\n"},
                      stray_case{5, "Downloading Configuration succeeded\n"
                                    "\a\aError: reading ack or nak: got 0x41\n"
                                    "\a\aError: writing Rules command failed: -5\n"
                                    "\a\aError: Download failed: -3\n"},
                      stray_case{6, "Downloading Configuration succeeded\n"
                                    "\a\aError: reading ack or nak: got 0x41\n"
                                    "\a\aError: writing data pkt: -5\n"
                                    "\a\aError: writing Rules file failed: -3\n"
                                    "\a\aError: Download failed: -4\n"},
                      stray_case{7, "Downloading Configuration succeeded\nDownloading Rules succeeded\n"
                                    "\a\aError: reading ack or nak: got 0x41\n"
                                    "\a\aError: error writing finish pkt: -5\n"
                                    "\a\aError: Download failed: -5\n"}));

}  // namespace

TEST(DownloadDevice, QuestionsRefusedKeepTheLinkAndRepeat) {
  // Y to the first and an empty line to the second abort at the second; the
  // link stays open, "." repeats the download command (not the answers), and
  // the end of input at a question aborts with a line end first.
  const std::string conf_q =
      "\a\aWarning: Configuration file has not yet been processed!\n"
      "Do you want to use the Default Configuration? (yes|no) [no]: ";
  const std::string aborted = "\a\aDownload Aborted!\n";
  auto s = run_session("dwn_refused", {}, "connect {port}\ndownload\nY\n\n.\nno\n.\n");
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + both_questions + aborted + prompt + conf_q + aborted +
                                    prompt + conf_q + "\n" + aborted + prompt + "\n");
  EXPECT_EQ(s.host.exit_code, 1);
  // Nothing but the connect reached the device: no "download" command.
  EXPECT_EQ(s.sim_log.find("download"), std::string::npos) << s.sim_log;
}

namespace {

// -y answers the questions and shows each answer after its question.
const std::string questions_answered =
    "\a\aWarning: Configuration file has not yet been processed!\n"
    "Do you want to use the Default Configuration? (yes|no) [no]: y\n"
    "\n\a\aWarning: Rules file has not yet been processed!\n"
    "Do you  want to use the Implicit Rule only without specific rules?\n(yes|no) [no]: y\n";

}  // namespace

TEST(DownloadDevice, OneLineDeploymentWithCommandsAndYes) {
  const std::string conf = examples_dir() + "/sample.conf";
  const std::string rules = examples_dir() + "/sample.rules";
  const images want = expected_images(conf, rules);
  // The deployment of the README: files, connect and download, no input.
  auto s = run_session("dwn_opt_deploy", {}, "", 60,
                       {"-e", "-y", "-c", "configure " + conf, "-c", "rules " + rules, "-c", "connect {port}", "-c",
                        "download"});
  EXPECT_EQ(s.host.exit_code, 0) << s.host.out;
  const std::string tail = prompt + "connect " + s.pty + "\n" + connected_at(19200) + prompt + "download\n" +
                           both_succeeded + "Disconnected\n";
  EXPECT_EQ(ends(after_startup(s.host), tail.size()), tail);
  EXPECT_EQ(as_bytes(read_file(s.dir + "/conf.bin")), want.conf);
  EXPECT_EQ(as_bytes(read_file(s.dir + "/rules.bin")), want.rules);

  // Without the files, -y answers both questions of the download.
  const images defaults = expected_images("", "");
  auto d = run_session("dwn_opt_yes", {}, "n\nn\n", 60, {"-y", "-c", "connect {port}", "-c", "download"});
  EXPECT_EQ(d.host.exit_code, 0);
  EXPECT_EQ(after_startup(d.host), "connect " + d.pty + "\n" + connected_at(19200) + prompt + "download\n" +
                                    questions_answered + both_succeeded + "Disconnected\n");
  EXPECT_EQ(as_bytes(read_file(d.dir + "/conf.bin")), defaults.conf);
  EXPECT_EQ(read_file(d.dir + "/rules.bin"), "");
}

TEST(DownloadDevice, ExitOnErrorStopsAtAFailedDownload) {
  // Five NAKs end the download; with -e nothing after it runs and the status is 1.
  auto s = run_session("dwn_opt_nak", {"--nak", "2:5"}, "connect {port}\ndownload\nhelp\nquit\n", 60, {"-e", "-y"});
  EXPECT_EQ(s.host.exit_code, 1);
  EXPECT_EQ(after_startup(s.host), connected_at(19200) + prompt + questions_answered +
                                    "\a\aError: writing data pkt: -6\n"
                                    "\a\aError: writing Configuration file failed: -3\n"
                                    "\a\aError: Download failed: -2\n"
                                    "Disconnected\n");
  // The same run without -e goes on to the next command and ends as before.
  auto t = run_session("dwn_opt_nak_plain", {"--nak", "2:5"}, "connect {port}\ndownload\nquit\n", 60, {"-y"});
  EXPECT_EQ(t.host.exit_code, 0);
  EXPECT_EQ(ends(after_startup(t.host), prompt.size() + 13), "Disconnected\n" + prompt);
}

TEST(DownloadDevice, TraceHoldsExactlyTheBytesTheDeviceReceived) {
  const std::string conf = examples_dir() + "/sample.conf";
  const std::string rules = examples_dir() + "/sample.rules";
  auto s = run_session("dwn_trace", {}, "", 60,
                       {"-y", "-t", "{dir}/host.trace", "-c", "configure " + conf, "-c", "rules " + rules, "-c",
                        "connect {port}", "-c", "download"});
  EXPECT_EQ(s.host.exit_code, 0);
  const std::string trace = read_file(s.dir + "/host.trace");
  const std::string received = read_file(s.dir + "/received.bin");
  // The version request (10), "download" (9), three command packets (63),
  // 176 conf bytes in 3 packets and 364 rules bytes in 7 (4 bytes of framing each).
  EXPECT_EQ(received.size(), 10u + 9u + 63u + 176u + 12u + 364u + 28u);
  EXPECT_EQ(trace_written_bytes(trace), received);
  EXPECT_NE(trace.find(" trace started "), std::string::npos);
  EXPECT_NE(trace.find(" open " + s.pty + " (" + s.pty + ") at 19200 baud in "), std::string::npos) << trace;
  EXPECT_NE(trace.find(" read 200 (time-out 2010 ms): got 200 in "), std::string::npos) << trace;  // the version
  EXPECT_NE(trace.find(" read 1 (time-out 5010 ms): got 1 in "), std::string::npos) << trace;  // an ACK
  EXPECT_EQ(count_of(trace, " close in "), 1u);
  // The trace went to its file, never to the console.
  EXPECT_EQ(s.host.out.find("trace started"), std::string::npos);
}

TEST(DownloadDevice, EmptyConfigurationAndStoppedRulesAsk) {
  // A configuration that sets no item asks as no configuration does, with a
  // line saying why; a rules file that stopped at an error after a good one
  // is named before the rules question. Nothing reaches the device.
  const std::string dir = scratch_dir("dwn_empty_files");
  const std::string empty = write_file(dir + "/empty.conf", "# nothing set yet\n");
  const std::string good = write_file(dir + "/good.rules", "implicit drop\n");
  const std::string bad = write_file(dir + "/bad.rules", "implicit frobnicate\n");
  auto s = run_session("dwn_empty", {},
                       "configure " + empty + "\nrules " + good + "\nrules " + bad +
                           "\nconnect {port}\ndownload\nn\ndownload\ny\nn\nexit\n");
  const std::string conf_q =
      "\a\aWarning: the last Configuration file set no item: only the Defaults are set!\n"
      "\a\aWarning: Configuration file has not yet been processed!\n"
      "Do you want to use the Default Configuration? (yes|no) [no]: ";
  const std::string rules_q = "\n\a\aWarning: the last Rules file " + bad +
                              " stopped at an error: only the Implicit Rule is set!"
                              "\n\a\aWarning: Rules file has not yet been processed!\n"
                              "Do you  want to use the Implicit Rule only without specific rules?\n(yes|no) [no]: ";
  const std::string aborted = "\a\aDownload Aborted!\n";
  const std::string tail = prompt + conf_q + aborted + prompt + conf_q + rules_q + aborted + prompt;
  const std::string out = after_startup(s.host);
  EXPECT_EQ(s.host.exit_code, 0);
  EXPECT_NE(out.find("Configuration items processed 0\n"), std::string::npos) << out;
  ASSERT_GE(out.size(), tail.size()) << out;
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
  EXPECT_EQ(s.sim_log.find("download"), std::string::npos) << s.sim_log;
}

TEST(DownloadDevice, ConfigurationStoppedAtAnErrorIsNeverSentWithoutTheQuestion) {
  // A good configuration, then a second one that stops at its line 3: the
  // record holds the defaults and two lines of the second file (host baud
  // back to the default 19200). download says so and asks; "n" sends nothing.
  // After "y" the mixture the operator accepted is what arrives.
  const std::string dir = scratch_dir("dwn_stopped_files");
  const std::string good = write_file(dir + "/good.conf", "call n0call\nhost 9600\n");
  const std::string bad = write_file(dir + "/bad.conf", "call w1aw\nssid 3\nssid 16\nhost 9600\n");
  const std::string rules = write_file(dir + "/r.rules", "implicit drop\n");
  const std::string conf_q =
      "\a\aWarning: Configuration file has not yet been processed!\n"
      "Do you want to use the Default Configuration? (yes|no) [no]: ";
  const std::string stopped =
      "\a\aWarning: the last Configuration file stopped at an error: only the Defaults and its lines before the "
      "error are set!\n";
  auto s = run_session("dwn_stopped", {},
                       "configure " + good + "\nconfigure " + bad + "\nrules " + rules +
                           "\nconnect {port}\ndownload\nn\ndownload\ny\nexit\n");
  const std::string bad_line = "\a\aError: line 3: invalid SSID argument range [0..15]: 16: ssid 16\n"
                               "\a\aError: Configuration processing failed\n";
  EXPECT_EQ(s.host.exit_code, 0);
  const std::string expected_tail = prompt + stopped + conf_q + "\a\aDownload Aborted!\n" + prompt + stopped + conf_q +
                                    both_succeeded + "Disconnected\n" + prompt;
  const std::string out = after_startup(s.host);
  EXPECT_NE(out.find(bad_line), std::string::npos) << out;
  ASSERT_GE(out.size(), expected_tail.size());
  EXPECT_EQ(out.substr(out.size() - expected_tail.size()), expected_tail) << out;
  // The refused download sent nothing: one download, and it carries the
  // record the question described (call W1AW, SSID 3, host 19200).
  EXPECT_EQ(count_of(s.sim_log, "download: waiting for packets"), 1U) << s.sim_log;
  images im;
  {
    capture_stdout([&] {
      conf_default();
      config_record.rule_count = 0;
      config_record.implicit_action = IMPLICIT_PASS;
      EXPECT_NE(conf_process(bad.c_str()), 0);
      EXPECT_EQ(rules_process(rules.c_str()), 0);
    });
    im.conf.resize(CONF_IMAGE_SIZE);
    conf_image(im.conf.data());
  }
  EXPECT_EQ(config_record.host_baud, 19200U);
  const auto pkts = packet_log(s.dir);
  ASSERT_GE(pkts.size(), 5U) << s.sim_log;
  EXPECT_EQ(pkts[0].bytes, pkt_conf);
  expect_file(pkts, 1, im.conf);
}
