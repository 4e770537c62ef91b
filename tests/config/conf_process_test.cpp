// The configuration file reader: keywords, arguments, messages and codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.h"
#include "config/line_reader.h"
#include "capture.h"
#include "run_program.h"

namespace {

struct conf_run {
  int rc;
  std::string out;
};

conf_run run_path(const char* path) {
  int rc = 0;
  std::string out = capture_stdout([&] { rc = conf_process(path); });
  return {rc, out};
}
conf_run run_path(const std::string& path) { return run_path(path.c_str()); }

conf_run run_text(const std::string& text) {
  return run_path(write_file(scratch_dir("conf_process") + "/t.conf", text));
}

// The message for line `n`, as every item prints it.
std::string err(int n, const std::string& rest) { return "\a\aError: line " + std::to_string(n) + ": " + rest; }

class ConfProcess : public testing::Test {
 protected:
  void SetUp() override {
    conf_default();
    conf_processed = 0;
    conf_stopped = 0;
  }
};

TEST_F(ConfProcess, CommentsAndBlankLinesOnly) {
  config_record.rule_count = 3;
  config_record.ssid = 12;  // reset by the run
  conf_run r = run_text("# comment\n\n   \n/ slash comment\n; semicolon\n\t,  \n  # indented\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "Configuration items processed 0\n");
  // Read to its end but setting nothing: download is to ask first.
  EXPECT_EQ(conf_processed, 0);
  EXPECT_EQ(conf_empty, 1);
  EXPECT_EQ(config_record.ssid, 0);
  EXPECT_EQ(config_record.rule_count, 3);
  EXPECT_EQ(config_record.implicit_action, IMPLICIT_PASS);
}

TEST_F(ConfProcess, RuleFieldsSurviveAConfigureRun) {
  config_record.rule_count = 5;
  config_record.implicit_action = IMPLICIT_DROP;
  EXPECT_EQ(run_text("ssid 2\n").rc, 0);
  EXPECT_EQ(config_record.rule_count, 5);
  EXPECT_EQ(config_record.implicit_action, IMPLICIT_DROP);
  config_record.implicit_action = 0x1234;  // not a known action: back to pass
  EXPECT_EQ(run_text("ssid 2\n").rc, 0);
  EXPECT_EQ(config_record.implicit_action, IMPLICIT_PASS);
  EXPECT_EQ(config_record.rule_count, 5);
}

TEST_F(ConfProcess, NullPathMissingFileAndDirectory) {
  const conf_run null_path = run_path(nullptr);
  EXPECT_EQ(null_path.rc, -1);
  EXPECT_EQ(null_path.out, "conf_process: Error: param rfp is invalid\n");

  std::string dir = scratch_dir("conf_process_dir");
  config_record.ssid = 7;  // a failed open leaves the record alone
  conf_run r = run_path(dir + "/absent.conf");
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.out, "\a\aError: cannot open " + dir + "/absent.conf\n");
  EXPECT_EQ(config_record.ssid, 7);
  EXPECT_EQ(conf_processed, 0);
}

TEST_F(ConfProcess, NamesThatAreNotRegularFilesAreRefusedAtOnce) {
  // A directory, an endless device and a named pipe without a writer (whose
  // opening would wait for ever): each refused before it is read, the record
  // and its marks untouched.
  ASSERT_EQ(run_text("ssid 7\n").rc, 0);
  for (const std::string& name : not_regular_files(scratch_dir("conf_process_dir"))) {
    const auto start = std::chrono::steady_clock::now();
    conf_run r = run_path(name);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << name;
    EXPECT_EQ(r.rc, -2) << name;
    EXPECT_EQ(r.out, "\a\aError: cannot open " + name + ": not a regular file\n");
    EXPECT_EQ(config_record.ssid, 7);
    EXPECT_EQ(conf_processed, 1);
    EXPECT_EQ(conf_stopped, 0);
  }
}

TEST_F(ConfProcess, ReadErrorIsAFailureWithTheSystemText) {
  // Reading this regular file fails with an I/O error at its first byte.
  conf_run r = run_path("/proc/self/mem");
  EXPECT_EQ(r.rc, -72);
  EXPECT_EQ(r.out.rfind("\a\aError: /proc/self/mem[1]: read error: ", 0), 0U) << r.out;
  EXPECT_GT(r.out.size(), 41U);  // the system's reason follows
  EXPECT_EQ(conf_processed, 0);
  EXPECT_EQ(conf_stopped, 1);
}

TEST(LineRead, ReadErrorAfterTwoLinesDropsTheCutPieceAndIsTold) {
  FILE* f = failing_stream("ssid 1\nssid 2\r\nss");
  if (f == nullptr) GTEST_SKIP() << "no failing stream on this system";
  EXPECT_EQ(line_read(f), 6);
  EXPECT_STREQ(line_copy, "ssid 1");
  EXPECT_EQ(line_read(f), 6);
  EXPECT_STREQ(line_copy, "ssid 2");
  // "ss" came before the error: it is no line of the file.
  errno = 0;
  EXPECT_EQ(line_read(f), -1);
  EXPECT_TRUE(std::ferror(f));
  EXPECT_EQ(errno, EIO);
  std::fclose(f);
}

TEST_F(ConfProcess, CallSign) {
  conf_run r = run_text("CALL n0call\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_STREQ(config_record.call, "N0CALL");

  r = run_text("call abcdefg\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid Call Sign argument: too long: call abcdefg\n"));

  r = run_text("call    # none\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "missing Call Sign argument: call    # none\n"));

  r = run_text("# header\ncall\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(2, "missing Call Sign argument: call\n"));

  r = run_text("call ab#c\n");  // the comment character ends the argument
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(std::memcmp(config_record.call, "AB\0SET\0", 8), 0);
}

TEST_F(ConfProcess, Ssid) {
  EXPECT_EQ(run_text("ssid 0x0F\n").rc, 0);
  EXPECT_EQ(config_record.ssid, 15);
  EXPECT_EQ(run_text("ssid 010\n").rc, 0);  // octal
  EXPECT_EQ(config_record.ssid, 8);

  conf_run r = run_text("ssid 16\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid SSID argument range [0..15]: 16: ssid 16\n"));
  r = run_text("ssid -1\n");
  EXPECT_EQ(r.out, err(1, "invalid SSID argument range [0..15]: -1: ssid -1\n"));
  // Huge numbers are held at the limits of int, never wrapped into range.
  r = run_text("ssid 99999999999999999999\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid SSID argument range [0..15]: 2147483647: ssid 99999999999999999999\n"));
  r = run_text("ssid -99999999999999999999\n");
  EXPECT_EQ(r.out, err(1, "invalid SSID argument range [0..15]: -2147483648: ssid -99999999999999999999\n"));
  r = run_text("ssid 4294967311\n");  // 2^32 + 15
  EXPECT_EQ(r.rc, -11);
  r = run_text("ssid\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "missing SSID argument: ssid\n"));
}

TEST_F(ConfProcess, KeywordMatching) {
  conf_run r = run_text("w 3\n");
  EXPECT_EQ(r.rc, -7);
  EXPECT_EQ(r.out, err(1, "Ambiguous command: w: w 3\n"));

  r = run_text("WIDEM 2\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(config_record.widemax, 2);

  r = run_text("ssid 1\nxyz 1\n");
  EXPECT_EQ(r.rc, -7);
  EXPECT_EQ(r.out, err(2, "command xyz invalid: xyz 1\n"));

  r = run_text("callsign x\n");  // longer than the keyword: no match
  EXPECT_EQ(r.rc, -7);
  EXPECT_EQ(r.out, err(1, "command callsign invalid: callsign x\n"));

  r = run_text("c,AB\n");  // a comma ends the keyword too
  EXPECT_EQ(r.rc, 0);
  EXPECT_STREQ(config_record.call, "AB");
}

TEST_F(ConfProcess, WideRelations) {
  conf_run r = run_text("widetotal 2\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid n argument 2 must be >= WIDEMAX: 3: widetotal 2\n"));

  r = run_text("widemax 1\nwidetotal 2\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(config_record.widemax, 1);
  EXPECT_EQ(config_record.widetotal, 2);

  r = run_text("widetotal 4\nwidemax 5\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(2, "invalid n argument 5 must be <= WIDETOTAL: 4: widemax 5\n"));

  r = run_text("widemax 7\n");
  EXPECT_EQ(r.out, err(1, "invalid n argument range [1..6]: 7: widemax 7\n"));
  r = run_text("widetotal 0\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid n argument range [1..6]: 0: widetotal 0\n"));
  r = run_text("widemax\n");
  EXPECT_EQ(r.out, err(1, "missing n argument: widemax\n"));
}

TEST_F(ConfProcess, Bauds) {
  conf_run r = run_text("host 19200\ngps 4800\ntnc 300\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(config_record.host_baud, 19200u);
  EXPECT_EQ(config_record.gps_baud, 4800u);
  EXPECT_EQ(config_record.tnc_baud, 300u);

  r = run_text("host 19201\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid Baud argument: 19201: host 19201\n"));

  r = run_text("host abc\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, "get_baud: Error: invalid baud: 0\n" + err(1, "invalid Baud argument: 0: host abc\n"));

  r = run_text("gps 99999999999999999999\n");
  EXPECT_EQ(r.out, err(1, "invalid Baud argument: 2147483647: gps 99999999999999999999\n"));

  r = run_text("tnc ; 9600\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "missing Baud argument: tnc ; 9600\n"));
}

TEST_F(ConfProcess, Altitude) {
  EXPECT_EQ(run_text("altitude 1000f\n").rc, 0);
  EXPECT_EQ(config_record.altitude, 304);
  EXPECT_EQ(run_text("altitude 1000\n").rc, 0);
  EXPECT_EQ(config_record.altitude, 1000);
  EXPECT_EQ(run_text("altitude 100m\n").rc, 0);
  EXPECT_EQ(config_record.altitude, 100);
  EXPECT_EQ(run_text("altitude 3280f\n").rc, 0);
  EXPECT_EQ(config_record.altitude, 1000);  // the single-precision factor: 0.3048 would give 999
  EXPECT_EQ(run_text("altitude -1000F\n").rc, 0);
  EXPECT_EQ(config_record.altitude, -304);  // truncated toward zero
  EXPECT_EQ(run_text("altitude 0x10\n").rc, 0);
  EXPECT_EQ(config_record.altitude, 16);
  EXPECT_EQ(run_text("altitude 99999999999999999999f\n").rc, 0);
  EXPECT_GT(config_record.altitude, 0);
  conf_run r = run_text("altitude\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "missing Altitude argument: altitude\n"));
}

TEST_F(ConfProcess, BeaconDupewinRatelimit) {
  EXPECT_EQ(run_text("beacon 0\n").rc, 0);
  EXPECT_EQ(config_record.beacon, 0);
  EXPECT_EQ(run_text("beacon 10\nbeacon 0xFFFF\n").rc, 0);
  EXPECT_EQ(config_record.beacon, 65535);
  conf_run r = run_text("beacon 5\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid seconds argument range [0, 10..65535]: 5: beacon 5\n"));
  r = run_text("beacon 65536\n");
  EXPECT_EQ(r.rc, -11);

  for (const char* bad : {"dupewin 4\n", "dupewin 501\n"}) {
    r = run_text(bad);
    EXPECT_EQ(r.rc, -11) << bad;
    std::string line(bad, std::strlen(bad) - 1);
    EXPECT_EQ(r.out, err(1, "invalid seconds argument range [5..500]: " + line.substr(8) + ": " + line + "\n"));
  }
  EXPECT_EQ(run_text("dupewin 5\n").rc, 0);
  EXPECT_EQ(config_record.dupewin, 5);
  EXPECT_EQ(run_text("dupewin 500\n").rc, 0);
  EXPECT_EQ(config_record.dupewin, 500);

  EXPECT_EQ(run_text("ratelimcall 65535\n").rc, 0);
  EXPECT_EQ(config_record.ratelimcall, 65535);
  r = run_text("ratelimcall 65536\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "invalid seconds argument range [0..65535]: 65536: ratelimcall 65536\n"));
  r = run_text("ratelimcall\n");
  EXPECT_EQ(r.out, err(1, "missing seconds argument: ratelimcall\n"));
}

TEST_F(ConfProcess, Switches) {
  conf_run r = run_text("havegps Yes\nlog 0\ndropmangld f\nhaltonerr e\nfixvalid n\nnsr 1\nrelaydrop T\nnonaprs P\n");
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(config_record.havegps, 1);
  EXPECT_EQ(config_record.log_port, 0);
  EXPECT_EQ(config_record.dropmangld, 0);
  EXPECT_EQ(config_record.haltonerr, 1);
  EXPECT_EQ(config_record.fixvalid, 0);
  EXPECT_EQ(config_record.nsr, 1);
  EXPECT_EQ(config_record.relaydrop, 1);
  EXPECT_EQ(config_record.nonaprs, 1);
  EXPECT_EQ(run_text("havegps p\n").rc, 0);  // only nonaprs takes p
  EXPECT_EQ(config_record.havegps, 0);

  r = run_text("nsr\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "missing y | n argument: nsr\n"));
  r = run_text("nsr /y\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "missing y | n argument: nsr /y\n"));
}

TEST_F(ConfProcess, Digipath) {
  conf_run r = run_text("digipath wide1-1, wide2-2\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(digipath_count, 2);
  EXPECT_EQ(std::memcmp(config_record.digipath[0], "WIDE1-1\0", 8), 0);
  EXPECT_EQ(std::memcmp(config_record.digipath[1], "WIDE2-2\0", 8), 0);
  EXPECT_EQ(config_record.digipath[2][0], 0);

  r = run_text("digipath a1,a2,a3,a4,a5,a6,a7,a8,a9,a10\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(digipath_count, 8);
  EXPECT_STREQ(config_record.digipath[7], "A8");

  r = run_text("digipath a1 a2 abcdefghi a4\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "Digi Path[3]: abcdefghi exceeds length 8: digipath a1 a2 abcdefghi a4\n"));
  EXPECT_EQ(digipath_count, 2);  // the count matches the slots filled

  r = run_text("digipath relay\twide # the tab ends the path\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(digipath_count, 1);

  r = run_text("digipath # none\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "missing Digi Path argument: digipath # none\n"));
  r = run_text("digipath\n");
  EXPECT_EQ(r.rc, -11);
  r = run_text("digipath wide\ndigipath  ,  \n");  // only separators: no names
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(digipath_count, 0);
  EXPECT_EQ(config_record.digipath[0][0], 0);
}

TEST_F(ConfProcess, BeaconComment) {
  std::string fifty(50, 'x');
  for (int i = 0; i < 50; ++i) fifty[i] = static_cast<char>('A' + i % 26);
  conf_run r = run_text("bcomment " + fifty + "\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(std::string(config_record.bcomment), fifty.substr(0, 43));
  EXPECT_EQ(config_record.bcomment[43], 0);

  EXPECT_EQ(run_text("bcomment Denver, CO; more\n").rc, 0);
  EXPECT_STREQ(config_record.bcomment, "Denver, CO");
  EXPECT_EQ(run_text("bcomment one\ttwo\n").rc, 0);
  EXPECT_STREQ(config_record.bcomment, "one");
  EXPECT_EQ(run_text("bcomment  word\n").rc, 0);
  EXPECT_STREQ(config_record.bcomment, " word");
  // A shorter comment after a longer one leaves nothing of the old behind.
  EXPECT_EQ(run_text("bcomment " + fifty + "\nbcomment hi\n").rc, 0);
  EXPECT_EQ(std::memcmp(config_record.bcomment, "hi\0\0\0\0\0\0", 8), 0);

  r = run_text("bcomment #x\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "missing Beacon Comment argument: bcomment #x\n"));
}

TEST_F(ConfProcess, Icon) {
  EXPECT_EQ(run_text("icon /#\n").rc, 0);
  EXPECT_EQ(config_record.icon, 0x2F23);
  EXPECT_EQ(run_text("icon j-extra\n").rc, 0);
  EXPECT_EQ(config_record.icon, 0x6A2D);

  conf_run r = run_text("icon ##\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "Icon Symbol ID must be one of / \\ 0..9 a..j A..Z: icon ##\n"));
  r = run_text("icon k>\n");
  EXPECT_EQ(r.rc, -8);
  r = run_text("icon /\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "Icon Code must be in range [!..~]: icon /\n"));
  r = run_text("icon\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "missing Beacon Icon argument: icon\n"));
}

TEST_F(ConfProcess, UitraceInverts) {
  EXPECT_EQ(run_text("uitrace\n").rc, 0);
  EXPECT_EQ(config_record.uitrace, 0xFFFF);
  EXPECT_EQ(run_text("uitrace on\nuitrace\n").rc, 0);
  EXPECT_EQ(config_record.uitrace, 0);
}

TEST_F(ConfProcess, Positions) {
  conf_run r = run_text("position 40:00:00 -104:30:00\n");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_FLOAT_EQ(config_record.base_lat, 40.0f);
  EXPECT_FLOAT_EQ(config_record.base_lon, -104.5f);

  r = run_text("base 41.30. 100d0m0cW\nlat 10:00:00\n");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_FLOAT_EQ(config_record.base_lat, 10.0f);
  EXPECT_FLOAT_EQ(config_record.base_lon, -100.0f);

  // A good latitude is kept when the longitude on the same line is bad.
  r = run_text("position 45:30:00 45\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_FLOAT_EQ(config_record.base_lat, 45.5f);
  EXPECT_FLOAT_EQ(config_record.base_lon, -105.0f);
  // dmctodeg's own message comes first, then the reader's.
  EXPECT_EQ(r.out, "\a\aError: Unrecognized format: must be one of Dotted, Colon or DMC\n" +
                       err(1, "invalid Station Longitude argument: 45: position 45:30:00 45\n"));

  r = run_text("lat bad.\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_NE(r.out.find(err(1, "invalid Station Latitude argument: bad.: lat bad.\n")), std::string::npos) << r.out;

  r = run_text("position\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "missing Station Latitude argument: position\n"));
  r = run_text("position 40:00:00 # no longitude\n");
  EXPECT_EQ(r.rc, -8);
  EXPECT_EQ(r.out, err(1, "missing Station Longitude argument: position 40:00:00 # no longitude\n"));
  r = run_text("lon\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "missing Station Longitude argument: lon\n"));
}

TEST_F(ConfProcess, StopAtFirstErrorKeepsWhatCameBefore) {
  ASSERT_EQ(run_text("ssid 1\n").rc, 0);
  ASSERT_EQ(conf_processed, 1);
  conf_run r = run_text("ssid 3\nbeacon 5\nssid 4\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(config_record.ssid, 3);
  // The record is no longer what a checked file gave: the processed mark
  // goes, and the stop is remembered for the download's question.
  EXPECT_EQ(conf_processed, 0);
  EXPECT_EQ(conf_stopped, 1);
  // A file that cannot be opened changes nothing; a good file clears both.
  EXPECT_EQ(run_path(scratch_dir("conf_process") + "/absent.conf").rc, -2);
  EXPECT_EQ(config_record.ssid, 3);
  EXPECT_EQ(conf_stopped, 1);
  ASSERT_EQ(run_text("ssid 1\n").rc, 0);
  EXPECT_EQ(conf_processed, 1);
  EXPECT_EQ(conf_stopped, 0);
  EXPECT_EQ(conf_empty, 0);
}

TEST_F(ConfProcess, CrLfLineEnds) {
  conf_run r = run_text("call n0call\r\nssid 3\r\nbcomment hi there\r\n# done\r\n");
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(r.out, "Configuration items processed 3\n");
  EXPECT_STREQ(config_record.call, "N0CALL");
  EXPECT_STREQ(config_record.bcomment, "hi there");
  r = run_text("ssid 1\r\nssid 20\r\n");
  EXPECT_EQ(r.out, err(2, "invalid SSID argument range [0..15]: 20: ssid 20\n"));  // no CR in the quote
  // 254 characters and CR fill a piece: the LF after them still ends line 1.
  r = run_text("#" + std::string(253, 'c') + "\r\nssid 16\r\n");
  EXPECT_EQ(r.out, err(2, "invalid SSID argument range [0..15]: 16: ssid 16\n"));
}

TEST_F(ConfProcess, LongLineIsReadInPieces) {
  // 255 characters of comment, then "ssid 5" on the same line: the rest is
  // read as line 2. The next line of the file is line 3.
  std::string first = "#" + std::string(254, 'c');
  ASSERT_EQ(first.size(), 255u);
  conf_run r = run_text(first + "ssid 5\nssid 16\n");
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(3, "invalid SSID argument range [0..15]: 16: ssid 16\n"));
  EXPECT_EQ(config_record.ssid, 5);
  // A 300-character beacon comment line: the tail becomes a bad line 2.
  r = run_text("bcomment " + std::string(291, 'z') + "\n");
  EXPECT_EQ(r.rc, -7);
  EXPECT_EQ(r.out, err(2, "command " + std::string(45, 'z') + " invalid: " + std::string(45, 'z') + "\n"));
}

TEST_F(ConfProcess, NulAndBinaryBytes) {
  // A NUL ends the line for every purpose, the quoted copy included.
  conf_run r = run_text(std::string("ca\0ll x\n", 8));
  EXPECT_EQ(r.rc, -11);
  EXPECT_EQ(r.out, err(1, "missing Call Sign argument: ca\n"));
  r = run_text(std::string("ssid 4\0 junk\n\0\0\0\nssid 6\n", 24));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "Configuration items processed 2\n");
  EXPECT_EQ(config_record.ssid, 6);

  // Pseudo-random binary files: any result is allowed but a crash.
  uint32_t seed = 12345;
  for (int file = 0; file < 40; ++file) {
    std::string data;
    size_t len = 50 + file * 37;
    for (size_t i = 0; i < len; ++i) {
      seed = seed * 1103515245u + 12345u;
      data.push_back(static_cast<char>(seed >> 24));
    }
    // Lines that start with keywords reach the item handlers with binary arguments.
    static const char* const words[] = {"call ", "digipath ", "bcomment ", "icon ", "position ", "altitude "};
    data = words[file % 6] + data;
    r = run_text(data);
    EXPECT_TRUE(r.rc == 0 || r.rc == -7 || r.rc == -8 || r.rc == -11) << r.rc;
    EXPECT_LE(std::strlen(config_record.call), 6u);
    EXPECT_GE(digipath_count, 0);
    EXPECT_LE(digipath_count, 8);
  }
}

TEST_F(ConfProcess, SampleFileLoads) {
  conf_run r = run_path(examples_dir() + "/sample.conf");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(r.out, "Configuration items processed 27\n");
  EXPECT_EQ(conf_processed, 1);
  EXPECT_STRNE(config_record.call, "NOTSET");
  EXPECT_GT(digipath_count, 0);
  EXPECT_NE(config_record.bcomment[0], 0);
}

}  // namespace
