// The shared text helpers: words, keyword matching, integers, files, home.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/files.h"
#include "text/home.h"
#include "text/lines.h"
#include "text/numbers.h"
#include "text/words.h"
#include "texts.h"

namespace {

struct word_row {
  const char* line;
  const char* seps;
  std::vector<std::string> words;
  bool cursor_null;  // with TXT_END_NULLPTR: no cursor left after the last word
};

// Blanks belong to a word when only comma and tab separate; one separator
// ends a word, the next starts the following one; a separator as the last
// character leaves a cursor (on the NUL) that the line's end does not.
const word_row word_rows[] = {
    {"connect 3 19200", " \t,", {"connect", "3", "19200"}, true},
    {",,  conf", " \t,", {"conf"}, true},
    {"configure  my file.conf,x", ",\t", {"configure  my file.conf", "x"}, true},
    {"rules,", " \t,", {"rules"}, false},
    {"a\t\tb", "\t", {"a", "b"}, true},
    {"   ", " ", {}, true},
    {"", " ", {}, true},
};

TEST(TextWords, SplitsAsEveryReaderDoes) {
  for (const word_row& row : word_rows) {
    for (txt_cursor_rule rule : {TXT_END_AT_NUL, TXT_END_NULLPTR}) {
      std::string line = row.line;
      char* cursor = line.data();
      std::vector<std::string> got;
      while (char* w = txt_word(&cursor, row.seps, rule)) got.emplace_back(w);
      EXPECT_EQ(got, row.words) << row.line;
      if (rule == TXT_END_AT_NUL) {
        ASSERT_NE(cursor, nullptr);
        EXPECT_EQ(*cursor, '\0') << row.line;
      }
      // Once the words are taken, the cursor says whether a separator followed the last one.
      line = row.line;
      cursor = line.data();
      for (size_t i = 0; i < row.words.size(); ++i) txt_word(&cursor, row.seps, TXT_END_NULLPTR);
      if (!row.words.empty()) {
        EXPECT_EQ(cursor == nullptr, row.cursor_null) << row.line;
      }
    }
  }
}

struct name_row {
  const char* name;
  int id;
};
constexpr std::array<name_row, 6> names = {
    {{"help", 1}, {"?", 1}, {"configure", 2}, {"connect", 3}, {"exit", 4}, {"x", 4}}};

TEST(TextWords, MatchesPrefixesWithOneRuleForAliases) {
  const struct {
    const char* word;
    int row;
  } rows[] = {
      {"HeLp", 0}, {"h", 0}, {"helpme", TXT_UNKNOWN}, {"c", TXT_AMBIGUOUS}, {"con", TXT_AMBIGUOUS},
      {"conf", 2}, {"CONN", 3}, {"x", 5}, {"e", 4}, {"?", 1}, {"", TXT_AMBIGUOUS}, {"z", TXT_UNKNOWN},
  };
  for (const auto& r : rows) EXPECT_EQ(txt_match(r.word, names, &name_row::name), r.row) << r.word;
  EXPECT_TRUE(txt_equal("nE", "NE"));
  EXPECT_FALSE(txt_equal("N", "NE"));
}

TEST(TextWords, WhiteSpaceSets) {
  for (char c : std::string_view(" \t\n\v\f\r", 6)) EXPECT_TRUE(txt_space(c)) << int(c);
  EXPECT_FALSE(txt_space('\0'));
  EXPECT_FALSE(txt_space('\x1c'));
  EXPECT_TRUE(txt_blank('\t'));
  EXPECT_FALSE(txt_blank('\n'));
}

struct int_row {
  const char* text;
  int base;
  long long lo, hi;
  long long value;
  size_t used;
};

const int_row int_rows[] = {
    {"  -12x", 10, INT_MIN, INT_MAX, -12, 5},
    {"\n\v+7", 10, INT_MIN, INT_MAX, 7, 4},
    {"-", 10, INT_MIN, INT_MAX, 0, 0},
    {" abc", 10, INT_MIN, INT_MAX, 0, 0},
    {"99999999999", 10, INT_MIN, INT_MAX, INT_MAX, 11},
    {"-99999999999", 10, INT_MIN, INT_MAX, INT_MIN, 12},
    {"-2147483648", 10, INT_MIN, INT_MAX, INT_MIN, 11},
    {"-2147483648", 10, -INT_MAX, INT_MAX, -INT_MAX, 11},
    {"-9223372036854775808", 10, INT64_MIN, INT64_MAX, INT64_MIN, 20},
    {"18446744073709551617", 10, INT64_MIN, INT64_MAX, INT64_MAX, 20},
    {"-5", 10, 0, 100, 0, 2},
    {"0x1Fz", 0, INT_MIN, INT_MAX, 31, 4},
    {"-0X10", 0, INT_MIN, INT_MAX, -16, 5},
    {"0x", 0, INT_MIN, INT_MAX, 0, 1},
    {"0xg", 0, INT_MIN, INT_MAX, 0, 1},
    {"017", 0, INT_MIN, INT_MAX, 15, 3},
    {"08", 0, INT_MIN, INT_MAX, 0, 1},
    {"0x10", 10, INT_MIN, INT_MAX, 0, 1},
    {"1000f", 0, INT_MIN, INT_MAX, 1000, 4},
};

TEST(TextNumbers, ReadsAsStrtolAndSaturates) {
  for (const int_row& r : int_rows) {
    size_t used = 99;
    EXPECT_EQ(txt_int(r.text, r.base, r.lo, r.hi, &used), r.value) << r.text;
    EXPECT_EQ(used, r.used) << r.text;
  }
  // A bounded text: nothing past its end is read.
  EXPECT_EQ(txt_int(std::string_view("123", 2), 10, INT_MIN, INT_MAX), 12);
}

TEST(TextNumbers, Digits) {
  size_t used = 0;
  EXPECT_EQ(txt_digits("fF0g", 16, UINT64_MAX, &used), 0xff0u);
  EXPECT_EQ(used, 3u);
  EXPECT_EQ(txt_digits("123456", 10, 1000, &used), 1000u);
  EXPECT_EQ(used, 6u);
  EXPECT_EQ(txt_digits("9", 10, 5), 5u);
  EXPECT_EQ(txt_digit('8', 8), -1);
  EXPECT_EQ(txt_digit('z', 36), 35);
}

TEST(TextLines, StreamKeepsTheLineFeedAsFgets) {
  FILE* f = text_stream(std::string(254, 'a') + "\r\nb\r\r\n" + std::string(255, 'c') + "\r\nd");
  ASSERT_NE(f, nullptr);
  char buf[256];
  const std::vector<std::string> pieces = {std::string(254, 'a') + "\n", "b\r\n", std::string(255, 'c'), "\n", "d"};
  for (const std::string& p : pieces) {
    ASSERT_EQ(txt_read_line(f, buf, sizeof buf, TXT_KEEP_LF), static_cast<int>(p.size()));
    EXPECT_EQ(std::string(buf), p);
  }
  EXPECT_EQ(txt_read_line(f, buf, sizeof buf, TXT_KEEP_LF), -1);
  std::fclose(f);
}

TEST(TextLines, PiecesAndLineEnds) {
  FILE* f = text_stream("ab\r\ncd\r\re\n\nxyz");
  ASSERT_NE(f, nullptr);
  char buf[4];
  EXPECT_EQ(txt_read_line(f, buf, sizeof buf), 2);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(txt_read_line(f, buf, sizeof buf), 3);  // a piece of 3 characters
  EXPECT_STREQ(buf, "cd\r");
  EXPECT_EQ(txt_read_line(f, buf, sizeof buf), 2);  // the rest, LF removed
  EXPECT_STREQ(buf, "\re");
  EXPECT_EQ(txt_read_line(f, buf, sizeof buf), 0);
  EXPECT_EQ(txt_read_line(f, buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "xyz");
  EXPECT_EQ(txt_read_line(f, buf, sizeof buf), -1);
  std::fclose(f);
}

TEST(TextLines, TextGivesTheSamePiecesAsTheStream) {
  // Around the end of a piece: a CR LF split by it, a line feed just after it.
  const std::string x509(509, 'x');
  const std::vector<std::string> texts = {
      "ab\r\ncd\r\re\n\nxyz", "\r", "\r\n", "a\r", std::string(600, 'x') + "\r\n", "", "\n\n",
      std::string(3, '\0') + "\n", "abc\n", "abc\r\n", "a\r\r\n", "ab\r\r\n", x509 + "\r\n", x509 + "x\r\n",
      x509 + "xx\n", x509 + "xx\r\n", x509 + "xxx\n\r"};
  for (const std::string& text : texts) {
    FILE* f = text_stream(text);
    ASSERT_NE(f, nullptr);
    for (int cap : {4, 256, 512}) {
      std::rewind(f);
      size_t pos = 0;
      size_t kept_pos = 0;
      for (;;) {
        char from_file[512];
        char from_text[512];
        char kept[512];
        const int a = txt_read_line(f, from_file, cap);
        const int b = txt_text_line(text.data(), text.size(), &pos, from_text, cap);
        ASSERT_EQ(a, b) << "cap " << cap;
        // Keeping the line feed makes the same pieces, the feed after those it ended.
        const int k = txt_text_line(text.data(), text.size(), &kept_pos, kept, cap, TXT_KEEP_LF);
        EXPECT_EQ(kept_pos, pos);
        if (a < 0) break;
        EXPECT_EQ(std::string(from_file, static_cast<size_t>(a)), std::string(from_text, static_cast<size_t>(b)));
        const bool fed = k == a + 1 && kept[a] == '\n';
        EXPECT_TRUE(k == a || fed) << "cap " << cap;
        EXPECT_LT(k, cap);
      }
    }
    std::fclose(f);
  }
}

TEST(TextFiles, OpensRegularFilesOnly) {
  FILE* f = reinterpret_cast<FILE*>(1);
  EXPECT_EQ(txt_open_regular("/", &f), TXT_OPEN_NOT_REGULAR);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(txt_open_regular("/no/such/file", &f), TXT_OPEN_FAILED);
  EXPECT_EQ(txt_open_regular(nullptr, &f), TXT_OPEN_FAILED);
  EXPECT_EQ(txt_open_regular("/dev/null", &f), TXT_OPEN_NOT_REGULAR);
  char name[] = "/tmp/tov_text_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "x", 1), 1);
  close(fd);
  ASSERT_EQ(txt_open_regular(name, &f), 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::fgetc(f), 'x');
  std::fclose(f);
  unlink(name);
}

TEST(TextHome, EnvironmentFirstThenPasswordDatabase) {
  const char* saved = std::getenv("HOME");
  const std::string keep = saved != nullptr ? saved : "";
  setenv("HOME", "/somewhere/else", 1);
  EXPECT_EQ(txt_home(), "/somewhere/else");
  setenv("HOME", "", 1);
  const passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(txt_home(), pw->pw_dir);
  EXPECT_EQ(txt_home("root"), "/root");
  EXPECT_EQ(txt_home("no-such-user-here"), "");
  if (saved != nullptr) setenv("HOME", keep.c_str(), 1); else unsetenv("HOME");
}

}  // namespace
