// The serial operations on a Windows COM port: opening, timed reads with the
// time-outs that follow from the baud rate, writes, NUL bytes kept from the
// readers, and the messages of a port that cannot be opened.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "serial/serial.h"
#include "win_port.h"

namespace {

struct captured {
  int rc;
  std::string out;
};

captured open_captured(const char* name, long baud) {
  int rc = 0;
  std::string out = capture_stdout([&] { rc = open_port(name, baud); });
  return {rc, out};
}

// Messages as a text-mode console shows them, CR LF read as LF.
std::string lf(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) {
      out += s[i];
    }
  }
  return out;
}

TEST(Win32SerialOpen, PortThatDoesNotExistGivesTheSystemsReason) {
  const captured c = open_captured("COM19", 19200);
  EXPECT_EQ(c.rc, -2);
  const std::string head = "\a\aError: cannot open COM port COM19: ";
  const std::string out = lf(c.out);
  ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
  EXPECT_GT(out.size(), head.size() + 1) << "the system's text follows the name";
  EXPECT_EQ(out.back(), '\n');
  EXPECT_FALSE(port_is_open());
}

class Win32Serial : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_TEST_PORT(); }
  void TearDown() override { close_port(); }
  const std::string name = test_port_name();
};

TEST_F(Win32Serial, UnsupportedBaudIsRefusedAndThePortClosed) {
  const captured c = open_captured(name.c_str(), 1234);
  EXPECT_EQ(c.rc, -3);
  EXPECT_EQ(lf(c.out), "\a\aError: Invalid baud rate 1234\n");
  EXPECT_FALSE(port_is_open());
}

TEST_F(Win32Serial, SilentReadWaitsTheTimeOutThatFollowsFromTheBaud) {
  uint8_t buf[40];
  // 19200 baud: the read multiplier is 0, so 40 bytes wait 100 + 10 ms.
  ASSERT_EQ(open_captured(name.c_str(), 19200).rc, 0);
  double t0 = now_ms();
  EXPECT_EQ(read_port(name.c_str(), buf, 40, 100), 0);
  double took = now_ms() - t0;
  EXPECT_GE(took, 100.0);
  EXPECT_LT(took, 450.0);
  close_port();

  // 4800 baud: 40 x 2 + 110 = 190 ms.
  ASSERT_EQ(open_captured(name.c_str(), 4800).rc, 0);
  t0 = now_ms();
  EXPECT_EQ(read_port(name.c_str(), buf, 40, 100), 0);
  took = now_ms() - t0;
  EXPECT_GE(took, 180.0);
  EXPECT_LT(took, 550.0);
}

TEST_F(Win32Serial, WriteReturnsItsLengthAndTheEchoComesBackWithoutNulBytes) {
  ASSERT_EQ(open_captured(name.c_str(), 9600).rc, 0);
  const uint8_t msg[9] = {'h', 'o', 's', 't', ' ', '9', '6', '0', '\n'};
  EXPECT_EQ(write_port(name.c_str(), msg, 9), 9);
  uint8_t buf[16] = {};
  const double t0 = now_ms();
  ASSERT_EQ(read_port(name.c_str(), buf, 9, 2000), 9);
  EXPECT_EQ(std::memcmp(buf, msg, 9), 0);
  EXPECT_LT(now_ms() - t0, 1500.0);

  // NUL bytes never reach the reader; the read goes on for the bytes missing.
  const uint8_t with_nul[7] = {'A', 0, 'B', 0, 0, 'C', 0};
  EXPECT_EQ(write_port(name.c_str(), with_nul, 7), 7);
  std::memset(buf, 0, sizeof buf);
  ASSERT_EQ(read_port(name.c_str(), buf, 3, 2000), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "ABC");
}

TEST_F(Win32Serial, ZeroLengthWriteIsRefused) {
  ASSERT_EQ(open_captured(name.c_str(), 19200).rc, 0);
  const uint8_t b = 'x';
  int rc = 0;
  EXPECT_EQ(lf(capture_stdout([&] { rc = write_port(name.c_str(), &b, 0); })), "write_port: Error: invalid param len: 0\n");
  EXPECT_EQ(rc, -1);
}

TEST_F(Win32Serial, PortReopensAtEveryLinkRate) {
  for (const long baud : {4800L, 9600L, 19200L, 38400L, 57600L}) {
    const captured c = open_captured(name.c_str(), baud);
    EXPECT_EQ(c.rc, 0) << baud << ": " << c.out;
    EXPECT_TRUE(port_is_open());
    close_port();
    EXPECT_FALSE(port_is_open());
  }
}

TEST_F(Win32Serial, SecondOpenWhileHeldIsRefused) {
  if (running_on_wine()) {
    GTEST_SKIP() << "Wine does not keep a serial port to one opener";
  }
  ASSERT_EQ(open_captured(name.c_str(), 19200).rc, 0);
  const std::string path = "\\\\.\\" + name;
  HANDLE other = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) {
    CloseHandle(other);
  }
}

}  // namespace
