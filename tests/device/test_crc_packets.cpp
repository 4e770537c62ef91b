// CRC-16, packet framing, the bounded reply search and the link state of the
// handshake, in-process. The packet writer and the handshake are driven over
// the in-memory port with a scripted far end: the device's answers are queued
// before the call (or given once what they answer has arrived), and what was
// sent is read back from it. A read that waits for an answer that never comes
// costs no time on its virtual clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "device/download.h"
#include "device/link.h"
#include "fixtures.h"
#include "memport.h"
#include "serial/serial.h"

namespace {

using bytes = std::vector<uint8_t>;

// Bit-at-a-time remainder of (i * 2^16) by x^16 + x^12 + x^5 + 1.
uint16_t ref_table_entry(unsigned i) {
  uint32_t r = i << 16;
  for (int bit = 23; bit >= 16; --bit)
    if (r & (1U << bit)) r ^= 0x11021U << (bit - 16);
  return static_cast<uint16_t>(r);
}

uint16_t crc_over(const bytes& b) {
  return crc16(0xFFFF, b.data(), static_cast<int>(b.size()), crc16_table.data());
}

TEST(LinkCrc, TableMatchesPolynomialRemainders) {
  for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(crc16_table[i], ref_table_entry(i)) << "entry " << i;
  EXPECT_EQ(crc16_table[0], 0x0000);
  EXPECT_EQ(crc16_table[1], 0x1021);
  EXPECT_EQ(crc16_table[2], 0x2042);
  EXPECT_EQ(crc16_table[255], 0x1EF0);
}

TEST(LinkCrc, AugmentedFormEqualsAugCcitt) {
  // "123456789" followed by the two zero bytes of the augmentation.
  const bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0};
  EXPECT_EQ(crc_over(check), 0xE5CC);
  EXPECT_EQ(crc_aug_ccitt(bytes(check.begin(), check.end() - 2)), 0xE5CC);

  // The same equality over other messages of assorted lengths and contents.
  unsigned seed = 12345;
  for (int len = 0; len < 70; ++len) {
    bytes msg(static_cast<size_t>(len));
    for (auto& b : msg) {
      seed = seed * 1103515245U + 12345U;
      b = static_cast<uint8_t>(seed >> 16);
    }
    bytes aug = msg;
    aug.push_back(0);
    aug.push_back(0);
    ASSERT_EQ(crc_over(aug), crc_aug_ccitt(msg)) << "length " << len;
  }
}

TEST(LinkCrc, CountZeroAndNullLeaveRegisterUnchanged) {
  const uint8_t b = 0x55;
  EXPECT_EQ(crc16(0xABCD, &b, 0, crc16_table.data()), 0xABCD);
  EXPECT_EQ(crc16(0xABCD, nullptr, 5, crc16_table.data()), 0xABCD);
  EXPECT_NE(crc16(0xABCD, &b, 1, crc16_table.data()), 0xABCD);
}

TEST(LinkCrc, WorkedPacketsCarryTheirCrcAndVerifyToZero) {
  for (const bytes* p : {&pkt_abc, &pkt_conf, &pkt_rules0, &pkt_finish}) {
    bytes zeroed = *p;
    zeroed[zeroed.size() - 2] = 0;
    zeroed[zeroed.size() - 1] = 0;
    const uint16_t crc = crc_over(zeroed);
    EXPECT_EQ(crc >> 8, (*p)[p->size() - 2]);
    EXPECT_EQ(crc & 0xFF, (*p)[p->size() - 1]);
    EXPECT_EQ(crc_over(*p), 0x0000);
  }
}

TEST(LinkFind, StaysWithinTheBytesReceived) {
  // The haystack is exactly as long as the bytes "received", so a search
  // that reads past them is caught by the address sanitizer.
  const std::string text = "xxTovare> ";
  bytes hay(text.begin(), text.end());
  EXPECT_EQ(dev_find(hay.data(), static_cast<int>(hay.size()), "Tovare> ", 8), 2);
  // The needle straddles the end of the counted bytes: not found.
  EXPECT_EQ(dev_find(hay.data(), static_cast<int>(hay.size()) - 1, "Tovare> ", 8), -1);
  bytes tail = {'T', 'o', 'v'};
  EXPECT_EQ(dev_find(tail.data(), 3, "Tovarelink", 10), -1);
  EXPECT_EQ(dev_find(tail.data(), 3, "Tov", 3), 0);
  EXPECT_EQ(dev_find(tail.data(), 3, "ov", 2), 1);
  EXPECT_EQ(dev_find(tail.data(), 0, "T", 1), -1);
  // First occurrence wins.
  const std::string twice = "ab.ab.";
  EXPECT_EQ(dev_find(reinterpret_cast<const uint8_t*>(twice.data()), 6, ".", 1), 2);
  // Bytes above 0x7F compare as bytes.
  const uint8_t high[] = {0x41, 0xE0, 0x42};
  EXPECT_EQ(dev_find(high, 3, "\xE0" "B", 2), 1);
  // Bad arguments.
  EXPECT_EQ(dev_find(nullptr, 3, "T", 1), -1);
  EXPECT_EQ(dev_find(tail.data(), 3, nullptr, 1), -1);
  EXPECT_EQ(dev_find(tail.data(), -1, "T", 1), -1);
}

// The in-memory port with a scripted far end, opened as the program's port.
class PacketPort : public ::testing::Test {
 protected:
  void SetUp() override {
    memport::start_scripted();
    snprintf(link_state.port_name, sizeof link_state.port_name, "%s", memport::port_name);
    int rc = -1;
    opened_output = capture_stdout([&] { rc = open_port(link_state.port_name, 57600); });
    ASSERT_EQ(rc, 0) << opened_output;
  }

  void TearDown() override { close_port(); }

  // Queues the device's answers.
  void answer(const bytes& b) { memport::script(std::string(b.begin(), b.end())); }

  // Everything that reached the device since the last call.
  bytes received() {
    const std::string got = memport::received();
    return bytes(got.begin(), got.end());
  }

  // Runs dwn_write_pkt on `payload` in a buffer whose length and CRC bytes
  // start out as garbage; `framed` keeps the buffer afterwards.
  int send(const bytes& payload, bytes& framed, std::string& out) {
    framed.assign(payload.size() + 4, 0xEE);
    std::copy(payload.begin(), payload.end(), framed.begin() + 2);
    int r = 0;
    out = capture_stdout([&] { r = dwn_write_pkt(framed.data(), static_cast<int>(framed.size())); });
    return r;
  }

  std::string opened_output;
};

bytes payload_of(const bytes& pkt) { return bytes(pkt.begin() + 2, pkt.end() - 2); }

bytes repeat(const bytes& b, int times) {
  bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), b.begin(), b.end());
  return out;
}

TEST_F(PacketPort, WorkedPacketsGoOutByteForByte) {
  for (const bytes* p : {&pkt_abc, &pkt_conf, &pkt_rules0, &pkt_finish}) {
    answer({DWN_ACK});
    bytes framed;
    std::string out;
    EXPECT_EQ(send(payload_of(*p), framed, out), static_cast<int>(p->size()));
    EXPECT_EQ(out, "");
    EXPECT_EQ(framed, *p);  // the caller's buffer holds the finished packet
    EXPECT_EQ(received(), *p);
  }
}

TEST_F(PacketPort, NakTwiceThenAckResendsTheSameBytes) {
  answer({DWN_NAK, DWN_NAK, DWN_ACK});
  bytes framed;
  std::string out;
  EXPECT_EQ(send(payload_of(pkt_conf), framed, out), 21);
  EXPECT_EQ(out, "");
  EXPECT_EQ(received(), repeat(pkt_conf, 3));
}

TEST_F(PacketPort, FiveNaksGiveUpWithoutASixthSending) {
  answer({DWN_NAK, DWN_NAK, DWN_NAK, DWN_NAK, DWN_NAK, DWN_ACK});
  bytes framed;
  std::string out;
  EXPECT_EQ(send(payload_of(pkt_abc), framed, out), -6);
  EXPECT_EQ(out, "");
  EXPECT_EQ(received(), repeat(pkt_abc, 5));
}

TEST_F(PacketPort, StrayAnswerByteEndsTheExchange) {
  answer({0x41});
  bytes framed;
  std::string out;
  EXPECT_EQ(send(payload_of(pkt_abc), framed, out), -5);
  EXPECT_EQ(out, "\a\aError: reading ack or nak: got 0x41\n");
  EXPECT_EQ(received(), pkt_abc);
  answer({0xE0});
  EXPECT_EQ(send(payload_of(pkt_abc), framed, out), -5);
  EXPECT_EQ(out, "\a\aError: reading ack or nak: got 0xe0\n");
}

TEST_F(PacketPort, BadArgumentsSendNothing) {
  uint8_t small[4] = {};
  EXPECT_EQ(capture_stdout([&] {
              EXPECT_EQ(dwn_write_pkt(nullptr, 21), -1);
              EXPECT_EQ(dwn_write_pkt(small, 4), -2);
              EXPECT_EQ(dwn_write_file(nullptr, 10), -1);
              EXPECT_EQ(dwn_write_file(small, 0), -2);
            }),
            "dwn_write_pkt: argument ptr pp is null\n"
            "dwn_write_pkt: argument len < 5\n"
            "dwn_write_file: argument ptr bp is null\n"
            "dwn_write_file: argument len < 1\n");
  EXPECT_TRUE(received().empty());
}

// Splits what the device received into packets by their length fields.
std::vector<bytes> split_packets(const bytes& wire) {
  std::vector<bytes> pkts;
  size_t at = 0;
  while (at + 2 <= wire.size()) {
    const size_t len = (static_cast<size_t>(wire[at]) << 8) | wire[at + 1];
    if (len < 5 || at + len > wire.size()) break;
    pkts.emplace_back(wire.begin() + static_cast<long>(at), wire.begin() + static_cast<long>(at + len));
    at += len;
  }
  EXPECT_EQ(at, wire.size()) << "the wire holds whole packets only";
  return pkts;
}

TEST_F(PacketPort, FileIsCutIntoChunksOfSixty) {
  struct chunking {
    int length;
    std::vector<size_t> packet_lengths;
  };
  const chunking cases[] = {
      {1, {5}}, {28, {32}}, {60, {64}}, {120, {64, 64}}, {176, {64, 64, 60}}, {1400, {}},
  };
  for (const auto& c : cases) {
    bytes file(static_cast<size_t>(c.length));
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 3);
    const size_t expected_count = (file.size() + DWN_CHUNK - 1) / DWN_CHUNK;
    answer(bytes(expected_count, DWN_ACK));
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(dwn_write_file(file.data(), c.length), c.length); }), "");

    const auto pkts = split_packets(received());
    ASSERT_EQ(pkts.size(), expected_count) << "length " << c.length;
    bytes joined;
    for (size_t i = 0; i < pkts.size(); ++i) {
      if (!c.packet_lengths.empty()) {
        EXPECT_EQ(pkts[i].size(), c.packet_lengths[i]);
      }
      EXPECT_EQ(crc_over(pkts[i]), 0x0000);
      joined.insert(joined.end(), pkts[i].begin() + 2, pkts[i].end() - 2);
    }
    EXPECT_EQ(joined, file);
    if (c.length == 1400) {
      EXPECT_EQ(pkts.back().size(), 24U);  // 23 full packets and one of 20 bytes
    }
  }
}

TEST_F(PacketPort, RefusedDataPacketStopsTheFile) {
  // The second of three packets is refused five times: the third is never sent.
  answer({DWN_ACK, DWN_NAK, DWN_NAK, DWN_NAK, DWN_NAK, DWN_NAK});
  bytes file(176, 0x5A);
  EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(dwn_write_file(file.data(), 176), -3); }),
            "\a\aError: writing data pkt: -6\n");
  const auto pkts = split_packets(received());
  ASSERT_EQ(pkts.size(), 6U);
  for (size_t i = 2; i < pkts.size(); ++i) EXPECT_EQ(pkts[i], pkts[1]);
}

// The scripted far end the tests above rely on: each reply once what it
// waits for has arrived, in order; a read that nothing answers waits out its
// time on the virtual clock.
TEST_F(PacketPort, ScriptedFarEndAnswersInTurn) {
  const char* port = link_state.port_name;
  memport::script("B", "ab");
  memport::script("C");  // due at once, but behind "B"
  uint8_t in[4] = {};
  const int64_t before = memport::now_ms();
  EXPECT_EQ(read_port(port, in, 1, 300), 0);
  EXPECT_GE(memport::now_ms() - before, 300);
  ASSERT_EQ(write_port(port, reinterpret_cast<const uint8_t*>("a"), 1), 1);
  EXPECT_EQ(read_port(port, in, 1, 100), 0);
  ASSERT_EQ(write_port(port, reinterpret_cast<const uint8_t*>("b"), 1), 1);
  ASSERT_EQ(read_port(port, in, 3, 100), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 2), "BC");
  EXPECT_EQ(received(), (bytes{'a', 'b'}));
}

// A reply padded with blanks to the size of the read it answers, so that the
// read ends with its last byte.
std::string padded(std::string text, size_t size) {
  text.resize(size, ' ');
  return text;
}

const std::string version_request = std::string("\x03\nversion\n");

class LinkHandshake : public PacketPort {
 protected:
  void SetUp() override {
    PacketPort::SetUp();
    close_port();  // connect opens the port itself
    link_state.connected = 0;
  }
  void TearDown() override {
    link_state.connected = 0;
    PacketPort::TearDown();
  }
  // Runs dev_connect while the device answers `trigger` with `reply` (no
  // trigger: the device says nothing).
  std::string connect(int resync, const std::string& trigger, const std::string& reply, std::string* device_got) {
    if (!trigger.empty()) memport::script(reply, trigger);
    const std::string out = capture_stdout([&] { dev_connect(57600, resync); });
    *device_got = memport::received();
    return out;
  }
};

TEST_F(LinkHandshake, AcceptedDeviceKeepsThePortOpen) {
  std::string got;
  const std::string out =
      connect(0, version_request, padded("\r\nTovarelink APRS Version 2.7\r\nTovare> ", 200), &got);
  EXPECT_EQ(out, "Connecting at 57600...\n\aConnected at 57600\n");
  EXPECT_EQ(got, version_request);  // the interrupt character and the command, nothing else
  EXPECT_EQ(link_state.connected, 1);
  EXPECT_TRUE(port_is_open());
}

TEST_F(LinkHandshake, RefusedDeviceLeavesNoPortOpen) {
  std::string got;
  const std::string out = connect(0, version_request, padded("Tovarelink Version 2.6\r\nTovare> ", 200), &got);
  EXPECT_EQ(out, "Connecting at 57600...\n\n\a\aError: received Tovarelink version 2.6 but minimal is 2.7!\n");
  EXPECT_EQ(link_state.connected, 0);
  EXPECT_FALSE(port_is_open());
}

TEST_F(LinkHandshake, AlreadyConnectedChangesNothing) {
  ASSERT_EQ(open_port(link_state.port_name, 57600), 0);
  link_state.connected = 1;
  std::string got;
  const std::string out = connect(0, "", "", &got);
  EXPECT_EQ(out, "Connecting at 57600...\n\a\aError: already Connected!\n");
  EXPECT_EQ(got, "");
  EXPECT_EQ(link_state.connected, 1);
  EXPECT_TRUE(port_is_open());
}

TEST_F(LinkHandshake, ResyncKeepsTheHostLineAndFindsThePrompt) {
  ASSERT_EQ(open_port(link_state.port_name, 57600), 0);
  link_state.connected = 1;
  // What the baud command does before it hands over.
  const std::string host = "host 57600\n";
  ASSERT_EQ(write_port(link_state.port_name, reinterpret_cast<const uint8_t*>(host.data()),
                       static_cast<int>(host.size())),
            static_cast<int>(host.size()));
  drain_port();
  std::string got;
  const std::string out = connect(1, host + "\n", padded("\r\nTovare> ", 1024), &got);
  EXPECT_EQ(out, "Connecting at 57600...\n\aConnected at 57600\n");
  EXPECT_EQ(got, host + "\n");  // no interrupt character, no version request
  EXPECT_EQ(link_state.connected, 1);
  EXPECT_TRUE(port_is_open());
}

TEST_F(LinkHandshake, ResyncIgnoresAPromptReceivedBeforeTheChange) {
  ASSERT_EQ(open_port(link_state.port_name, 57600), 0);
  link_state.connected = 1;
  answer(bytes{'T', 'o', 'v', 'a', 'r', 'e', '>', ' '});  // already waiting in the port's queue at the old rate
  std::string got;
  const std::string out = connect(1, "\n", padded("\r\nbusy\r\n", 1024), &got);
  EXPECT_EQ(out, "Connecting at 57600...\n\a\aError: did not receive the Tovarelink prompt!\n");
  EXPECT_EQ(link_state.connected, 0);
  EXPECT_FALSE(port_is_open());
}

TEST_F(LinkHandshake, ResyncOnAPortThatDoesNotOpen) {
  link_state.connected = 1;
  snprintf(link_state.port_name, sizeof link_state.port_name, "%s", "/dev/tovhost-no-such-port");
  const std::string out = capture_stdout([] { dev_connect(9600, 1); });
  const std::string head = "Connecting at 9600...\n\a\aError: cannot open COM port /dev/tovhost-no-such-port: ";
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
  const std::string tail = "\n\a\aError: could not open COM port /dev/tovhost-no-such-port\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(link_state.connected, 0);
  EXPECT_FALSE(port_is_open());
}

}  // namespace
