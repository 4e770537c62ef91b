// The device's side of every exchange: the real handshake, baud
// re-synchronisation, serial test, firmware update and download run over the
// scripted port of fake_port.h, so the device's replies are the fuzzer's
// bytes and every time-out passes at once.
//
// Input: byte 0 picks the exchange, byte 1 the write that fails (the n-th,
// 0: none), byte 2 the open that fails (n % 4, 0: none), byte 3 a parameter
// of the exchange, the rest is what the device sends (0xFE: the device falls
// silent until the waiting read times out).
// dev_find is also checked against a plain search on every input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "device/download.h"
#include "device/firmware.h"
#include "device/link.h"
#include "device/serialtest.h"
#include "fake_port.h"
#include "fuzz_util.h"
#include "rules/rules.h"
#include "serial/serial.h"

namespace {

enum exchange { ex_connect, ex_resync, ex_serialtest, ex_firmware, ex_download, ex_count };

constexpr long bauds[5] = {4800, 9600, 19200, 38400, 57600};

// Two firmware files: three records, and twelve (more lines than the error
// limit, so every answer of the loader can be tried).
const char* hex_short = nullptr;
const char* hex_long = nullptr;

const char hex_short_text[] =
    ":10000000000102030405060708090A0B0C0D0E0F78\n:04002000FFFFFFFFE0\n:00000001FF\n";

void write_long_hex(const char* path) {
  std::string text;
  for (int rec = 0; rec < 11; ++rec) {
    const int addr = rec * 4;
    unsigned sum = 4 + (addr >> 8) + (addr & 0xFF);
    char line[64];
    int n = std::snprintf(line, sizeof line, ":04%04X00", addr);
    for (int i = 0; i < 4; ++i) {
      const int b = (rec * 7 + i) & 0xFF;
      sum += static_cast<unsigned>(b);
      n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X", b);
    }
    std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
  }
  text += ":00000001FF\r\n";
  fz_write_file(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// True when the device sent `text` in one piece. The serial operations drop
// NUL bytes as they arrive, so they are dropped here too before the search.
bool script_has(const std::vector<uint8_t>& s, const char* text) {
  std::vector<uint8_t> seen;
  for (uint8_t b : s)
    if (b != 0) seen.push_back(b);
  const size_t n = std::strlen(text);
  return std::search(seen.begin(), seen.end(), text, text + n) != seen.end();
}

// dev_find against std::search, on an exact-size copy so that a read past
// `len` lands outside the block.
void check_dev_find(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const size_t needle_len = std::min<size_t>(data[0] % 12, size - 1);
  std::vector<char> needle(data + 1, data + 1 + needle_len);
  std::vector<uint8_t> hay(data + 1 + needle_len, data + size);
  // Never null pointers, even when empty: dev_find refuses those by design.
  needle.reserve(1);
  hay.reserve(1);
  const int len = static_cast<int>(hay.size());
  const int got = dev_find(hay.data(), len, needle.data(), static_cast<int>(needle_len));
  const auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(),
                              [](uint8_t h, char n) { return h == static_cast<uint8_t>(n); });
  const int want = it == hay.end() && needle_len > 0 ? -1 : static_cast<int>(it - hay.begin());
  FZ_CHECK(got == want);
  // A shorter length hides the rest of the buffer.
  if (len > 0) {
    const int part = dev_find(hay.data(), len - 1, needle.data(), static_cast<int>(needle_len));
    FZ_CHECK(part == -1 || part + static_cast<int>(needle_len) <= len - 1);
  }
}

void open_link(long baud) {
  std::snprintf(link_state.port_name, sizeof link_state.port_name, "COM3");
  link_state.baud = static_cast<int32_t>(baud);
  if (open_port(link_state.port_name, baud) == 0) link_state.connected = 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet();
  hex_short = fz_scratch_path("-short.hex");
  hex_long = fz_scratch_path("-long.hex");
  fz_write_file(hex_short, reinterpret_cast<const uint8_t*>(hex_short_text), sizeof hex_short_text - 1);
  write_long_hex(hex_long);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_dev_find(data, size);
  if (size < 4) return 0;
  const int which = data[0] % ex_count;
  const int write_fault = data[1];
  const int open_fault = data[2] % 4;
  const int param = data[3];
  std::vector<uint8_t> script(data + 4, data + size);

  close_port();
  link_state = link_state_t{};
  conf_default();
  std::memset(rule_table, 0, sizeof rule_table);
  fake_port_reset(script.data(), script.size());
  const long baud = bauds[param % 5];

  switch (which) {
    case ex_connect:
      fake_port_fail_write(write_fault);
      fake_port_fail_open(open_fault);
      std::snprintf(link_state.port_name, sizeof link_state.port_name, "COM3");
      dev_connect(static_cast<int32_t>(baud), 0);
      if (fake_port_vanished()) FZ_CHECK(link_state.connected == 0);
      if (link_state.connected == 1) {
        FZ_CHECK(script_has(script, "Tovarelink"));
        FZ_CHECK(script_has(script, "Version "));
        FZ_CHECK(port_is_open());
      }
      break;
    case ex_resync:
      open_link(19200);
      fake_port_fail_write(write_fault);
      fake_port_fail_open(open_fault);
      dev_connect(static_cast<int32_t>(baud), 1);
      if (fake_port_vanished()) FZ_CHECK(link_state.connected == 0);
      if (link_state.connected == 1) FZ_CHECK(script_has(script, "Tovare> "));
      break;
    case ex_serialtest: {
      open_link(baud);
      fake_port_fail_write(write_fault);
      // Mostly small counts; a few odd texts for the count reading.
      static const char* const odd_counts[] = {"0",  "-1", "abc", " 2", "+1", "99999999999999999999999",
                                               "1x", "-99999999999999999999999"};
      char count[32];
      if (param >= 240) {
        std::snprintf(count, sizeof count, "%s", odd_counts[param % 8]);
      } else {
        std::snprintf(count, sizeof count, "%d", 1 + param % 3);
      }
      const int rc = serial_test(42, count);
      FZ_CHECK(rc <= 0 && rc >= -8);
      // A test that passed kept the link; one that lost the port did not pass.
      if (rc == 0) FZ_CHECK(port_is_open() && link_state.connected == 1);
      if (fake_port_vanished()) FZ_CHECK(rc != 0 && !port_is_open() && link_state.connected == 0);
      break;
    }
    case ex_firmware: {
      fake_port_fail_write(write_fault);
      fake_port_fail_open(open_fault);
      const int rc = firmware("COM3", (param & 1) != 0 ? hex_long : hex_short, nullptr);
      FZ_CHECK(rc <= 0 && rc >= -16);
      if (rc == 0) FZ_CHECK(script_has(script, "\x05"));
      // Every record line needs its answer: no read of the update may fail.
      if (fake_port_vanished()) FZ_CHECK(rc != 0);
      FZ_CHECK(!port_is_open());
      break;
    }
    case ex_download: {
      open_link(baud);
      fake_port_fail_write(write_fault);
      config_record.rule_count = static_cast<uint16_t>(param % 4);
      for (int i = 0; i < RULE_LIMIT; ++i) {
        rule_table[i].command = static_cast<uint8_t>(RULE_CMD_DESTIN + i % 6);
        rule_table[i].flags = RULE_ACT_PASS;
        rule_table[i].line_no = static_cast<int16_t>(i + 1);
      }
      const int rc = dwn_download();
      FZ_CHECK(rc <= 0 && rc >= -6);
      if (rc == 0) FZ_CHECK(script_has(script, "\x06"));
      // A vanished device fails the download and leaves no link.
      if (fake_port_vanished()) FZ_CHECK(rc != 0 && !port_is_open() && link_state.connected == 0);
      break;
    }
    default:
      break;
  }
  close_port();
  link_state = link_state_t{};
  return 0;
}
