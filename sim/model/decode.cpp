// The device's own decoding: the packet CRC, and the received images (the
// configuration record and the rule table) in plain words on the log.
#include <array>
#include <cstdio>
#include <cstring>

#include "model/parts.h"

namespace simdev {

namespace {

// Remainders of i * 2^16 by x^16 + x^12 + x^5 + 1, most significant bit first.
constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; i++) {
    unsigned r = i << 8;
    for (int b = 0; b < 8; b++) r = (r & 0x8000u) != 0 ? ((r << 1) ^ 0x1021u) : (r << 1);
    t[i] = static_cast<uint16_t>(r & 0xFFFFu);
  }
  return t;
}

constexpr std::array<uint16_t, 256> crc_table = make_crc_table();
static_assert(crc_table[1] == 0x1021 && crc_table[255] == 0x1EF0);

uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// The IEEE single at p, little-endian (a copy of its bits: no bit_cast in
// every library we build with).
double get_f32(const uint8_t* p) {
  const uint32_t bits = get_u32(p);
  float f = 0;
  static_assert(sizeof f == sizeof bits);
  std::memcpy(&f, &bits, sizeof f);
  return static_cast<double>(f);
}

const char* on_off(uint16_t v) { return v != 0 ? "on" : "off"; }

// Text of a NUL-padded field of at most `width` bytes.
void field_text(const uint8_t* p, int width, char* out, int cap) {
  int len = 0;
  while (len < width && p[len] != 0) len++;
  printable(p, len, out, cap);
}

const char* implicit_name(uint16_t v) {
  if (v == 'p') return "pass";
  if (v == 'd') return "drop";
  return "unknown";
}

}  // namespace

uint16_t crc_run(uint16_t reg, const uint8_t* data, int count) {
  for (int i = 0; i < count; i++)
    reg = static_cast<uint16_t>(crc_table[reg >> 8] ^ (((reg << 8) & 0xFFFF) | data[i]));
  return reg;
}

bool packet_crc_ok(const uint8_t* packet, int length) { return crc_run(0xFFFF, packet, length) == 0; }

void printable(const uint8_t* bytes, int count, char* out, int cap) {
  int n = 0;
  for (int i = 0; i < count && n < cap - 5; i++) {
    const uint8_t c = bytes[i];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out[n++] = static_cast<char>(c);
    } else {
      n += std::snprintf(out + n, static_cast<size_t>(cap - n), "\\x%02X", c);
    }
  }
  out[n < cap ? n : cap - 1] = '\0';
}

void print_conf(device& d, const uint8_t* c) {
  char call[64], comment[200], text[80];
  field_text(c + 24, 8, call, sizeof call);
  field_text(c + 132, 44, comment, sizeof comment);
  log_line(d, "Configuration received (%d bytes):", CONF_SIZE);
  log_line(d, "  call sign %s, SSID %u", call, get_u16(c + 32));
  log_line(d, "  position lat %.6f, lon %.5f, altitude %ld m", get_f32(c + 16), get_f32(c + 20),
          static_cast<long>(static_cast<int32_t>(get_u32(c + 12))));
  log_line(d, "  bauds: host %lu, GPS %lu, TNC %lu", static_cast<unsigned long>(get_u32(c + 0)),
          static_cast<unsigned long>(get_u32(c + 4)), static_cast<unsigned long>(get_u32(c + 8)));
  log_line(d, "  WIDE max %u, WIDE total %u, duplicate window %u s, call rate limit %u s", get_u16(c + 34),
          get_u16(c + 36), get_u16(c + 46), get_u16(c + 62));
  const uint8_t sym_id = c[51], sym_code = c[50];
  printable(&sym_id, 1, text, 20);
  printable(&sym_code, 1, text + 20, 20);
  log_line(d, "  beacon every %u s, symbol %s%s, comment \"%s\"", get_u16(c + 48), text, text + 20, comment);
  log_line(d, "  switches: relay drop %s, UITrace %s, NSR %s, have GPS %s, log port %s, halt on error %s,",
          on_off(get_u16(c + 38)), on_off(get_u16(c + 40)), on_off(get_u16(c + 42)), on_off(get_u16(c + 44)),
          on_off(get_u16(c + 52)), on_off(get_u16(c + 54)));
  log_line(d, "            drop mangled %s, fix valid %s, pass without position %s", on_off(get_u16(c + 56)),
          on_off(get_u16(c + 58)), on_off(get_u16(c + 60)));
  char path[8 * 40] = "";
  int len = 0;
  for (int slot = 0; slot < 8; slot++) {
    const uint8_t* s = c + 68 + 8 * slot;
    if (s[0] == 0) continue;
    char name[40];
    field_text(s, 8, name, sizeof name);
    len += std::snprintf(path + len, sizeof path - static_cast<size_t>(len), "%s%s", len > 0 ? "," : "", name);
  }
  log_line(d, "  digipeater path: %s", len > 0 ? path : "(none)");
  log_line(d, "  rule count %u, implicit action %s", get_u16(c + 66), implicit_name(get_u16(c + 64)));
}

void print_rules(device& d, const uint8_t* rules, int count) {
  static constexpr const char* compass[] = {"?", "N", "NE", "E", "SE", "S", "SW", "W", "NW"};
  log_line(d, "Rules received: %d", count);
  for (int i = 0; i < count; i++) {
    const uint8_t* r = rules + RULE_SIZE * i;
    const int cmd = r[24];
    const int action = r[25] & 0x0F;
    const int mods = r[25] & 0xF0;
    const int line = static_cast<int16_t>(get_u16(r + 26));
    char what[400];
    char act[24];
    if (action == 8)
      std::snprintf(act, sizeof act, "pass");
    else if (action == 4)
      std::snprintf(act, sizeof act, "drop");
    else
      std::snprintf(act, sizeof act, "action %d", action);
    switch (cmd) {
      case 47:
      case 48: {
        char call[40];
        field_text(r, 6, call, sizeof call);
        const char* kind = cmd == 47 ? "destin" : "source";
        if ((mods & 0x20) != 0)
          std::snprintf(what, sizeof what, "%s call * (any)", kind);
        else if ((mods & 0x10) != 0)
          std::snprintf(what, sizeof what, "%s call %s* (prefix)", kind, call);
        else if ((mods & 0x40) != 0)
          std::snprintf(what, sizeof what, "%s call %s-%u", kind, call, r[6]);
        else
          std::snprintf(what, sizeof what, "%s call %s", kind, call);
        break;
      }
      case 49:
        std::snprintf(what, sizeof what, "circle radius %.3f mi around lat %.6f, lon %.5f", get_f32(r),
                      get_f32(r + 6), get_f32(r + 12));
        break;
      case 50:
        std::snprintf(what, sizeof what, "compass %s of lat %.6f, lon %.5f", r[0] <= 8 ? compass[r[0]] : "?",
                      get_f32(r + 6), get_f32(r + 12));
        break;
      case 51:
        std::snprintf(what, sizeof what, "rectangle lat %.6f, lon %.5f to lat %.6f, lon %.5f", get_f32(r),
                      get_f32(r + 6), get_f32(r + 12), get_f32(r + 18));
        break;
      case 52:
        std::snprintf(what, sizeof what, "sector angles %.3f to %.3f, range %.3f to %.3f", get_f32(r),
                      get_f32(r + 6), get_f32(r + 12), get_f32(r + 18));
        break;
      default:
        std::snprintf(what, sizeof what, "command %d", cmd);
        break;
    }
    log_line(d, "  rule %d (line %d): %s %s, mods %02x", i + 1, line, act, what, mods);
  }
}

}  // namespace simdev
