// Configuration file reader: the input is the whole file.
#include <cstdint>
#include <cstring>

#include "config/config.h"
#include "fuzz_util.h"

namespace {

const char* conf_path = nullptr;

bool nul_within(const char* text, size_t cap) { return std::memchr(text, '\0', cap) != nullptr; }

// What any run leaves in the record, accepted lines or not: every stored
// value passed its check, or is the default.
void check_record() {
  const config_fields& c = config_record;
  FZ_CHECK(c.ssid <= 15);
  FZ_CHECK(c.widemax >= 1 && c.widemax <= 6);
  FZ_CHECK(c.widetotal >= 1 && c.widetotal <= 6);
  FZ_CHECK(c.widemax <= c.widetotal);
  FZ_CHECK(c.dupewin >= 5 && c.dupewin <= 500);
  FZ_CHECK(c.beacon == 0 || c.beacon >= 10);
  FZ_CHECK(c.implicit_action == IMPLICIT_PASS || c.implicit_action == IMPLICIT_DROP);
  FZ_CHECK(digipath_count >= 0 && digipath_count <= CONF_DIGIPATH_SLOTS);
  FZ_CHECK(nul_within(c.call, sizeof c.call) && std::strlen(c.call) <= 6);
  FZ_CHECK(nul_within(c.bcomment, sizeof c.bcomment));
  FZ_CHECK(c.base_lat >= -360.0f && c.base_lat <= 360.0f);
  FZ_CHECK(c.base_lon >= -360.0f && c.base_lon <= 360.0f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet();
  conf_path = fz_scratch_path(".conf");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_write_file(conf_path, data, size);
  conf_default();
  conf_processed = 0;
  const int rc = conf_process(conf_path);
  FZ_CHECK(rc <= 0);
  // A file read to its end is processed unless it set no item; a file that
  // stopped is never processed.
  FZ_CHECK((rc == 0 && conf_empty == 0) == (conf_processed == 1));
  FZ_CHECK(rc == 0 || conf_empty == 0);
  check_record();
  uint8_t image[CONF_IMAGE_SIZE];
  conf_image(image);
  conf_display();
  return 0;
}
