// Self-tests of tovsim: each test plays the utility's part directly on the
// simulator's pseudo-terminal and checks what the device answers, keeps and
// logs.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures.h"
#include "run_program.h"
#include "sim_harness.h"
#include "texts.h"

namespace {

using bytes = std::string;

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Opens the far end the way the utility does: raw, 19200 baud, its input
// purged (what it wrote before a close must still reach the device).
int port_open(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B19200);
  tcsetattr(fd, TCSANOW, &t);
  tcflush(fd, TCIFLUSH);
  return fd;
}

void port_write(int fd, std::string_view s) {
  while (!s.empty()) {
    const ssize_t w = write(fd, s.data(), s.size());
    if (w <= 0) return;
    s.remove_prefix(static_cast<size_t>(w));
  }
}

// Reads until `max` bytes arrived or `ms` passed (one deadline for the whole read).
bytes port_read(int fd, size_t max, int ms) {
  bytes out;
  const double end = now_s() + ms / 1000.0;
  while (out.size() < max) {
    const double left = end - now_s();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
    char buf[2048];
    const size_t want = max - out.size() < sizeof buf ? max - out.size() : sizeof buf;
    const ssize_t n = read(fd, buf, want);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool contains(const bytes& hay, std::string_view needle) { return hay.find(needle) != bytes::npos; }

// Sets the far end's rate as the utility does after its open.
void port_set_rate(int fd, speed_t rate) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, rate);
  tcsetattr(fd, TCSANOW, &t);
}

bytes without_nul(const bytes& b) {
  bytes out;
  for (char c : b)
    if (c != '\0') out += c;
  return out;
}

bytes hex(std::string_view text) {
  bytes out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      i++;
      continue;
    }
    out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    i += 2;
  }
  return out;
}

bytes text_of(const std::vector<uint8_t>& b) { return bytes(b.begin(), b.end()); }
std::vector<uint8_t> wire_of(const bytes& b) { return std::vector<uint8_t>(b.begin(), b.end()); }

bytes packet(const bytes& payload) { return text_of(framed_packet(wire_of(payload))); }
bytes command_packet(std::string_view name, std::string_view size) { return text_of(::command_packet(name, size)); }

void put16(bytes& b, size_t off, uint16_t v) {
  b[off] = static_cast<char>(v & 0xFF);
  b[off + 1] = static_cast<char>(v >> 8);
}
void put32(bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; i++) b[off + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void putf(bytes& b, size_t off, float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  put32(b, off, v);
}

bytes sample_conf(uint16_t rule_count) {
  bytes c(176, '\0');
  put32(c, 0, 19200);
  put32(c, 4, 9600);
  put32(c, 8, 4800);
  put32(c, 12, 120);
  putf(c, 16, 48.5f);
  putf(c, 20, -122.25f);
  c.replace(24, 6, "N0CALL");
  put16(c, 32, 5);
  put16(c, 34, 3);
  put16(c, 36, 6);
  put16(c, 46, 28);
  put16(c, 48, 600);
  put16(c, 50, 0x2F23);
  put16(c, 52, 1);
  put16(c, 64, 'd');
  put16(c, 66, rule_count);
  c.replace(68, 7, "WIDE1-1");
  c.replace(76, 8, "RELAY123");
  c.replace(132, 5, "hello");
  return c;
}

bytes sample_rules() {
  bytes r(56, '\0');
  r.replace(0, 4, "APRS");
  r[24] = 47;
  r[25] = 0x18;  // pass, call prefix
  put16(r, 26, 4);
  putf(r, 28 + 0, 10.0f);
  putf(r, 28 + 6, 48.5f);
  putf(r, 28 + 12, -122.25f);
  r[28 + 24] = 49;
  r[28 + 25] = 0x04;  // drop
  put16(r, 28 + 26, 7);
  return r;
}

class sim_test : public ::testing::Test {
 protected:
  sim_handle sim;
  int fd = -1;

  void start(std::vector<std::string> args) {
    // A safety net: the simulator ends by itself should this test process die.
    args.insert(args.begin(), {"--exit-after", "120"});
    sim = sim_start(args);
    ASSERT_FALSE(sim.pty.empty()) << "tovsim did not start: " << sim.log;
    fd = port_open(sim.pty);
    ASSERT_GE(fd, 0) << sim.pty;
  }
  void reopen() {
    close(fd);
    fd = port_open(sim.pty);
    ASSERT_GE(fd, 0);
  }
  std::string stop() {
    if (fd >= 0) close(fd);
    fd = -1;
    return sim_stop(sim);
  }
  void TearDown() override { stop(); }

  // Sends one packet and reads the one-byte answer (empty: none within `ms`).
  bytes exchange(const bytes& pkt, int ms = 1000) {
    port_write(fd, pkt);
    return port_read(fd, 1, ms);
  }
  // Starts the loader and goes through prompt, SYN and identifier.
  void loader_handshake() {
    port_write(fd, "reset\n");
    EXPECT_EQ(port_read(fd, 32, 50), "");
    reopen();
    const bytes prompt = port_read(fd, 20, 2000);
    ASSERT_EQ(prompt.size(), 20u);
    EXPECT_EQ(prompt[0], '\x05');
    port_write(fd, "\x16");
    const bytes sync = port_read(fd, 20, 2000);
    ASSERT_EQ(sync.size(), 20u);
    EXPECT_EQ(sync[0], '\x06');
    port_write(fd, "TvLink1.0");
    const bytes id = port_read(fd, 20, 2000);
    ASSERT_EQ(id.size(), 20u);
    EXPECT_EQ(id[0], '\x06');
  }
};

TEST(sim_crc, test_packets_match_the_device_framing) {
  EXPECT_EQ(crc_aug_ccitt(wire_of("123456789")), 0xE5CC);
  EXPECT_EQ(packet("abc"), hex("00 07 61 62 63 3D 35"));
  EXPECT_EQ(command_packet("conf", "176"), hex("00 15 63 6F 6E 66 00 00 00 00 00 00 00 00 31 37 36 00 00 54 EC"));
  EXPECT_EQ(command_packet("-cestfini-", ""), hex("00 15 2D 63 65 73 74 66 69 6E 69 2D 00 00 00 00 00 00 00 5D CF"));
}

TEST_F(sim_test, version_reply_fills_the_read_and_names_the_device) {
  ASSERT_NO_FATAL_FAILURE(start({"--quick"}));
  const double t0 = now_s();
  port_write(fd, "\x03\nversion\n");
  const bytes r = port_read(fd, 200, 2000);
  EXPECT_LT(now_s() - t0, 1.0);
  EXPECT_EQ(r.size(), 200u);
  const size_t name = r.find("Tovarelink");
  ASSERT_NE(name, bytes::npos) << r;
  EXPECT_NE(r.find("Version 2.7", name), bytes::npos);
  EXPECT_TRUE(contains(r, "Tovare> "));
  EXPECT_EQ(r.find('\0'), bytes::npos);
  // Nothing beyond the read: the next exchange starts clean.
  EXPECT_EQ(port_read(fd, 1, 100), "");
  port_write(fd, "\n");
  EXPECT_TRUE(contains(port_read(fd, 64, 200), "Tovare> "));
  EXPECT_TRUE(contains(stop(), "version request: answered"));
}

TEST_F(sim_test, version_text_garbage_and_noise_options) {
  ASSERT_NO_FATAL_FAILURE(start({"--version-text", "Tovarelink XL Version 3.10"}));
  port_write(fd, "\x03\nversion\n");
  bytes r = port_read(fd, 200, 300);
  EXPECT_TRUE(contains(r, "\r\nTovarelink XL Version 3.10\r\nTovare> ")) << r;
  stop();

  ASSERT_NO_FATAL_FAILURE(start({"--garbage", "--quick"}));
  port_write(fd, "\x03\nversion\n");
  r = port_read(fd, 200, 2000);
  EXPECT_EQ(r.size(), 200u);
  EXPECT_FALSE(contains(r, "Tovarelink"));
  EXPECT_FALSE(contains(r, "Version"));
  stop();

  ASSERT_NO_FATAL_FAILURE(start({"--noise", "--quick"}));
  port_write(fd, "\x03\nversion\n");
  r = port_read(fd, 400, 300);
  const bytes clean = without_nul(r);
  EXPECT_NE(r.find('\0'), bytes::npos);
  EXPECT_NE(r.find('\xFF'), bytes::npos);
  EXPECT_EQ(clean.size(), 200u);  // NUL bytes do not count
  EXPECT_TRUE(contains(clean, "Tovarelink APRS Digipeater Version 2.7")) << clean;
}

TEST_F(sim_test, prompt_after_baud_change_and_reopen) {
  ASSERT_NO_FATAL_FAILURE(start({"--quick"}));
  // The utility's baud change: the command, at once a close and a reopen
  // (its input purged), then the line feed. Every time the command arrives
  // and the line feed gets the prompt filling the whole read.
  constexpr int rounds = 20;
  int short_replies = 0;
  for (int i = 0; i < rounds; i++) {
    port_write(fd, "host 9600\n");
    ASSERT_NO_FATAL_FAILURE(reopen());
    port_write(fd, "\n");
    const bytes r = port_read(fd, 1024, 2000);
    if (r.size() != 1024u || !contains(r, "Tovare> ")) short_replies++;
  }
  EXPECT_EQ(short_replies, 0);
  // A line feed after a reopen without "host N" is a plain line feed: the
  // prompt alone, no filler for the utility's read.
  ASSERT_NO_FATAL_FAILURE(reopen());
  port_write(fd, "\n");
  EXPECT_EQ(port_read(fd, 1024, 300), "\r\nTovare> ");
  const std::string log = stop();
  EXPECT_EQ(count_of(log, "host 9600: host port switched to 9600 baud\n"), size_t{rounds}) << log;
  EXPECT_EQ(count_of(log, "line feed after baud change (port at 19200 baud): prompt\n"), size_t{rounds}) << log;
  EXPECT_EQ(count_of(log, "port closed\n"), size_t{rounds + 2}) << log;
  EXPECT_EQ(count_of(log, "port opened"), size_t{rounds + 2}) << log;
  EXPECT_EQ(log.find("port opened at 9600"), std::string::npos) << log;  // the far end stays at 19200

  // A prompt sent in pieces (still going out when the close of the baud
  // change is taken) is not lost with the closed port.
  ASSERT_NO_FATAL_FAILURE(start({"--quick", "--pieces", "20"}));
  short_replies = 0;
  for (int i = 0; i < 5; i++) {
    port_write(fd, "host 9600\n");
    ASSERT_NO_FATAL_FAILURE(reopen());
    port_write(fd, "\n");
    const bytes r = port_read(fd, 1024, 2000);
    if (r.size() != 1024u || !contains(r, "Tovare> ")) short_replies++;
  }
  EXPECT_EQ(short_replies, 0);
  stop();

  ASSERT_NO_FATAL_FAILURE(start({"--no-prompt-after-baud"}));
  port_write(fd, "host 9600\n");
  reopen();
  port_write(fd, "\n");
  EXPECT_EQ(port_read(fd, 1024, 300), "");
  // Later line feeds get their prompt again.
  port_write(fd, "\n");
  EXPECT_TRUE(contains(port_read(fd, 1024, 300), "Tovare> "));
  port_write(fd, "host 12345\n");
  EXPECT_TRUE(contains(port_read(fd, 1024, 300), "Tovare> "));
}

TEST_F(sim_test, open_is_logged_with_the_rate_the_far_end_set) {
  ASSERT_NO_FATAL_FAILURE(start({}));
  close(fd);
  // Opened, and the rate set only after the simulator has seen the open.
  fd = open(sim.pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  usleep(100000);
  port_set_rate(fd, B4800);
  port_write(fd, "\n");
  EXPECT_EQ(port_read(fd, 64, 300), "\r\nTovare> ");
  const std::string log = stop();
  // The first open carried no byte: no rate for it.
  EXPECT_TRUE(contains(log, "port opened\nport closed\nport opened at 4800 baud\n")) << log;
  EXPECT_EQ(count_of(log, "port opened at"), 1u) << log;
}

TEST_F(sim_test, bytes_written_before_a_close_reach_the_device_first) {
  ASSERT_NO_FATAL_FAILURE(start({"--quick"}));
  // The serial test ends with 0x03 and the port is closed at once: the
  // device must see the 0x03 before the close.
  constexpr int rounds = 5;
  for (int i = 0; i < rounds; i++) {
    port_write(fd, "serialtest\n");
    ASSERT_TRUE(contains(port_read(fd, 1024, 1000), "Begin serial test"));
    port_write(fd, "@");
    ASSERT_EQ(port_read(fd, 1, 1000), "@");
    port_write(fd, "\x03");
    ASSERT_NO_FATAL_FAILURE(reopen());
    // Bytes written right after a reopen may come in one read with those
    // before the close; give the device time to take the close first.
    usleep(50000);
  }
  // The last round is stopped by the signal right after the close: what
  // came before the signal is still taken and logged.
  port_write(fd, "serialtest\n");
  ASSERT_TRUE(contains(port_read(fd, 1024, 1000), "Begin serial test"));
  port_write(fd, "@A");
  EXPECT_EQ(port_read(fd, 2, 1000), "@A");
  port_write(fd, "\x03");
  const std::string log = stop();
  EXPECT_EQ(count_of(log, "serial test ended after 1 echo bytes\nport closed\n"), size_t{rounds}) << log;
  EXPECT_EQ(log.find("ended by the close"), std::string::npos) << log;
  const std::string tail = "serial test ended after 2 echo bytes\nport closed\nstopped by signal\n";
  ASSERT_GE(log.size(), tail.size()) << log;
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << log;

  // Without the 0x03 the test goes on across the close: a device does not
  // see the host close its port.
  ASSERT_NO_FATAL_FAILURE(start({"--quick"}));
  port_write(fd, "serialtest\n");
  ASSERT_TRUE(contains(port_read(fd, 1024, 1000), "Begin serial test"));
  port_write(fd, "@");
  EXPECT_EQ(port_read(fd, 1, 1000), "@");
  const std::string open_log = stop();
  EXPECT_TRUE(contains(open_log, "port closed\n")) << open_log;
  EXPECT_EQ(open_log.find("serial test ended"), std::string::npos) << open_log;
}

TEST_F(sim_test, download_acks_good_packets_naks_bad_crc_and_keeps_the_images) {
  const std::string dir = scratch_dir("sim_download");
  ASSERT_NO_FATAL_FAILURE(start({"--save-dir", dir}));
  const bytes conf = sample_conf(2);
  const bytes rules = sample_rules();
  port_write(fd, "download\n");
  EXPECT_EQ(port_read(fd, 64, 10), "");
  EXPECT_EQ(exchange(command_packet("conf", "176")), "\x06");
  EXPECT_EQ(exchange(packet(conf.substr(0, 60))), "\x06");
  bytes bad = packet(conf.substr(60, 60));
  bad[bad.size() - 1] ^= 0x01;
  EXPECT_EQ(exchange(bad), "\x15");
  EXPECT_EQ(exchange(packet(conf.substr(60, 60))), "\x06");
  EXPECT_EQ(exchange(packet(conf.substr(120, 56))), "\x06");
  EXPECT_EQ(read_file(dir + "/conf.bin"), conf);  // on disk before the last ACK came
  EXPECT_EQ(exchange(command_packet("rules", "56")), "\x06");
  EXPECT_EQ(exchange(packet(rules)), "\x06");
  EXPECT_EQ(exchange(command_packet("-cestfini-", "")), "\x06");
  EXPECT_EQ(read_file(dir + "/rules.bin"), rules);
  // Back at the command line.
  port_write(fd, "\n");
  EXPECT_TRUE(contains(port_read(fd, 64, 300), "Tovare> "));

  const std::string packets = read_file(dir + "/packets.log");
  EXPECT_EQ(packets.rfind("21 00 15 63 6F 6E 66 00 00 00 00 00 00 00 00 31 37 36 00 00 54 EC -> 06\n", 0), 0u)
      << packets;
  EXPECT_TRUE(contains(packets, " -> 15\n"));
  EXPECT_TRUE(contains(packets, "21 00 15 2D 63 65 73 74 66 69 6E 69 2D 00 00 00 00 00 00 00 5D CF -> 06\n"));

  const std::string log = stop();
  EXPECT_TRUE(contains(log, "-> NAK (bad CRC)")) << log;
  EXPECT_TRUE(contains(log, "call sign N0CALL, SSID 5")) << log;
  EXPECT_TRUE(contains(log, "position lat 48.500000, lon -122.25000, altitude 120 m")) << log;
  EXPECT_TRUE(contains(log, "bauds: host 19200, GPS 9600, TNC 4800")) << log;
  EXPECT_TRUE(contains(log, "digipeater path: WIDE1-1,RELAY123")) << log;
  EXPECT_TRUE(contains(log, "comment \"hello\"")) << log;
  EXPECT_TRUE(contains(log, "rule count 2, implicit action drop")) << log;
  EXPECT_TRUE(contains(log, "rule 1 (line 4): pass destin call APRS* (prefix), mods 10")) << log;
  EXPECT_TRUE(contains(log, "rule 2 (line 7): drop circle radius 10.000 mi around lat 48.500000, lon -122.25000"))
      << log;
}

TEST_F(sim_test, download_empty_rules_and_refused_announcements) {
  const std::string dir = scratch_dir("sim_download_empty");
  ASSERT_NO_FATAL_FAILURE(start({"--save-dir", dir}));
  port_write(fd, "download\n");
  EXPECT_EQ(exchange(command_packet("conf", "175")), "\x15");
  EXPECT_EQ(exchange(packet("stray data")), "\x15");
  EXPECT_EQ(exchange(command_packet("rules", "0")), "\x06");
  EXPECT_EQ(read_file(dir + "/rules.bin"), "");
  // A length that cannot be: answered NAK once the line is quiet.
  EXPECT_EQ(exchange(hex("01 00 55 55")), "\x15");
  EXPECT_EQ(exchange(command_packet("-cestfini-", "")), "\x06");
  EXPECT_EQ(access((dir + "/rules.bin").c_str(), F_OK), 0);
  EXPECT_NE(access((dir + "/conf.bin").c_str(), F_OK), 0);
}

TEST_F(sim_test, download_misbehaviour_options) {
  ASSERT_NO_FATAL_FAILURE(start({"--nak", "1:2", "--answer", "2:41", "--silent-packet", "3"}));
  port_write(fd, "download\n");
  const bytes first = command_packet("conf", "176");
  EXPECT_EQ(exchange(first), "\x15");
  EXPECT_EQ(exchange(first), "\x15");
  EXPECT_EQ(exchange(first), "\x06");
  const bytes conf = sample_conf(0);
  EXPECT_EQ(exchange(packet(conf.substr(0, 60))), "\x41");
  EXPECT_EQ(exchange(packet(conf.substr(60, 60)), 300), "");
  stop();

  ASSERT_NO_FATAL_FAILURE(start({"--vanish-after-packets", "1"}));
  port_write(fd, "download\n");
  EXPECT_EQ(exchange(command_packet("conf", "176")), "\x06");
  // The next packet finds the device gone: the port hangs up.
  port_write(fd, command_packet("rules", "0"));
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  EXPECT_TRUE(contains(stop(), "device vanished"));
}

TEST_F(sim_test, serial_test_echoes_until_interrupt) {
  ASSERT_NO_FATAL_FAILURE(start({"--quick"}));
  port_write(fd, "serialtest\n");
  const bytes start_text = port_read(fd, 1024, 1000);
  EXPECT_EQ(start_text.size(), 1024u);
  EXPECT_TRUE(contains(start_text, "Begin serial test: end with <ctrl>-c"));
  const double t0 = now_s();
  int wrong = 0;
  for (int i = 0; i < 20; i++) {
    for (char ch = 0x40; ch <= 0x7E; ch++) {
      port_write(fd, std::string(1, ch));
      if (port_read(fd, 1, 1000) != std::string(1, ch)) wrong++;
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_LT(now_s() - t0, 3.0);  // 1260 round trips, no waiting in between
  port_write(fd, "\x03");
  port_write(fd, "\n");
  EXPECT_TRUE(contains(port_read(fd, 64, 300), "Tovare> "));
  EXPECT_TRUE(contains(stop(), "serial test ended after 1260 echo bytes"));
}

TEST_F(sim_test, serial_test_wrong_and_missing_echo) {
  ASSERT_NO_FATAL_FAILURE(start({"--echo-wrong", "2:E0", "--echo-stop", "4"}));
  port_write(fd, "serialtest\n");
  EXPECT_TRUE(contains(port_read(fd, 1024, 300), "Begin serial test"));
  port_write(fd, "@");
  EXPECT_EQ(port_read(fd, 1, 1000), "@");
  port_write(fd, "A");
  EXPECT_EQ(port_read(fd, 1, 1000), "\xE0");
  port_write(fd, "B");
  EXPECT_EQ(port_read(fd, 1, 1000), "B");
  port_write(fd, "C");
  EXPECT_EQ(port_read(fd, 1, 200), "");
  stop();

  ASSERT_NO_FATAL_FAILURE(start({"--no-serialtest-text", "--quick"}));
  port_write(fd, "serialtest\n");
  const bytes r = port_read(fd, 1024, 1000);
  EXPECT_EQ(r.size(), 1024u);
  EXPECT_FALSE(contains(r, "Begin serial test"));
}

TEST_F(sim_test, firmware_loader_after_reopen_checks_each_record) {
  const std::string dir = scratch_dir("sim_loader");
  ASSERT_NO_FATAL_FAILURE(start({"--quick", "--save-dir", dir}));
  ASSERT_NO_FATAL_FAILURE(loader_handshake());
  port_write(fd, ":0300300002337A1E\r");
  EXPECT_EQ(port_read(fd, 1, 100), "\x06");
  port_write(fd, ":0300300002337A1F\r");
  EXPECT_EQ(port_read(fd, 1, 100), "\x12");
  port_write(fd, "0300300002337A1E\r");
  EXPECT_EQ(port_read(fd, 1, 100), "\x11");
  port_write(fd, ":00000001FF\r");
  EXPECT_EQ(port_read(fd, 1, 100), "\x06");
  EXPECT_EQ(read_file(dir + "/firmware.hex"), ":0300300002337A1E\n:00000001FF\n");
  // The close after the update ends the loader: the command line answers again.
  reopen();
  port_write(fd, "\x03\nversion\n");
  EXPECT_TRUE(contains(port_read(fd, 200, 2000), "Tovarelink"));
  const std::string log = stop();
  EXPECT_TRUE(contains(log, "4 record lines, 2 accepted, 2 refused")) << log;
}

TEST_F(sim_test, firmware_loader_waits_for_the_reopen_and_follows_the_answer_list) {
  ASSERT_NO_FATAL_FAILURE(start({"--fw-answers", "12,none,17"}));
  port_write(fd, "reset\n");
  // No prompt while the port stays open: the utility would purge it.
  EXPECT_EQ(port_read(fd, 20, 300), "");
  reopen();
  EXPECT_EQ(port_read(fd, 1, 2000), "\x05");
  port_write(fd, "\x16");
  EXPECT_EQ(port_read(fd, 1, 2000), "\x06");
  port_write(fd, "TvLink1.0");
  EXPECT_EQ(port_read(fd, 1, 2000), "\x06");
  const std::string rec = ":0300300002337A1E\r";
  port_write(fd, rec);
  EXPECT_EQ(port_read(fd, 1, 100), "\x12");
  port_write(fd, rec);
  EXPECT_EQ(port_read(fd, 1, 100), "");
  port_write(fd, rec);
  EXPECT_EQ(port_read(fd, 1, 100), "\x17");
  port_write(fd, rec);  // list used up: the loader's own check
  EXPECT_EQ(port_read(fd, 1, 100), "\x06");
  stop();

  ASSERT_NO_FATAL_FAILURE(start({"--fw-no-sync-ack"}));
  port_write(fd, "reset\n");
  EXPECT_EQ(port_read(fd, 32, 50), "");
  reopen();
  EXPECT_EQ(port_read(fd, 1, 2000), "\x05");
  port_write(fd, "\x16");
  EXPECT_EQ(port_read(fd, 20, 300), "");
}

TEST_F(sim_test, firmware_update_of_8000_records_is_quick) {
  const std::string dir = scratch_dir("sim_loader_many");
  ASSERT_NO_FATAL_FAILURE(start({"--quick", "--save-dir", dir}));
  ASSERT_NO_FATAL_FAILURE(loader_handshake());
  const std::string rec = ":10010000214601360121470136007EFE09D2190140\r";
  const double t0 = now_s();
  int refused = 0;
  for (int i = 0; i < 8000; i++) {
    port_write(fd, rec);
    if (port_read(fd, 1, 1000) != "\x06") refused++;
  }
  EXPECT_EQ(refused, 0);
  // About 1 s on an idle machine; a pause of 1 ms per record would show as
  // 8 s. The margin is for a machine busy with other builds.
  EXPECT_LT(now_s() - t0, 6.0);
  EXPECT_EQ(read_file(dir + "/firmware.hex").size(), 8000 * rec.size());
}

TEST_F(sim_test, firmware_answers_after_wire_time_late_and_refused_once) {
  // 44 bytes take 23 ms at 19200 baud. Record 2 is answered 150 ms late the
  // first time only, and the answer to its resending waits behind it; record
  // 3 is refused once.
  ASSERT_NO_FATAL_FAILURE(start({"--quick", "--wire-time", "--fw-late", "2:150", "--fw-refuse", "3:12"}));
  ASSERT_NO_FATAL_FAILURE(loader_handshake());
  const std::string r1 = ":10010000214601360121470136007EFE09D2190140\r";
  const std::string r2 = ":10011000000102030405060708090A0B0C0D0E0F67\r";
  const std::string r3 = ":10012000101112131415161718191A1B1C1D1E1F57\r";
  struct step {
    std::string sent;
    bytes answers;
    double min_s;  // not before the bytes have crossed (and the lateness)
  };
  const step steps[] = {{r1, "\x06", 0.022}, {r2 + r2, "\x06\x06", 0.172}, {r3, "\x12", 0.022},
                        {r3, "\x06", 0.022}, {r2, "\x06", 0.022}};
  for (const step& st : steps) {
    const double t0 = now_s();
    port_write(fd, st.sent);
    EXPECT_EQ(port_read(fd, st.answers.size(), 2000), st.answers) << st.sent;
    EXPECT_GE(now_s() - t0, st.min_s) << st.sent;
  }
  const std::string log = stop();
  EXPECT_TRUE(contains(log, "record 2 (line 2) answered 150 ms late (--fw-late)")) << log;
  EXPECT_TRUE(contains(log, "record 3 refused once with 0x12 (--fw-refuse)")) << log;
}

TEST_F(sim_test, pieces_flood_and_exit_after) {
  ASSERT_NO_FATAL_FAILURE(start({"--pieces", "40"}));
  double t0 = now_s();
  port_write(fd, "\x03\nversion\n");
  bytes r = port_read(fd, 60, 2000);  // prompt 10 bytes and reply 50 bytes: 8 pieces
  const double took = now_s() - t0;
  EXPECT_EQ(r, "\r\nTovare> \r\nTovarelink APRS Digipeater Version 2.7\r\nTovare> ");
  EXPECT_GE(took, 7 * 0.040 - 0.01);
  stop();

  ASSERT_NO_FATAL_FAILURE(start({"--flood-drain", "300"}));
  port_write(fd, "\x03\n");
  t0 = now_s();
  size_t junk = 0;
  for (;;) {  // the utility's drain: 100 ms reads until one gets nothing
    const bytes d = port_read(fd, 1024, 100);
    if (d.empty()) break;
    junk += d.size();
  }
  EXPECT_GE(now_s() - t0, 0.3);
  EXPECT_GT(junk, 0u);
  port_write(fd, "\n");
  EXPECT_TRUE(contains(port_read(fd, 64, 300), "Tovare> "));
  stop();

  sim = sim_start({"--exit-after", "0.2"});
  ASSERT_FALSE(sim.pty.empty());
  usleep(400000);
  EXPECT_TRUE(contains(stop(), "exit after 0.2 s"));
}

TEST_F(sim_test, junk_until_the_interrupt_character_then_a_normal_device) {
  ASSERT_NO_FATAL_FAILURE(start({"--junk-until-interrupt"}));
  // Junk keeps coming for as long as nothing is sent; a command before the
  // interrupt character is not heard.
  EXPECT_EQ(port_read(fd, 400, 2000).size(), 400u);
  port_write(fd, "version\n");
  bytes r = port_read(fd, 400, 2000);
  EXPECT_EQ(r.size(), 400u);
  EXPECT_FALSE(contains(r, "Tovarelink")) << r;
  EXPECT_TRUE(contains(r, "NOCALL>APRS:busy")) << r;
  // The interrupt character ends it; the version request in the same write is answered.
  port_write(fd, "\x03\nversion\n");
  r = port_read(fd, 4096, 300);
  const size_t name = r.find("Tovarelink APRS Digipeater Version 2.7");
  ASSERT_NE(name, bytes::npos) << r;
  EXPECT_LT(name, 64u) << "only junk already on its way comes before the reply";
  EXPECT_EQ(port_read(fd, 1, 100), "");
  // The next open starts the junk again.
  reopen();
  EXPECT_EQ(port_read(fd, 100, 1000).size(), 100u);
  const std::string log = stop();
  EXPECT_EQ(count_of(log, "flooding the port with junk until the interrupt character (port opened)"), 2u) << log;
  EXPECT_EQ(count_of(log, "interrupt character: junk stopped"), 1u) << log;
  EXPECT_EQ(count_of(log, "version request: answered"), 1u) << log;
}

TEST_F(sim_test, junk_forever_hears_nothing) {
  ASSERT_NO_FATAL_FAILURE(start({"--junk-forever"}));
  port_write(fd, "\x03\nversion\n");
  const double t0 = now_s();
  const bytes r = port_read(fd, 1 << 20, 1000);
  EXPECT_GE(now_s() - t0, 0.99);
  // 16 bytes every 5 ms, from the open on
  EXPECT_GE(r.size(), 2000u);
  EXPECT_FALSE(contains(r, "Tovarelink")) << r;
  port_write(fd, "reset\n");
  EXPECT_EQ(port_read(fd, 1 << 20, 300).find('\x05'), bytes::npos);
  const std::string log = stop();
  EXPECT_TRUE(contains(log, "flooding the port with junk for ever, not listening (port opened)")) << log;
  EXPECT_FALSE(contains(log, "version request")) << log;
  EXPECT_FALSE(contains(log, "loader")) << log;
}

TEST(sim_harness, a_refused_command_line_gives_no_port_and_stops_cleanly) {
  sim_handle s = sim_start({"--nak", "x:1"});
  EXPECT_TRUE(s.pty.empty());
  EXPECT_GT(s.pid, 0);
  EXPECT_EQ(sim_stop(s), "");
  EXPECT_EQ(s.pid, -1);
  EXPECT_EQ(s.out_fd, -1);
  EXPECT_EQ(sim_stop(s), "");  // twice is harmless
}

}  // namespace
