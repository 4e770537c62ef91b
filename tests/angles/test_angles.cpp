// Unit tests of the angle parser: the three notations, every rejection with
// its message, and the examples of the help text.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "angles/angles.h"
#include "capture.h"

namespace {

struct parsed {
  double value;
  std::string out;
};

parsed parse(const char* text) {
  double v = 0;
  std::string out = capture_stdout([&] { v = dmctodeg(text); });
  return {v, out};
}

struct good_case {
  const char* text;
  double expected;
};

// Accepted texts and their values; the parser prints nothing for them.
const good_case good_cases[] = {
    // Colon
    {"45:30:00", 45.5},
    {"-45:30:00", -45.5},
    {"45:18:", 45.3},
    {"45:30:00.5", 45.5 + 0.5 / 3600},
    {"45.5:30:00", 45.5},  // one period allowed; the degrees fraction is dropped
    {"-104:59:15.5", -(104 + 59 / 60.0 + 15.5 / 3600)},
    {"+12:00:00", 12.0},
    {"0:0:0", 0.0},
    // Dotted
    {"45.30.30", 45.505},
    {"-103.00.", -103.0},
    {"045.30.", 45.5},
    {"12.0.5", 12 + 0.5 / 60},  // the second period starts the fraction of minutes
    // DMC
    {"45d30m", 45.5},
    {"30m45d", 45.5},
    {"45d30mS", -45.5},
    {"S45d30m", -45.5},
    {"-45d30m", -45.5},
    {"45d 30m", 45.5},
    {"45d\t30m", 45.5},
    {"45dNE", 45.0},  // two letters of the same group
    {"45D30M15C", 45 + 30 / 60.0 + 15 / 3600.0},
    {"15c30m45d", 45 + 30 / 60.0 + 15 / 3600.0},
    {"104.5dW", -104.5},
    {"w104.5d", -104.5},
    {"45.25d", 45.25},
    {"30m", 0.5},
    {"30c", 30 / 3600.0},
    {"359d", 359.0},
    {"360d", 360.0},
    {"-360d", -360.0},
    {"  45d", 45.0},  // leading blanks belong to the degrees field
    {"45dN\n garbage", 45.0},  // a newline ends the text
    {"12.5e2d", 2.0},  // every letter ends a field: no exponents
    // a zero degrees value keeps the sign of the angle
    {"-0:30:00", -0.5},
    {"S0d30m", -0.5},
    {"0d30mW", -0.5},
    {"-0.30.", -0.5},
    // a minus sign on the minutes or seconds makes the whole angle negative
    {"45:-30:00", -45.5},
    {"30m-45d", -45.5},
    {"45d-30m", -45.5},
};

TEST(dmctodeg, accepts_the_three_notations) {
  for (const auto& c : good_cases) {
    const parsed r = parse(c.text);
    EXPECT_NEAR(r.value, c.expected, 1e-5) << "text: [" << c.text << "]";
    EXPECT_EQ(r.out, "") << "text: [" << c.text << "]";
  }
}

TEST(dmctodeg, fraction_is_computed_from_single_precision_parts) {
  // 30.3 minutes become the float 30.299999..., widened before the sum.
  const double expected = 45.0 + static_cast<double>(30.3f) * 0.016666666666666666;
  EXPECT_DOUBLE_EQ(parse("45.30.30").value, expected);
  EXPECT_DOUBLE_EQ(parse("45:30:00.5").value, 45.0 + 0.5 * 0.0002777777777777778 + 30.0 * 0.016666666666666666);
}

TEST(dmctodeg, zero_is_never_negative) {
  const parsed r = parse("-0:0:0");
  EXPECT_EQ(r.value, 0.0);
  EXPECT_FALSE(std::signbit(r.value));
}

struct bad_case {
  const char* text;
  const char* message;
};

const bad_case bad_cases[] = {
    {"", "dmctodeg: Error: invalid param inp\n"},
    {"45", "\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n"},
    {"45.5",
     "\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
     "\tor DMC format must have at least one of [DdMmCc] identifiers\n"},
    {"1.2.3.4",
     "\a\aError: Dotted format: must have 2 periods: [s][D]DD.MM.[F*]\n"
     "\tor DMC format must have at least one of [DdMmCc] identifiers\n"},
    {"45:30", "\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n"},
    {"45:30:00:00", "\a\aError: Colon format: must have 2 colons: [s][D]DD:MM:SS[.F*]\n"},
    {"45.5:30:00.5", "\a\aError: Colon format: too many periods: [s][D]DD:MM:SS[.F*]\n"},
    {"45:30:00N", "\a\aError: Colon format: has alpha characters: [s][D]DD:MM:SS[.F*]\n"},
    {"45x",
     "\a\aError: DMC format must have at least one of [DdMmCc] identifiers\n"
     "\tor Dotted format: found illegal character: [s][D]DD.MM.[F*]\n"},
    {"45dx", "\a\aError: DMC format: invalid char: x (0x78)\n"},
    {"45d*", "\a\aError: DMC format: invalid char: * (0x2a)\n"},
    {"45d30", "\a\aInternal Error: pointer mismatch\n"},
    {"45d ", "\a\aInternal Error: pointer mismatch\n"},
    {"45:30\n:00", "\a\aInternal Error: pointer mismatch\n"},
    {"45d1d", "\a\aError: DMC format: already have degrees (45.000000)\n"},
    {"10m20.5m", "\a\aError: DMC format: already have minutes (10.000000)\n"},
    {"1c2c", "\a\aError: DMC format: already have seconds (1.000000)\n"},
    {"--45:30:00", "\a\aError: too man minus signs: 2: only one is allowed\n"},
    {"-4-5d-", "\a\aError: too man minus signs: 3: only one is allowed\n"},
    {"-45dN", "\a\aError: DMC format: both minus (-) and direction char N cannot be specified\n"},
    {"-45dw", "\a\aError: DMC format: both minus (-) and direction char w cannot be specified\n"},
    {"s-45de", "\a\aError: DMC format: both minus (-) and direction char e cannot be specified\n"},
    {"45dNS", "\a\aError: DMC format: both direction chars N and S cannot be specified\n"},
    {"W45de", "\a\aError: DMC format: both direction chars e and W cannot be specified\n"},
    {"45:60:00", "\a\aError: min 60.000000 is out of range [0..59.99]\n"},
    {"45:00:60", "\a\aError: sec 60.000000 is out of range [0..59.99]\n"},
    {"45:-60:00", "\a\aError: min -60.000000 is out of range [0..59.99]\n"},
    {"45:60:60", "\a\aError: sec 60.000000 is out of range [0..59.99]\n"},  // seconds are checked first
    {"45.60.", "\a\aError: min 60.000000 is out of range [0..59.99]\n"},
    {"361d", "\a\aError: angle 361.000000 is out of range [-360..360]\n"},
    {"360d0m1c", "\a\aError: angle 360.000278 is out of range [-360..360]\n"},
    {"-400:00:00", "\a\aError: angle -400.000000 is out of range [-360..360]\n"},
};

TEST(dmctodeg, rejects_with_one_message_and_flt_max) {
  for (const auto& c : bad_cases) {
    const parsed r = parse(c.text);
    EXPECT_EQ(r.value, static_cast<double>(FLT_MAX)) << "text: [" << c.text << "]";
    EXPECT_EQ(r.out, c.message) << "text: [" << c.text << "]";
  }
}

TEST(dmctodeg, null_text_is_an_invalid_param) {
  const parsed r = parse(nullptr);
  EXPECT_EQ(r.value, static_cast<double>(FLT_MAX));
  EXPECT_EQ(r.out, "dmctodeg: Error: invalid param inp\n");
}

TEST(dmctodeg, invalid_char_is_shown_in_hex_unsigned) {
  const parsed r = parse("45d\xe9");
  EXPECT_EQ(r.value, static_cast<double>(FLT_MAX));
  EXPECT_EQ(r.out, "\a\aError: DMC format: invalid char: \xe9 (0xe9)\n");
}

TEST(dmctodeg, long_fields_are_read_whole_and_safely) {
  // A degrees field far longer than any work copy: leading zeros and a long
  // fraction must not overrun anything and still give the right value.
  std::string deg = std::string(200, '0') + "45." + std::string(200, '5') + "d";
  EXPECT_NEAR(parse(deg.c_str()).value, 45.5555555, 1e-5);

  // Hundreds of integer digits saturate: the angle is refused by the range
  // check, not by undefined arithmetic.
  std::string huge = std::string(400, '9') + "d";
  parsed r = parse(huge.c_str());
  EXPECT_EQ(r.value, static_cast<double>(FLT_MAX));
  EXPECT_EQ(r.out.rfind("\a\aError: angle ", 0), 0u) << r.out;

  std::string colon = std::string(300, '9') + ":00:00";
  r = parse(colon.c_str());
  EXPECT_EQ(r.value, static_cast<double>(FLT_MAX));
  EXPECT_EQ(r.out.rfind("\a\aError: angle ", 0), 0u) << r.out;

  std::string secs = "10:00:" + std::string(300, '9');
  r = parse(secs.c_str());
  EXPECT_EQ(r.value, static_cast<double>(FLT_MAX));
  EXPECT_EQ(r.out.rfind("\a\aError: sec ", 0), 0u) << r.out;
}

// The help text: the title, the three sections, templates indented with one
// tab, and example lines that parse to the value their comment names.
TEST(angles_help, has_title_sections_and_templates) {
  const std::string help = angles_help;
  EXPECT_EQ(help.rfind("Colon, Dotted and DMC formats for Angles, Latitudes and Longitudes\n", 0), 0u);
  const auto colon = help.find("\nColon format\n");
  const auto dotted = help.find("\nDotted format\n");
  const auto dmc = help.find("\nDMC format\n");
  ASSERT_NE(colon, std::string::npos);
  ASSERT_NE(dotted, std::string::npos);
  ASSERT_NE(dmc, std::string::npos);
  EXPECT_LT(colon, dotted);
  EXPECT_LT(dotted, dmc);
  for (const char* t : {"\n\t [s]DD:MM:SS[.F*]\n", "\n\t[s]DDD:MM:SS[.F*]\n", "\n\t [s]DD.MM.[F*]\n",
                        "\n\t[s]DDD.MM.[F*]\n", "DMC stands for Degrees, Minutes and seConds."}) {
    EXPECT_NE(help.find(t), std::string::npos) << t;
  }
  EXPECT_NE(help.back(), '\n') << "the angles command adds the newline";
}

TEST(angles_help, examples_parse_to_their_comment) {
  const std::string help = std::string(angles_help) + "\n";
  int examples = 0;
  int per_section[3] = {0, 0, 0};
  int section = -1;
  size_t pos = 0;
  while (pos < help.size()) {
    const size_t end = help.find('\n', pos);
    const std::string line = help.substr(pos, end - pos);
    pos = end + 1;
    if (line == "Colon format") section = 0;
    if (line == "Dotted format") section = 1;
    if (line == "DMC format") section = 2;
    const size_t hash = line.find("\t#");
    if (hash == std::string::npos) continue;
    ASSERT_EQ(line[0], '\t') << line;
    std::string text = line.substr(1, hash - 1);
    while (!text.empty() && text.back() == '\t') text.pop_back();  // tabs that align the comments
    const double expected = std::strtod(line.c_str() + hash + 2, nullptr);
    const parsed r = parse(text.c_str());
    EXPECT_EQ(r.out, "") << "example [" << text << "]";
    EXPECT_NEAR(r.value, expected, 1e-5) << "example [" << text << "]";
    ASSERT_GE(section, 0);
    ++per_section[section];
    ++examples;
  }
  EXPECT_GE(examples, 9);
  for (int n : per_section) EXPECT_GE(n, 2);
}

}  // namespace
