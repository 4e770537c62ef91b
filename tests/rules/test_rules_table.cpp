// Tests of the rule table: the drules display byte for byte, the wire image
// of the entries and the little-endian floats.
#include <cfloat>
#include <cstring>
#include <string>
#include <vector>

#include "rules_test_util.h"

namespace {

using rules_table_test = rules_test;

const char display_head[] = "\nAction Command   Mods Arguments\n";

TEST_F(rules_table_test, no_rules_shows_only_the_implicit_action) {
  config_record.rule_count = 0;
  config_record.implicit_action = 'd';
  EXPECT_EQ(display_rules(), "No Rules are configured!  Implicit Rule Action is Drop\n");
  config_record.implicit_action = 'p';
  EXPECT_EQ(display_rules(), "No Rules are configured!  Implicit Rule Action is Pass\n");
  config_record.implicit_action = 'x';
  EXPECT_EQ(display_rules(), "No Rules are configured!  Implicit Rule Action is ?\n");
}

TEST_F(rules_table_test, worked_example_display) {
  ASSERT_EQ(run_rules_text("implicit drop\n"
                           "pass src N0CALL-5\n"
                           "pass dst AP*\n"
                           "drop circle 10, 39d30m, -105d\n"
                           "pass compass NE, 39d30m, -105d\n"
                           "pass sector 0d, 90d, 5, 25\n")
                .rc,
            0);
  EXPECT_EQ(display_rules(), std::string("Rule count 5 plus Implicit\n") + display_head +
                                 "Drop   Implicit \n"
                                 "Pass   source    40   N0CALL-5   \n"
                                 "Pass   destin    10   AP*   \n"
                                 "Drop   circle    00   10.000 mi R, 39.500000  D Lat, -105.00000  D Lon \n"
                                 "Pass   compass   00   NE Dir, 39.500000  D Lat, -105.00000  D Lon \n"
                                 "Pass   sector    00   0.000 D Ang1, 90.000 D Ang2, 5.000 In R, 25.000 Out R\n");
}

TEST_F(rules_table_test, call_patterns_and_mods) {
  ASSERT_EQ(run_rules_text("drop dst *\n"
                           "pass src WIDE*\n"
                           "pass ds N0CALL-15\n"
                           "drop sr ABCDEF\n"
                           "implicit dst N0CALL\n"
                           "pass r 10.5d, -20.25d, 11d, 21d\n"
                           "drop se 45d, 90d, 0\n")
                .rc,
            0);
  config_record.implicit_action = 'x';  // the implicit row says Pass for anything but 'd'
  EXPECT_EQ(display_rules(),
            std::string("Rule count 7 plus Implicit\n") + display_head +
                "Pass   Implicit \n"
                "Drop   destin    30   *   \n"
                "Pass   source    10   WIDE*   \n"
                "Pass   destin    40   N0CALL-15   \n"
                "Drop   source    00   ABCDEF   \n"
                // an "implicit" action sits in the prefix bit: action "?", mods 10
                "?      destin    10   N0CALL*   \n"
                "Pass   rectangle 00   10.500000  D Lat1, -20.25000   D Lon1, 11.000000  D Lat2, 21.00000    D Lon2\n"
                "Drop   sector    00   45.000 D Ang1, 90.000 D Ang2, 0.000 In R, 0.000 Out R\n");
}

TEST_F(rules_table_test, large_values_print_whole) {
  ASSERT_EQ(run_rules_text("drop circle 3e38, 0d, 0d\n"
                           "drop circle 1e30, 0d, 0d\n"
                           "drop circle 1e39, 0d, 0d\n"  // beyond the float range: the largest float
                           "pass se 0d, 1d, 1000000000, 3e38\n")
                .rc,
            0);
  EXPECT_EQ(display_rules(),
            std::string("Rule count 4 plus Implicit\n") + display_head +
                "Pass   Implicit \n"
                "Drop   circle    00   300000000549775575777803994281145270272.000 mi R, 0.000000   D Lat, "
                "0.00000     D Lon \n"
                "Drop   circle    00   1000000015047466219876688855040.000 mi R, 0.000000   D Lat, 0.00000     D Lon \n"
                "Drop   circle    00   340282346638528859811704183484516925440.000 mi R, 0.000000   D Lat, "
                "0.00000     D Lon \n"
                "Pass   sector    00   0.000 D Ang1, 1.000 D Ang2, 1000000000.000 In R, "
                "300000000549775575777803994281145270272.000 Out R\n");
}

TEST_F(rules_table_test, command_names_and_odd_entries) {
  EXPECT_STREQ(rule_cmd_name(44), "implicit");
  EXPECT_STREQ(rule_cmd_name(47), "destin");
  EXPECT_STREQ(rule_cmd_name(48), "source");
  EXPECT_STREQ(rule_cmd_name(52), "sector");
  EXPECT_STREQ(rule_cmd_name(43), "?");
  EXPECT_STREQ(rule_cmd_name(53), "?");

  // Entries that no file produces still display safely.
  config_record.rule_count = 2;
  config_record.implicit_action = 'd';
  rule_table[0].command = 99;
  rule_table[0].flags = 0x08;
  rule_put_float(rule_table[0].param_a, 1.0f);
  rule_table[1].command = RULE_CMD_COMPASS;
  rule_table[1].flags = 0x04;
  rule_table[1].param_a[0] = 200;  // no such direction
  EXPECT_EQ(display_rules(), std::string("Rule count 2 plus Implicit\n") + display_head +
                                 "Drop   Implicit \n"
                                 "Pass   ?         00      \n"
                                 "Drop   compass   00   Error Dir, 0.000000   D Lat, 0.00000     D Lon \n");
}

TEST_F(rules_table_test, floats_are_stored_little_endian) {
  uint8_t p[RULE_PARAM_SIZE];
  std::memset(p, 0xAA, sizeof p);
  rule_put_float(p, -105.0f);
  const uint8_t neg105[RULE_PARAM_SIZE] = {0x00, 0x00, 0xD2, 0xC2, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(p, neg105, sizeof p), 0);
  EXPECT_EQ(rule_get_float(p), -105.0f);

  rule_put_float(p, 0.1f);
  const uint8_t tenth[RULE_PARAM_SIZE] = {0xCD, 0xCC, 0xCC, 0x3D, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(p, tenth, sizeof p), 0);

  const uint8_t max[RULE_PARAM_SIZE] = {0xFF, 0xFF, 0x7F, 0x7F, 0x00, 0x00};
  EXPECT_EQ(rule_get_float(max), FLT_MAX);
}

TEST_F(rules_table_test, entry_image_is_28_packed_bytes) {
  rule_entry e{};
  std::memcpy(e.param_a, "ABCDEF", 6);
  e.param_b[0] = 7;
  rule_put_float(e.param_c, 1.0f);    // 0x3F800000
  rule_put_float(e.param_d, -2.0f);   // 0xC0000000
  e.command = RULE_CMD_SOURCE;
  e.flags = RULE_ACT_DROP | RULE_MOD_SSID;
  e.line_no = 300;  // 0x012C
  uint8_t out[RULE_ENTRY_SIZE];
  rule_image(e, out);
  const std::vector<uint8_t> expected = {
      'A', 'B', 'C', 'D', 'E', 'F',      // param_a
      7, 0, 0, 0, 0, 0,                  // param_b
      0x00, 0x00, 0x80, 0x3F, 0, 0,      // param_c
      0x00, 0x00, 0x00, 0xC0, 0, 0,      // param_d
      48, 0x44,                          // command, flags
      0x2C, 0x01,                        // line number
  };
  ASSERT_EQ(expected.size(), static_cast<size_t>(RULE_ENTRY_SIZE));
  EXPECT_EQ(std::vector<uint8_t>(out, out + RULE_ENTRY_SIZE), expected);

  e.line_no = -2;
  rule_image(e, out);
  EXPECT_EQ(out[26], 0xFE);
  EXPECT_EQ(out[27], 0xFF);
}

TEST_F(rules_table_test, table_image_holds_the_counted_entries_only) {
  ASSERT_EQ(run_rules_text("pass dst A\npass dst B\npass dst C\n").rc, 0);
  uint8_t out[RULE_LIMIT * RULE_ENTRY_SIZE];
  EXPECT_EQ(rules_image(out, 3 * RULE_ENTRY_SIZE), 3 * RULE_ENTRY_SIZE);
  EXPECT_EQ(out[0], 'A');
  EXPECT_EQ(out[RULE_ENTRY_SIZE], 'B');
  EXPECT_EQ(out[2 * RULE_ENTRY_SIZE], 'C');
  EXPECT_EQ(out[2 * RULE_ENTRY_SIZE + 26], 3);  // line number of C
  EXPECT_EQ(rules_image(out, 3 * RULE_ENTRY_SIZE - 1), -1);
  config_record.rule_count = RULE_LIMIT + 1;  // a damaged count is refused, not read past the table
  EXPECT_EQ(rules_image(out, sizeof out), -1);
}

}  // namespace
