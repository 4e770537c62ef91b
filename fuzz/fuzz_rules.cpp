// Rules file reader: the input is the whole file; what it leaves in the
// table is then displayed and imaged as drules and the download would.
#include <cstdint>
#include <cstring>

#include "config/config.h"
#include "fuzz_util.h"
#include "rules/rules.h"

namespace {

const char* rules_path = nullptr;

bool rule_command_code(int c) { return c >= RULE_CMD_DESTIN && c <= RULE_CMD_SECTOR; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet();
  rules_path = fz_scratch_path(".rules");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz_write_file(rules_path, data, size);
  conf_default();
  std::memset(rule_table, 0xA5, sizeof rule_table);  // the reader must clear it
  rules_processed = false;
  const int rc = rules_process(rules_path);
  FZ_CHECK(rc <= 0);
  FZ_CHECK((rc == 0) == rules_processed);
  const int count = config_record.rule_count;
  FZ_CHECK(config_record.implicit_action == IMPLICIT_PASS || config_record.implicit_action == IMPLICIT_DROP);
  if (rc != 0) {
    FZ_CHECK(count == 0);
  } else {
    FZ_CHECK(count >= 0 && count <= RULE_LIMIT);
    for (int i = 0; i < count; ++i) {
      const rule_entry& e = rule_table[i];
      FZ_CHECK(rule_command_code(e.command));
      const int action = e.flags & 0x0F;
      // The implicit action code (16) lies above the low nibble, where it reads as 0.
      FZ_CHECK(action == 0 || action == RULE_ACT_DROP || action == RULE_ACT_PASS);
      FZ_CHECK(e.line_no >= 1);
    }
  }
  rules_display();
  uint8_t image[RULE_LIMIT * RULE_ENTRY_SIZE];
  FZ_CHECK(rules_image(image, static_cast<int>(sizeof image)) == count * RULE_ENTRY_SIZE);
  // A buffer one entry short must be refused, never overrun.
  if (count > 0) FZ_CHECK(rules_image(image, count * RULE_ENTRY_SIZE - 1) == -1);
  return 0;
}
