// The Windows platform layer under the serial operations. The layer is built
// into this test itself, so its internal helpers (the DCB flag word) can be
// checked against the system's own DCB layout.
#include "../../src/serial/platform_win32.cpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "win_port.h"

namespace {

// The flag word as the system stores it: the DWORD after DCBlength and BaudRate.
uint32_t raw_word(const DCB& d) {
  uint32_t w = 0;
  std::memcpy(&w, reinterpret_cast<const unsigned char*>(&d) + 2 * sizeof(DWORD), sizeof w);
  return w;
}

void set_raw_word(DCB& d, uint32_t w) {
  std::memcpy(reinterpret_cast<unsigned char*>(&d) + 2 * sizeof(DWORD), &w, sizeof w);
}

TEST(Win32Dcb, FlagWordMatchesTheSystemLayoutBitForBit) {
  for (int bit = 0; bit < 32; ++bit) {
    const uint32_t w = uint32_t{1} << bit;
    DCB d{};
    set_dcb_flags(d, w);
    EXPECT_EQ(raw_word(d), w) << "bit " << bit;
    DCB e{};
    set_raw_word(e, w);
    EXPECT_EQ(dcb_flags(e), w) << "bit " << bit;
  }
  for (const uint32_t w : {0u, 0xFFFFFFFFu, 0x00001011u, 0xA5A5A5A5u, 0x5A5A5A5Au}) {
    DCB d{};
    set_dcb_flags(d, w);
    EXPECT_EQ(raw_word(d), w);
    EXPECT_EQ(dcb_flags(d), w);
  }
}

TEST(Win32Dcb, LineSettingsOfTheLinkClearFlowControlAndKeepTheRest) {
  // What the serial layer does to the word it read: keep 0xFFFFCCC1, set 0x800.
  DCB d{};
  d.fBinary = 1;
  d.fParity = 1;
  d.fOutxCtsFlow = 1;
  d.fOutxDsrFlow = 1;
  d.fDtrControl = DTR_CONTROL_HANDSHAKE;
  d.fDsrSensitivity = 1;
  d.fTXContinueOnXoff = 1;
  d.fOutX = 1;
  d.fInX = 1;
  d.fErrorChar = 1;
  d.fNull = 0;
  d.fRtsControl = RTS_CONTROL_TOGGLE;
  d.fAbortOnError = 1;
  DCB out = d;
  set_dcb_flags(out, (dcb_flags(d) & 0xFFFFCCC1u) | 0x800u);
  EXPECT_EQ(out.fBinary, 1u);
  EXPECT_EQ(out.fParity, 0u);
  EXPECT_EQ(out.fOutxCtsFlow, 0u);
  EXPECT_EQ(out.fOutxDsrFlow, 0u);
  EXPECT_EQ(out.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(out.fDsrSensitivity, 1u);
  EXPECT_EQ(out.fTXContinueOnXoff, 1u);
  EXPECT_EQ(out.fOutX, 0u);
  EXPECT_EQ(out.fInX, 0u);
  EXPECT_EQ(out.fErrorChar, 1u);
  EXPECT_EQ(out.fNull, 1u);
  EXPECT_EQ(out.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(out.fAbortOnError, 1u);
}

TEST(Win32ErrorText, SystemTextWithoutLineEndAndErrorNumberKept) {
  char buf[1024];
  SetLastError(ERROR_ACCESS_DENIED);
  plat_error_text(ERROR_FILE_NOT_FOUND, buf, sizeof buf);
  const std::string text = buf;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_EQ(plat_last_error(), ERROR_ACCESS_DENIED);

  // A number the system has no text for still gives a text.
  plat_error_text(0x2ABCDEF0, buf, sizeof buf);
  EXPECT_STREQ(buf, "system error 717020912");

  // A small buffer is filled and ended, never overrun.
  char small[12];
  std::memset(small, 'x', sizeof small);
  plat_error_text(ERROR_FILE_NOT_FOUND, small, 8);
  EXPECT_LT(std::strlen(small), 8u);
  EXPECT_EQ(small[8], 'x');
}

TEST(Win32Open, MissingPortAndBadNamesFail) {
  EXPECT_EQ(plat_open("COM19"), PLAT_NO_HANDLE);
  EXPECT_NE(plat_last_error(), 0);
  EXPECT_EQ(plat_open(nullptr), PLAT_NO_HANDLE);
  EXPECT_EQ(plat_last_error(), ERROR_INVALID_PARAMETER);
  const std::string long_name(400, 'C');
  EXPECT_EQ(plat_open(long_name.c_str()), PLAT_NO_HANDLE);
  EXPECT_EQ(plat_last_error(), ERROR_INVALID_NAME);
}

class Win32Port : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_PORT();
    h = plat_open(test_port_name().c_str());
    ASSERT_NE(h, PLAT_NO_HANDLE) << "cannot open " << test_port_name() << ": " << plat_last_error();
    plat_comm_state s{};
    ASSERT_EQ(plat_get_state(h, &s), 0);
    s.baud = 19200;
    s.byte_size = 8;
    s.parity = 0;
    s.stop_bits = 0;
    s.flags = (s.flags & 0xFFFFCCC1u) | 0x800u;
    ASSERT_EQ(plat_set_state(h, s), 0);
    ASSERT_EQ(plat_set_timeouts(h, comm_timeouts{0, 0, 1, 1, 10}), 0);
    ASSERT_EQ(plat_purge(h, PLAT_PURGE_RXCLEAR | PLAT_PURGE_TXCLEAR), 0);
  }
  void TearDown() override {
    if (h != PLAT_NO_HANDLE) {
      plat_close(h);
    }
  }
  plat_handle h = PLAT_NO_HANDLE;
};

TEST_F(Win32Port, PropertyQueryNeverAsksForLessThanAWholeRecord) {
  plat_comm_props p{};
  p.length = 62;
  ASSERT_EQ(plat_get_props(h, &p), 0);
  EXPECT_GE(p.length, sizeof(COMMPROP));
  const uint32_t needed = p.length;
  p = plat_comm_props{};
  p.length = needed;
  ASSERT_EQ(plat_get_props(h, &p), 0);
  EXPECT_EQ(p.settable_params & 0xFu, 0xFu);
  EXPECT_EQ(p.settable_data & 0x0008u, 0x0008u);
  EXPECT_EQ(p.settable_stop_parity & 0x0101u, 0x0101u);
  EXPECT_EQ(p.prov_capabilities & 0x00C0u, 0x00C0u);
}

TEST_F(Win32Port, LineSettingsReachThePort) {
  plat_comm_state s{};
  ASSERT_EQ(plat_get_state(h, &s), 0);
  for (const uint32_t baud : {4800u, 9600u, 19200u, 38400u, 57600u}) {
    s.baud = baud;
    ASSERT_EQ(plat_set_state(h, s), 0) << baud;
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_TRUE(GetCommState(native(h), &d));
    EXPECT_EQ(d.BaudRate, baud);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
  }
  // XON/XOFF both ways set through the word shows in the port's own DCB.
  s.flags |= 0x300u;
  ASSERT_EQ(plat_set_state(h, s), 0);
  DCB d{};
  d.DCBlength = sizeof d;
  ASSERT_TRUE(GetCommState(native(h), &d));
  EXPECT_EQ(d.fOutX, 1u);
  EXPECT_EQ(d.fInX, 1u);
}

TEST_F(Win32Port, ReadOfASilentLineWaitsItsWholeTimeOut) {
  // 40 bytes at 2 ms each plus 110 ms: about 190 ms.
  ASSERT_EQ(plat_set_timeouts(h, comm_timeouts{0, 2, 110, 4, 10}), 0);
  uint8_t buf[40];
  int got = -1;
  const double t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 40, deadline_in_ms(190), &got), 0);
  const double took = now_ms() - t0;
  EXPECT_EQ(got, 0);
  EXPECT_GE(took, 170.0);
  EXPECT_LT(took, 600.0);
}

TEST_F(Win32Port, ReadCalledAgainWaitsOnlyForWhatIsLeftOfTheDeadline) {
  // The time-outs in force are used up by the first read; the second must
  // end at its own deadline, not after the 50 ms still set on the port, and
  // not wait for ever either.
  ASSERT_EQ(plat_set_timeouts(h, comm_timeouts{0, 0, 50, 1, 10}), 0);
  uint8_t buf[8];
  int got = -1;
  ASSERT_EQ(plat_read(h, buf, 8, deadline_in_ms(50), &got), 0);
  EXPECT_EQ(got, 0);
  double t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 8, deadline_in_ms(250), &got), 0);
  double took = now_ms() - t0;
  EXPECT_EQ(got, 0);
  EXPECT_GE(took, 230.0);
  EXPECT_LT(took, 700.0);

  // A deadline already passed reads what is waiting and returns at once.
  t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 8, deadline_in_ms(0), &got), 0);
  took = now_ms() - t0;
  EXPECT_EQ(got, 0);
  EXPECT_LT(took, 100.0);
}

TEST_F(Win32Port, WrittenBytesComeBackFromTheEchoingPeer) {
  const uint8_t msg[9] = {'v', 'e', 'r', 's', 'i', 'o', 'n', '\n', 0x03};
  int written = -1;
  ASSERT_EQ(plat_write(h, msg, 9, deadline_in_ms(100), &written), 0);
  EXPECT_EQ(written, 9);
  EXPECT_EQ(plat_drain(h, deadline_in_ms(100)), 0);

  ASSERT_EQ(plat_set_timeouts(h, comm_timeouts{0, 0, 2000, 1, 10}), 0);
  uint8_t buf[9] = {};
  int got = -1;
  const double t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 9, deadline_in_ms(2000), &got), 0);
  EXPECT_EQ(got, 9);
  EXPECT_EQ(std::memcmp(buf, msg, 9), 0);
  EXPECT_LT(now_ms() - t0, 1000.0) << "a full read returns when the bytes are there";
}

TEST_F(Win32Port, PurgeDiscardsWhatWaitsInTheReceiveQueue) {
  const uint8_t msg[4] = {'a', 'b', 'c', 'd'};
  int written = -1;
  ASSERT_EQ(plat_write(h, msg, 4, deadline_in_ms(100), &written), 0);
  // Wait until the echo is in the receive queue.
  const deadline until = deadline_in_ms(2000);
  DWORD errors = 0;
  COMSTAT st{};
  while (!deadline_passed(until) && ClearCommError(native(h), &errors, &st) && st.cbInQue < 4) {
    Sleep(5);
  }
  ASSERT_EQ(st.cbInQue, 4u);
  ASSERT_EQ(plat_purge(h, PLAT_PURGE_RXCLEAR), 0);
  uint8_t buf[4];
  int got = -1;
  ASSERT_EQ(plat_read(h, buf, 4, deadline_in_ms(50), &got), 0);
  EXPECT_EQ(got, 0);
}

TEST_F(Win32Port, ClosedHandleFailsEveryOperation) {
  plat_close(h);
  const plat_handle stale = h;
  h = PLAT_NO_HANDLE;
  uint8_t buf[4] = {1, 2, 3, 4};
  int n = -1;
  EXPECT_EQ(plat_read(stale, buf, 4, deadline_in_ms(20), &n), -1);
  EXPECT_EQ(plat_write(stale, buf, 4, deadline_in_ms(20), &n), -1);
  EXPECT_NE(plat_last_error(), 0);
  plat_comm_state s{};
  EXPECT_EQ(plat_get_state(stale, &s), -1);
}

}  // namespace
