// The POSIX platform layer on a pseudo-terminal: the line settings the
// terminal ends up with (read back with tcgetattr), exclusive use, and a
// device that goes away.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <string>

#include "pty_pair.h"
#include "serial/platform.h"
#include "serial/serial.h"
#ifdef __linux__
#include "termios2_probe.h"
#endif

namespace {

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.open_pair()); }
  void TearDown() override {
    if (h != PLAT_NO_HANDLE) {
      plat_close(h);
    }
  }
  void open_port_of_pair() {
    h = plat_open(pty.slave_path.c_str());
    ASSERT_NE(h, PLAT_NO_HANDLE);
  }
  int fd() const { return static_cast<int>(h); }
  termios settings() const {
    termios t{};
    EXPECT_EQ(tcgetattr(fd(), &t), 0);
    return t;
  }
  pty_pair pty;
  plat_handle h = PLAT_NO_HANDLE;
};

// Every rate of baud_table with a constant of its own, and the constant.
struct rate_row {
  uint32_t baud;
  speed_t code;
};
constexpr rate_row coded_rates[] = {
    {110, B110},     {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},
    {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600},
    {115200, B115200},
};
// The rates of baud_table no POSIX constant names.
constexpr uint32_t uncoded_rates[] = {14400, 56000};

TEST(PlatformRates, TheTablesCoverBaudTable) {
  size_t n = 0;
  for (const long* rate = baud_table; *rate != 0; ++rate, ++n) {
    bool found = false;
    for (const rate_row& r : coded_rates) found = found || r.baud == static_cast<uint32_t>(*rate);
    for (const uint32_t b : uncoded_rates) found = found || b == static_cast<uint32_t>(*rate);
    EXPECT_TRUE(found) << *rate;
  }
  EXPECT_EQ(n, std::size(coded_rates) + std::size(uncoded_rates));
}

TEST_F(PlatformTest, EveryRateWithAConstantIsSetExactly) {
  open_port_of_pair();
  // Downwards and upwards, so that each rate replaces a different one.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < std::size(coded_rates); ++i) {
      const rate_row& r = coded_rates[pass == 0 ? std::size(coded_rates) - 1 - i : i];
      plat_line_fault fault{PLAT_LINE_SET, 99};
      ASSERT_EQ(plat_configure_line(h, r.baud, &fault), PLAT_OK) << r.baud;
      EXPECT_EQ(fault.step, PLAT_LINE_DONE);
      const termios t = settings();
      EXPECT_EQ(cfgetospeed(&t), r.code) << r.baud;
      EXPECT_EQ(cfgetispeed(&t), r.code) << r.baud;
#ifdef __linux__
      const termios2_rate k = probe_termios2_rate(fd());
      ASSERT_TRUE(k.ok);
      EXPECT_FALSE(k.other) << r.baud;
      EXPECT_EQ(k.ospeed, r.baud);
      EXPECT_TRUE(k.input_same) << r.baud;
#endif
    }
  }
}

TEST_F(PlatformTest, RatesWithoutAConstantAreSetExactly) {
#ifdef TOVHOST_GENERIC_POSIX
  GTEST_SKIP() << "the generic POSIX path cannot set 14400 or 56000 baud (no Bxxx constant)";
#elif !defined(__linux__)
  GTEST_SKIP() << "no termios2 to read the rate back on this system";
#else
  open_port_of_pair();
  for (const uint32_t baud : uncoded_rates) {
    ASSERT_EQ(plat_configure_line(h, 9600, nullptr), PLAT_OK);
    plat_line_fault fault{};
    ASSERT_EQ(plat_configure_line(h, baud, &fault), PLAT_OK) << baud;
    const termios2_rate k = probe_termios2_rate(fd());
    ASSERT_TRUE(k.ok);
    EXPECT_TRUE(k.other) << baud;
    EXPECT_EQ(k.ospeed, baud);
    EXPECT_TRUE(k.input_same) << baud;
    // From a rate by number back to one by code.
    ASSERT_EQ(plat_configure_line(h, 4800, nullptr), PLAT_OK);
    const termios t = settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
    EXPECT_FALSE(probe_termios2_rate(fd()).other);
  }
#endif
}

TEST_F(PlatformTest, GenericPathRefusesRatesWithoutAConstant) {
#ifndef TOVHOST_GENERIC_POSIX
  GTEST_SKIP() << "only the generic POSIX path refuses 14400 and 56000 baud";
#else
  open_port_of_pair();
  ASSERT_EQ(plat_configure_line(h, 19200, nullptr), PLAT_OK);
  for (const uint32_t baud : uncoded_rates) {
    plat_line_fault fault{};
    errno = 0;
    EXPECT_EQ(plat_configure_line(h, baud, &fault), PLAT_FAILED) << baud;
    EXPECT_EQ(fault.step, PLAT_LINE_SET);
    EXPECT_EQ(errno, EINVAL);
  }
  // Refused, not rounded: the rate before stays.
  const termios t = settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
#endif
}

TEST_F(PlatformTest, LineIsRaw8N1WithoutFlowControl) {
  open_port_of_pair();
  // Start from a cooked line with flow control, parity and two stop bits, as
  // a port may be left by another program.
  termios t = settings();
  t.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | INPCK | ISTRIP | BRKINT | PARMRK;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  t.c_cflag |= CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  ASSERT_EQ(tcsetattr(fd(), TCSANOW, &t), 0);

  ASSERT_EQ(plat_configure_line(h, 9600, nullptr), PLAT_OK);
  t = settings();
  // 8N1
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB), 0u);
  // no flow control, receiver on, modem lines not waited for
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  // raw: no translation, no parity marks, no echo, no signals, no lines
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | INPCK | ISTRIP | BRKINT | PARMRK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
  // bytes handed over as they come; the waiting is the deadline's
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(PlatformTest, RawLinePassesEveryByteBothWays) {
  open_port_of_pair();
  ASSERT_EQ(plat_configure_line(h, 57600, nullptr), PLAT_OK);
  std::string all;
  for (int c = 0; c < 256; ++c) {
    all.push_back(static_cast<char>(c));
  }
  int written = -1;
  ASSERT_EQ(plat_write(h, reinterpret_cast<const uint8_t*>(all.data()), 256, deadline_in_ms(500), &written),
            PLAT_OK);
  EXPECT_EQ(written, 256);
  EXPECT_EQ(pty.receive(256, 500), all);

  ASSERT_TRUE(pty.send(all));
  uint8_t buf[256];
  int got = -1;
  ASSERT_EQ(plat_read(h, buf, 256, deadline_in_ms(1000), &got), PLAT_OK);
  ASSERT_EQ(got, 256);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 256), all);
}

TEST_F(PlatformTest, PurgeOfInputKeepsWhatWasWritten) {
  open_port_of_pair();
  ASSERT_EQ(plat_configure_line(h, 9600, nullptr), PLAT_OK);
  ASSERT_TRUE(pty.send("stale"));
  usleep(20000);
  const uint8_t cmd[] = {'k', 'e', 'p', 't'};
  int written = -1;
  ASSERT_EQ(plat_write(h, cmd, 4, deadline_in_ms(100), &written), PLAT_OK);
  ASSERT_EQ(plat_purge(h, false), PLAT_OK);
  uint8_t buf[8];
  int got = -1;
  ASSERT_EQ(plat_read(h, buf, 8, deadline_in_ms(30), &got), PLAT_OK);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(pty.receive(4, 300), "kept");
}

TEST_F(PlatformTest, DeviceThatIsNoTerminalFailsAtTheFirstStep) {
  // What the port can do cannot even be asked: the first step fails, with
  // the system's reason.
  h = plat_open("/dev/null");
  ASSERT_NE(h, PLAT_NO_HANDLE);
  plat_line_fault fault{PLAT_LINE_SET, 7};
  errno = 0;
  EXPECT_EQ(plat_configure_line(h, 9600, &fault), PLAT_FAILED);
  EXPECT_EQ(fault.step, PLAT_LINE_QUERY);
  EXPECT_EQ(fault.value, 0u);
  EXPECT_EQ(errno, ENOTTY);

  errno = 0;
  EXPECT_EQ(plat_configure_line(PLAT_NO_HANDLE, 9600, &fault), PLAT_FAILED);
  EXPECT_EQ(fault.step, PLAT_LINE_QUERY);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(PlatformTest, SecondOpenIsRefusedUntilClosed) {
  open_port_of_pair();
  errno = 0;
  EXPECT_EQ(plat_open(pty.slave_path.c_str()), PLAT_NO_HANDLE);
  EXPECT_EQ(errno, EBUSY);
  plat_close(h);
  h = plat_open(pty.slave_path.c_str());
  EXPECT_NE(h, PLAT_NO_HANDLE);
}

TEST_F(PlatformTest, NamesOutsideCom1ToCom20AreNotPorts) {
  for (const char* name : {"COM0", "COM21", "COM01", "COM", "COM1x", "LPT1", "ttyS0", ""}) {
    errno = 0;
    EXPECT_EQ(plat_open(name), PLAT_NO_HANDLE) << name;
    EXPECT_EQ(errno, ENOENT) << name;
  }
}

TEST_F(PlatformTest, VanishedDeviceFailsTheReadAtOnce) {
  open_port_of_pair();
  ASSERT_TRUE(pty.send("ab"));
  pty.close_master();
  uint8_t buf[16];
  int got = -1;
  const auto start = std::chrono::steady_clock::now();
  errno = 0;
  EXPECT_EQ(plat_read(h, buf, sizeof buf, deadline_in_ms(3000), &got), PLAT_FAILED);
  EXPECT_LT(ms_since(start), 1000.0);  // no waiting out the deadline, no spinning for ever
  EXPECT_EQ(errno, EIO);
  uint8_t out[4] = {1, 2, 3, 4};
  int written = -1;
  EXPECT_EQ(plat_write(h, out, 4, deadline_in_ms(1000), &written), PLAT_FAILED);
  EXPECT_EQ(written, 0);
}

TEST_F(PlatformTest, ErrorTextHasNoLineEnd) {
  char buf[1024];
  plat_error_text(EBUSY, buf, sizeof buf);
  EXPECT_STREQ(buf, "Device or resource busy");
  plat_error_text(ENOENT, buf, sizeof buf);
  EXPECT_STREQ(buf, "No such file or directory");
  char tiny[5];
  plat_error_text(ENOENT, tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "No s");
}

}  // namespace
