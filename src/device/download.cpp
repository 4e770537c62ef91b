// Download of the configuration and the rules to the device. Every packet is
// a big-endian 16-bit length, the payload and a CRC-16; the device answers
// each one with ACK to accept it or NAK to have it sent again.
#include "device/download.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "config/config.h"
#include "device/link.h"
#include "rules/rules.h"
#include "serial/serial.h"

namespace {

constexpr uint16_t crc16_poly = 0x1021;

// Entry i is the remainder of i * 2^16 divided by the polynomial.
constexpr std::array<uint16_t, 256> crc16_make_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = i << 8;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x8000U) ? ((r << 1) ^ crc16_poly) : (r << 1);
    t[i] = static_cast<uint16_t>(r & 0xFFFFU);
  }
  return t;
}

constexpr uint16_t crc16_init = 0xFFFF;

// Command packet: length, 12-byte name, 5-byte size text, CRC.
constexpr int dwn_cmd_len = 21;
constexpr int dwn_name_off = 2;
constexpr int dwn_name_size = 12;
constexpr int dwn_size_off = 14;
constexpr int dwn_size_digits = 5;
static_assert(dwn_size_off + dwn_size_digits + 2 == dwn_cmd_len, "command packet layout");
static_assert(dwn_cmd_len <= DWN_PKT_MAX, "command packet fits the packet buffer");

constexpr std::string_view dwn_conf_name = "conf";
constexpr std::string_view dwn_rules_name = "rules";
constexpr std::string_view dwn_finish_name = "-cestfini-";
static_assert(dwn_finish_name.size() <= dwn_name_size, "file names fit their field");

// Whatever the device said before the first packet is read and dropped.
constexpr int dwn_flush_size = 64;
constexpr int dwn_flush_timeout_ms = 10;

using dwn_packet = std::array<uint8_t, DWN_PKT_MAX>;

// Clears `pkt` and fills in a command packet's name and size text (an empty
// size text leaves the field all zero, as in the finish packet).
void dwn_command_packet(dwn_packet& pkt, std::string_view name, std::string_view size_text) {
  pkt.fill(0);
  const size_t name_len = name.size() < dwn_name_size ? name.size() : dwn_name_size;
  memcpy(pkt.data() + dwn_name_off, name.data(), name_len);
  const size_t size_len = size_text.size() < dwn_size_digits ? size_text.size() : dwn_size_digits;
  memcpy(pkt.data() + dwn_size_off, size_text.data(), size_len);
}

}  // namespace

constexpr std::array<uint16_t, 256> crc16_table = crc16_make_table();
static_assert(crc16_table[0] == 0x0000 && crc16_table[1] == 0x1021 && crc16_table[2] == 0x2042 &&
                  crc16_table[255] == 0x1EF0,
              "CRC-16 table of polynomial 0x1021");

uint16_t crc16(uint16_t reg, const uint8_t* data, int count, const uint16_t* table) {
  if (data == nullptr || table == nullptr) return reg;
  for (int i = 0; i < count; ++i) {
    reg = static_cast<uint16_t>(table[reg >> 8] ^ (((reg << 8) & 0xFFFF) | data[i]));
  }
  return reg;
}

int dwn_write_pkt(uint8_t* packet, int length) {
  if (packet == nullptr) {
    printf("dwn_write_pkt: argument ptr pp is null\n");
    return -1;
  }
  if (length < 5) {
    printf("dwn_write_pkt: argument len < 5\n");
    return -2;
  }

  packet[0] = static_cast<uint8_t>((length >> 8) & 0xFF);
  packet[1] = static_cast<uint8_t>(length & 0xFF);
  packet[length - 2] = 0x00;
  packet[length - 1] = 0x00;
  const uint16_t crc = crc16(crc16_init, packet, length, crc16_table.data());
  packet[length - 2] = static_cast<uint8_t>(crc >> 8);
  packet[length - 1] = static_cast<uint8_t>(crc & 0xFF);

  const char* name = link_state.port_name;
  int tries = DWN_TRIES;
  for (;;) {
    if (write_port(name, packet, length) != length) {
      printf("\a\aError: writing pkt\n");
      return -3;
    }
    uint8_t answer = 0;
    const int got = read_port(name, &answer, 1, DWN_ACK_TIMEOUT_MS);
    if (got == READ_PORT_LOST) {
      dev_port_lost();
      return -7;
    }
    if (got != 1) {
      printf("\a\aError: reading ack or nak: %d\n", got);
      return -4;
    }
    if (answer == DWN_ACK) return length;
    if (answer != DWN_NAK) {
      printf("\a\aError: reading ack or nak: got 0x%02x\n", static_cast<unsigned>(answer));
      return -5;
    }
    if (--tries <= 0) return -6;
  }
}

int dwn_write_file(const uint8_t* data, int length) {
  if (data == nullptr) {
    printf("dwn_write_file: argument ptr bp is null\n");
    return -1;
  }
  if (length < 1) {
    printf("dwn_write_file: argument len < 1\n");
    return -2;
  }

  dwn_packet pkt{};
  int sent = 0;
  while (sent < length) {
    const int n = (length - sent) < DWN_CHUNK ? (length - sent) : DWN_CHUNK;
    memcpy(pkt.data() + 2, data + sent, static_cast<size_t>(n));
    const int r = dwn_write_pkt(pkt.data(), n + 4);
    if (r != n + 4) {
      printf("\a\aError: writing data pkt: %d\n", r);
      return -3;
    }
    sent += n;
  }
  return sent;
}

int dwn_announce() {
  static constexpr uint8_t command[] = {'d', 'o', 'w', 'n', 'l', 'o', 'a', 'd', '\n'};
  if (write_port(link_state.port_name, command, sizeof command) < 0) {
    printf("\a\aError: wrote Download command, got error on port %s\n", link_state.port_name);
    return -1;
  }
  return 0;
}

int dwn_download() {
  std::array<uint8_t, dwn_flush_size> junk{};
  if (read_port(link_state.port_name, junk.data(), dwn_flush_size, dwn_flush_timeout_ms) == READ_PORT_LOST) {
    dev_port_lost();
    return -6;
  }

  dwn_packet pkt{};
  char size_text[16];

  // The configuration record as the file "conf".
  snprintf(size_text, sizeof size_text, "%d", CONF_IMAGE_SIZE);
  dwn_command_packet(pkt, dwn_conf_name, size_text);
  int r = dwn_write_pkt(pkt.data(), dwn_cmd_len);
  if (r != dwn_cmd_len) {
    printf("\a\aError: writing Configuration command failed: %d\n", r);
    return -1;
  }
  uint8_t conf[CONF_IMAGE_SIZE];
  conf_image(conf);
  r = dwn_write_file(conf, CONF_IMAGE_SIZE);
  if (r != CONF_IMAGE_SIZE) {
    printf("\a\aError: writing Configuration file failed: %d\n", r);
    return -2;
  }
  printf("Downloading Configuration succeeded\n");

  // The first rule_count entries of the rule table as the file "rules".
  const unsigned rule_count = config_record.rule_count;
  if (rule_count > static_cast<unsigned>(RULE_LIMIT)) {
    printf("\a\aInternal Error: rule count %u is invalid!\n", rule_count);
    return -3;
  }
  uint8_t rules[RULE_LIMIT * RULE_ENTRY_SIZE];
  const int size = static_cast<int>(rule_count) * RULE_ENTRY_SIZE;
  if (rule_count > 0 && rules_image(rules, static_cast<int>(sizeof rules)) != size) {
    printf("\a\aInternal Error: rule count %u is invalid!\n", rule_count);
    return -3;
  }
  snprintf(size_text, sizeof size_text, "%d", size);
  dwn_command_packet(pkt, dwn_rules_name, size_text);
  r = dwn_write_pkt(pkt.data(), dwn_cmd_len);
  if (r != dwn_cmd_len) {
    printf("\a\aError: writing Rules command failed: %d\n", r);
    return -3;
  }
  if (rule_count > 0) {
    r = dwn_write_file(rules, size);
    if (r != size) {
      printf("\a\aError: writing Rules file failed: %d\n", r);
      return -4;
    }
  }
  printf("Downloading Rules succeeded\n");

  dwn_command_packet(pkt, dwn_finish_name, "");
  r = dwn_write_pkt(pkt.data(), dwn_cmd_len);
  if (r != dwn_cmd_len) {
    printf("\a\aError: error writing finish pkt: %d\n", r);
    return -5;
  }
  return 0;
}
