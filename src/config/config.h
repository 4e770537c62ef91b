// The configuration record: the 176-byte operating configuration of the
// device, its defaults, its display and the configuration file reader.
#pragma once
#include <array>
#include <cstdint>

constexpr int CONF_IMAGE_SIZE = 176;
constexpr int CONF_CALL_SIZE = 8;
constexpr int CONF_DIGIPATH_SLOTS = 8;
constexpr int CONF_DIGIPATH_NAME = 8;
constexpr int CONF_BCOMMENT_SIZE = 44;

constexpr uint16_t IMPLICIT_PASS = 0x70;  // 'p'
constexpr uint16_t IMPLICIT_DROP = 0x64;  // 'd'

// The fields of the record in host form. The wire image is built from them
// byte by byte (conf_image); the host layout of this struct never travels.
struct config_fields {
  uint32_t host_baud;
  uint32_t gps_baud;
  uint32_t tnc_baud;
  int32_t altitude;
  float base_lat;
  float base_lon;
  char call[CONF_CALL_SIZE];
  uint16_t ssid;
  uint16_t widemax;
  uint16_t widetotal;
  uint16_t relaydrop;
  uint16_t uitrace;
  uint16_t nsr;
  uint16_t havegps;
  uint16_t dupewin;
  uint16_t beacon;
  uint16_t icon;
  uint16_t log_port;
  uint16_t haltonerr;
  uint16_t dropmangld;
  uint16_t fixvalid;
  uint16_t nonaprs;
  uint16_t ratelimcall;
  uint16_t implicit_action;
  uint16_t rule_count;
  char digipath[CONF_DIGIPATH_SLOTS][CONF_DIGIPATH_NAME];
  char bcomment[CONF_BCOMMENT_SIZE];
};

// Byte offsets of the fields in the 176-byte wire image.
namespace conf_off {
constexpr int host_baud = 0, gps_baud = 4, tnc_baud = 8, altitude = 12, base_lat = 16, base_lon = 20,
              call = 24, ssid = 32, widemax = 34, widetotal = 36, relaydrop = 38, uitrace = 40, nsr = 42,
              havegps = 44, dupewin = 46, beacon = 48, icon = 50, log_port = 52, haltonerr = 54,
              dropmangld = 56, fixvalid = 58, nonaprs = 60, ratelimcall = 62, implicit_action = 64,
              rule_count = 66, digipath = 68, bcomment = 132;
}  // namespace conf_off
static_assert(conf_off::bcomment + CONF_BCOMMENT_SIZE == CONF_IMAGE_SIZE, "config image is 176 bytes");

extern config_fields config_record;
extern const config_fields default_config;
extern int32_t conf_processed;  // 1 once a configuration file that set an item was read to its end
// 1 when the last configuration file stopped at an error (a faulty line or a
// read error): the record holds the defaults and the lines before it, and
// conf_processed is 0. A file that could not be opened changes neither.
extern int32_t conf_stopped;
// 1 when the last configuration file was read to its end but set no item:
// the record holds the defaults only, and conf_processed is 0.
extern int32_t conf_empty;
extern int32_t digipath_count;  // names set by the last digipath line, 0..8

// Copies the defaults over config_record and sets digipath_count to 0.
void conf_default();
// Prints config_record (the dconfigure command).
void conf_display();
// Builds the 176-byte little-endian wire image of config_record.
void conf_image(uint8_t out[CONF_IMAGE_SIZE]);
// Reads a configuration file into config_record; 0 or a negative code.
int conf_process(const char* path);
// The link rate the shell offers by default: gps_baud when havegps, else host_baud.
long conf_default_baud();
