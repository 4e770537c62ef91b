// The serial trace: the text of each kind of note, the time stamps, the
// append to an existing file, and the buffer written out when full.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_program.h"
#include "texts.h"
#include "serial/trace.h"

namespace {

// The line without its time stamp (10 characters and a blank).
std::string body(const std::string& line) { return line.size() > 11 ? line.substr(11) : line; }
double stamp(const std::string& line) { return std::atof(line.substr(0, 10).c_str()); }

class Trace : public testing::Test {
 protected:
  void SetUp() override { path = scratch_dir("trace") + "/serial.trace"; }
  void TearDown() override { trace_stop(); }
  std::string path;
};

TEST_F(Trace, EveryKindOfNote) {
  ASSERT_EQ(trace_start(path.c_str()), 0);
  const uint8_t version[] = {0x03, 0x0A, 'v', 'e', 'r', 's', 'i', 'o', 'n', 0x0A};
  const std::string reply = "Tovarelink APRS Digipeater Version 2.7\r\n";
  int64_t t = trace_now();
  EXPECT_GT(t, 0);
  trace_open(t, "COM3", 19200, 0, nullptr);
  trace_open(trace_now(), "/dev/nothing", 9600, -2, "No such file or directory");
  trace_purge(trace_now());
  trace_write(trace_now(), version, 10, 10, nullptr);
  trace_read(trace_now(), reinterpret_cast<const uint8_t*>(reply.data()), 200, 2010, static_cast<int>(reply.size()),
             nullptr);
  trace_write(trace_now(), version, 10, 3, "Resource temporarily unavailable");
  trace_read(trace_now(), nullptr, 1, 5010, 0, "Input/output error");
  trace_drain(trace_now(), nullptr);
  trace_close(trace_now());
  // Nothing reaches the file before a flush.
  EXPECT_EQ(lines_of(read_file(path)).size(), 1u);
  trace_flush();

  const std::vector<std::string> l = lines_of(read_file(path));
  ASSERT_EQ(l.size(), 15u) << read_file(path);
  EXPECT_EQ(body(l[0]).rfind("trace started ", 0), 0u) << l[0];
  auto took = [](const std::string& s, const std::string& head) {
    return s.rfind(head, 0) == 0 && s.find(" ms") != std::string::npos;
  };
  EXPECT_TRUE(took(body(l[1]), "open COM3 (")) << l[1];
  EXPECT_NE(l[1].find(") at 19200 baud in "), std::string::npos) << l[1];
  EXPECT_NE(l[1].find(" ms: ok"), std::string::npos) << l[1];
  EXPECT_TRUE(took(body(l[2]), "open /dev/nothing (")) << l[2];
  EXPECT_NE(l[2].find(" ms: result -2, failed: No such file or directory"), std::string::npos) << l[2];
  EXPECT_TRUE(took(body(l[3]), "purge in ")) << l[3];
  EXPECT_TRUE(took(body(l[4]), "write 10: wrote 10 in ")) << l[4];
  EXPECT_EQ(body(l[5]), "  0000  03 0a 76 65 72 73 69 6f 6e 0a                    |..version.|");
  EXPECT_TRUE(took(body(l[6]), "read 200 (time-out 2010 ms): got 40 in ")) << l[6];
  EXPECT_EQ(body(l[7]), "  0000  54 6f 76 61 72 65 6c 69 6e 6b 20 41 50 52 53 20  |Tovarelink APRS |");
  EXPECT_EQ(body(l[8]), "  0010  44 69 67 69 70 65 61 74 65 72 20 56 65 72 73 69  |Digipeater Versi|");
  EXPECT_EQ(body(l[9]), "  0020  6f 6e 20 32 2e 37 0d 0a                          |on 2.7..|");
  // A failed write shows the bytes that did go out, and the system's text.
  EXPECT_NE(l[10].find("write 10: wrote 3 in "), std::string::npos) << l[10];
  EXPECT_NE(l[10].find(" ms, failed: Resource temporarily unavailable"), std::string::npos) << l[10];
  EXPECT_EQ(body(l[11]), "  0000  03 0a 76                                         |..v|");
  EXPECT_NE(l[12].find("read 1 (time-out 5010 ms): got 0 in "), std::string::npos) << l[12];
  EXPECT_NE(l[12].find(", failed: Input/output error"), std::string::npos) << l[12];
  EXPECT_TRUE(took(body(l[13]), "drain in ")) << l[13];
  EXPECT_TRUE(took(body(l[14]), "close in ")) << l[14];
  // Stamps in milliseconds since the start, never going back.
  for (size_t i = 1; i < l.size(); ++i) EXPECT_LE(stamp(l[i - 1]), stamp(l[i])) << i;
  EXPECT_GE(stamp(l[1]), 0.0);
}

TEST_F(Trace, AppendsToTheFileAndStopsCleanly) {
  write_file(path, "earlier run\n");
  ASSERT_EQ(trace_start(path.c_str()), 0);
  trace_close(trace_now());
  trace_stop();
  EXPECT_FALSE(trace_on);
  trace_close(trace_now());  // not tracing: nothing is noted
  ASSERT_EQ(trace_start(path.c_str()), 0);
  trace_stop();
  const std::vector<std::string> l = lines_of(read_file(path));
  ASSERT_EQ(l.size(), 4u) << read_file(path);
  EXPECT_EQ(l[0], "earlier run");
  EXPECT_NE(l[1].find("trace started"), std::string::npos);
  EXPECT_NE(l[2].find("close in "), std::string::npos);
  EXPECT_NE(l[3].find("trace started"), std::string::npos);
}

TEST_F(Trace, FileThatCannotBeOpenedIsRefused) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(trace_start((path + "/no/such/dir").c_str()), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("tovhost: cannot open the trace file "), std::string::npos) << err;
  EXPECT_FALSE(trace_on);
}

TEST_F(Trace, FullBufferIsWrittenOutAndNothingIsLost) {
  ASSERT_EQ(trace_start(path.c_str()), 0);
  // Notes of 1000 data bytes: the buffer fills once.
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  const int notes = TRACE_BUFFER_SIZE / 1000 + 100;
  for (int i = 0; i < notes; ++i) trace_write(trace_now(), data.data(), 1000, 1000, nullptr);
  trace_stop();
  const std::string text = read_file(path);
  size_t writes = 0, full = 0;
  for (const std::string& l : lines_of(text)) {
    if (l.find("write 1000: wrote 1000") != std::string::npos) ++writes;
    if (l.find("trace buffer full: written out in ") != std::string::npos) ++full;
  }
  EXPECT_EQ(writes, static_cast<size_t>(notes));
  EXPECT_EQ(full, 1u);
  // 1000 bytes make 63 data lines; the last shows bytes 0x3e0..0x3e7.
  EXPECT_NE(text.find("  03e0  e0 e1 e2 e3 e4 e5 e6 e7   "), std::string::npos);
}

}  // namespace
