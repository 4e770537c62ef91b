// Intel HEX verification: the hex reader, the byte sum and every check of the
// verifier, on hand-made files and on files written by objcopy.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "capture.h"
#include "device/inhex.h"
#include "fixtures.h"
#include "run_program.h"
#include "texts.h"

namespace {

std::string rec(int count, unsigned offset, int type, const std::vector<int>& data) {
  return hex_record(count, offset, type, data);
}

std::vector<int> bytes(int n, int first = 0) { return pattern_bytes(n, first, 7); }

struct verify_result {
  int rc;
  std::string out;
};

// Runs the verifier on `text` held in a temporary binary stream.
verify_result verify_text(const std::string& text, FILE** keep = nullptr) {
  FILE* f = text_stream(text);
  EXPECT_NE(f, nullptr);
  if (f == nullptr) return {0, ""};
  int rc = 0;
  const std::string out = capture_stdout([&] { rc = inhexverify(f); });
  // The firmware update checks the file held in memory: the same lines, the
  // same result and the same message.
  int rc_text = 0;
  EXPECT_EQ(capture_stdout([&] { rc_text = inhexverify_text(text.data(), text.size()); }), out) << text;
  EXPECT_EQ(rc_text, rc) << text;
  if (keep != nullptr) {
    *keep = f;
  } else {
    std::fclose(f);
  }
  return {rc, out};
}

std::string with_crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string without_cr(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

const std::string& eof_rec = hex_eof_record;

}  // namespace

TEST(Hexntoi, ReadsAtMostNCharacters) {
  EXPECT_EQ(hexntoi("1F", 2), 31);
  EXPECT_EQ(hexntoi("G1", 2), 0);
  EXPECT_EQ(hexntoi("1G", 2), 1);
  EXPECT_EQ(hexntoi("f", 2), 15);  // the text ends before n
  EXPECT_EQ(hexntoi("123", 2), 0x12);
  EXPECT_EQ(hexntoi("abCD", 4), 0xABCD);
  EXPECT_EQ(hexntoi(nullptr, 2), 0);
  EXPECT_EQ(hexntoi("12", 0), 0);
  EXPECT_EQ(hexntoi("12", -3), 0);
}

TEST(Hexntoi, BlanksSignsAndPrefixesCountAgainstN) {
  EXPECT_EQ(hexntoi(" \t-0x1f", 7), -31);
  EXPECT_EQ(hexntoi("+ 0X 0x10", 9), 16);
  EXPECT_EQ(hexntoi("  5", 2), 0);   // both characters were blanks
  EXPECT_EQ(hexntoi("0x1F", 2), 0);  // the prefix used up n
  EXPECT_EQ(hexntoi("0x1F", 3), 1);
  EXPECT_EQ(hexntoi("-1", 2), -1);
  EXPECT_EQ(hexntoi("--1", 3), 0);   // one sign only
}

TEST(Hexntoi, LongDigitRunsSaturate) {
  EXPECT_EQ(hexntoi("7FFFFFFF", 8), 0x7FFFFFFF);
  EXPECT_EQ(hexntoi("FFFFFFFFFFFFFFFFFFFF", 20), 0x7FFFFFFF);
  EXPECT_EQ(hexntoi("-FFFFFFFFFFFFFFFFFFFF", 21), -0x7FFFFFFF - 1);
}

TEST(Inhexsum, AddsPairsModulo256) {
  EXPECT_EQ(inhexsum("00000001FF"), 0);
  EXPECT_EQ(inhexsum("0102"), 3);
  EXPECT_EQ(inhexsum("FFFF02"), 0);
  EXPECT_EQ(inhexsum("01F"), 16);  // an odd last character stands alone
  EXPECT_EQ(inhexsum("-1"), 0xFF);
  EXPECT_EQ(inhexsum(""), 0);
  EXPECT_EQ(inhexsum(nullptr), 0);
  EXPECT_EQ(inhexsum(rec(3, 0x1234, 0, {0xDE, 0xAD, 0xBE}).c_str() + 1), 0);
}

TEST(Inhexverify, NullStream) {
  int rc = 0;
  const std::string out = capture_stdout([&] { rc = inhexverify(nullptr); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "inhexverify: Error: param fp is invalid\n");
}

TEST(Inhexverify, EmptyOrNoRecordLines) {
  for (const std::string& text : {std::string(), std::string("\n\n"), std::string("# comment\n; note\r\nnot a record")}) {
    verify_result r = verify_text(text);
    EXPECT_EQ(r.rc, -7) << text;
    EXPECT_EQ(r.out, "\a\aError: Firmware file is empty!\n") << text;
  }
}

TEST(Inhexverify, CountsRecordsOfEveryType) {
  std::string text = rec(16, 0x0000, 0, bytes(16)) + "\n" + rec(16, 0x0010, 0, bytes(16, 3)) + "\n" +
                     rec(2, 0x0000, 4, {0x00, 0x01}) + "\n" + rec(4, 0x0020, 0, bytes(4, 9)) + "\n" + eof_rec + "\n";
  verify_result r = verify_text(text);
  EXPECT_EQ(r.rc, 5);
  EXPECT_EQ(r.out, "");
  // Types 02, 03 and 05 pass too, and the end record alone passes.
  EXPECT_EQ(verify_text(eof_rec).rc, 1);
  std::string others = rec(2, 0, 2, {0x10, 0x00}) + "\n" + rec(4, 0, 3, bytes(4)) + "\n" + rec(4, 0, 5, bytes(4)) +
                       "\n" + rec(1, 0x44, 0, {0x55}) + "\n" + eof_rec + "\n# end\n\n";
  EXPECT_EQ(verify_text(others).rc, 5);
}

TEST(Inhexverify, LowerCaseDigits) {
  std::string line = rec(4, 0xABCC, 0, {0xAA, 0xBB, 0xCC, 0xDD});
  for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  verify_result r = verify_text(line + "\n" + eof_rec + "\n");
  EXPECT_EQ(r.rc, 2) << r.out;
}

TEST(Inhexverify, ChecksumMismatch) {
  verify_result r = verify_text("# firmware\n:00000001FE\n");
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 2 in Firmware file!\n");
  // The checksum is checked before the length: a wrong last pair on a line
  // of the wrong length is a checksum fault.
  std::string bad = rec(4, 0, 0, bytes(4));
  bad.pop_back();
  bad.pop_back();
  bad += "00";
  bad.insert(9, "00");
  r = verify_text(bad + "\n");
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0x2e) for line 1 in Firmware file!\n");
}

TEST(Inhexverify, InvalidType) {
  verify_result r = verify_text(rec(1, 0, 6, {0x00}) + "\n");
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(r.out, "\a\aError: invalid type (06) for line 1 in Firmware file!\n");
  r = verify_text("\n" + rec(1, 0, 0x10, {0x00}) + "\n");
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(r.out, "\a\aError: invalid type (10) for line 2 in Firmware file!\n");
  // A line too short to hold a type shows the missing characters as NULs.
  r = verify_text(":00\n");
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(r.out, "\a\aError: invalid type (" + std::string(2, '\0') + ") for line 1 in Firmware file!\n");
}

TEST(Inhexverify, RecordLength) {
  // Count says 4, the line carries 3 data bytes (checksum still balanced).
  verify_result r = verify_text(rec(4, 0, 0, bytes(3)) + "\n");
  EXPECT_EQ(r.rc, -4);
  EXPECT_EQ(r.out, "\a\aError: invalid record length (4) for line 1 in Firmware file!\n");
  // 129 data bytes, declared and carried, correct checksum: the limit check.
  std::string big = rec(0x81, 0, 0, bytes(129));
  ASSERT_EQ(big.size(), 269u);
  r = verify_text(big + "\n");
  EXPECT_EQ(r.rc, -5);
  EXPECT_EQ(r.out, "\a\aError: record length > 128 (129) for line 1 in Firmware file!\n");
  // 128 data bytes is the largest record.
  std::string max = rec(0x80, 0, 0, bytes(128));
  ASSERT_EQ(max.size(), 267u);
  EXPECT_EQ(verify_text(max + "\n" + eof_rec + "\n").rc, 2);
}

TEST(Inhexverify, TextAfterTheRecord) {
  verify_result r = verify_text(eof_rec + "00\n");  // sum unchanged, length wrong
  EXPECT_EQ(r.rc, -4);
  EXPECT_EQ(r.out, "\a\aError: invalid record length (0) for line 1 in Firmware file!\n");
  r = verify_text(eof_rec + " ; end\n");
  EXPECT_TRUE(r.rc == -2 || r.rc == -4) << r.rc;
  r = verify_text(eof_rec + "1\n");  // a lone last character joins the sum
  EXPECT_EQ(r.rc, -2);
}

TEST(Inhexverify, DataOffsetBoundary) {
  verify_result r = verify_text(rec(2, 0x0102, 0, {1, 2}) + "\n");
  EXPECT_EQ(r.rc, -6);
  EXPECT_EQ(r.out, "\a\aError: data record offset boundary error for line 1 in Firmware file!\n");
  EXPECT_EQ(verify_text(rec(2, 0x0102, 4, {1, 2}) + "\n" + eof_rec).rc, 2);
  for (unsigned off : {0x0000u, 0x0004u, 0x0008u, 0x000Cu})
    EXPECT_EQ(verify_text(rec(1, off, 0, {9}) + "\n" + eof_rec).rc, 2) << off;
  std::string lower = rec(1, 0x000C, 0, {9});
  lower[6] = 'c';
  EXPECT_EQ(verify_text(lower + "\n" + eof_rec).rc, 2);
}

TEST(Inhexverify, LineNumbersCountEveryLine) {
  verify_result r = verify_text("# made by hand\n\n:00000001FE\n");
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 3 in Firmware file!\n");
}

TEST(Inhexverify, StopsAtTheFaultyLineAndRewindsFirst) {
  FILE* f = nullptr;
  verify_result r = verify_text(eof_rec + "\n:00000001FE\nnext\n", &f);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(std::getc(f), 'n');  // nothing after the faulty line was read
  capture_stdout([&] { EXPECT_EQ(inhexverify(f), -2); });  // verified again from the start
  std::fclose(f);

  r = verify_text(eof_rec + "\n", &f);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(std::getc(f), EOF);  // left at the end
  std::fclose(f);
}

TEST(Inhexverify, CrLfLineEnds) {
  const std::string head = "# comment\n" + rec(16, 0, 0, bytes(16)) + "\n" + rec(2, 0, 4, {0, 1}) + "\n";
  const std::string text = head + eof_rec + "\n";
  EXPECT_EQ(verify_text(with_crlf(text)).rc, 3);
  EXPECT_EQ(verify_text(with_crlf(text) + "\r\n").rc, 3);
  // Only one CR before the LF belongs to the line end.
  verify_result r = verify_text(eof_rec + "\r\r\n");
  EXPECT_EQ(r.rc, -4);
  // A last line without a line end, and one with a lone CR in it.
  EXPECT_EQ(verify_text(with_crlf(head) + eof_rec).rc, 3);
  r = verify_text(":0000\r0001FF\n");
  EXPECT_LT(r.rc, 0);
  // Line numbers are the same with either line end.
  r = verify_text(with_crlf("# a\n# b\n:00000001FE\n"));
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 3 in Firmware file!\n");
}

TEST(Inhexverify, LongLinesAreTakenInPieces) {
  // A 600-character comment is two lines; the fault after it is on line 3.
  verify_result r = verify_text("#" + std::string(599, 'x') + "\n:00000001FE\n");
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 3 in Firmware file!\n");
  // Exactly 511 characters and its LF: the LF alone is the next (empty) line.
  r = verify_text(std::string(511, '#') + "\n:00000001FE\n");
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 3 in Firmware file!\n");
  // The same with CR LF: the CR LF after a full piece is still one line end.
  r = verify_text(std::string(510, '#') + "\r\n:00000001FE\r\n");
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 2 in Firmware file!\n");
  // A piece that begins with ":" is a record line of its own.
  r = verify_text(std::string(511, '#') + eof_rec + "\n");
  EXPECT_EQ(r.rc, 1) << r.out;
  r = verify_text(std::string(511, '#') + ":00000001FE\n");
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 2 in Firmware file!\n");
  // A long record line fails on its first piece and is never overrun.
  std::string huge = ":" + std::string(1500, '0');
  r = verify_text(huge + "\n");
  EXPECT_EQ(r.rc, -4);
  EXPECT_EQ(r.out, "\a\aError: invalid record length (0) for line 1 in Firmware file!\n");
}

// Files written by a real tool: objcopy turns raw bytes, and the machine code
// of this very program, into Intel HEX.
class HexFromObjcopy : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("objcopy --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "objcopy not found";
    dir_ = scratch_dir("hex_objcopy");
  }
  static int record_lines(const std::string& text) {
    int n = 0;
    bool start = true;
    for (char c : text) {
      if (start && c == ':') ++n;
      start = c == '\n';
    }
    return n;
  }
  int verify_file(const std::string& path, std::string* out = nullptr) {
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr) return 0;
    int rc = 0;
    const std::string o = capture_stdout([&] { rc = inhexverify(f); });
    if (out != nullptr) *out = o;
    std::fclose(f);
    return rc;
  }
  std::string dir_;
};

TEST_F(HexFromObjcopy, RawBytesAtSeveralAddresses) {
  std::string data;
  for (int i = 0; i < 70000; ++i) data += static_cast<char>((i * 131 + 7) & 0xFF);
  write_file(dir_ + "/raw.bin", data);
  // Above 64 KiB objcopy writes address records (type 02 or 04) between the data.
  for (const char* adjust : {"0", "0x1000", "0x123400"}) {
    std::string hex = dir_ + "/raw_" + adjust + ".hex";
    std::string cmd = "objcopy -I binary -O ihex --change-addresses " + std::string(adjust) + " " + dir_ +
                      "/raw.bin " + hex;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string text = read_file(hex);
    int lines = record_lines(text);
    ASSERT_GT(lines, 4375);
    std::string out;
    EXPECT_EQ(verify_file(hex, &out), lines) << adjust << out;
    // objcopy ends its lines with CR LF; the same file with LF alone.
    ASSERT_NE(text.find(":00000001FF\r\n"), std::string::npos);
    std::string lf = hex + ".lf";
    write_file(lf, without_cr(text));
    EXPECT_EQ(verify_file(lf), lines) << adjust;
  }
}

TEST_F(HexFromObjcopy, MachineCodeOfThisProgram) {
  std::string hex = dir_ + "/text.hex";
  std::string cmd = "objcopy -O ihex --only-section=.text /proc/" + std::to_string(getpid()) + "/exe " + hex;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::string text = read_file(hex);
  int lines = record_lines(text);
  ASSERT_GT(lines, 100);
  std::string out;
  EXPECT_EQ(verify_file(hex, &out), lines) << out;
  // One flipped digit in the middle is caught with its line number.
  std::string broken = text;
  size_t line_start = 0;
  for (int i = 0; i < lines / 2; ++i) line_start = broken.find('\n', line_start) + 1;
  broken[line_start + 10] = broken[line_start + 10] == '0' ? '1' : '0';
  write_file(hex + ".bad", broken);
  EXPECT_EQ(verify_file(hex + ".bad", &out), -2);
  char expect[80];
  std::snprintf(expect, sizeof expect, "for line %d in Firmware file!\n", lines / 2 + 1);
  EXPECT_NE(out.find(expect), std::string::npos) << out;
}

TEST(Inhexverify, SampleFirmwareFileOfTheExamples) {
  // 3 comment lines, 32 data records and the end-of-file record, CR LF ends.
  FILE* f = std::fopen((examples_dir() + "/sample.hex").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(inhexverify(f), 33);
  std::fclose(f);
}

// ---------------------------------------------------------------- files that would flash an incomplete image

TEST(Inhexverify, FileWithoutEndRecordIsRefused) {
  // A download of the firmware file cut at a line end: every line is sound,
  // the end record is missing.
  const std::string data = rec(2, 0, 4, {0, 1}) + "\n" + rec(16, 0, 0, bytes(16)) + "\n" + rec(16, 0x10, 0, bytes(16, 5));
  for (const std::string& text : {data + "\n", data, with_crlf(data + "\n") + "# end\n"}) {
    verify_result r = verify_text(text);
    EXPECT_EQ(r.rc, -8) << text;
    EXPECT_EQ(r.out, "\a\aError: Firmware file has no end of file record (type 01)!\n") << text;
  }
  // The end record makes it whole; a file of comments is still empty.
  EXPECT_EQ(verify_text(data + "\n" + eof_rec + "\n").rc, 4);
  EXPECT_EQ(verify_text("# nothing\n").rc, -7);
}

TEST(Inhexverify, ByteOrderMarkAtTheStartIsSkipped) {
  const std::string bom = "\xEF\xBB\xBF";
  const std::string text = rec(16, 0, 0, bytes(16)) + "\r\n" + eof_rec + "\r\n";
  verify_result r = verify_text(bom + text);
  EXPECT_EQ(r.rc, 2) << r.out;  // the first line is a record
  // Line numbers still count the line the mark stands on.
  r = verify_text(bom + "# made on Windows\n:00000001FE\n");
  EXPECT_EQ(r.out, "\a\aError: checksum mismatch (0xff) for line 2 in Firmware file!\n");
  // Only at the very start: elsewhere the bytes make the line a comment.
  EXPECT_EQ(verify_text(text + bom + "# end\n").rc, 2);
  // A file of the mark alone holds no record.
  EXPECT_EQ(verify_text(bom).rc, -7);
}

TEST(Inhexverify, RecordWithBlanksBeforeItIsRefusedWithItsLine) {
  struct indent_case {
    std::string prefix;
    int line;
  };
  const std::vector<indent_case> cases = {{" ", 2}, {"\t", 2}, {"  \t ", 2}};
  for (const indent_case& c : cases) {
    verify_result r = verify_text("# firmware\n" + c.prefix + rec(16, 0, 0, bytes(16)) + "\n" + eof_rec + "\n");
    EXPECT_EQ(r.rc, -9) << c.prefix;
    EXPECT_EQ(r.out, "\a\aError: blanks before the record start (':') for line " + std::to_string(c.line) +
                         " in Firmware file!\n");
  }
  // Found in file order: a faulty record before it is reported first.
  verify_result r = verify_text(":00000001FE\n " + eof_rec + "\n");
  EXPECT_EQ(r.rc, -2);
  // Comments and blank lines stay comments, ":" inside them included.
  EXPECT_EQ(verify_text("# see :00000001FF\n   \n\t\n" + eof_rec + "\n").rc, 1);
}

TEST(Inhexverify, NulByteInARecordIsRefusedWithItsLine) {
  // The part before the NUL sums to 0 and the length fits: only the NUL
  // check stands between these bytes and the loader.
  const std::string nul(":02000000FE\0ABC\n", 16);
  verify_result r = verify_text("# fw\n" + nul + eof_rec + "\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, "\a\aError: NUL byte in line 2 in Firmware file!\n");
  // In a comment a NUL changes nothing.
  EXPECT_EQ(verify_text(std::string("# a\0b\n", 6) + eof_rec + "\n").rc, 1);
}

TEST(Inhexverify, ReadErrorIsNoCount) {
  // A stream that gives a sound first line and then fails with EIO.
  FILE* f = failing_stream(rec(16, 0, 0, bytes(16)) + "\n" + eof_rec.substr(0, 4));
  ASSERT_NE(f, nullptr);
  int rc = 0;
  EXPECT_EQ(capture_stdout([&] { rc = inhexverify(f); }), "\a\aError: Firmware file: read error: Input/output error\n");
  EXPECT_EQ(rc, -10);
  std::fclose(f);
}

TEST(Inhexverify, DamagedFilesThatWouldFlashAnotherImageAreRefusedWithTheirLine) {
  const std::string d4 = rec(4, 0, 0, {0x00, 0xFF, 0x01, 0x10});  // pairs at 9, 11, 13, 15
  // A data pair the hex reader reads as the byte it replaces: the sum holds.
  auto pair = [&](size_t at, const char* two) { return std::string(d4).replace(at, 2, two); };
  const std::string fault = " for line 2 in Firmware file!\n";
  const std::string unseen = "\a\aError: control characters or non-ASCII bytes before the record start (':')" + fault;
  struct damaged_case {
    std::string line2;  // between "# fw" and the end record
    int rc;
    std::string out;
  };
  const std::vector<damaged_case> cases = {
      {"\r" + d4, -12, unseen},            {"\f" + d4, -12, unseen},
      {"\v" + d4, -12, unseen},            {"\xC2\xA0" + d4, -12, unseen},      // no-break space
      {"\xEF\xBB\xBF" + d4, -12, unseen}, {" \xE2\x80\x8B\t" + d4, -12, unseen},  // zero-width space
      {d4.substr(1), -13, "\a\aError: record start (':') missing" + fault},
      {pair(9, "0x"), -14, "\a\aError: non-hex character (0x78)" + fault},
      {pair(11, "-1"), -14, "\a\aError: non-hex character (0x2d)" + fault},
      {pair(13, " 1"), -14, "\a\aError: non-hex character (0x20)" + fault},
      {rec(1, 0, 1, {0}), -15, "\a\aError: record length (1) does not fit type (01)" + fault},
      {rec(4, 0, 4, bytes(4)), -15, "\a\aError: record length (4) does not fit type (04)" + fault},
      {rec(2, 0, 2, bytes(3)), -4, "\a\aError: invalid record length (2)" + fault},  // the older check first
      {rec(3, 0, 2, bytes(3)), -15, "\a\aError: record length (3) does not fit type (02)" + fault},
      {rec(2, 0, 3, bytes(2)), -15, "\a\aError: record length (2) does not fit type (03)" + fault},
      {rec(2, 0, 5, bytes(2)), -15, "\a\aError: record length (2) does not fit type (05)" + fault},
      {eof_rec + "\n# second image\n" + d4, -16,
       "\a\aError: record after the end of file record for line 4 in Firmware file!\n"},
  };
  for (const damaged_case& c : cases) {
    const verify_result r = verify_text("# fw\n" + c.line2 + "\n" + eof_rec + "\n");
    EXPECT_EQ(r.rc, c.rc) << c.line2;
    EXPECT_EQ(r.out, c.out) << c.line2;
  }
  // Still comments: 10 hex digits, a word of hex letters, text before a ':'.
  EXPECT_EQ(verify_text("# fw\n00000001FF\nDEADBEEF\nsee :00000001FF\n" + eof_rec + "\n").rc, 1);
  // The rest of a comment longer than a piece is no record, whatever it holds.
  const std::string piece(INHEX_LINE_SIZE - 1, 'a');
  for (const std::string& rest : {std::string(100, 'a'), "\xC2\xA0: note" + std::string(20, '0')}) {
    const verify_result r = verify_text("; " + piece.substr(2) + rest + "\n" + d4 + "\n" + eof_rec + "\n");
    EXPECT_EQ(r.rc, 2) << r.out;
  }
}
