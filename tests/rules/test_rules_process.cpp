// Tests of the rules file reader: every statement kind, every refusal with
// its code and message, the statement limit and the state after success
// and failure.
#include <cstring>
#include <string>
#include <vector>

#include "rules_test_util.h"

namespace {

// A faulty statement on line 2 of a file (line 1 is a comment).
struct bad_case {
  const char* line;
  int code;
  const char* text;            // the message between "[2]: " and ":\n"
  const char* parser = "";     // the angle parser's own message before it
  bool flt_max_value = false;  // the range message shows the parser's failure value
};

const bad_case bad_cases[] = {
    // action and command words
    {"bogus dst N0CALL", -3, "action bogus invalid"},
    {"passes dst N0CALL", -3, "action passes invalid"},
    {"pass", -71, "missing arguments"},
    {"pass   ,,", -71, "missing arguments"},
    {"pass #dst N0CALL", -5, "missing command"},
    {"drop ;", -5, "missing command"},
    {"pass / x", -5, "missing command"},
    {"pass d N0CALL", -7, "Ambiguous command: d"},
    {"pass S N0CALL", -7, "Ambiguous command: S"},
    {"drop c 10, 0d, 0d", -7, "Ambiguous command: c"},
    {"pass xyz", -7, "command xyz invalid"},
    {"pass destination N0CALL", -7, "command destination invalid"},
    // call patterns
    {"pass dst", -11, "missing Destination"},
    {"pass src ,", -13, "missing Source"},
    {"pass dst # N0CALL", -8, "missing Destination string"},
    {"pass src ;N0CALL", -12, "missing Source string"},
    {"pass dst N0CALL-16", -9, "invalid SSID range [0..15]: 16"},
    {"pass src N0CALL--1", -9, "invalid SSID range [0..15]: -1"},
    {"pass src N0CALL-99999999999999", -9, "invalid SSID range [0..15]: 2147483647"},
    {"pass dst ABCDEFG", -10, "Destination is too long: ABCDEFG"},
    {"pass src ABCDEFG", -11, "Source is too long: ABCDEFG"},
    {"pass src ABCDEFG-5", -11, "Source is too long: ABCDEFG"},
    {"pass dst ABCDEFG-20", -9, "invalid SSID range [0..15]: 20"},
    // circle
    {"drop circle", -25, "missing Radius"},
    {"drop circle # 10, 0d, 0d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
    {"drop circle 0, 39d, -105d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
    {"drop circle -5, 39d, -105d", -16, "invalid Circle Radius, must be > 0: -5.000000"},
    {"drop circle nan, 39d, -105d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
    {"drop circle 0x10, 39d, -105d", -16, "invalid Circle Radius, must be > 0: 0.000000"},
    {"drop circle 10", -24, "missing Latitude"},
    {"drop circle 10#, 39d, -105d", -17, "missing Latitude"},
    {"drop circle 10, 91d, -105d", -19, "invalid Latitude range [-90..90]: 91.000000"},
    {"drop circle 10, -90:00:01, 0d", -19, "invalid Latitude range [-90..90]: -90.000278"},
    {"drop circle 10, 39d # x, -105d", -19, "invalid Latitude range [-90..90]: %f",
     "\a\aError: DMC format: invalid char: # (0x23)\n", true},
    {"drop circle 10, 39d30m , -105d", -19, "invalid Latitude range [-90..90]: %f",
     "\a\aInternal Error: pointer mismatch\n", true},
    {"drop circle 10, 39d", -23, "missing Longitude"},
    {"drop circle 10, 39d,# -105d", -20, "missing Longitude"},
    {"drop circle 10, 39d, -181d", -22, "invalid Longitude range [-180..180]: -181.000000"},
    {"drop circle 10, 39d, 181:00:00", -22, "invalid Longitude range [-180..180]: 181.000000"},
    {"drop circle 10, 39d, -105d # west", -22, "invalid Longitude range [-180..180]: %f",
     "\a\aInternal Error: pointer mismatch\n", true},
    // compass
    {"pass compass", -37, "missing Compass Direction"},
    {"pass compass North, 39d, -105d", -27, "invalid compass Direction North"},
    {"pass compass #NE, 39d, -105d", -27, "invalid compass Direction #NE"},
    {"pass compass ne", -36, "missing Latitude"},
    {"pass compass ne, 95d, -105d", -31, "invalid Latitude range [-90..90]: 95.000000"},
    {"pass compass ne, 39d", -35, "missing Longitude"},
    {"pass compass ne, 39d,# -105d", -32, "missing Longitude"},
    {"pass compass ne, 39d, 200d", -34, "invalid Longitude range [-180..180]: 200.000000"},
    // rectangle
    {"pass r", -53, "missing Latitude1"},
    {"pass r -91d, 0d, 0d, 0d", -40, "invalid Latitude1 range [-90..90]: -91.000000"},
    {"pass r 10d", -52, "missing Longitude1"},
    {"pass r 10:00:00#, 20d, 11d, 21d", -41, "missing Longitude1"},
    {"pass r 10d, 180:00:01, 11d, 21d", -43, "invalid Longitude1 range [-180..180]: 180.000278"},
    {"pass r 10d, 20d", -51, "missing Latitude2"},
    {"pass r 10d, 20:00:00#, 11d, 21d", -44, "missing Latitude2"},
    {"pass r 10d, 20d, 90.00.1, 21d", -46, "invalid Latitude2 range [-90..90]: 90.001667"},
    {"pass r 10d, 20d, 11d", -50, "missing Longitude2"},
    {"pass r 10d, 20d, 11d,# 21d", -47, "missing Longitude2"},
    {"pass r 10d, 20d, 11:00:00#, 21d", -47, "missing Longitude2"},
    {"pass r 10d, 20d, 11d, 190d", -49, "invalid Longitude2 range [-180..180]: 190.000000"},
    // sector
    {"pass sector", -69, "missing Angle1"},
    {"pass se -1d, 90d, 5", -57, "invalid Angle1, range [0..360]: -1.000000"},
    {"pass se 0d", -68, "missing Angle2"},
    {"pass se 0:00:00#, 90d, 5", -58, "missing Angle2"},
    {"pass se 0d, 361d, 5", -60, "invalid Angle2, range [0..360]: %f",
     "\a\aError: angle 361.000000 is out of range [-360..360]\n", true},
    {"pass se 0d, 90d", -67, "missing Inner Range"},
    {"pass se 0d, 90:00:00#, 5", -61, "missing Inner Range"},
    {"pass se 0d, 90d, -5", -62, "invalid or missing Inner Range"},
    {"pass se 0d, 90d, +5", -62, "invalid or missing Inner Range"},
    {"pass se 0d, 90d, .5", -62, "invalid or missing Inner Range"},
    {"pass se 0d, 90d, x", -62, "invalid or missing Inner Range"},
    {"pass se 0d, 90d, 5, 5", -66, "invalid Outer Range, must be > Inner Range: 5.000000"},
    {"pass se 0d, 90d, 5, 4.5", -66, "invalid Outer Range, must be > Inner Range: 4.500000"},
    // 0.1 as stored is a little more than 0.1, so 0.1 written again is not beyond it
    {"pass se 0d, 90d, 0.1, 0.1000000001", -66, "invalid Outer Range, must be > Inner Range: 0.100000"},
};

using rules_process_test = rules_test;

TEST_F(rules_process_test, refuses_each_faulty_statement_with_its_code_and_message) {
  for (const auto& c : bad_cases) {
    const std::string line = c.line;
    const rules_run r = run_rules_text("# one faulty statement\n" + line + "\npass dst N0CALL\n");
    std::string text = c.text;
    if (c.flt_max_value) text.replace(text.find("%f"), 2, flt_max_text());
    EXPECT_EQ(r.rc, c.code) << line;
    EXPECT_EQ(r.out, c.parser + rules_msg(r.path, 2, text, line)) << line;
    EXPECT_FALSE(rules_processed) << line;
    EXPECT_EQ(config_record.rule_count, 0) << line;
  }
}

TEST_F(rules_process_test, null_path_and_unopenable_files_change_nothing) {
  ASSERT_EQ(run_rules_text("implicit drop\npass dst N0CALL\n").rc, 0);
  ASSERT_TRUE(rules_processed);

  rules_run r = run_rules_path(nullptr);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.out, "rules_process: Error: param rfp is invalid\n");

  const std::string missing = scratch_dir("rules") + "/no such file";
  r = run_rules_path(missing.c_str());
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.out, "\a\aError: cannot open " + missing + "\n");

  // A directory, an endless device and a named pipe without a writer are
  // refused at once, before anything is read.
  for (const std::string& name : not_regular_files(scratch_dir("rules"))) {
    r = run_rules_path(name.c_str());
    EXPECT_EQ(r.rc, -2);
    EXPECT_EQ(r.out, "\a\aError: cannot open " + name + ": not a regular file\n");
  }

  EXPECT_TRUE(rules_processed);
  EXPECT_EQ(config_record.rule_count, 1);
  EXPECT_EQ(config_record.implicit_action, IMPLICIT_DROP);
  EXPECT_EQ(std::memcmp(rule_table[0].param_a, "N0CALL", 6), 0);
}

TEST_F(rules_process_test, worked_example_fills_entries_in_file_order) {
  const rules_run r = run_rules_text(
      "implicit drop\n"
      "pass src N0CALL-5\n"
      "pass dst AP*\n"
      "drop circle 10, 39d30m, -105d\n"
      "pass compass NE, 39d30m, -105d\n"
      "pass sector 0d, 90d, 5, 25\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "Rules processed 5, implicit 1\n");
  EXPECT_TRUE(rules_processed);
  EXPECT_EQ(config_record.rule_count, 5);
  EXPECT_EQ(config_record.implicit_action, IMPLICIT_DROP);

  // The wire images, floats written out by hand in little-endian order:
  // 10 = 0x41200000, 39.5 = 0x421E0000, -105 = 0xC2D20000, 90 = 0x42B40000,
  // 5 = 0x40A00000, 25 = 0x41C80000.
  const std::vector<std::vector<uint8_t>> expected = {
      {'N', '0', 'C', 'A', 'L', 'L', 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 48, 0x48, 2, 0},
      {'A', 'P', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 47, 0x18, 3, 0},
      {0, 0, 0x20, 0x41, 0, 0, 0, 0, 0x1E, 0x42, 0, 0, 0, 0, 0xD2, 0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 49, 0x04, 4, 0},
      {2, 0, 0, 0, 0, 0, 0, 0, 0x1E, 0x42, 0, 0, 0, 0, 0xD2, 0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 50, 0x08, 5, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0xB4, 0x42, 0, 0, 0, 0, 0xA0, 0x40, 0, 0, 0, 0, 0xC8, 0x41, 0, 0, 52, 0x08, 6, 0},
  };
  uint8_t image[RULE_LIMIT * RULE_ENTRY_SIZE] = {};
  ASSERT_EQ(rules_image(image, sizeof image), 5 * RULE_ENTRY_SIZE);
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::vector<uint8_t> got(image + i * RULE_ENTRY_SIZE, image + (i + 1) * RULE_ENTRY_SIZE);
    EXPECT_EQ(got, expected[i]) << "entry " << i;
  }
}

TEST_F(rules_process_test, words_match_by_unique_prefix_in_any_case) {
  const rules_run r = run_rules_text(
      "PASS DeStIn n0call\n"  // no case is changed in the call
      "p de AAA\n"
      "Pa ds BBB\n"
      "dr so CCC\n"
      "d sr DDD\n"
      "i ci 1, 0d, 0d\n"
      "p co sw, 0d, 0d\n"
      "p r 1d, 2d, 3d, 4d\n"
      "p se 1d, 2d, 3\n");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(config_record.rule_count, 9);
  const int commands[] = {47, 47, 47, 48, 48, 49, 50, 51, 52};
  const int actions[] = {8, 8, 8, 4, 4, 16, 8, 8, 8};
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(rule_table[i].command, commands[i]) << i;
    EXPECT_EQ(rule_table[i].flags & 0x0F, actions[i] & 0x0F) << i;
    EXPECT_EQ(rule_table[i].line_no, i + 1) << i;
  }
  EXPECT_EQ(std::memcmp(rule_table[0].param_a, "n0call", 6), 0);
  // "implicit" as an action word lands in bit 4 of the flags.
  EXPECT_EQ(rule_table[5].flags, 0x10);
  EXPECT_EQ(rule_table[6].param_a[0], 6);  // SW
}

TEST_F(rules_process_test, implicit_statements_set_the_action_and_the_last_wins) {
  struct {
    const char* text;
    uint16_t action;
    int rules;
    int implicits;
  } const cases[] = {
      {"implicit drop\n", IMPLICIT_DROP, 0, 1},
      {"drop implicit\n", IMPLICIT_DROP, 0, 1},
      {"pass drop\n", IMPLICIT_DROP, 0, 1},
      {"drop pass\n", IMPLICIT_PASS, 0, 1},
      {"pass implicit\n", IMPLICIT_PASS, 0, 1},
      {"implicit implicit\n", IMPLICIT_PASS, 0, 1},
      {"i i\n", IMPLICIT_PASS, 0, 1},
      {"d i\n", IMPLICIT_DROP, 0, 1},
      {"implicit drop\npass dst N0CALL\nimplicit pass\n", IMPLICIT_PASS, 1, 2},
      {"drop p\nd dr extra words\n", IMPLICIT_DROP, 0, 2},
      {"# no statement\n", IMPLICIT_PASS, 0, 0},
  };
  for (const auto& c : cases) {
    config_record.implicit_action = 0x1234;
    const rules_run r = run_rules_text(c.text);
    EXPECT_EQ(r.rc, 0) << c.text;
    EXPECT_EQ(config_record.implicit_action, c.action) << c.text;
    EXPECT_EQ(r.out, "Rules processed " + std::to_string(c.rules) + ", implicit " + std::to_string(c.implicits) +
                         "\n")
        << c.text;
  }
}

TEST_F(rules_process_test, call_patterns_set_text_ssid_and_mods) {
  struct {
    const char* pattern;
    uint8_t mods;
    const char* call;
    uint8_t ssid;
  } const cases[] = {
      {"*", 0x30, "", 0},          {"*ABC-5", 0x30, "", 0},       {"AP*", 0x10, "AP", 0},
      {"AB*-5", 0x10, "AB", 0},    {"N0CALL-", 0x40, "N0CALL", 0}, {"N0CALL-15", 0x40, "N0CALL", 15},
      {"W1AW-0", 0x40, "W1AW", 0}, {"N0CALL/P", 0x00, "N0CALL", 0}, {"N0CALL#x", 0x00, "N0CALL", 0},
      {"ABCDEF", 0x00, "ABCDEF", 0}, {"ABCDEFGH*", 0x10, "ABCDEFGH", 0},
  };
  for (const auto& c : cases) {
    const std::string line = std::string("drop src ") + c.pattern + " # comment\n";
    const rules_run r = run_rules_text(line);
    const size_t len = std::strlen(c.call);
    if (len > 6) {
      // a prefix longer than six characters is refused like a long call
      EXPECT_EQ(r.rc, -11) << line;
      continue;
    }
    ASSERT_EQ(r.rc, 0) << line << r.out;
    const rule_entry& e = rule_table[0];
    EXPECT_EQ(e.flags, 0x04 | c.mods) << line;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.param_a), len), c.call) << line;
    for (size_t i = len; i < 6; ++i) EXPECT_EQ(e.param_a[i], 0) << line << " byte " << i;
    EXPECT_EQ(e.param_b[0], c.ssid) << line;
  }
}

TEST_F(rules_process_test, boundaries_are_inclusive) {
  const rules_run r = run_rules_text(
      "drop circle 0.001, -90d, -180d\n"
      "drop circle 1e3, 90d, 180d\n"
      "pass compass N, 90:00:00, -180:00:00\n"
      "pass r -90d, -180d, 90d, 180d\n"
      "pass se 0d, 360d, 0\n"
      "pass se 360d, 0d, 0, 0.5\n");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(config_record.rule_count, 6);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[1].param_a), 1000.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[3].param_a), -90.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[3].param_d), 180.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[4].param_b), 360.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[5].param_d), 0.5f);
}

TEST_F(rules_process_test, optional_and_extra_arguments) {
  const rules_run r = run_rules_text(
      "pass se 0d, 90d, 5\n"                   // no outer range
      "pass se 0d, 90d, 5 # 25\n"              // outer range inside the comment
      "pass se 0d, 90d, 5#, 25\n"              // the same, the comment right after the number
      "pass se 10d,20d,1.5,2.5 extra words\n"  // extra words are ignored
      "drop circle 10, 39d30m, -105d, more\n"
      "drop circle 10\t39d30m\t-105d\n"        // tabs separate too
      "drop circle 10, 45:00:00 , -105:00:00 # colon keeps blanks\n"
      "pass dst N0CALL some words\n");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(config_record.rule_count, 8);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[0].param_d), 0.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[1].param_d), 0.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[2].param_c), 5.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[2].param_d), 0.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[3].param_c), 1.5f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[3].param_d), 2.5f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[5].param_c), -105.0f);
  EXPECT_FLOAT_EQ(rule_get_float(rule_table[6].param_b), 45.0f);
}

TEST_F(rules_process_test, line_numbers_count_blank_comment_and_split_lines) {
  // Blank and comment lines count; CR LF line ends read like LF.
  rules_run r = run_rules_text("\r\n  \n# comment\n; comment\n/ comment\npass dst N0CALL\r\nbogus\r\n");
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(r.out, rules_msg(r.path, 7, "action bogus invalid", "bogus"));
  EXPECT_EQ(rule_table[0].line_no, 6);

  // A line of more than 255 characters is read in pieces, each its own line.
  const std::string first = "#" + std::string(254, 'a');
  r = run_rules_text(first + "bogus dst X\n");
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(r.out, rules_msg(r.path, 2, "action bogus invalid", "bogus dst X"));

  // A file of blank and comment lines only.
  r = run_rules_text("\n# nothing\n\t \n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "Rules processed 0, implicit 0\n");
  EXPECT_TRUE(rules_processed);
  r = run_rules_text("");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "Rules processed 0, implicit 0\n");
}

std::string statements(int rules, const char* implicit_line = nullptr) {
  std::string s;
  if (implicit_line != nullptr) s += implicit_line;
  for (int i = 0; i < rules; ++i) s += "pass dst C" + std::to_string(i) + "\n";
  return s;
}

TEST_F(rules_process_test, statement_limit_counts_implicit_statements) {
  rules_run r = run_rules_text("# fifty rules\n" + statements(50));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "Rules processed 50, implicit 0\n");
  EXPECT_EQ(config_record.rule_count, 50);
  EXPECT_EQ(rule_table[49].line_no, 51);

  r = run_rules_text(statements(50) + "pass dst X51\n");
  EXPECT_EQ(r.rc, -6);
  EXPECT_EQ(r.out, rules_msg(r.path, 51, "rule limit (50) exceeded", "pass dst X51"));
  EXPECT_EQ(config_record.rule_count, 0);

  // the 51st statement is refused even when it is an implicit statement
  r = run_rules_text(statements(50) + "implicit drop\n");
  EXPECT_EQ(r.rc, -6);
  EXPECT_EQ(r.out, rules_msg(r.path, 51, "rule limit (50) exceeded", "implicit drop"));

  r = run_rules_text(statements(49, "implicit drop\n"));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "Rules processed 49, implicit 1\n");

  r = run_rules_text(statements(50, "implicit drop\n"));
  EXPECT_EQ(r.rc, -6);

  // the limit is tested before the command word is examined, not before the
  // command word is split off
  r = run_rules_text(statements(50) + "pass nonsense\n");
  EXPECT_EQ(r.rc, -6);
  r = run_rules_text(statements(50) + "pass\n");
  EXPECT_EQ(r.rc, -71);
}

TEST_F(rules_process_test, failure_keeps_entries_but_counts_none) {
  ASSERT_EQ(run_rules_text("pass dst OLD1\npass dst OLD2\npass dst OLD3\n").rc, 0);
  ASSERT_EQ(config_record.rule_count, 3);

  const rules_run r = run_rules_text("implicit drop\npass src NEW1\ndrop circle 0, 0d, 0d\npass dst NEW2\n");
  EXPECT_EQ(r.rc, -16);
  EXPECT_FALSE(rules_processed);
  EXPECT_EQ(config_record.rule_count, 0);
  EXPECT_EQ(config_record.implicit_action, IMPLICIT_DROP);
  // the table was cleared when the file was opened
  EXPECT_EQ(std::memcmp(rule_table[0].param_a, "NEW1", 5), 0);
  EXPECT_EQ(rule_table[2].param_a[0], 0);
  EXPECT_EQ(display_rules(), "No Rules are configured!  Implicit Rule Action is Drop\n");
  uint8_t image[RULE_ENTRY_SIZE];
  EXPECT_EQ(rules_image(image, sizeof image), 0);
}

TEST_F(rules_process_test, read_error_is_not_success) {
  // Reading this file fails with an I/O error at its first byte.
  const rules_run r = run_rules_path("/proc/self/mem");
  EXPECT_EQ(r.rc, -72);
  EXPECT_EQ(r.out.rfind("\a\aError: /proc/self/mem[1]: read error: ", 0), 0u) << r.out;
  EXPECT_FALSE(rules_processed);
}

TEST_F(rules_process_test, sample_rules_file_loads) {
  const std::string path = examples_dir() + "/sample.rules";
  const rules_run r = run_rules_path(path.c_str());
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(r.out.find("Error"), std::string::npos);
  EXPECT_TRUE(rules_processed);
  // every kind of rule and every call pattern is there
  bool command_seen[RULE_CMD_SECTOR + 1] = {};
  bool mods_seen[0x80] = {};
  bool sector_without_outer = false, sector_with_outer = false;
  for (int i = 0; i < config_record.rule_count; ++i) {
    const rule_entry& e = rule_table[i];
    command_seen[e.command] = true;
    mods_seen[e.flags & 0x70] = true;
    if (e.command == RULE_CMD_SECTOR) {
      (rule_get_float(e.param_d) == 0.0f ? sector_without_outer : sector_with_outer) = true;
    }
  }
  for (int c = RULE_CMD_DESTIN; c <= RULE_CMD_SECTOR; ++c) EXPECT_TRUE(command_seen[c]) << c;
  for (int m : {0x00, 0x10, 0x30, 0x40}) EXPECT_TRUE(mods_seen[m]) << m;
  EXPECT_TRUE(sector_with_outer);
  EXPECT_TRUE(sector_without_outer);
  EXPECT_NE(r.out.find(", implicit 1\n"), std::string::npos) << r.out;
}

}  // namespace
