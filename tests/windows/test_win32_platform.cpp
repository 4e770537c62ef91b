// The Windows platform layer under the serial operations. The layer is built
// into this test itself, so its internal helpers (the DCB flag word) can be
// checked against the system's own DCB layout, and the driver's transmit
// count can be played by the test (a far end that takes bytes at the line's
// rate, at half of it, or not at all: a pseudo-terminal under Wine never
// holds any).
#include "win_port.h"

namespace {

struct fake_out_queue {
  bool armed;
  uint32_t start;  // bytes queued when armed
  double per_ms;   // bytes the far end takes a millisecond
  double t0;
  int looks;
};
fake_out_queue fake_queue{};

// ClearCommError, with cbOutQue played by fake_queue while it is armed.
BOOL WINAPI test_clear_comm_error(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
  if (!fake_queue.armed) {
    return ClearCommError(h, errors, status);
  }
  ++fake_queue.looks;
  const double sent = (now_ms() - fake_queue.t0) * fake_queue.per_ms;
  *errors = 0;
  *status = COMSTAT{};
  status->cbOutQue = sent >= fake_queue.start ? 0 : fake_queue.start - static_cast<DWORD>(sent);
  return TRUE;
}

}  // namespace

#define ClearCommError test_clear_comm_error
#include "../../src/serial/platform_win32.cpp"
#undef ClearCommError

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
  // The link keeps 0xFFFFCCC1 of the word it read and sets 0x800.
  DCB d{};
  d.BaudRate = 4800;
  d.ByteSize = 7;
  d.Parity = ODDPARITY;
  d.StopBits = TWOSTOPBITS;
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
  d.XonLim = 123;
  d.XonChar = 0x11;
  d.ErrorChar = '?';
  DCB out = d;
  link_dcb(out, 57600);
  EXPECT_EQ(raw_word(out), (raw_word(d) & 0xFFFFCCC1u) | 0x800u);
  EXPECT_EQ(out.BaudRate, 57600u);
  EXPECT_EQ(out.ByteSize, 8);
  EXPECT_EQ(out.Parity, NOPARITY);
  EXPECT_EQ(out.StopBits, ONESTOPBIT);
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
  // What the link does not set stays as the port had it.
  EXPECT_EQ(out.XonLim, 123);
  EXPECT_EQ(out.XonChar, 0x11);
  EXPECT_EQ(out.ErrorChar, '?');
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
    plat_line_fault fault{};
    ASSERT_EQ(plat_configure_line(h, 19200, &fault), PLAT_OK) << "step " << fault.step;
    ASSERT_EQ(plat_purge(h, true), PLAT_OK);
  }
  void TearDown() override {
    if (h != PLAT_NO_HANDLE) {
      plat_close(h);
    }
  }
  DCB port_dcb() const {
    DCB d{};
    d.DCBlength = sizeof d;
    EXPECT_TRUE(GetCommState(native(h), &d));
    return d;
  }
  plat_handle h = PLAT_NO_HANDLE;
};

TEST_F(Win32Port, LineSettingsReachThePort) {
  // Start from a port left with flow control, parity and two stop bits.
  DCB d = port_dcb();
  d.ByteSize = 7;
  d.Parity = EVENPARITY;
  d.StopBits = TWOSTOPBITS;
  d.fParity = 1;
  d.fOutxCtsFlow = 1;
  d.fOutX = 1;
  d.fInX = 1;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  ASSERT_TRUE(SetCommState(native(h), &d));

  for (const uint32_t baud : {4800u, 9600u, 19200u, 38400u, 57600u, 110u, 115200u}) {
    plat_line_fault fault{PLAT_LINE_SET, 1};
    ASSERT_EQ(plat_configure_line(h, baud, &fault), PLAT_OK) << baud;
    EXPECT_EQ(fault.step, PLAT_LINE_DONE);
    d = port_dcb();
    EXPECT_EQ(d.BaudRate, baud);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutxDsrFlow, 0u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
    if (!running_on_wine()) {
      // Wine reads DTR and RTS back from the modem lines, which a
      // pseudo-terminal does not have.
      EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
      EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    }
  }
}

TEST_F(Win32Port, ConfiguredPortNeverWaitsForEver) {
  // Until a read sets its deadline, a read returns at once: never the
  // system's default of no time-out at all.
  COMMTIMEOUTS ct{};
  ASSERT_TRUE(GetCommTimeouts(native(h), &ct));
  EXPECT_EQ(ct.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(ct.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(ct.ReadTotalTimeoutConstant, 0u);
  EXPECT_NE(ct.WriteTotalTimeoutMultiplier + ct.WriteTotalTimeoutConstant, 0u);
}

TEST_F(Win32Port, ReadOfASilentLineWaitsItsWholeDeadline) {
  uint8_t buf[40];
  int got = -1;
  const double t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 40, deadline_in_ms(190), &got), PLAT_OK);
  const double took = now_ms() - t0;
  EXPECT_EQ(got, 0);
  EXPECT_GE(took, 170.0);
  EXPECT_LT(took, 600.0);
}

TEST_F(Win32Port, EachReadWaitsOnlyForItsOwnDeadline) {
  // A short read, then a longer one: the second must end at its own
  // deadline, not at the first one's, and not wait for ever either.
  uint8_t buf[8];
  int got = -1;
  ASSERT_EQ(plat_read(h, buf, 8, deadline_in_ms(50), &got), PLAT_OK);
  EXPECT_EQ(got, 0);
  double t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 8, deadline_in_ms(250), &got), PLAT_OK);
  double took = now_ms() - t0;
  EXPECT_EQ(got, 0);
  EXPECT_GE(took, 230.0);
  EXPECT_LT(took, 700.0);

  // A deadline already passed reads what is waiting and returns at once.
  t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 8, deadline_in_ms(0), &got), PLAT_OK);
  took = now_ms() - t0;
  EXPECT_EQ(got, 0);
  EXPECT_LT(took, 100.0);
}

TEST_F(Win32Port, WrittenBytesComeBackFromTheEchoingPeer) {
  const uint8_t msg[9] = {'v', 'e', 'r', 's', 'i', 'o', 'n', '\n', 0x03};
  int written = -1;
  ASSERT_EQ(plat_write(h, msg, 9, deadline_in_ms(100), &written), PLAT_OK);
  EXPECT_EQ(written, 9);
  const double d0 = now_ms();
  EXPECT_EQ(plat_drain(h, deadline_in_ms(10000)), PLAT_OK);
  EXPECT_LT(now_ms() - d0, 400.0) << "a drain ends once the bytes have left, not at the caller's deadline";

  uint8_t buf[9] = {};
  int got = -1;
  const double t0 = now_ms();
  ASSERT_EQ(plat_read(h, buf, 9, deadline_in_ms(2000), &got), PLAT_OK);
  EXPECT_EQ(got, 9);
  EXPECT_EQ(std::memcmp(buf, msg, 9), 0);
  EXPECT_LT(now_ms() - t0, 1000.0) << "a full read returns when the bytes are there";
}

TEST_F(Win32Port, DrainWaitsForTheQueueAndIsBoundedByIt) {
  // 100 bytes queued at 19200 baud: 53 ms on the wire, a bound of 142 ms
  // (twice the wire time of the queue and a 16-character FIFO, plus 20 ms).
  struct row {
    const char* what;
    double rate;        // share of the line's rate the far end takes
    uint32_t caller_ms;
    int rc;
    double min_ms, max_ms;
    int max_looks;
  };
  const row rows[] = {
      {"sent at the line's rate", 1.0, 10000, PLAT_OK, 52, 110, 3},
      {"sent at half the rate", 0.5, 10000, PLAT_OK, 104, 150, 10},
      {"far end takes nothing", 0.0, 10000, PLAT_FAILED, 138, 200, 4},
      {"caller's deadline first", 0.0, 30, PLAT_FAILED, 28, 70, 4},
  };
  for (const row& r : rows) {
    fake_queue = {true, 100, 1.92 * r.rate, now_ms(), 0};
    const int rc = plat_drain(h, deadline_in_ms(r.caller_ms));
    const int err = plat_last_error();
    const double took = now_ms() - fake_queue.t0;
    fake_queue.armed = false;
    EXPECT_EQ(rc, r.rc) << r.what;
    if (r.rc != PLAT_OK) {
      EXPECT_EQ(err, ERROR_TIMEOUT) << r.what;
    }
    EXPECT_GE(took, r.min_ms) << r.what;
    EXPECT_LT(took, r.max_ms) << r.what;
    EXPECT_LE(fake_queue.looks, r.max_looks) << r.what;
  }
}

TEST_F(Win32Port, PurgeDiscardsWhatWaitsInTheReceiveQueue) {
  const uint8_t msg[4] = {'a', 'b', 'c', 'd'};
  int written = -1;
  ASSERT_EQ(plat_write(h, msg, 4, deadline_in_ms(100), &written), PLAT_OK);
  // Wait until the echo is in the receive queue.
  const deadline until = deadline_in_ms(2000);
  DWORD errors = 0;
  COMSTAT st{};
  while (!deadline_passed(until) && ClearCommError(native(h), &errors, &st) && st.cbInQue < 4) {
    Sleep(5);
  }
  ASSERT_EQ(st.cbInQue, 4u);
  ASSERT_EQ(plat_purge(h, false), PLAT_OK);
  uint8_t buf[4];
  int got = -1;
  ASSERT_EQ(plat_read(h, buf, 4, deadline_in_ms(50), &got), PLAT_OK);
  EXPECT_EQ(got, 0);
}

TEST_F(Win32Port, ClosedHandleFailsEveryOperation) {
  plat_close(h);
  const plat_handle stale = h;
  h = PLAT_NO_HANDLE;
  uint8_t buf[4] = {1, 2, 3, 4};
  int n = -1;
  EXPECT_NE(plat_read(stale, buf, 4, deadline_in_ms(20), &n), PLAT_OK);
  EXPECT_EQ(plat_write(stale, buf, 4, deadline_in_ms(20), &n), PLAT_FAILED);
  EXPECT_NE(plat_last_error(), 0);
  plat_line_fault fault{};
  EXPECT_EQ(plat_configure_line(stale, 19200, &fault), PLAT_FAILED);
  EXPECT_EQ(fault.step, PLAT_LINE_QUERY);
}

}  // namespace
