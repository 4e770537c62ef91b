// The received-data dump, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/hexdump.h"

namespace {

const std::string column_header =
    "Dec  Hex |  0  1  2  3  4  5  6  7    8  9  a  b  c  d  e  f | 0123456789abcdef\n";

std::string dump(int flags, const char* label, const void* buf, int32_t len, int group) {
  char* data = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  hexdump(f, flags, label, buf, len, group);
  fclose(f);
  std::string out(data, size);
  free(data);
  return out;
}

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < s.size()) {
    const size_t nl = s.find('\n', start);
    lines.push_back(s.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

TEST(Hexdump, ThreeBytesAsTheProgramCallsIt) {
  const unsigned char abc[] = {0x61, 0x62, 0x63};
  const std::string expected = "Got: length 3 (0x3):\n" + column_header +
                               "   0 0000| 61 62 63                                          | abc\n";
  EXPECT_EQ(dump(1, "Got", abc, 3, 10), expected);
}

TEST(Hexdump, FullLineHasTheGapAfterEightBytes) {
  unsigned char b[16];
  for (int i = 0; i < 16; ++i) {
    b[i] = static_cast<unsigned char>(0x41 + i);
  }
  EXPECT_EQ(dump(4, nullptr, b, 16, 0),
            "   0 0000| 41 42 43 44 45 46 47 48   49 4a 4b 4c 4d 4e 4f 50 | ABCDEFGHIJKLMNOP\n");
}

TEST(Hexdump, SeventeenBytesGiveTwoLines) {
  unsigned char b[17];
  for (int i = 0; i < 17; ++i) {
    b[i] = static_cast<unsigned char>('a' + i);
  }
  const auto lines = lines_of(dump(1, "Got", b, 17, 0));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Got: length 17 (0x11):");
  EXPECT_EQ(lines[1], "   0 0000| 61 62 63 64 65 66 67 68   69 6a 6b 6c 6d 6e 6f 70 | abcdefghijklmnop");
  EXPECT_EQ(lines[2], "  16 0010| 71                                                | q");
  EXPECT_EQ(lines[2].find('|', 10), 61u);
}

TEST(Hexdump, UnprintableBytesShowAsDots) {
  const unsigned char b[] = {0x7F, 0x80, 0xFF, 0x1F, 0x20, 0x7E, 0x00};
  const auto lines = lines_of(dump(1, "Got", b, 7, 0));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "   0 0000| 7f 80 ff 1f 20 7e 00                              | .... ~.");
}

TEST(Hexdump, ColumnHeaderEveryGroupOfLines) {
  std::vector<unsigned char> b(200, 0x55);
  const std::string out = dump(1, "Got", b.data(), 200, 10);
  const auto lines = lines_of(out);
  // header, column header, 10 lines, empty line, column header, 3 lines
  ASSERT_EQ(lines.size(), 1u + 1u + 10u + 2u + 3u);
  EXPECT_EQ(lines[0], "Got: length 200 (0xc8):");
  EXPECT_EQ(lines[1] + "\n", column_header);
  EXPECT_EQ(lines[2].substr(0, 11), "   0 0000| ");
  EXPECT_EQ(lines[11].substr(0, 11), " 144 0090| ");
  EXPECT_EQ(lines[12], "");
  EXPECT_EQ(lines[13] + "\n", column_header);
  EXPECT_EQ(lines[14].substr(0, 11), " 160 00a0| ");
  EXPECT_EQ(lines[16], " 192 00c0| 55 55 55 55 55 55 55 55                           | UUUUUUUU");
  // Group 0: no column header at all.
  EXPECT_EQ(lines_of(dump(1, "Got", b.data(), 200, 0)).size(), 1u + 13u);
  // Group 1: one before every line.
  const std::string each = dump(2, nullptr, b.data(), 32, 1);
  EXPECT_EQ(each, "length 32 (0x20):\n" + column_header +
                      "   0 0000| 55 55 55 55 55 55 55 55   55 55 55 55 55 55 55 55 | UUUUUUUUUUUUUUUU\n\n" +
                      column_header +
                      "  16 0010| 55 55 55 55 55 55 55 55   55 55 55 55 55 55 55 55 | UUUUUUUUUUUUUUUU\n");
}

TEST(Hexdump, HeaderForms) {
  const unsigned char b[] = {0x31};
  const std::string line = "   0 0000| 31                                                | 1\n";
  EXPECT_EQ(dump(1, nullptr, b, 1, 0), "hexdump: length 1 (0x1):\n" + line);
  EXPECT_EQ(dump(1, "", b, 1, 0), "length 1 (0x1):\n" + line);
  EXPECT_EQ(dump(3, "Got", b, 1, 0), "Got: length 1 (0x1):\n" + line);
  EXPECT_EQ(dump(2, "Got", b, 1, 0), "length 1 (0x1):\n" + line);
  EXPECT_EQ(dump(8, "Got", b, 1, 0), line);

  char addr[64];
  snprintf(addr, sizeof addr, "%p", static_cast<const void*>(b));
  EXPECT_EQ(dump(0, nullptr, b, 1, 0),
            std::string("hexdump: buffer addr 0x") + addr + ", length 1 (0x1):\n" + line);
  EXPECT_EQ(dump(0, "rx", b, 1, 0), std::string("hexdump: rx: buffer addr 0x") + addr + ", length 1 (0x1):\n" + line);
  EXPECT_EQ(dump(0, "", b, 1, 0), std::string("hexdump: buffer addr 0x") + addr + ", length 1 (0x1):\n" + line);
}

TEST(Hexdump, EmptyAndInvalidInput) {
  const unsigned char b[] = {0};
  EXPECT_EQ(dump(1, "Got", b, 0, 10), "Got: length 0 (0x0):\n");
  EXPECT_EQ(dump(1, "Got", nullptr, 3, 10), "hexdump: invalid param buf ptr\n");
  EXPECT_EQ(dump(1, "Got", b, -5, 10), "hexdump: invalid param len -5\n");
  hexdump(nullptr, 1, "Got", b, 1, 10);  // no stream: nothing happens
}

TEST(Hexdump, LargeOffsetsKeepTheLineWhole) {
  std::vector<unsigned char> b(10000 + 20, 0x41);
  const auto lines = lines_of(dump(4, nullptr, b.data(), static_cast<int32_t>(b.size()), 0));
  ASSERT_EQ(lines.size(), 627u);
  EXPECT_EQ(lines[624].substr(0, 11), "9984 2700| ");
  EXPECT_EQ(lines[624].size(), 79u);
  // From offset 10000 on the prefix is one character wider; the rest follows.
  EXPECT_EQ(lines[625], "10000 2710| 41 41 41 41 41 41 41 41   41 41 41 41 41 41 41 41 | AAAAAAAAAAAAAAAA");
  EXPECT_EQ(lines[626], "10016 2720| 41 41 41 41                                       | AAAA");
}

}  // namespace
