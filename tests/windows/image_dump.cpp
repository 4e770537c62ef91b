// Reads a configuration file and a rules file the way the configure and
// rules commands do and writes the two images the download sends:
// DIR/conf.bin (176 bytes) and DIR/rules.bin (rule_count x 28 bytes). The
// Windows device scenarios compare what the simulated device received with
// these, built natively from the same files.
//
//   image_dump CONF_FILE RULES_FILE DIR
#include <cstdio>
#include <string>

#include "config/config.h"
#include "rules/rules.h"

namespace {

bool write_bytes(const std::string& path, const uint8_t* data, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  const bool ok = std::fwrite(data, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: image_dump CONF_FILE RULES_FILE DIR\n");
    return 2;
  }
  conf_default();
  if (conf_process(argv[1]) != 0) {
    std::fprintf(stderr, "image_dump: %s was not read\n", argv[1]);
    return 1;
  }
  if (rules_process(argv[2]) != 0) {
    std::fprintf(stderr, "image_dump: %s was not read\n", argv[2]);
    return 1;
  }
  const std::string dir = argv[3];
  uint8_t conf[CONF_IMAGE_SIZE];
  conf_image(conf);
  static uint8_t rules[RULE_LIMIT * RULE_ENTRY_SIZE];
  const int n = rules_image(rules, static_cast<int>(sizeof rules));
  if (n < 0 || !write_bytes(dir + "/conf.bin", conf, sizeof conf) ||
      !write_bytes(dir + "/rules.bin", rules, static_cast<size_t>(n))) {
    std::fprintf(stderr, "image_dump: cannot write the images into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
