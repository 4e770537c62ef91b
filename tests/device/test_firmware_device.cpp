// Firmware update end to end: the built tovhost updates the simulated device
// over a real pseudo-terminal, driven by an operator's lines on standard input.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "sim_session.h"

namespace {

struct update_run {
  prog_result host;
  std::string sim_log;
  std::string received;  // the record lines the device accepted (firmware.hex)
};

// One update: "firmware <port> <file>", "y", Enter, "exit". With
// `at_enter`, the Enter line is held back until the update waits for it, and
// `at_enter` runs first.
update_run run_update(const std::string& name, const std::string& hex_path, const std::vector<std::string>& sim_args,
                      double timeout_s = 60, const std::function<void()>& at_enter = nullptr) {
  std::remove((scratch_dir(name) + "/firmware.hex").c_str());
  session_options how;
  how.timeout_s = timeout_s;
  std::string input = "firmware {port} " + hex_path + "\ny\n";
  if (at_enter) {
    how.step = input_step{"Type the Enter key when you are ready to continue...", at_enter, "\nexit\n", 0, ""};
  } else {
    input += "\nexit\n";
  }
  session s = run_session(name, sim_args, input, how);
  EXPECT_EQ(s.host.exit_code, 0) << s.host.err;  // ended by "exit"
  return {s.host, s.sim_log, read_file(s.dir + "/firmware.hex")};
}

// A record line with a correct checksum.
std::string rec(int count, unsigned offset, int type, int seed) {
  return hex_record(count, offset, type, pattern_bytes(count, seed * 31, 7));
}

// `records` data records of 16 bytes, an address record first and an end
// record last; record lines only.
std::string hex_lines(int records) {
  std::string s = rec(2, 0, 4, 0) + "\n";
  for (int i = 0; i < records; ++i) s += rec(16, static_cast<unsigned>(i * 16), 0, i + 1) + "\n";
  return s + ":00000001FF\n";
}

// The record lines of a HEX text, each without its line end and ended by LF.
std::string record_lines(const std::string& text) {
  std::string out;
  for (std::string line : lines_of(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == ':') out += line + "\n";
  }
  return out;
}

const std::string& succeeded = firmware_succeeded;
const std::string& failed = firmware_failed;

}  // namespace

TEST(FirmwareDevice, CompleteUpdateFromObjcopyOutput) {
  std::string dir = scratch_dir("fw_dev_complete");
  std::string hex = dir + "/fw.hex";
  std::string source;
  if (std::system("objcopy --version >/dev/null 2>&1") == 0) {
    // 1 KiB of bytes written as Intel HEX by objcopy (CR LF line ends).
    std::string data;
    for (int i = 0; i < 1024; ++i) data += static_cast<char>((i * 37 + 11) & 0xFF);
    write_file(dir + "/fw.bin", data);
    std::string cmd = "objcopy -I binary -O ihex --change-addresses 0x8000 " + dir + "/fw.bin " + hex;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    source = read_file(hex);
  } else {
    source = hex_lines(64);
    write_file(hex, source);
  }
  std::string expected = record_lines(source);
  ASSERT_GT(count_of(expected, "\n"), 60u);

  update_run r = run_update("fw_dev_complete", hex, {});
  const std::string& out = r.host.out;
  EXPECT_EQ(r.received, expected);
  EXPECT_NE(out.find("\a\aWARNING! This will alter the Tovarelink firmware!\nDo you want to continue (n or y)? [n]: "),
            std::string::npos);
  EXPECT_NE(out.find("Type the Enter key when you are ready to continue...\a\nConnected at 19200\n\n\n\r"),
            std::string::npos)
      << out;
  // The last progress line, its line end, then the end of the update.
  const std::string last = "100.0%" + std::string(59, '=') + "\nDisconnected\n" + succeeded;
  EXPECT_NE(out.find(last), std::string::npos) << out;
  EXPECT_EQ(count_of(out, "\r"), count_of(expected, "\n"));  // one progress line per record
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
}

TEST(FirmwareDevice, FaultyFileNeverOpensThePort) {
  std::string dir = scratch_dir("fw_dev_faulty");
  std::string hex = write_file(dir + "/bad.hex", hex_lines(4) + rec(2, 0x0102, 0, 5) + "\n");
  update_run r = run_update("fw_dev_faulty", hex, {});
  EXPECT_NE(r.host.out.find("\a\aError: data record offset boundary error for line 7 in Firmware file!\n"
                            "\a\aError: Firmware file has some kind of error!\n" +
                            failed),
            std::string::npos)
      << r.host.out;
  EXPECT_EQ(r.host.out.find("Disconnected"), std::string::npos);
  EXPECT_EQ(r.host.out.find("WARNING! The Tovarelink Firmware"), std::string::npos);
  // The device saw nothing: no interrupt, no reset, no record.
  EXPECT_EQ(r.sim_log.find("reset"), std::string::npos) << r.sim_log;
  EXPECT_EQ(r.received, "");
}

TEST(FirmwareDevice, OneResendAndTheUpdateGoesOn) {
  std::string dir = scratch_dir("fw_dev_resend");
  std::string text = hex_lines(6);
  std::string hex = write_file(dir + "/fw.hex", text);
  update_run r = run_update("fw_dev_resend", hex, {"--fw-answers", "06,12,06"});
  const std::string& out = r.host.out;
  EXPECT_EQ(count_of(out, "resending"), 1u) << out;
  EXPECT_NE(out.find("\n\a\aError: Firmware updating error: bad record checksum on Line 2, resending.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(succeeded), std::string::npos) << out;
  EXPECT_EQ(r.received, record_lines(text));  // the resent line is there once
}

TEST(FirmwareDevice, NineErrorsAreSurvived) {
  std::string dir = scratch_dir("fw_dev_nine");
  std::string text = hex_lines(8);
  std::string hex = write_file(dir + "/fw.hex", text);
  // Nine refusals of every kind spread over records 1, 3, 4, 6, 9 and 10.
  update_run r =
      run_update("fw_dev_nine", hex, {"--fw-answers", "12,06,06,11,15,06,none,06,06,41,12,06,06,06,15,12,06,12"});
  const std::string& out = r.host.out;
  EXPECT_EQ(count_of(out, "resending"), 9u) << out;
  const char* expected[] = {"bad record checksum on Line 1", "didn't get start character on Line 3",
                            "validation on Line 3",          "timed out on Line 4",
                            "unknown (0x41) on Line 6",      "bad record checksum on Line 6",
                            "validation on Line 9",          "bad record checksum on Line 9",
                            "bad record checksum on Line 10"};
  size_t at = 0;
  for (const char* e : expected) {
    size_t k = out.find("\n\a\aError: Firmware updating error: " + std::string(e) + ", resending.\n", at);
    ASSERT_NE(k, std::string::npos) << e << "\n" << out;
    at = k + 1;
  }
  EXPECT_NE(out.find(succeeded), std::string::npos) << out;
  EXPECT_EQ(r.received, record_lines(text));
}

TEST(FirmwareDevice, TheTenthErrorStopsEvenWhenItIsBufferFullOrFatal) {
  std::string dir = scratch_dir("fw_dev_tenth");
  std::string hex = write_file(dir + "/fw.hex", hex_lines(8));
  for (const char* tenth : {"17", "18"}) {
    std::string list = "12,06,11,12,06,15,06,06,41,12,06,12,12,06,12," + std::string(tenth);
    update_run r = run_update("fw_dev_tenth", hex, {"--fw-answers", list});
    const std::string& out = r.host.out;
    EXPECT_EQ(count_of(out, "resending"), 9u) << out;
    EXPECT_NE(out.find("resending.\n\n\a\aError: maximum Firmware updating errors (10) encountered- aborting!\n"
                       "Disconnected\n" +
                       failed),
              std::string::npos)
        << tenth << out;
    EXPECT_EQ(out.find("buffer full"), std::string::npos);
    EXPECT_EQ(out.find("fatal"), std::string::npos);
    EXPECT_EQ(count_of(r.received, "\n"), 6u) << tenth;  // records accepted before the stop
  }
}

TEST(FirmwareDevice, BufferFullOrFatalAsFirstErrorStopsAtOnce) {
  std::string dir = scratch_dir("fw_dev_stop");
  std::string hex = write_file(dir + "/fw.hex", hex_lines(4));
  update_run r = run_update("fw_dev_stop", hex, {"--fw-answers", "06,17"});
  EXPECT_NE(r.host.out.find("\n\a\aError: Firmware updating error: buffer full on Line 2- aborting!\n"
                            "Disconnected\n" +
                            failed),
            std::string::npos)
      << r.host.out;
  EXPECT_EQ(r.host.out.find("resending"), std::string::npos);
  EXPECT_EQ(count_of(r.sim_log, "buffer full"), 1u) << r.sim_log;  // no second sending
  EXPECT_EQ(count_of(r.received, "\n"), 1u);

  r = run_update("fw_dev_stop", hex, {"--fw-answers", "18"});
  EXPECT_NE(r.host.out.find("\n\a\aError: Firmware updating error: fatal on Line 1- aborting!\n"
                            "Disconnected\n" +
                            failed),
            std::string::npos)
      << r.host.out;
  EXPECT_EQ(r.received, "");
}

TEST(FirmwareDevice, OtherLinesAreNotSentButCounted) {
  std::string dir = scratch_dir("fw_dev_lines");
  std::string records = hex_lines(3);
  std::string text = "# firmware 1.2\r\n\r\n" + records;
  text.insert(text.find('\n', text.find(":10")) + 1, "; padding\n  \n");
  std::string hex = write_file(dir + "/fw.hex", text);
  // The second data record sits on line 7 of the file.
  update_run r = run_update("fw_dev_lines", hex, {"--fw-answers", "06,06,11"});
  const std::string& out = r.host.out;
  EXPECT_NE(out.find("didn't get start character on Line 7, resending."), std::string::npos) << out;
  EXPECT_NE(out.find(succeeded), std::string::npos) << out;
  EXPECT_EQ(r.received, record_lines(records));
  EXPECT_EQ(count_of(r.sim_log, "#"), 0u);
}

// ---------------------------------------------------------------- what is sent is what was checked

TEST(FirmwareDevice, ByteOrderMarkFileDeliversEveryRecord) {
  // As some Windows editors save it: a byte order mark and CR LF line ends.
  std::string dir = scratch_dir("fw_dev_bom");
  std::string records = hex_lines(31);
  std::string crlf;
  for (char c : records) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string hex = write_file(dir + "/fw.hex", "\xEF\xBB\xBF" + crlf);
  update_run r = run_update("fw_dev_bom", hex, {});
  EXPECT_EQ(count_of(record_lines(records), "\n"), 33u);
  EXPECT_EQ(r.received, record_lines(records));  // the first record too
  EXPECT_NE(r.host.out.find(succeeded), std::string::npos) << r.host.out;
}

TEST(FirmwareDevice, FileChangedDuringTheEnterWaitStillSendsWhatWasChecked) {
  // The file is read once: emptying it, or putting another image in its
  // place, while the update waits for Enter changes nothing that is sent.
  // The device gets every record of the file as it was checked, and only
  // then is the update a success.
  std::string dir = scratch_dir("fw_dev_changed");
  const std::string records = hex_lines(12);
  for (const std::string& replacement : {std::string(), hex_lines(2)}) {
    std::string hex = write_file(dir + "/fw.hex", records);
    bool changed = false;
    update_run r = run_update("fw_dev_changed", hex, {}, 60, [&] {
      write_file(hex, replacement);
      changed = true;
    });
    ASSERT_TRUE(changed) << r.host.out;
    EXPECT_EQ(read_file(hex), replacement);
    EXPECT_EQ(r.received, record_lines(records)) << r.sim_log;
    EXPECT_NE(r.host.out.find("100.0%" + std::string(59, '=') + "\nDisconnected\n" + succeeded), std::string::npos)
        << r.host.out;
  }
}

TEST(FirmwareDevice, PipeDeviceAndUnreadableFileNeverReachTheDevice) {
  // A named pipe without a writer, an endless device, a file whose reading
  // fails: each refused at once, the device untouched, no success.
  std::string dir = scratch_dir("fw_dev_unreadable");
  const std::string fifo = make_fifo(dir + "/fw.hex");
  ASSERT_FALSE(fifo.empty());
  const std::string cut = write_file(dir + "/cut.hex", hex_lines(4).substr(0, hex_lines(4).rfind(":00000001")));
  struct refused {
    std::string file;
    std::string message;
  };
  const std::vector<refused> cases = {
      {fifo, "\a\aError: cannot open " + fifo + ": not a regular file\n"},
      {"/dev/zero", "\a\aError: cannot open /dev/zero: not a regular file\n"},
      {"/proc/self/mem", "\a\aError: /proc/self/mem: read error: Input/output error\n"},
      {cut, "\a\aError: Firmware file has no end of file record (type 01)!\n"
            "\a\aError: Firmware file has some kind of error!\n"},
  };
  for (const refused& c : cases) {
    update_run r = run_update("fw_dev_unreadable", c.file, {}, 10);
    EXPECT_FALSE(r.host.timed_out) << c.file;
    EXPECT_LT(r.host.seconds, 5.0) << c.file;
    EXPECT_NE(r.host.out.find("[n]: " + c.message + failed), std::string::npos) << r.host.out;
    EXPECT_EQ(r.host.out.find("succeeded"), std::string::npos) << r.host.out;
    EXPECT_EQ(r.sim_log.find("reset"), std::string::npos) << r.sim_log;
    EXPECT_EQ(r.received, "");
  }
}

TEST(FirmwareDevice, ScriptedUpdateWithYesNeedsNoInput) {
  // -y answers the question and the Enter wait, and shows both; -e gives
  // status 0 for the update that succeeded. Standard input stays unread.
  const std::string dir = scratch_dir("fw_dev_yes");
  const std::string source = hex_lines(8);
  const std::string hex = write_file(dir + "/fw.hex", source);
  sim_handle sim = sim_start({"--quick", "--save-dir", dir, "--exit-after", "120"});
  ASSERT_FALSE(sim.pty.empty()) << "simulator did not start";
  const prog_result host =
      run_program(tovhost_path(), {"-e", "-y", "-c", "firmware " + sim.pty + " " + hex}, "n\nn\n", 60);
  const std::string received = read_file(dir + "/firmware.hex");
  sim_stop(sim);
  EXPECT_EQ(host.exit_code, 0) << host.out;
  EXPECT_EQ(received, record_lines(source));
  EXPECT_NE(host.out.find("Do you want to continue (n or y)? [n]: y\n"), std::string::npos) << host.out;
  EXPECT_NE(host.out.find("Type the Enter key when you are ready to continue...\n\a\nConnected at 19200\n"),
            std::string::npos)
      << host.out;
  EXPECT_NE(host.out.find(succeeded), std::string::npos) << host.out;
}

TEST(FirmwareDevice, TraceOfAnUpdateEndedBySigtermHoldsTheWritesMadeSoFar) {
  // SIGTERM early in a long update (1 % of 8000 record lines): the trace is
  // written out before the program ends by the signal. The device received
  // what the trace says was written, give or take the one record line that
  // was on its way (written but not yet noted, or noted but not yet read).
  session_options how;
  how.host_args = {"-y", "-t", "{dir}/host.trace", "-c",
                   "firmware {port} " + write_file(scratch_dir("fw_dev_sigterm") + "/fw.hex", hex_lines(8000))};
  how.step.signal = SIGTERM;
  how.step.signal_at = " 1.0% ";  // some 80 record lines sent
  const session s = run_session("fw_dev_sigterm", {}, "", how);
  EXPECT_EQ(s.host.term_signal, SIGTERM) << s.host.out;
  EXPECT_EQ(s.host.out.find(succeeded), std::string::npos);
  const std::string trace = read_file(s.dir + "/host.trace");
  const std::string written = trace_written_bytes(trace);
  const std::string received = read_file(s.dir + "/received.bin");
  const size_t record_line = 43 + 2;
  ASSERT_GT(received.size(), 50 * record_line) << trace;
  const size_t common = std::min(written.size(), received.size());
  EXPECT_EQ(written.substr(0, common), received.substr(0, common));
  EXPECT_LE(std::max(written.size(), received.size()) - common, record_line) << written.size() << " " << received.size();
  EXPECT_NE(trace.find(" ended by signal " + std::to_string(SIGTERM) + "\n"), std::string::npos) << trace.substr(trace.size() - 200);
}
