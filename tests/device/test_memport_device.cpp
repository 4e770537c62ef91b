// The device layer in-process over the in-memory port, against the device
// model: the firmware update's handshake failures with their exact messages
// and the record lines exactly as they reach the device; a download to a
// device that never answers. Time-outs cost no time here: the virtual clock
// shows that they were waited out in full.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "device/download.h"
#include "device/firmware.h"
#include "device/link.h"
#include "memport.h"
#include "fixtures.h"
#include "run_program.h"
#include "texts.h"
#include "serial/serial.h"

namespace {

struct fw_run {
  int rc;
  std::string out;
};

void warn_and_wait(int minutes) {
  std::printf("[warning: %d minutes, ", minutes);
  char line[16];
  std::printf("%s]", std::fgets(line, sizeof line, stdin) != nullptr && line[0] == '\n' ? "Enter" : "no Enter");
}

// Runs the update against a fresh device with an Enter line waiting on
// standard input.
fw_run run_update(const simdev::options& opt, const std::string& file) {
  memport::start(opt);
  static std::string enter = write_file(scratch_dir("fw_loader_stdin") + "/enter", "\n");
  EXPECT_NE(std::freopen(enter.c_str(), "r", stdin), nullptr);
  int rc = 0;
  std::string out = capture_stdout([&] { rc = firmware(memport::port_name, file.c_str(), warn_and_wait); });
  return {rc, out};
}

// What the shell does before the reset, as the test sees it: a mark with the
// figure it is given, and the Enter line taken from standard input.
const std::string warning = "[warning: 5 minutes, Enter]";

const std::string connected = "\a\nConnected at 19200\n";

std::string hex_file(const std::string& name, const std::string& text) {
  return write_file(scratch_dir("fw_loader") + "/" + name, text);
}

// Four records, with a comment on line 2 and a blank line 5.
const std::string four_records =
    ":0400000001020304F2\n# comment\n:0400040005060708DE\n:020000040001F9\n\n:00000001FF\n";

// What the device received after the identifier.
std::string after_identifier() {
  const std::string& in = memport::file(simdev::KEEP_RECEIVED);
  const size_t at = in.find("TvLink1.0");
  return at == std::string::npos ? "" : in.substr(at + 9);
}

}  // namespace

TEST(FirmwareLoader, ACompleteUpdate) {
  fw_run r = run_update(memport::defaults(), hex_file("four.hex", four_records));
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(after_identifier(), ":0400000001020304F2\r:0400040005060708DE\r:020000040001F9\r:00000001FF\r");
  EXPECT_EQ(memport::file(simdev::KEEP_FIRMWARE),
            ":0400000001020304F2\n:0400040005060708DE\n:020000040001F9\n:00000001FF\n");
  ASSERT_EQ(r.out.rfind(warning + connected + "\n\n\r", 0), 0u) << r.out;
  const std::string end = "100.0%" + std::string(59, '=') + "\nDisconnected\n";
  ASSERT_GE(r.out.size(), end.size());
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\r'), 4);  // one progress line per record
  EXPECT_STREQ(link_state.port_name, memport::port_name);
}

TEST(FirmwareLoader, LongRecordsAndCrLfGoOutWithOneCr) {
  // 128 data bytes make a 267-character line, longer than a 256-byte buffer holds.
  std::string data;
  unsigned sum = 0x80;
  for (int i = 0; i < 128; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", (i * 5) & 0xFF);
    data += pair;
    sum += static_cast<unsigned>((i * 5) & 0xFF);
  }
  char check[3];
  std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  std::string longest = ":80000000" + data + check;
  ASSERT_EQ(longest.size(), 267u);
  fw_run r = run_update(memport::defaults(), hex_file("long.hex", longest + "\r\n:00000001FF\r\n"));
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(after_identifier(), longest + "\r:00000001FF\r");
}

// `records` data records of `size` bytes, an address record first and an
// end record last; and the record lines the device must keep, LF-ended.
std::string hex_text(int records, int size) {
  std::string s = hex_record(2, 0, 4, pattern_bytes(2, 0, 7)) + "\n";
  for (int i = 0; i < records; ++i)
    s += hex_record(size, static_cast<unsigned>(i * size), 0, pattern_bytes(size, (i + 1) * 31, 7)) + "\n";
  return s + ":00000001FF\n";
}

// The record lines the device accepted, a line accepted again right after
// itself (a resent line answered twice) taken once.
std::string accepted_once() {
  std::string out, last;
  for (const std::string& line : lines_of(memport::file(simdev::KEEP_FIRMWARE))) {
    if (line != last) out += line + "\n";
    last = line;
  }
  return out;
}

struct late_case {
  const char* name;
  std::vector<simdev::pair> late;    // record, ms
  std::vector<simdev::pair> refuse;  // record, byte
};

TEST(FirmwareLoader, LateAnswersBelongToTheirOwnRecord) {
  // 150 ms comes within the second wait; 350 ms after it, so the line goes
  // again and both answers are its own. Refusals after and on the late
  // record. What counts is that the device accepted every record, in order.
  const late_case cases[] = {
      {"150 late, refusal after", {{2, 150}}, {{3, 0x12}}},
      {"350 late, refusal after", {{2, 350}}, {{3, 0x12}}},
      {"350 late and refused, refusal after", {{2, 350}}, {{2, 0x15}, {4, 0x11}}},
      {"two late, two refused", {{2, 150}, {3, 350}}, {{4, 0x12}, {5, 0x12}}},
      {"both answers late", {{2, 350}, {3, 350}, {4, 150}}, {}},
      // The resent line is late again: its second answer comes long after
      // the first, and still belongs to it, not to record 3.
      {"resent line late again", {{2, 300}, {2, 350}}, {{3, 0x12}}},
  };
  const std::string text = hex_text(6, 16);
  const std::string file = hex_file("late.hex", text);
  for (const late_case& c : cases) {
    for (bool wire : {false, true}) {
      simdev::options opt = memport::defaults();
      opt.wire_time = wire;
      for (const simdev::pair& p : c.late) opt.fw_late.items[opt.fw_late.count++] = p;
      for (const simdev::pair& p : c.refuse) opt.fw_refuse.items[opt.fw_refuse.count++] = p;
      fw_run r = run_update(opt, file);
      EXPECT_EQ(r.rc, 0) << c.name << wire << r.out;
      EXPECT_EQ(accepted_once(), text) << c.name << wire << memport::log();
    }
  }
}

TEST(FirmwareLoader, LongRecordsOnTheWireDoNotTimeOut) {
  // 128 data bytes make 268 characters with the CR: 140 ms on the wire at
  // 19200 baud, more than the 100 ms answer wait alone. Each line reaches the
  // device once.
  simdev::options opt = memport::defaults();
  opt.wire_time = true;
  const std::string text = hex_text(6, 128);
  fw_run r = run_update(opt, hex_file("long_wire.hex", text));
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(memport::file(simdev::KEEP_FIRMWARE), text) << memport::log();
  EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
}

struct handshake_case {
  const char* name;
  bool simdev::options::*fault;
  int rc;
  std::string tail;  // what follows the warning
  int64_t waited_ms;  // at least, on the virtual clock
};

TEST(FirmwareLoader, HandshakeFailuresAreToldWithWhatWasRead) {
  const std::string none = "\nRead #1 got 0 chars\nRead #2 got 0 chars:\n";
  const handshake_case cases[] = {
      {"no prompt", &simdev::options::fw_silent, -6,
       "\n\a\aError: did not receive the Tovarelink Firmware prompt!\n" + none + "\nDisconnected\n", 20000},
      {"no sync acknowledgement", &simdev::options::fw_no_sync_ack, -8,
       "\n\a\aError: did not synchronize with the Tovarelink!\n" + none + "[00] [00] [00] [00] [00] [00] [00] "
       "[00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] \nDisconnected\n", 0},
      {"no identifier acknowledgement", &simdev::options::fw_no_id_ack, -10,
       connected + "\n\a\aError: did not receive TvLink identifier acknowledgement!\n" + none +
           "[00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] [00] "
           "\nDisconnected\n", 0},
  };
  for (const handshake_case& c : cases) {
    simdev::options opt = memport::defaults();
    opt.*c.fault = true;
    fw_run r = run_update(opt, hex_file("one.hex", ":00000001FF\n"));
    EXPECT_GE(memport::now_ms() - 1000, c.waited_ms) << c.name;
    EXPECT_EQ(r.rc, c.rc) << c.name;
    EXPECT_EQ(r.out, warning + c.tail) << c.name;
    EXPECT_EQ(after_identifier(), "") << c.name;
  }
}

// A loader played by a script: bytes the model never sends (text before the
// prompt, another prompt, replies that are no ACK) and how they are shown.
struct scripted_loader_case {
  const char* name;
  std::string prompt, sync_reply, id_reply;
  int rc;
  std::string tail;  // what follows the warning; empty for a complete update
};

TEST(FirmwareLoader, ScriptedLoaderRepliesAreShownByteForByte) {
  std::string sync_display = "O K [15] ";
  for (int i = 0; i < 17; ++i) sync_display += "[00] ";
  std::string id_display = "? [7f]   ~ ";
  for (int i = 0; i < 16; ++i) id_display += "z ";
  const std::string ack = "\x06";
  const scripted_loader_case cases[] = {
      {"other bytes before the prompt", "boot\r\n\x05", ack, ack, 0, ""},
      {"another prompt", "xyz", ack, ack, -6,
       "\n\a\aError: did not receive the Tovarelink Firmware prompt!\n"
       "\nRead #1 got 1 char\nRead #2 got 2 chars:\n0x78 0x79 0x7a \nDisconnected\n"},
      {"no sync acknowledgement", "\x05", "OK\x15", ack, -8,
       "\n\a\aError: did not synchronize with the Tovarelink!\n"
       "\nRead #1 got 1 char\nRead #2 got 2 chars:\n" + sync_display + "\nDisconnected\n"},
      {"no identifier acknowledgement", "\x05", ack, std::string("?\x7f ~") + std::string(16, 'z'), -10,
       connected + "\n\a\aError: did not receive TvLink identifier acknowledgement!\n"
       "\nRead #1 got 1 char\nRead #2 got 19 chars:\n" + id_display + "\nDisconnected\n"},
  };
  const std::string file = hex_file("four.hex", four_records);
  for (const scripted_loader_case& c : cases) {
    memport::start_scripted();
    memport::script("", "reset\n");
    memport::script_after_purge(c.prompt);  // once the port is open again
    memport::script(c.sync_reply, "\x16");
    memport::script(c.id_reply, "TvLink1.0");
    for (int i = 0; i < 4; ++i) memport::script(ack, "\r");
    static std::string enter = write_file(scratch_dir("fw_loader_stdin") + "/enter", "\n");
    ASSERT_NE(std::freopen(enter.c_str(), "r", stdin), nullptr);
    int rc = 1;
    const std::string out = capture_stdout([&] { rc = firmware(memport::port_name, file.c_str(), warn_and_wait); });
    const std::string heard = memport::received();
    const size_t id = heard.find("TvLink1.0");
    const std::string records = id == std::string::npos ? "" : heard.substr(id + 9);
    EXPECT_EQ(rc, c.rc) << c.name << out;
    if (c.rc == 0) {
      EXPECT_EQ(records, ":0400000001020304F2\r:0400040005060708DE\r:020000040001F9\r:00000001FF\r") << c.name;
      EXPECT_EQ(out.rfind(warning + connected + "\n\n\r", 0), 0u) << c.name << out;
    } else {
      EXPECT_EQ(out, warning + c.tail) << c.name;
      EXPECT_EQ(records, "") << c.name;
    }
  }
}

TEST(DownloadMemport, SilentDeviceTimesOutAfterFiveSeconds) {
  simdev::options opt = memport::defaults();
  opt.silent_packet = 1;
  memport::start(opt);
  ASSERT_EQ(open_port(memport::port_name, 19200), 0);
  std::snprintf(link_state.port_name, sizeof link_state.port_name, "%s", memport::port_name);
  const uint8_t command[] = "download\n";
  ASSERT_EQ(write_port(memport::port_name, command, 9), 9);
  const int64_t t0 = memport::now_ms();
  int rc = 0;
  const std::string out = capture_stdout([&] { rc = dwn_download(); });
  close_port();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "\a\aError: reading ack or nak: 0\n\a\aError: writing Configuration command failed: -4\n");
  EXPECT_GE(memport::now_ms() - t0, 5000);
  const std::string& log = memport::file(simdev::KEEP_PACKETS);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;  // the command packet, unanswered, sent once
  EXPECT_EQ(memport::file(simdev::KEEP_RECEIVED), "download\n" + std::string(pkt_conf.begin(), pkt_conf.end()));
}
