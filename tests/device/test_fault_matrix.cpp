// The fault matrix: the built tovhost against a simulated device that
// misbehaves on the line. The device disappears in the middle of an exchange,
// floods the line while tovhost drains it, mixes NUL bytes and bytes above
// 0x7F into its text, or answers in pieces with pauses. Every run must end
// the way its exchange is meant to end (a port that fails under a read ends
// the command, not the program), within its time-outs, and never report a
// success that did not happen.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixtures.h"
#include "sim_session.h"

namespace {

// The operator's answers to the two questions of a download without files.
const std::string download_yes = "download\ny\ny\n";

// One run against a misbehaving device; each test checks standard error.
session run_fault(const std::string& name, const std::vector<std::string>& sim_args, const std::string& input,
                  double timeout_s = 30, const std::vector<std::string>& host_args = {}) {
  session_options how;
  how.timeout_s = timeout_s;
  how.host_args = host_args;
  how.quiet_stderr = false;
  return run_session(name, sim_args, input, how);
}

// A run that ended by "quit": no signal, nothing on standard error.
void expect_orderly_end(const session& f) {
  EXPECT_EQ(f.host.term_signal, 0) << f.host.err;
  EXPECT_EQ(f.host.exit_code, 0) << f.host.err;
  EXPECT_EQ(f.host.err, "");
}

// A run whose device vanished under a read: the two lines of the failed read
// on standard error, at once (no pause), then the command ended and the
// program went on to "quit" (status 0, no signal).
void expect_lost_port(const session& f, double within_s) {
  EXPECT_EQ(f.host.term_signal, 0) << f.host.err;
  EXPECT_EQ(f.host.exit_code, 0) << f.host.err;
  const std::string err = "\a\aError: could not read on COM port " + f.pty + ": ";
  EXPECT_EQ(f.host.err.rfind(err, 0), 0U) << f.host.err;
  EXPECT_NE(f.host.err.find("\nReturn code 26, system error code "), std::string::npos) << f.host.err;
  EXPECT_EQ(count_of(f.host.err, "\n"), 2U) << f.host.err;
  EXPECT_LT(f.host.seconds, within_s);
}

const std::string lost_line(const std::string& pty) { return "\n\a\aError: lost COM port " + pty + ", link closed!\n"; }

// A small firmware file; `lines` receives its record lines as the device
// keeps them (each ended by LF).
std::string firmware_file(const std::string& dir, std::string* lines) {
  std::string text;
  for (int i = 0; i < 8; ++i) text += hex_record(16, static_cast<unsigned>(0x100 + i * 16), 0, pattern_bytes(16, i * 29, 11)) + "\n";
  text += ":00000001FF\n";
  *lines = text;
  return write_file(dir + "/fw.hex", text);
}

// The bytes shown by tovhost's dump of a received reply (its hex columns).
std::string dumped_bytes(const std::string& out) {
  std::string bytes;
  for (const std::string& line : lines_of(out)) {
    unsigned offset = 0, hex_offset = 0;
    char bar = 0;
    if (std::sscanf(line.c_str(), "%u %x%c", &offset, &hex_offset, &bar) != 3 || bar != '|' || offset != hex_offset ||
        line.size() < 61)
      continue;
    const std::string columns = line.substr(line.find('|') + 1, 61 - (line.find('|') + 1));
    size_t pos = 0;
    while (pos < columns.size()) {
      while (pos < columns.size() && columns[pos] == ' ') pos++;
      if (pos + 2 > columns.size()) break;
      bytes += static_cast<char>(std::strtoul(columns.substr(pos, 2).c_str(), nullptr, 16));
      pos += 2;
    }
  }
  return bytes;
}

// ---------------------------------------------------------------- the device disappears

TEST(FaultMatrix, TraceKeepsTheFailedReadOfALostPort) {
  // The same vanishing device, traced: the close after the failed read
  // writes the notes out; the failed read is the note before the close.
  auto f = run_fault("fault_vanish_trace", {"--vanish-after-packets", "2"}, "connect {port}\n" + download_yes + "quit\n",
                     30, {"--trace", "{dir}/host.trace"});
  expect_lost_port(f, 4.0);
  const std::string trace = read_file(f.dir + "/host.trace");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back(), '\n');
  const size_t last = trace.rfind('\n', trace.size() - 2) + 1;
  EXPECT_NE(trace.find(" close in ", last), std::string::npos) << trace;
  const size_t before = trace.rfind('\n', last - 2) + 1;
  const std::string line = trace.substr(before, last - before);
  EXPECT_NE(line.find(" read 1 (time-out 5010 ms): got 0 in "), std::string::npos) << trace;
  EXPECT_NE(line.find(" ms, failed: "), std::string::npos) << line;
  EXPECT_EQ(count_of(trace, " close in "), 1u) << trace;  // nothing touched the port after it
  // The second data packet went out just before.
  EXPECT_EQ(count_of(trace, " write 64: wrote 64 in "), 2u) << trace;
}

// Each vanish is followed by a command that needs no device (the link is
// gone: serialtest answers "not Connected") and by one that runs (help).

TEST(FaultMatrix, DeviceVanishingInTheDownloadEndsTheDownloadNotTheProgram) {
  // The conf command and the first conf data packet are answered; the device
  // is gone when the second data packet goes out.
  auto f = run_fault("fault_vanish_download", {"--vanish-after-packets", "2"},
                     "connect {port}\n" + download_yes + "serialtest 1\nangles\nquit\n");
  expect_lost_port(f, 4.0);
  const std::string out = after_startup(f.host);
  const std::string questions_end = "(yes|no) [no]: ";
  const size_t at = out.rfind(questions_end);
  ASSERT_NE(at, std::string::npos) << out;
  const std::string expected = lost_line(f.pty) +
                               "\a\aError: writing data pkt: -7\n\a\aError: writing Configuration file failed: -3\n"
                               "\a\aError: Download failed: -2\nDisconnected\n" +
                               prompt + not_connected + prompt;
  EXPECT_EQ(out.substr(at + questions_end.size(), expected.size()), expected);
  EXPECT_EQ(out.find("succeeded"), std::string::npos) << out;
  EXPECT_NE(out.find("Colon"), std::string::npos) << out;  // the angles text: the next command ran
  EXPECT_NE(f.sim_log.find("packet 2: data 60 bytes of conf (60 of 176) -> ACK\n"), std::string::npos) << f.sim_log;
  EXPECT_NE(f.sim_log.find("device vanished"), std::string::npos) << f.sim_log;
  EXPECT_EQ(f.sim_log.find("packet 3"), std::string::npos) << f.sim_log;
}

TEST(FaultMatrix, LostPortIsAFailureForExitOnError) {
  // With -e the download that lost its port ends the run with status 1:
  // the commands after it never run.
  auto f = run_fault("fault_vanish_exit", {"--vanish-after-packets", "2"}, "connect {port}\ndownload\nangles\nquit\n",
                     30, {"-e", "-y"});
  EXPECT_EQ(f.host.exit_code, 1) << f.host.err;
  EXPECT_EQ(f.host.term_signal, 0);
  const std::string out = after_startup(f.host);
  const std::string tail = lost_line(f.pty) +
                           "\a\aError: writing data pkt: -7\n\a\aError: writing Configuration file failed: -3\n"
                           "\a\aError: Download failed: -2\nDisconnected\n";
  ASSERT_GE(out.size(), tail.size()) << out;
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(out.find("Colon"), std::string::npos) << out;
}

TEST(FaultMatrix, DeviceVanishingInTheSerialTestEndsTheTestNotTheProgram) {
  // 70 echo bytes: the first iteration and 7 bytes of the second.
  auto f = run_fault("fault_vanish_echo", {"--vanish-after-echo", "70"},
                     "connect {port}\nserialtest 2\nserialtest 1\nconnect {port}\nquit\n");
  expect_lost_port(f, 4.0);
  // The port is closed, so a new connect finds the device gone for good:
  // its open fails (the simulator closed the pty) or nothing answers.
  const std::string out = after_startup(f.host);
  const std::string expected_start = connected_at(19200) + prompt + "." + lost_line(f.pty) + prompt + not_connected +
                                     prompt + "Connecting at 19200...\n";
  EXPECT_EQ(out.substr(0, expected_start.size()), expected_start) << out;
  EXPECT_EQ(out.find("passed"), std::string::npos) << out;
  EXPECT_EQ(count_of(out, "Connected at"), 1U) << out;
  EXPECT_NE(f.sim_log.find("serial test: 70 echo bytes\ndevice vanished: port closed\n"), std::string::npos) << f.sim_log;

  // The end of input after it ends the program as always: status 1.
  auto g = run_fault("fault_vanish_echo_eof", {"--vanish-after-echo", "70"}, "connect {port}\nserialtest 2\n");
  EXPECT_EQ(g.host.term_signal, 0);
  EXPECT_EQ(g.host.exit_code, 1);
  EXPECT_EQ(after_startup(g.host), connected_at(19200) + prompt + "." + lost_line(g.pty) + prompt + "\n");
}

TEST(FaultMatrix, DeviceVanishingInTheFirmwareUpdateEndsWithItsFailure) {
  const std::string dir = scratch_dir("fault_vanish_fw_file");
  std::string lines;
  const std::string hex = firmware_file(dir, &lines);
  // Three of the nine record lines are answered, then the device is gone.
  auto f = run_fault("fault_vanish_fw", {"--vanish-after-records", "3"},
                     "firmware {port} " + hex + "\ny\n\nserialtest 1\nhelp\nquit\n");
  expect_lost_port(f, 4.0);
  const std::string out = after_startup(f.host);
  const std::string tail = lost_line(f.pty) + "Error: Firmware update failed!\n\tTry again!\n" + prompt + not_connected +
                           prompt + "\n\t\tCommand Summary:\n";
  EXPECT_NE(out.find(tail), std::string::npos) << out;
  EXPECT_EQ(out.find("succeeded"), std::string::npos) << out;
  EXPECT_EQ(out.find("Disconnected"), std::string::npos) << out;  // the port was closed under the update
  EXPECT_EQ(count_of(out, "\r"), 3U) << out;                      // three progress lines
  EXPECT_NE(f.sim_log.find("firmware loader ended (--vanish-after-records): 3 record lines, 3 accepted"),
            std::string::npos)
      << f.sim_log;
  EXPECT_NE(f.sim_log.find("device vanished: port closed"), std::string::npos) << f.sim_log;
}

// ---------------------------------------------------------------- floods

TEST(FaultMatrix, ConnectDrainOutlastsADeviceTalkingAtTheOpen) {
  auto f = run_fault("fault_flood_open", {"--flood-open", "600"}, "connect {port}\nserialtest 1\ndisconnect\nquit\n");
  expect_orderly_end(f);
  EXPECT_EQ(after_startup(f.host), connected_at(19200) + prompt + ".\nSerial test passed: wrote 63 characters\n" + prompt +
                                    "Disconnected\n" + prompt);
  // The drain went on until the junk stopped, then one quiet read (110 ms);
  // the version reply fills its read at once.
  EXPECT_GE(f.host.seconds, 0.6);
  EXPECT_LT(f.host.seconds, 0.6 + 0.11 + 1.5);
  EXPECT_NE(f.sim_log.find("flooding the port with junk for 600 ms (port opened)"), std::string::npos) << f.sim_log;
  EXPECT_EQ(count_of(f.sim_log, "version request: answered"), 1U) << f.sim_log;
}

TEST(FaultMatrix, FirmwareDrainOutlastsAFloodAfterTheInterrupt) {
  const std::string dir = scratch_dir("fault_flood_fw_file");
  std::string lines;
  const std::string hex = firmware_file(dir, &lines);
  auto f = run_fault("fault_flood_fw", {"--flood-drain", "600"}, "firmware {port} " + hex + "\ny\n\nquit\n");
  expect_orderly_end(f);
  const std::string out = after_startup(f.host);
  EXPECT_NE(out.find(firmware_succeeded), std::string::npos) << out;
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  EXPECT_EQ(read_file(f.dir + "/firmware.hex"), lines);
  // The interrupt pair starts the junk; the drain outlasts it, then the
  // loader answers at once (--quick).
  EXPECT_GE(f.host.seconds, 0.6);
  EXPECT_LT(f.host.seconds, 0.6 + 0.11 + 2.5);
  EXPECT_NE(f.sim_log.find("flooding the port with junk for 600 ms (interrupt character)"), std::string::npos) << f.sim_log;
}

TEST(FaultMatrix, ConnectFindsItsReplyBehindShortJunkAndRefusesAReplyOfJunk) {
  // Junk for 30 ms after the interrupt: 96 bytes, and the reply follows
  // within the 200 bytes of the version read.
  auto f = run_fault("fault_flood_drain_short", {"--flood-drain", "30"}, "connect {port}\ndisconnect\nquit\n");
  expect_orderly_end(f);
  EXPECT_EQ(after_startup(f.host), connected_at(19200) + prompt + "Disconnected\n" + prompt);
  EXPECT_LT(f.host.seconds, 0.11 + 1.5);

  // Junk for 500 ms: the 200 bytes of the read are junk, without the name.
  f = run_fault("fault_flood_drain_long", {"--flood-drain", "500"}, "connect {port}\nserialtest 1\nquit\n");
  expect_orderly_end(f);
  const std::string out = after_startup(f.host);
  const std::string head =
      "Connecting at 19200...\n\n\a\aError: did not receive the Tovarelink prompt!\n"
      "Expected: Tovarelink\nGot: length 200 (0xc8):\n";
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
  EXPECT_EQ(out.find("Connected at"), std::string::npos) << out;
  const std::string tail = prompt + not_connected + prompt;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
  EXPECT_NE(dumped_bytes(out).find("NOCALL>APRS:busy"), std::string::npos) << out;
  EXPECT_LT(f.host.seconds, 0.11 + 1.5);  // the junk fills the read long before its 2 s
}

// ---------------------------------------------------------------- devices that do not stop

// The drains end after 2 s of continuous input at the latest; the exchange
// then goes on as if drained.
constexpr double drain_limit_s = 2.0;

TEST(FaultMatrix, ConnectDrainGivesUpOnABusyDeviceWhichThenAnswers) {
  // Junk from the open until the interrupt character: the drain stops at
  // its limit, the interrupt character goes out and the device answers.
  auto f = run_fault("fault_junk_until_interrupt", {"--junk-until-interrupt"}, "connect {port}\ndisconnect\nquit\n");
  expect_orderly_end(f);
  EXPECT_EQ(after_startup(f.host), connected_at(19200) + prompt + "Disconnected\n" + prompt);
  EXPECT_GE(f.host.seconds, drain_limit_s);
  EXPECT_LT(f.host.seconds, 2.5);
  EXPECT_NE(f.sim_log.find("interrupt character: junk stopped"), std::string::npos) << f.sim_log;
  EXPECT_EQ(count_of(f.sim_log, "version request: answered"), 1U) << f.sim_log;
}

TEST(FaultMatrix, ConnectDrainGivesUpOnEndlessJunkAndRefusesIt) {
  auto f = run_fault("fault_junk_forever", {"--junk-forever"}, "connect {port}\nserialtest 1\nquit\n");
  expect_orderly_end(f);
  const std::string out = after_startup(f.host);
  const std::string head =
      "Connecting at 19200...\n\n\a\aError: did not receive the Tovarelink prompt!\n"
      "Expected: Tovarelink\nGot: length 200 (0xc8):\n";
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
  const std::string tail = prompt + not_connected + prompt;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
  EXPECT_NE(dumped_bytes(out).find("NOCALL>APRS:busy"), std::string::npos) << out;
  EXPECT_GE(f.host.seconds, drain_limit_s);
  EXPECT_LT(f.host.seconds, 5.0);
}

TEST(FaultMatrix, FirmwareDrainAfterTheInterruptEndsAtItsLimit) {
  const std::string dir = scratch_dir("fault_junk_fw_file");
  std::string lines;
  const std::string hex = firmware_file(dir, &lines);
  const std::string input = "firmware {port} " + hex + "\ny\n\nquit\n";

  // Busy until the interrupt pair, which the update sends first: it goes on
  // as usual.
  auto f = run_fault("fault_junk_fw_until_interrupt", {"--junk-until-interrupt"}, input);
  expect_orderly_end(f);
  std::string out = after_startup(f.host);
  EXPECT_NE(out.find(firmware_succeeded), std::string::npos) << out;
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  EXPECT_EQ(read_file(f.dir + "/firmware.hex"), lines);
  EXPECT_LT(f.host.seconds, 2.5);

  // Junk for ever: the drain ends at its limit, the reset goes unheard and
  // the loader's prompt never comes.
  f = run_fault("fault_junk_fw_forever", {"--junk-forever"}, input);
  expect_orderly_end(f);
  out = after_startup(f.host);
  EXPECT_NE(out.find("WARNING! The Tovarelink Firmware is about to be updated!"), std::string::npos) << out;
  EXPECT_NE(out.find("\n\a\aError: did not receive the Tovarelink Firmware prompt!\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("succeeded"), std::string::npos) << out;
  EXPECT_EQ(read_file(f.dir + "/firmware.hex"), "");
  EXPECT_GE(f.host.seconds, drain_limit_s);
  EXPECT_LT(f.host.seconds, 5.0);
}

// ---------------------------------------------------------------- noise

TEST(FaultMatrix, NulAndHighBytesInEveryReplyDoNotDisturbAnyExchange) {
  const std::string dir = scratch_dir("fault_noise_file");
  std::string lines;
  const std::string hex = firmware_file(dir, &lines);
  auto f = run_fault(
      "fault_noise", {"--noise"},
      "connect {port}\nbaud 38400\nserialtest 2\n" + download_yes + "firmware {port} " + hex + "\ny\n\nquit\n");
  expect_orderly_end(f);
  const std::string out = after_startup(f.host);
  const std::string link = connected_at(19200) + prompt + connected_at(38400) + prompt +
                           "..\nSerial test passed: wrote 126 characters\n" + prompt;
  EXPECT_EQ(out.compare(0, link.size(), link), 0) << out;
  EXPECT_NE(out.find(both_succeeded + "Disconnected\n"), std::string::npos) << out;
  EXPECT_NE(out.find(firmware_succeeded), std::string::npos) << out;
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  EXPECT_EQ(read_file(f.dir + "/conf.bin").size(), 176U);
  EXPECT_EQ(read_file(f.dir + "/firmware.hex"), lines);
  EXPECT_NE(f.sim_log.find("line feed after baud change (port at 38400 baud): prompt"), std::string::npos) << f.sim_log;
  EXPECT_LT(f.host.seconds, 5.0);  // every read filled at once (--quick)
}

TEST(FaultMatrix, NoisyReplyWithoutTheNameIsShownWithoutNulsAndWithHashes) {
  const std::string name = "Tovarelnk Digipeater Version 2.7";
  auto f = run_fault("fault_noise_dump", {"--noise", "--version-text", name}, "connect {port}\nquit\n");
  expect_orderly_end(f);
  const std::string out = after_startup(f.host);
  const std::string head =
      "Connecting at 19200...\n\n\a\aError: did not receive the Tovarelink prompt!\n"
      "Expected: Tovarelink\nGot: length 200 (0xc8):\n";
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
  // The NUL bytes never reached the reply; the two bytes above 0x7F before
  // every CR are shown as "#"; 200 bytes in all with the device's filler.
  std::string want = "##\r\nTovare> ##\r\n" + name + "##\r\nTovare> ";
  want.resize(200, ' ');
  EXPECT_EQ(dumped_bytes(out), want) << out;
  EXPECT_LT(f.host.seconds, 0.11 + 1.5);
}

// ---------------------------------------------------------------- replies in pieces

TEST(FaultMatrix, RepliesInPiecesWithinTheTimeOutsAreGathered) {
  // 8-byte pieces 150 ms apart: the version reply in 10 pieces (1.35 s of
  // the 2 s read), the prompt after the baud change in 3, the serial-test
  // text in 6 (0.75 s of the 1 s read).
  auto f = run_fault("fault_pieces_inside", {"--pieces", "150"},
                     "connect {port}\nbaud 38400\nserialtest 1\n" + download_yes + "quit\n");
  expect_orderly_end(f);
  const std::string out = after_startup(f.host);
  const std::string link = connected_at(19200) + prompt + connected_at(38400) + prompt +
                           ".\nSerial test passed: wrote 63 characters\n" + prompt;
  EXPECT_EQ(out.compare(0, link.size(), link), 0) << out;
  EXPECT_NE(out.find(both_succeeded + "Disconnected\n" + prompt), std::string::npos) << out;
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  EXPECT_NE(f.sim_log.find("line feed after baud change (port at 38400 baud): prompt"), std::string::npos) << f.sim_log;
  // The pieces were really paced: 9 + 2 + 5 pauses of 150 ms.
  EXPECT_GE(f.host.seconds, 16 * 0.15);
  EXPECT_LT(f.host.seconds, 16 * 0.15 + 0.11 + 2.0);
}

TEST(FaultMatrix, ReplyInPiecesBeyondTheVersionTimeOutIsRefused) {
  // 8-byte pieces 500 ms apart: the device name is complete after 1.5 s,
  // "Version " only after 3 s, when the 2 s read is over.
  auto f = run_fault("fault_pieces_beyond", {"--pieces", "500"}, "connect {port}\nserialtest 1\nquit\n");
  expect_orderly_end(f);
  const std::string refused =
      "Connecting at 19200...\n\n\a\aError: did not receive the Tovarelink version (minimum 2.7)!\n";
  EXPECT_EQ(after_startup(f.host), refused + prompt + not_connected + prompt);
  EXPECT_GE(f.host.seconds, 2.0);
  EXPECT_LT(f.host.seconds, 2.01 + 0.11 + 1.5);
}

}  // namespace
