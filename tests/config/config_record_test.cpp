// The configuration record: default image, wire layout, display.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "capture.h"
#include "run_program.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes image_now() {
  uint8_t out[CONF_IMAGE_SIZE];
  std::memset(out, 0xA5, sizeof out);  // every byte must be written
  conf_image(out);
  return bytes(out, out + CONF_IMAGE_SIZE);
}

bytes slice(const bytes& b, size_t off, size_t len) { return bytes(b.begin() + off, b.begin() + off + len); }

std::string display_now() {
  return capture_stdout([] { conf_display(); });
}

int configure(const std::string& text, std::string* out = nullptr) {
  std::string path = write_file(scratch_dir("config_record") + "/t.conf", text);
  int rc = 0;
  const std::string o = capture_stdout([&] { rc = conf_process(path.c_str()); });
  if (out != nullptr) *out = o;
  return rc;
}

class ConfigRecord : public testing::Test {
 protected:
  void SetUp() override {
    conf_default();
    conf_processed = 0;
  }
};

const char default_display[] =
    "Configuration Version 2.7\n"
    "Station Call\tNOTSET\tSSID 0\n"
    "Base Lat  39.500000\tLon  -105.00000    Altitude 0 meters\n"
    "Host baud\t19200\n"
    "GPS  baud\t9600\n"
    "TNC  baud\t19200\n"
    "WIDE Max 3\tWIDE Total 6\n"
    "Dupe Window 28 sec.\tCall Rate Limit 0 sec.\n"
    "Beacon 600 sec.\tIcon /#\n"
    "Beacon Comment: \n"
    "NSR: Disabled\tRelay Drop: Disabled\n"
    "Digi Path[0]: \n"
    "Log Port: Yes\n"
    "UITrace: No\tHave GPS: No\n"
    "Fix Valid: Yes\tPass packets without valid position: No\n"
    "Halt On Error: No\tDrop Mangled Packet: Yes\n"
    "Rule count 0\tImplicit Rule Action: Pass\n";

TEST_F(ConfigRecord, DefaultImageBytes) {
  bytes expect = {
      0x00, 0x4B, 0x00, 0x00,  // host 19200
      0x80, 0x25, 0x00, 0x00,  // gps 9600
      0x00, 0x4B, 0x00, 0x00,  // tnc 19200
      0x00, 0x00, 0x00, 0x00,  // altitude 0
      0x00, 0x00, 0x1E, 0x42,  // 39.5f
      0x00, 0x00, 0xD2, 0xC2,  // -105.0f
      'N', 'O', 'T', 'S', 'E', 'T', 0x00, 0x00,
      0x00, 0x00,  // ssid
      0x03, 0x00,  // widemax
      0x06, 0x00,  // widetotal
      0x00, 0x00,  // relaydrop
      0x00, 0x00,  // uitrace
      0x00, 0x00,  // nsr
      0x00, 0x00,  // havegps
      0x1C, 0x00,  // dupewin 28
      0x58, 0x02,  // beacon 600
      0x23, 0x2F,  // icon
      0x01, 0x00,  // log
      0x00, 0x00,  // haltonerr
      0x01, 0x00,  // dropmangld
      0x01, 0x00,  // fixvalid
      0x00, 0x00,  // nonaprs
      0x00, 0x00,  // ratelimcall
      0x70, 0x00,  // implicit pass
      0x00, 0x00,  // rule count
  };
  expect.resize(CONF_IMAGE_SIZE, 0x00);  // digipath and bcomment all zero
  EXPECT_EQ(image_now(), expect);
}

TEST_F(ConfigRecord, EveryFieldAtItsOffset) {
  config_fields& c = config_record;
  c.host_baud = 0x11223344;
  c.gps_baud = 0x55667788;
  c.tnc_baud = 0x99AABBCC;
  c.altitude = -2;
  c.base_lat = 1.0f;    // 0x3F800000
  c.base_lon = -2.5f;   // 0xC0200000
  std::memcpy(c.call, "ABCDEFG", 8);
  uint16_t* u16[] = {&c.ssid,     &c.widemax,   &c.widetotal,  &c.relaydrop, &c.uitrace,
                     &c.nsr,      &c.havegps,   &c.dupewin,    &c.beacon,    &c.icon,
                     &c.log_port, &c.haltonerr, &c.dropmangld, &c.fixvalid,  &c.nonaprs,
                     &c.ratelimcall, &c.implicit_action, &c.rule_count};
  for (size_t i = 0; i < std::size(u16); ++i) *u16[i] = static_cast<uint16_t>(0x0101 * (i + 1) + 0x1000);
  for (int s = 0; s < 8; ++s) std::memset(c.digipath[s], 'a' + s, 8);
  for (int i = 0; i < CONF_BCOMMENT_SIZE; ++i) c.bcomment[i] = static_cast<char>(0x40 + i);

  bytes img = image_now();
  EXPECT_EQ(slice(img, 0, 4), (bytes{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(slice(img, 4, 4), (bytes{0x88, 0x77, 0x66, 0x55}));
  EXPECT_EQ(slice(img, 8, 4), (bytes{0xCC, 0xBB, 0xAA, 0x99}));
  EXPECT_EQ(slice(img, 12, 4), (bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(slice(img, 16, 4), (bytes{0x00, 0x00, 0x80, 0x3F}));
  EXPECT_EQ(slice(img, 20, 4), (bytes{0x00, 0x00, 0x20, 0xC0}));
  EXPECT_EQ(slice(img, 24, 8), (bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 0}));
  // ssid at 32, then one u16 every 2 bytes up to rule_count at 66, in table order.
  for (size_t i = 0; i < std::size(u16); ++i) {
    uint16_t v = static_cast<uint16_t>(0x0101 * (i + 1) + 0x1000);
    EXPECT_EQ(slice(img, 32 + 2 * i, 2), (bytes{static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)}))
        << "u16 field " << i;
  }
  for (int s = 0; s < 8; ++s) EXPECT_EQ(slice(img, 68 + 8 * s, 8), bytes(8, static_cast<uint8_t>('a' + s)));
  for (int i = 0; i < CONF_BCOMMENT_SIZE; ++i) EXPECT_EQ(img[132 + i], 0x40 + i);
}

TEST_F(ConfigRecord, DefaultDisplay) { EXPECT_EQ(display_now(), default_display); }

TEST_F(ConfigRecord, DefaultLoadRestoresEverything) {
  config_record.ssid = 9;
  config_record.rule_count = 4;
  digipath_count = 3;
  conf_default();
  EXPECT_EQ(std::memcmp(&config_record, &default_config, sizeof config_record), 0);
  EXPECT_EQ(digipath_count, 0);
}

TEST_F(ConfigRecord, DisplayOfOddValues) {
  config_record.implicit_action = 0x41;
  config_record.uitrace = 0xFFFF;
  config_record.rule_count = 12;
  config_record.icon = 0x41A1;  // code byte above 0x7F shows masked to 7 bits
  std::string d = display_now();
  EXPECT_NE(d.find("Rule count 12\tImplicit Rule Action: ?\n"), std::string::npos) << d;
  EXPECT_NE(d.find("UITrace: Yes\t"), std::string::npos) << d;
  EXPECT_NE(d.find("\tIcon A!\n"), std::string::npos) << d;
  config_record.implicit_action = IMPLICIT_DROP;
  EXPECT_NE(display_now().find("Implicit Rule Action: Drop\n"), std::string::npos);
}

// A full configure run, then the display and the wire image, byte for byte.
TEST_F(ConfigRecord, DisplayAndImageAfterConfigure) {
  std::string out;
  ASSERT_EQ(configure("call ab1c\n"
                      "ssid 9\n"
                      "lat 40:00:00\n"
                      "lon -104:30:00\n"
                      "altitude -100\n"
                      "host 57600\n"
                      "gps 4800\n"
                      "tnc 115200\n"
                      "widemax 2\n"
                      "widetotal 4\n"
                      "dupewin 30\n"
                      "ratelimcall 120\n"
                      "beacon 1800\n"
                      "icon \\>\n"
                      "bcomment Test site\n"
                      "nsr y\n"
                      "relaydrop yes\n"
                      "log n\n"
                      "uitrace\n"
                      "havegps t\n"
                      "fixvalid 0\n"
                      "nonaprs p\n"
                      "haltonerr E\n"
                      "dropmangld no\n"
                      "digipath wide1-1,abcdefgh, relay\n",
                      &out),
            0)
      << out;
  EXPECT_EQ(out, "Configuration items processed 25\n");
  EXPECT_EQ(display_now(),
            "Configuration Version 2.7\n"
            "Station Call\t  AB1C\tSSID 9\n"
            "Base Lat  40.000000\tLon  -104.50000    Altitude -100 meters\n"
            "Host baud\t57600\n"
            "GPS  baud\t4800\n"
            "TNC  baud\t115200\n"
            "WIDE Max 2\tWIDE Total 4\n"
            "Dupe Window 30 sec.\tCall Rate Limit 120 sec.\n"
            "Beacon 1800 sec.\tIcon \\>\n"
            "Beacon Comment: Test site\n"
            "NSR: Enabled\tRelay Drop: Enabled\n"
            "Digi Path[3]: WIDE1-1,ABCDEFGH,RELAY\n"
            "Log Port: No\n"
            "UITrace: Yes\tHave GPS: Yes\n"
            "Fix Valid: No\tPass packets without valid position: Yes\n"
            "Halt On Error: Yes\tDrop Mangled Packet: No\n"
            "Rule count 0\tImplicit Rule Action: Pass\n");

  bytes expect = {
      0x00, 0xE1, 0x00, 0x00,  // host 57600
      0xC0, 0x12, 0x00, 0x00,  // gps 4800
      0x00, 0xC2, 0x01, 0x00,  // tnc 115200
      0x9C, 0xFF, 0xFF, 0xFF,  // altitude -100
      0x00, 0x00, 0x20, 0x42,  // 40.0f
      0x00, 0x00, 0xD1, 0xC2,  // -104.5f
      'A', 'B', '1', 'C', 0x00, 'T', 0x00, 0x00,  // the default's T stays behind the terminator
      0x09, 0x00,  // ssid
      0x02, 0x00,  // widemax
      0x04, 0x00,  // widetotal
      0x01, 0x00,  // relaydrop
      0xFF, 0xFF,  // uitrace
      0x01, 0x00,  // nsr
      0x01, 0x00,  // havegps
      0x1E, 0x00,  // dupewin 30
      0x08, 0x07,  // beacon 1800
      0x3E, 0x5C,  // icon code '>', table '\'
      0x00, 0x00,  // log
      0x01, 0x00,  // haltonerr
      0x00, 0x00,  // dropmangld
      0x00, 0x00,  // fixvalid
      0x01, 0x00,  // nonaprs
      0x78, 0x00,  // ratelimcall 120
      0x70, 0x00,  // implicit pass
      0x00, 0x00,  // rule count
      'W', 'I', 'D', 'E', '1', '-', '1', 0x00,
      'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
      'R', 'E', 'L', 'A', 'Y', 0x00, 0x00, 0x00,
  };
  expect.resize(132, 0x00);
  for (char ch : std::string("Test site")) expect.push_back(static_cast<uint8_t>(ch));
  expect.resize(CONF_IMAGE_SIZE, 0x00);
  EXPECT_EQ(image_now(), expect);
  EXPECT_EQ(conf_default_baud(), 4800);  // havegps: the GPS baud
}

TEST_F(ConfigRecord, FullDigipathPrintsEachNameWhole) {
  std::string out;
  ASSERT_EQ(configure("bcomment after\n"
                      "digipath aaaaaaaa,bbbbbbbb,cccccccc,dddddddd,eeeeeeee,ffffffff,gggggggg,hhhhhhhh\n",
                      &out),
            0)
      << out;
  std::string d = display_now();
  EXPECT_NE(d.find("\nDigi Path[8]: AAAAAAAA,BBBBBBBB,CCCCCCCC,DDDDDDDD,EEEEEEEE,FFFFFFFF,GGGGGGGG,HHHHHHHH\n"
                   "Log Port:"),
            std::string::npos)
      << d;
}

TEST_F(ConfigRecord, SecondRunWithoutDigipathShowsNone) {
  ASSERT_EQ(configure("digipath wide1-1\n"), 0);
  EXPECT_NE(display_now().find("\nDigi Path[1]: WIDE1-1\nLog Port"), std::string::npos);
  ASSERT_EQ(configure("ssid 1\n"), 0);
  EXPECT_NE(display_now().find("\nDigi Path[0]: \nLog Port"), std::string::npos);
  EXPECT_EQ(slice(image_now(), 68, 64), bytes(64, 0));
}

TEST_F(ConfigRecord, DefaultBaudFollowsHaveGps) {
  EXPECT_EQ(conf_default_baud(), 19200);
  config_record.host_baud = 38400;
  EXPECT_EQ(conf_default_baud(), 38400);
  config_record.havegps = 1;
  EXPECT_EQ(conf_default_baud(), 9600);
}

}  // namespace
