// The POSIX platform layer on a pseudo-terminal: line settings, exclusive
// use, and a device that goes away.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <string>

#include "pty_pair.h"
#include "serial/platform.h"

namespace {

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.open_pair()); }
  void TearDown() override {
    if (h != PLAT_NO_HANDLE) {
      plat_close(h);
    }
  }
  // What set_comm_prop asks for: 8N1, flow control, DTR and RTS off.
  static plat_comm_state link_state_for(uint32_t baud) {
    plat_comm_state s{};
    s.baud = baud;
    s.flags = 0x0001 | 0x800;
    s.byte_size = 8;
    s.parity = 0;
    s.stop_bits = 0;
    return s;
  }
  pty_pair pty;
  plat_handle h = PLAT_NO_HANDLE;
};

TEST_F(PlatformTest, EveryRateIsSetExactly) {
  h = plat_open(pty.slave_path.c_str());
  ASSERT_NE(h, PLAT_NO_HANDLE);
  for (const long* rate = baud_table; *rate != 0; ++rate) {
    const auto baud = static_cast<uint32_t>(*rate);
    ASSERT_EQ(plat_set_state(h, link_state_for(baud)), 0) << baud;
    plat_comm_state back{};
    ASSERT_EQ(plat_get_state(h, &back), 0);
    EXPECT_EQ(back.baud, baud);
    termios2 t{};
    ASSERT_EQ(ioctl(static_cast<int>(h), TCGETS2, &t), 0);
    EXPECT_EQ(t.c_ospeed, baud);
    if (baud == 14400 || baud == 56000) {
      EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER)) << baud;
    } else {
      EXPECT_NE(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER)) << baud;
    }
  }
}

TEST_F(PlatformTest, LineIsRaw8N1WithoutFlowControl) {
  h = plat_open(pty.slave_path.c_str());
  ASSERT_NE(h, PLAT_NO_HANDLE);
  const int fd = static_cast<int>(h);
  // Start from a cooked line with flow control and parity, as a port may be left.
  termios2 t{};
  ASSERT_EQ(ioctl(fd, TCGETS2, &t), 0);
  t.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INPCK | ISTRIP;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  t.c_cflag |= CSTOPB | CRTSCTS;
  t.c_cc[VMIN] = 1;
  ASSERT_EQ(ioctl(fd, TCSETS2, &t), 0);

  plat_comm_state before{};
  ASSERT_EQ(plat_get_state(h, &before), 0);
  // (a pseudo-terminal itself keeps 8 data bits without parity)
  EXPECT_EQ(before.stop_bits, 2);
  EXPECT_EQ(before.flags & 0x0306, 0x0306u);  // parity check, CTS flow, XON/XOFF both ways

  ASSERT_EQ(plat_set_state(h, link_state_for(9600)), 0);
  ASSERT_EQ(ioctl(fd, TCGETS2, &t), 0);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | INPCK | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  plat_comm_state after{};
  ASSERT_EQ(plat_get_state(h, &after), 0);
  EXPECT_EQ(after.baud, 9600u);
  EXPECT_EQ(after.byte_size, 8);
  EXPECT_EQ(after.parity, 0);
  EXPECT_EQ(after.stop_bits, 0);
  EXPECT_EQ(after.flags & 0x333E, 0u);  // no parity check, flow control, DTR or RTS
}

TEST_F(PlatformTest, PropertiesOfferWhatTheLinkNeeds) {
  h = plat_open(pty.slave_path.c_str());
  ASSERT_NE(h, PLAT_NO_HANDLE);
  plat_comm_props p{};
  p.length = 62;
  ASSERT_EQ(plat_get_props(h, &p), 0);
  EXPECT_GE(p.length, 62u);
  EXPECT_EQ(p.settable_params & 0xF, 0xFu);
  EXPECT_EQ(p.settable_data & 0x0008, 0x0008);
  EXPECT_EQ(p.settable_stop_parity & 0x0101, 0x0101);
  EXPECT_EQ(p.prov_capabilities & 0x00C0, 0x00C0u);
  errno = 0;
  EXPECT_EQ(plat_get_props(PLAT_NO_HANDLE, &p), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(PlatformTest, SecondOpenIsRefusedUntilClosed) {
  h = plat_open(pty.slave_path.c_str());
  ASSERT_NE(h, PLAT_NO_HANDLE);
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
  h = plat_open(pty.slave_path.c_str());
  ASSERT_NE(h, PLAT_NO_HANDLE);
  ASSERT_TRUE(pty.send("ab"));
  pty.close_master();
  uint8_t buf[16];
  int got = -1;
  const auto start = std::chrono::steady_clock::now();
  errno = 0;
  EXPECT_EQ(plat_read(h, buf, sizeof buf, deadline_in_ms(3000), &got), -1);
  EXPECT_LT(ms_since(start), 1000.0);  // no waiting out the deadline, no spinning for ever
  EXPECT_EQ(errno, EIO);
  uint8_t out[4] = {1, 2, 3, 4};
  int written = -1;
  EXPECT_EQ(plat_write(h, out, 4, deadline_in_ms(1000), &written), -1);
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
