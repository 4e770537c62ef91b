// Download of the configuration and rules images in CRC-16 checked packets.
#pragma once
#include <array>
#include <cstdint>

constexpr int DWN_CHUNK = 60;
constexpr int DWN_TRIES = 5;
constexpr int DWN_PKT_MAX = DWN_CHUNK + 4;
constexpr int DWN_ACK_TIMEOUT_MS = 5000;
constexpr uint8_t DWN_ACK = 0x06;
constexpr uint8_t DWN_NAK = 0x15;

extern const std::array<uint16_t, 256> crc16_table;

// Runs the register step over `count` bytes of `data`.
uint16_t crc16(uint16_t reg, const uint8_t* data, int count, const uint16_t* table);
// Frames, checksums and sends one packet, waiting for ACK/NAK. `length`, or
// -1/-2 bad argument, -3 write failed, -4 no answer, -5 wrong answer, -6
// refused five times, -7 the port was lost (the link is closed).
int dwn_write_pkt(uint8_t* packet, int length);
// Sends `length` bytes as consecutive data packets.
int dwn_write_file(const uint8_t* data, int length);
// Tells the device a download follows ("download\n" on the open link). 0, or
// -1 when the write failed (the message is printed; the link stays open).
int dwn_announce();
// Sends "conf", "rules" and the finish packet. 0 or -1..-5 (the step that
// failed), -6 the port was lost before the first packet.
int dwn_download();
