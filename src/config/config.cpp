// The configuration record: defaults, display and the 176-byte wire image
// that the download sends to the device as the file "conf".
#include "config/config.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr const char conf_version_text[] = "Version 2.7";

// Offset and width of every field of the wire image, in image order. The
// checks below prove that the fields follow each other without gaps and
// fill exactly 176 bytes, and that the host record has the same widths.
struct conf_field_span {
  int offset;
  int width;
};

constexpr std::array<conf_field_span, 27> conf_spans = {{
    {conf_off::host_baud, 4},   {conf_off::gps_baud, 4},     {conf_off::tnc_baud, 4},
    {conf_off::altitude, 4},    {conf_off::base_lat, 4},     {conf_off::base_lon, 4},
    {conf_off::call, CONF_CALL_SIZE},
    {conf_off::ssid, 2},        {conf_off::widemax, 2},      {conf_off::widetotal, 2},
    {conf_off::relaydrop, 2},   {conf_off::uitrace, 2},      {conf_off::nsr, 2},
    {conf_off::havegps, 2},     {conf_off::dupewin, 2},      {conf_off::beacon, 2},
    {conf_off::icon, 2},        {conf_off::log_port, 2},     {conf_off::haltonerr, 2},
    {conf_off::dropmangld, 2},  {conf_off::fixvalid, 2},     {conf_off::nonaprs, 2},
    {conf_off::ratelimcall, 2}, {conf_off::implicit_action, 2}, {conf_off::rule_count, 2},
    {conf_off::digipath, CONF_DIGIPATH_SLOTS * CONF_DIGIPATH_NAME},
    {conf_off::bcomment, CONF_BCOMMENT_SIZE},
}};

constexpr bool conf_spans_contiguous() {
  int next = 0;
  for (const auto& s : conf_spans) {
    if (s.offset != next) return false;
    next += s.width;
  }
  return next == CONF_IMAGE_SIZE;
}

static_assert(conf_spans_contiguous(), "config image fields must be contiguous and fill 176 bytes");
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "floats travel as IEEE 754 single");
static_assert(sizeof(config_fields::call) == CONF_CALL_SIZE, "call field is 8 bytes");
static_assert(sizeof(config_fields::digipath) == 64, "digipath field is 64 bytes");
static_assert(sizeof(config_fields::bcomment) == CONF_BCOMMENT_SIZE, "bcomment field is 44 bytes");
static_assert(sizeof(config_fields) == CONF_IMAGE_SIZE, "host record has no padding");

void conf_put_u16(uint8_t* out, int off, uint16_t v) {
  out[off] = static_cast<uint8_t>(v & 0xFFu);
  out[off + 1] = static_cast<uint8_t>(v >> 8);
}

void conf_put_u32(uint8_t* out, int off, uint32_t v) {
  out[off] = static_cast<uint8_t>(v & 0xFFu);
  out[off + 1] = static_cast<uint8_t>((v >> 8) & 0xFFu);
  out[off + 2] = static_cast<uint8_t>((v >> 16) & 0xFFu);
  out[off + 3] = static_cast<uint8_t>((v >> 24) & 0xFFu);
}

void conf_put_f32(uint8_t* out, int off, float f) {
  uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  conf_put_u32(out, off, bits);
}

const char* conf_yes_no(uint16_t v) { return v != 0 ? "Yes" : "No"; }
const char* conf_en_dis(uint16_t v) { return v != 0 ? "En" : "Dis"; }

}  // namespace

// Default station position: 39.5 N, 105.0 W.
const config_fields default_config = {
    19200,                                  // host_baud
    9600,                                   // gps_baud
    19200,                                  // tnc_baud
    0,                                      // altitude
    39.5f,                                  // base_lat
    -105.0f,                                // base_lon
    {'N', 'O', 'T', 'S', 'E', 'T', 0, 0},   // call
    0,                                      // ssid
    3,                                      // widemax
    6,                                      // widetotal
    0,                                      // relaydrop
    0,                                      // uitrace
    0,                                      // nsr
    0,                                      // havegps
    28,                                     // dupewin
    600,                                    // beacon
    0x2F23,                                 // icon: table '/', code '#'
    1,                                      // log_port
    0,                                      // haltonerr
    1,                                      // dropmangld
    1,                                      // fixvalid
    0,                                      // nonaprs
    0,                                      // ratelimcall
    IMPLICIT_PASS,                          // implicit_action
    0,                                      // rule_count
    {},                                     // digipath
    {},                                     // bcomment
};

config_fields config_record = default_config;
int32_t conf_processed = 0;
int32_t conf_stopped = 0;
int32_t conf_empty = 0;
int32_t digipath_count = 0;

void conf_default() {
  std::memcpy(&config_record, &default_config, sizeof config_record);
  digipath_count = 0;
}

void conf_display() {
  const config_fields& c = config_record;
  std::printf(
      "Configuration %s\nStation Call\t%*.*s\tSSID %ld\nBase Lat %10.6f\tLon %11.5f    Altitude %ld meters\n"
      "Host baud\t%lu\nGPS  baud\t%lu\nTNC  baud\t%lu\nWIDE Max %u\tWIDE Total %u\n"
      "Dupe Window %u sec.\tCall Rate Limit %u sec.\nBeacon %u sec.\tIcon %c%c\nBeacon Comment: %.*s\n"
      "NSR: %sabled\tRelay Drop: %sabled",
      conf_version_text, 6, CONF_CALL_SIZE, c.call, static_cast<long>(c.ssid), static_cast<double>(c.base_lat),
      static_cast<double>(c.base_lon), static_cast<long>(c.altitude), static_cast<unsigned long>(c.host_baud),
      static_cast<unsigned long>(c.gps_baud), static_cast<unsigned long>(c.tnc_baud),
      static_cast<unsigned>(c.widemax), static_cast<unsigned>(c.widetotal), static_cast<unsigned>(c.dupewin),
      static_cast<unsigned>(c.ratelimcall), static_cast<unsigned>(c.beacon), (c.icon >> 8) & 0xFF,
      c.icon & 0x7F, CONF_BCOMMENT_SIZE, c.bcomment, conf_en_dis(c.nsr), conf_en_dis(c.relaydrop));

  int count = digipath_count;
  if (count < 0) count = 0;
  if (count > CONF_DIGIPATH_SLOTS) count = CONF_DIGIPATH_SLOTS;
  std::printf("\nDigi Path[%d]: ", count);
  for (int i = 0; i < count; ++i) {
    std::printf("%.*s%s", CONF_DIGIPATH_NAME, c.digipath[i], i + 1 < count ? "," : "");
  }

  const char* action = "?";
  if (c.implicit_action == IMPLICIT_DROP) action = "Drop";
  if (c.implicit_action == IMPLICIT_PASS) action = "Pass";
  std::printf(
      "\nLog Port: %s\nUITrace: %s\tHave GPS: %s\nFix Valid: %s\tPass packets without valid position: %s\n"
      "Halt On Error: %s\tDrop Mangled Packet: %s\nRule count %u\tImplicit Rule Action: %s\n",
      conf_yes_no(c.log_port), conf_yes_no(c.uitrace), conf_yes_no(c.havegps), conf_yes_no(c.fixvalid),
      conf_yes_no(c.nonaprs), conf_yes_no(c.haltonerr), conf_yes_no(c.dropmangld),
      static_cast<unsigned>(c.rule_count), action);
}

void conf_image(uint8_t out[CONF_IMAGE_SIZE]) {
  const config_fields& c = config_record;
  conf_put_u32(out, conf_off::host_baud, c.host_baud);
  conf_put_u32(out, conf_off::gps_baud, c.gps_baud);
  conf_put_u32(out, conf_off::tnc_baud, c.tnc_baud);
  conf_put_u32(out, conf_off::altitude, static_cast<uint32_t>(c.altitude));
  conf_put_f32(out, conf_off::base_lat, c.base_lat);
  conf_put_f32(out, conf_off::base_lon, c.base_lon);
  std::memcpy(out + conf_off::call, c.call, CONF_CALL_SIZE);
  conf_put_u16(out, conf_off::ssid, c.ssid);
  conf_put_u16(out, conf_off::widemax, c.widemax);
  conf_put_u16(out, conf_off::widetotal, c.widetotal);
  conf_put_u16(out, conf_off::relaydrop, c.relaydrop);
  conf_put_u16(out, conf_off::uitrace, c.uitrace);
  conf_put_u16(out, conf_off::nsr, c.nsr);
  conf_put_u16(out, conf_off::havegps, c.havegps);
  conf_put_u16(out, conf_off::dupewin, c.dupewin);
  conf_put_u16(out, conf_off::beacon, c.beacon);
  conf_put_u16(out, conf_off::icon, c.icon);
  conf_put_u16(out, conf_off::log_port, c.log_port);
  conf_put_u16(out, conf_off::haltonerr, c.haltonerr);
  conf_put_u16(out, conf_off::dropmangld, c.dropmangld);
  conf_put_u16(out, conf_off::fixvalid, c.fixvalid);
  conf_put_u16(out, conf_off::nonaprs, c.nonaprs);
  conf_put_u16(out, conf_off::ratelimcall, c.ratelimcall);
  conf_put_u16(out, conf_off::implicit_action, c.implicit_action);
  conf_put_u16(out, conf_off::rule_count, c.rule_count);
  std::memcpy(out + conf_off::digipath, c.digipath, sizeof c.digipath);
  std::memcpy(out + conf_off::bcomment, c.bcomment, sizeof c.bcomment);
}

long conf_default_baud() {
  return config_record.havegps != 0 ? static_cast<long>(config_record.gps_baud)
                                    : static_cast<long>(config_record.host_baud);
}
