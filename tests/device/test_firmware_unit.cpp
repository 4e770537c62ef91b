// Firmware update without a device: the progress line, and the failures that
// end the update before the port is touched.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "device/firmware.h"
#include "device/link.h"
#include "capture.h"
#include "run_program.h"

namespace {

std::string progress(int64_t elapsed, long done, long total) {
  char buf[128];
  int n = firmware_progress_format(buf, sizeof buf, elapsed, done, total);
  EXPECT_EQ(n, static_cast<int>(std::string(buf).size()));
  return buf;
}

std::string bar(int n) { return std::string(static_cast<size_t>(n), '='); }

struct fw_result {
  int rc;
  std::string out;
};

fw_result run_firmware(const char* port, const char* file) {
  int rc = 0;
  std::string out = capture_stdout([&] { rc = firmware(port, file, nullptr); });
  return {rc, out};
}

}  // namespace

TEST(FirmwareProgress, LineLayout) {
  EXPECT_EQ(progress(12, 50, 200), "\r 12s TTC  36s 25.0% " + bar(14));
  EXPECT_EQ(progress(30, 200, 200), "\r 30s TTC   0s 100.0%" + bar(59));
  EXPECT_EQ(progress(0, 1, 3), "\r  0s TTC   0s 33.3% " + bar(19));
  EXPECT_EQ(progress(7, 2, 3), "\r  7s TTC   3s 66.7% " + bar(39));  // trunc(10.5) - 7
  EXPECT_EQ(progress(0, 0, 0), "\r  0s TTC   0s  0.0% ");
  EXPECT_EQ(progress(5, 0, 10), "\r  5s TTC   0s  0.0% ");
}

TEST(FirmwareProgress, WideFieldsAreCutAtTheBar) {
  // The text is cut to 21 characters, so the bar always starts in the same column.
  EXPECT_EQ(progress(1234, 1, 2), "\r1234s TTC 1234s 50.0" + bar(29));
  // The estimate is a 32-bit value: 2^33 - 131072 seconds shows as 2^32 - 131072.
  EXPECT_EQ(progress(131072, 1, 65536), "\r131072s TTC 42948362");
  // More records than the total (a file changed under the update) never
  // draws more than a full bar.
  EXPECT_EQ(progress(10, 300, 200), "\r 10s TTC 4294967292s" + bar(59));
}

TEST(FirmwareProgress, PrintsOneLineWithoutLineEnd) {
  const std::string out = capture_stdout([] { firmware_progress(3, 4); });
  ASSERT_EQ(out.size(), 21u + 44u);
  EXPECT_EQ(out[0], '\r');
  EXPECT_NE(out.find("s TTC "), std::string::npos);
  EXPECT_EQ(out.substr(21), bar(44));
  EXPECT_EQ(out.find('\n'), std::string::npos);
}

TEST(FirmwareUnit, FileProblemsEndBeforeThePort) {
  fw_result r = run_firmware("/dev/null", nullptr);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.out, "firmware: Error: param filename is invalid\n");

  std::string dir = scratch_dir("fw_unit");
  std::string missing = dir + "/missing.hex";
  r = run_firmware("/dev/null", missing.c_str());
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.out, "\a\aError: cannot open " + missing + "\n");

  // A file that fails verification: the verifier's message and ours, and the
  // port is never opened (no message from the port, no port name kept).
  std::snprintf(link_state.port_name, sizeof link_state.port_name, "%s", "before");
  std::string bad = write_file(dir + "/bad.hex", "# firmware\n:00000001FE\n");
  r = run_firmware("/nonexistent/port", bad.c_str());
  EXPECT_EQ(r.rc, -4);
  EXPECT_EQ(r.out,
            "\a\aError: checksum mismatch (0xff) for line 2 in Firmware file!\n"
            "\a\aError: Firmware file has some kind of error!\n");
  EXPECT_STREQ(link_state.port_name, "before");

  std::string empty = write_file(dir + "/empty.hex", "");
  r = run_firmware("/nonexistent/port", empty.c_str());
  EXPECT_EQ(r.rc, -4);
  EXPECT_EQ(r.out, "\a\aError: Firmware file is empty!\n\a\aError: Firmware file has some kind of error!\n");
}

// Files that must never reach the device: each ends before the port is
// opened ("/nonexistent/port" would say so), with its own message and code.
TEST(FirmwareUnit, FilesThatWouldFlashAnIncompleteOrOtherImageEndBeforeThePort) {
  const std::string dir = scratch_dir("fw_unit_refused");
  const std::string data = ":020000040000FA\n:10000000000102030405060708090A0B0C0D0E0F78\n";
  const std::string some_error = "\a\aError: Firmware file has some kind of error!\n";
  const std::string huge = write_file(dir + "/huge.hex", "");
  std::filesystem::resize_file(huge, (std::uintmax_t{64} << 20) + 1);  // sparse: nothing written
  struct refused_case {
    std::string file;
    int rc;
    std::string out;  // the whole output; for the read error, its start
  };
  std::vector<refused_case> cases = {
      // cut at a line end: no end record
      {write_file(dir + "/cut.hex", data), -4,
       "\a\aError: Firmware file has no end of file record (type 01)!\n" + some_error},
      // a record with a blank before it would be skipped when sending
      {write_file(dir + "/indented.hex", data + " :00000001FF\n"), -4,
       "\a\aError: blanks before the record start (':') for line 3 in Firmware file!\n" + some_error},
      // a record behind a form feed, a data pair the device refuses, two images joined
      {write_file(dir + "/ff.hex", data + "\f:00000001FF\n"), -4,
       "\a\aError: control characters or non-ASCII bytes before the record start (':') for line 3 in Firmware "
       "file!\n" + some_error},
      {write_file(dir + "/sign.hex", data + ":0400000000-10110EC\n:00000001FF\n"), -4,
       "\a\aError: non-hex character (0x2d) for line 3 in Firmware file!\n" + some_error},
      {write_file(dir + "/joined.hex", data + ":00000001FF\n" + data + ":00000001FF\n"), -4,
       "\a\aError: record after the end of file record for line 4 in Firmware file!\n" + some_error},
      // a regular file whose reading fails: the system's text, never a count
      {"/proc/self/mem", -3, "\a\aError: /proc/self/mem: read error: "},
      // more than the 64 MB held in memory (a sparse file: nothing on disk)
      {huge, -3, "\a\aError: " + huge + " is too large for a Firmware file (more than 64 MB)!\n"},
  };
  // Not regular files: never opened, so nothing blocks.
  for (const std::string& name : not_regular_files(dir))
    cases.push_back({name, -2, "\a\aError: cannot open " + name + ": not a regular file\n"});
  for (const refused_case& c : cases) {
    std::snprintf(link_state.port_name, sizeof link_state.port_name, "%s", "before");
    fw_result r = run_firmware("/nonexistent/port", c.file.c_str());
    EXPECT_EQ(r.rc, c.rc) << c.file;
    if (c.rc == -3 && c.file == "/proc/self/mem") {
      EXPECT_EQ(r.out.rfind(c.out, 0), 0U) << r.out;
      EXPECT_GT(r.out.size(), c.out.size() + 1);  // the system's reason follows
    } else {
      EXPECT_EQ(r.out, c.out) << c.file;
    }
    EXPECT_STREQ(link_state.port_name, "before") << c.file;
  }
}

TEST(FirmwareUnit, ByteOrderMarkFileIsVerifiedAndGoesOnToThePort) {
  const std::string dir = scratch_dir("fw_unit_bom");
  const std::string good = write_file(dir + "/bom.hex", "\xEF\xBB\xBF:00000001FF\r\n");
  fw_result r = run_firmware("/nonexistent/port", good.c_str());
  EXPECT_EQ(r.rc, -5);  // verified: only the port stopped it
  EXPECT_EQ(r.out.find("Firmware file"), std::string::npos) << r.out;
}

TEST(FirmwareUnit, PortThatDoesNotOpen) {
  std::string dir = scratch_dir("fw_unit_port");
  std::string good = write_file(dir + "/good.hex", ":00000001FF\n");
  fw_result r = run_firmware("/nonexistent/port", good.c_str());
  EXPECT_EQ(r.rc, -5);
  const std::string tail = "\a\aError: could not open COM port /nonexistent/port\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(r.out.find("Disconnected"), std::string::npos);
  EXPECT_STREQ(link_state.port_name, "/nonexistent/port");
}
