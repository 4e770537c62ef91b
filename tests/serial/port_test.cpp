// The port operations on a pseudo-terminal: time-outs, NUL bytes, exclusive
// use, writes that finish and writes that cannot, and a device that vanishes
// (the read fails, the port is closed, the program goes on).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "pty_pair.h"
#include "serial/platform.h"
#include "serial/serial.h"

namespace {

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.open_pair()); }
  void TearDown() override { close_port(); }

  const char* name() const { return pty.slave_path.c_str(); }
  void open_at(long baud) { ASSERT_EQ(open_port(name(), baud), 0); }

  // Times one read_port call.
  double timed_read(uint8_t* buf, int size, int timeout, int* got) {
    const auto start = std::chrono::steady_clock::now();
    *got = read_port(name(), buf, size, timeout);
    return ms_since(start);
  }

  pty_pair pty;
};

// Upper tolerance for a loaded machine; the lower bounds are the time-outs.
constexpr double slack_ms = 150.0;

TEST_F(PortTest, SilentLineWaitsOutTheWholeTimeout) {
  uint8_t buf[40];
  int got = -1;
  open_at(19200);
  double ms = timed_read(buf, 40, 100, &got);
  EXPECT_EQ(got, 0);
  EXPECT_GE(ms, 110.0);
  EXPECT_LT(ms, 110.0 + slack_ms);

  open_at(4800);  // 40 x 2 + 110
  ms = timed_read(buf, 40, 100, &got);
  EXPECT_EQ(got, 0);
  EXPECT_GE(ms, 190.0);
  EXPECT_LT(ms, 190.0 + slack_ms);
}

TEST_F(PortTest, ReadReturnsAsSoonAsAllBytesArrive) {
  open_at(4800);
  uint8_t buf[200];
  const std::string data(200, 'x');
  ASSERT_TRUE(pty.send(data));
  int got = -1;
  double ms = timed_read(buf, 200, 2000, &got);
  EXPECT_EQ(got, 200);
  EXPECT_LT(ms, slack_ms);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 200), data);

  // Bytes that come later end the wait when the last one is in.
  std::thread device([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    pty.send("0123456789");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    pty.send("abcdefghij");
  });
  ms = timed_read(buf, 20, 2000, &got);
  device.join();
  EXPECT_EQ(got, 20);
  EXPECT_GE(ms, 95.0);
  EXPECT_LT(ms, 100.0 + slack_ms);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 20), "0123456789abcdefghij");
}

TEST_F(PortTest, FewerBytesThanAskedWaitTheTimeout) {
  open_at(19200);
  ASSERT_TRUE(pty.send("hello"));
  uint8_t buf[40];
  int got = -1;
  const double ms = timed_read(buf, 40, 100, &got);
  EXPECT_EQ(got, 5);
  EXPECT_GE(ms, 110.0);
  EXPECT_LT(ms, 110.0 + slack_ms);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
}

TEST_F(PortTest, NulBytesNeverReachTheReader) {
  open_at(19200);
  const char with_nuls[] = {'\0', 'a', '\0', '\0', 'b', '\0', 'c', 'd'};
  ASSERT_TRUE(pty.send(with_nuls, sizeof with_nuls));
  uint8_t buf[8] = {};
  int got = -1;
  // The NUL bytes do not count toward the three asked for.
  double ms = timed_read(buf, 3, 2000, &got);
  EXPECT_EQ(got, 3);
  EXPECT_LT(ms, slack_ms);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
  ms = timed_read(buf, 1, 2000, &got);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(buf[0], 'd');

  const char mostly_nuls[] = {'\0', '\0', '\0', 'x', 'y', '\0'};
  ASSERT_TRUE(pty.send(mostly_nuls, sizeof mostly_nuls));
  ms = timed_read(buf, 3, 100, &got);
  EXPECT_EQ(got, 2);
  EXPECT_GE(ms, 110.0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "xy");
}

TEST_F(PortTest, EveryOtherByteValuePassesUnchanged) {
  open_at(57600);
  // Device to program: no CR/LF translation, no control characters eaten.
  std::string all;
  for (int c = 1; c < 256; ++c) {
    all.push_back(static_cast<char>(c));
  }
  ASSERT_TRUE(pty.send(all));
  uint8_t buf[255];
  int got = -1;
  timed_read(buf, 255, 1000, &got);
  ASSERT_EQ(got, 255);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 255), all);

  // Program to device: all 256 values, "\n" not turned into "\r\n".
  uint8_t out[256];
  for (int c = 0; c < 256; ++c) {
    out[c] = static_cast<uint8_t>(c);
  }
  EXPECT_EQ(write_port(name(), out, 256), 256);
  EXPECT_EQ(pty.receive(256, 300), std::string(reinterpret_cast<char*>(out), 256));
}

TEST_F(PortTest, InterruptionsNeitherShortenNorEndTheWait) {
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: every signal interrupts the wait
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval every_7ms{{0, 7000}, {0, 7000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every_7ms, nullptr), 0);

  open_at(19200);
  uint8_t buf[40];
  int got = -1;
  const double ms = timed_read(buf, 40, 100, &got);
  ASSERT_TRUE(pty.send("late"));
  const double ms2 = timed_read(buf, 40, 100, &got);

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);

  EXPECT_GE(ms, 110.0);
  EXPECT_LT(ms, 110.0 + slack_ms);
  EXPECT_EQ(got, 4);
  EXPECT_GE(ms2, 110.0);
  EXPECT_LT(ms2, 110.0 + slack_ms);
}

TEST_F(PortTest, PortHeldElsewhereIsRefused) {
  // Another holder of the device: its own descriptor with its own lock.
  const plat_handle holder = plat_open(name());
  ASSERT_NE(holder, PLAT_NO_HANDLE);

  EXPECT_EQ(capture_stdout([&] {
              EXPECT_EQ(open_port(name(), 9600), -2);
            }),
            "\a\aError: cannot open COM port " + pty.slave_path + ": Device or resource busy\n");
  EXPECT_FALSE(port_is_open());

  // The same from another process.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    freopen("/dev/null", "w", stdout);
    _exit(open_port(name(), 9600) == -2 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  plat_close(holder);
  EXPECT_EQ(open_port(name(), 9600), 0);
  EXPECT_TRUE(port_is_open());
}

TEST_F(PortTest, ClosedPortOpensAgainAtOnce) {
  for (int i = 0; i < 3; ++i) {
    open_at(i % 2 == 0 ? 9600 : 57600);
    close_port();
    EXPECT_FALSE(port_is_open());
  }
  // Opening while a port is open replaces it instead of locking itself out.
  open_at(9600);
  open_at(19200);
  EXPECT_TRUE(port_is_open());
  close_port();
  close_port();  // a second close does nothing
}

TEST_F(PortTest, OpenFailures) {
  EXPECT_EQ(capture_stdout([&] {
              EXPECT_EQ(open_port(nullptr, 9600), -1);
              EXPECT_EQ(open_port("/dev/no-such-port", 9600), -2);
              EXPECT_EQ(open_port(name(), 1234), -3);
              EXPECT_EQ(open_port("/dev/null", 9600), -3);
              EXPECT_EQ(set_comm_prop(nullptr, 9600), -1);
            }),
            "open_port: Error: port null argument\n"
            "\a\aError: cannot open COM port /dev/no-such-port: No such file or directory\n"
            "\a\aError: Invalid baud rate 1234\n"
            "\a\aError: could not get comm properties for port /dev/null: Inappropriate ioctl for device\n"
            "set_comm_prop: Error: port null argument\n");
  EXPECT_FALSE(port_is_open());
  // A failed open left nothing locked behind.
  open_at(9600);
}

TEST_F(PortTest, WriteArgumentsAndSuccess) {
  open_at(9600);
  const uint8_t cmd[] = {'\n', 'v', 'e', 'r', 's', 'i', 'o', 'n', '\n'};
  EXPECT_EQ(capture_stdout([&] {
              EXPECT_EQ(write_port(name(), cmd, 0), -1);
              EXPECT_EQ(write_port(name(), nullptr, 9), -2);
              EXPECT_EQ(write_port(nullptr, cmd, 9), -1);
              EXPECT_EQ(write_port(name(), cmd, 9), 9);
            }),
            "write_port: Error: invalid param len: 0\n"
            "write_port: Error: invalid param buf ptr\n"
            "write_port: Error: invalid param file port\n");
  EXPECT_EQ(pty.receive(9, 300), "\nversion\n");
}

TEST_F(PortTest, WriteThatCannotFinishIsAFailedWrite) {
  open_at(57600);  // write time-out: 10 ms
  // The device does not read: the pseudo-terminal's buffer fills up.
  static uint8_t big[1 << 20];
  const auto start = std::chrono::steady_clock::now();
  int rc = 0;
  const std::string out = capture_stdout([&] { rc = write_port(name(), big, sizeof big); });
  const double ms = ms_since(start);
  EXPECT_EQ(rc, -3);
  EXPECT_GE(ms, 10.0);
  EXPECT_LT(ms, 10.0 + slack_ms);
  int written = -1;
  int len = -1;
  char tail[256] = {};
  ASSERT_EQ(sscanf(out.c_str(), "\a\aError: wrote %d of %d, got error on port %255[^\n]", &written, &len, tail), 3)
      << out;
  EXPECT_GT(written, 0);
  EXPECT_LT(written, len);
  EXPECT_EQ(len, static_cast<int>(sizeof big));
  EXPECT_EQ(std::string(tail), pty.slave_path + ": Connection timed out");
}

TEST_F(PortTest, PartialWritesGoOnWithTheRest) {
  open_at(9600);  // 2 ms per byte: ample time for a reader that keeps up
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(1 + (i * 7 + i / 251) % 255);
  }
  std::string received;
  std::thread device([&] { received = pty.receive(data.size(), 5000); });
  EXPECT_EQ(write_port(name(), data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  device.join();
  ASSERT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == std::string(data.begin(), data.end()));
}

TEST_F(PortTest, WriteWithoutPortFails) {
  const uint8_t b[] = {'x'};
  EXPECT_EQ(capture_stdout([&] {
              EXPECT_EQ(write_port("COM3", b, 1), -3);
            }),
            "\a\aError: wrote 0 of 1, got error on port COM3: Bad file descriptor\n");
}

TEST_F(PortTest, PurgeDiscardsWhatArrived) {
  open_at(9600);
  ASSERT_TRUE(pty.send("stale"));
  usleep(20000);
  purge_port();
  uint8_t buf[16];
  int got = -1;
  timed_read(buf, 16, 10, &got);
  EXPECT_EQ(got, 0);
  ASSERT_TRUE(pty.send("fresh"));
  timed_read(buf, 5, 1000, &got);
  EXPECT_EQ(got, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "fresh");
}

TEST_F(PortTest, ReopenKeepsWhatWasWrittenDropsWhatArrived) {
  // The baud change: a command written just before a close and reopen still
  // leaves; what had arrived before the reopen is gone.
  open_at(9600);
  const uint8_t cmd[] = {'h', 'o', 's', 't', ' ', '1', '9', '2', '0', '0', '\n'};
  ASSERT_TRUE(pty.send("stale"));
  usleep(20000);
  ASSERT_EQ(write_port(name(), cmd, 11), 11);
  drain_port();
  close_port();
  open_at(19200);
  uint8_t buf[16];
  int got = -1;
  timed_read(buf, 16, 10, &got);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(pty.receive(11, 300), "host 19200\n");
}

TEST_F(PortTest, DrainReturnsOnceOutputHasLeft) {
  open_at(4800);
  const uint8_t cmd[] = {'r', 'e', 's', 'e', 't', '\n'};
  ASSERT_EQ(write_port(name(), cmd, 6), 6);
  const auto start = std::chrono::steady_clock::now();
  drain_port();
  EXPECT_LT(ms_since(start), 6 * 4 + 10 + slack_ms);
  EXPECT_EQ(pty.receive(6, 300), "reset\n");
  drain_port();  // nothing queued
  close_port();
  drain_port();  // no port: nothing to do
}

TEST_F(PortTest, VanishedDeviceEndsTheReadNotTheProcess) {
  // The failed read is told on standard error as ever, then the port is
  // closed and the read returns at once with READ_PORT_LOST: no pause, no
  // abort. Closing the master side removes the device.
  open_at(19200);
  pty.close_master();
  uint8_t buf[40];
  int got = 0;
  testing::internal::CaptureStderr();
  const double ms = timed_read(buf, 40, 2000, &got);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(got, READ_PORT_LOST);
  EXPECT_LT(ms, slack_ms);
  EXPECT_EQ(err, "\a\aError: could not read on COM port " + pty.slave_path +
                     ": Input/output error\nReturn code 26, system error code 5\n");
  EXPECT_FALSE(port_is_open());

  // A read that still comes (a caller that did not stop) finds no port: it is
  // told and lost again, never a wait and never bytes.
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_port(name(), buf, 40, 2000), READ_PORT_LOST);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("\a\aError: could not set the comm timeouts for port " + pty.slave_path + ": ", 0), 0U) << err;
  EXPECT_NE(err.find("\nReturn code 25, system error code "), std::string::npos) << err;
}

}  // namespace
