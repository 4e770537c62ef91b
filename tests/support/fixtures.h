// What goes over the wire, built independently of the program: download
// packets with a bit-by-bit CRC, the worked packets every packet test starts
// from, and Intel HEX record lines.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// CRC-16/AUG-CCITT (polynomial 0x1021, initial value 0x1D0F), bit by bit:
// the packet CRC over all of a packet but its last two bytes.
inline uint16_t crc_aug_ccitt(const uint8_t* data, size_t n) {
  uint16_t crc = 0x1D0F;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int k = 0; k < 8; ++k)
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}
inline uint16_t crc_aug_ccitt(const std::vector<uint8_t>& data) { return crc_aug_ccitt(data.data(), data.size()); }

// A download packet: the 16-bit length (big-endian), `payload`, the CRC.
inline std::vector<uint8_t> framed_packet(const std::vector<uint8_t>& payload) {
  const size_t len = payload.size() + 4;
  std::vector<uint8_t> p(len, 0);
  p[0] = static_cast<uint8_t>(len >> 8);
  p[1] = static_cast<uint8_t>(len & 0xFF);
  for (size_t i = 0; i < payload.size(); ++i) p[2 + i] = payload[i];
  const uint16_t crc = crc_aug_ccitt(p.data(), len - 2);
  p[len - 2] = static_cast<uint8_t>(crc >> 8);
  p[len - 1] = static_cast<uint8_t>(crc & 0xFF);
  return p;
}

// A command packet: the file name in 12 bytes, its size in 5 ASCII digits,
// each padded with NUL bytes.
inline std::vector<uint8_t> command_packet(std::string_view name, std::string_view size) {
  std::vector<uint8_t> payload(17, 0);
  for (size_t i = 0; i < name.size() && i < 12; ++i) payload[i] = static_cast<uint8_t>(name[i]);
  for (size_t i = 0; i < size.size() && i < 5; ++i) payload[12 + i] = static_cast<uint8_t>(size[i]);
  return framed_packet(payload);
}

// The worked packets, byte for byte as the device must see them.
inline const std::vector<uint8_t> pkt_abc = {0x00, 0x07, 0x61, 0x62, 0x63, 0x3D, 0x35};
inline const std::vector<uint8_t> pkt_conf = {0x00, 0x15, 0x63, 0x6F, 0x6E, 0x66, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x31, 0x37, 0x36, 0x00, 0x00, 0x54, 0xEC};
inline const std::vector<uint8_t> pkt_rules0 = {0x00, 0x15, 0x72, 0x75, 0x6C, 0x65, 0x73, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00, 0xE6, 0xAA};
inline const std::vector<uint8_t> pkt_finish = {0x00, 0x15, 0x2D, 0x63, 0x65, 0x73, 0x74, 0x66, 0x69, 0x6E, 0x69,
                                 0x2D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5D, 0xCF};

// `n` data bytes first, first + step, first + 2 step, ... (modulo 256).
inline std::vector<int> pattern_bytes(int n, int first, int step) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back((first + i * step) & 0xFF);
  return v;
}

// An Intel HEX record line with a correct checksum, without a line end.
// `count` is written as given, so a record can declare a count that its data
// does not match.
inline std::string hex_record(int count, unsigned offset, int type, const std::vector<int>& data) {
  unsigned sum = static_cast<unsigned>(count) + (offset >> 8) + (offset & 0xFF) + static_cast<unsigned>(type);
  char head[16];
  std::snprintf(head, sizeof head, ":%02X%04X%02X", count & 0xFF, offset & 0xFFFF, type & 0xFF);
  std::string s = head;
  for (const int b : data) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", b & 0xFF);
    s += pair;
    sum += static_cast<unsigned>(b);
  }
  char check[4];
  std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return s + check;
}

inline const std::string hex_eof_record = ":00000001FF";
