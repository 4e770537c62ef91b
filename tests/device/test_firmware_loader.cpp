// Firmware update against a scripted loader on a pseudo-terminal inside the
// test: exact messages of the handshake failures, and the record lines exactly
// as they reach the device.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "device/firmware.h"
#include "device/link.h"
#include "pty_pair.h"
#include "run_program.h"

namespace {

// What the loader sends at each step. The prompt goes out once the host has
// reopened the port after "reset\n" (seen as the input flush of its open).
struct loader_script {
  std::string prompt = std::string("\x05");
  std::string sync_reply = std::string("\x06");
  std::string id_reply = std::string("\x06");
};

class fake_loader {
 public:
  explicit fake_loader(loader_script script) : script_(std::move(script)) {
    if (!pty_.open_pair(true)) return;
    master_ = pty_.master;
    name_ = pty_.slave_path;
    int on = 1;
    ioctl(master_, TIOCPKT, &on);  // report the host's input flushes
    thread_ = std::thread([this] { serve(); });
  }
  ~fake_loader() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return master_ >= 0 && !name_.empty(); }
  const std::string& port() const { return name_; }
  // Stops serving; what was received may be read after this.
  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> records;  // each record line as received, CR included
  std::string identifier;

 private:
  enum class step { reset, reopen, sync, ident, records };

  void send(const std::string& s) {
    if (!s.empty()) (void)!write(master_, s.data(), s.size());
  }

  void serve() {
    step at = step::reset;
    std::string pending;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[1024];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      if (buf[0] != TIOCPKT_DATA) {
        if ((buf[0] & TIOCPKT_FLUSHREAD) && at == step::reopen) {
          send(script_.prompt);
          at = step::sync;
        }
        continue;
      }
      pending.append(buf + 1, static_cast<size_t>(n - 1));
      for (bool again = true; again;) {
        again = false;
        if (at == step::reset) {
          size_t k = pending.find("reset\n");
          if (k != std::string::npos) {
            pending.erase(0, k + 6);
            at = step::reopen;
          }
        } else if (at == step::sync) {
          size_t k = pending.find('\x16');
          if (k != std::string::npos) {
            pending.erase(0, k + 1);
            send(script_.sync_reply);
            at = step::ident;
            again = true;
          }
        } else if (at == step::ident) {
          if (pending.size() >= 9) {
            identifier = pending.substr(0, 9);
            pending.erase(0, 9);
            send(script_.id_reply);
            at = step::records;
            again = true;
          }
        } else if (at == step::records) {
          size_t k = pending.find('\r');
          if (k != std::string::npos) {
            records.push_back(pending.substr(0, k + 1));
            pending.erase(0, k + 1);
            send("\x06");
            again = true;
          }
        }
      }
    }
  }

  loader_script script_;
  pty_pair pty_;  // the slave held open: the host closes and reopens its port
  int master_ = -1;
  std::string name_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct fw_run {
  int rc;
  std::string out;
};

// Runs the update with an Enter line waiting on standard input.
fw_run run_update(const fake_loader& dev, const std::string& file) {
  static std::string enter = write_file(scratch_dir("fw_loader_stdin") + "/enter", "\n");
  EXPECT_NE(std::freopen(enter.c_str(), "r", stdin), nullptr);
  int rc = 0;
  std::string out = capture_stdout([&] { rc = firmware(dev.port().c_str(), file.c_str()); });
  return {rc, out};
}

const std::string warning =
    "\n\a\aWARNING! The Tovarelink Firmware is about to be updated!\nThis will take less than 5 minutes.\n"
    "Do NOT interrupt the process once started!\nIf power is interrupted during this process you may not be able\n"
    "to communicate with the Tovarelink due to firmware corruption.\n"
    "If this happens correct the power problem and restart this entire process.\n\n"
    "Type the Enter key when you are ready to continue...";

const std::string connected = "\a\nConnected at 19200\n";

std::string hex_file(const std::string& name, const std::string& text) {
  return write_file(scratch_dir("fw_loader") + "/" + name, text);
}

// Four records, with a comment on line 2 and a blank line 5.
const std::string four_records =
    ":0400000001020304F2\n# comment\n:0400040005060708DE\n:020000040001F9\n\n:00000001FF\n";

}  // namespace

TEST(FirmwareLoader, PromptAfterOtherBytesAndACompleteUpdate) {
  loader_script s;
  s.prompt = "boot\r\n\x05";
  fake_loader dev(s);
  ASSERT_TRUE(dev.ok());
  fw_run r = run_update(dev, hex_file("four.hex", four_records));
  dev.finish();
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(dev.identifier, "TvLink1.0");
  ASSERT_EQ(dev.records.size(), 4u);
  EXPECT_EQ(dev.records[0], ":0400000001020304F2\r");
  EXPECT_EQ(dev.records[2], ":020000040001F9\r");
  EXPECT_EQ(dev.records[3], ":00000001FF\r");
  ASSERT_EQ(r.out.rfind(warning + connected + "\n\n\r", 0), 0u) << r.out;
  const std::string end = "100.0%" + std::string(59, '=') + "\nDisconnected\n";
  ASSERT_GE(r.out.size(), end.size());
  EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\r'), 4);  // one progress line per record
  EXPECT_STREQ(link_state.port_name, dev.port().c_str());
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
  fake_loader dev(loader_script{});
  ASSERT_TRUE(dev.ok());
  fw_run r = run_update(dev, hex_file("long.hex", longest + "\r\n:00000001FF\r\n"));
  dev.finish();
  EXPECT_EQ(r.rc, 0) << r.out;
  ASSERT_EQ(dev.records.size(), 2u);
  EXPECT_EQ(dev.records[0], longest + "\r");
  EXPECT_EQ(dev.records[1], ":00000001FF\r");
}

TEST(FirmwareLoader, NoPrompt) {
  loader_script s;
  s.prompt = "xyz";
  fake_loader dev(s);
  ASSERT_TRUE(dev.ok());
  fw_run r = run_update(dev, hex_file("one.hex", ":00000001FF\n"));
  dev.finish();
  EXPECT_EQ(r.rc, -6);
  EXPECT_EQ(r.out, warning +
                       "\n\a\aError: did not receive the Tovarelink Firmware prompt!\n"
                       "\nRead #1 got 1 char\nRead #2 got 2 chars:\n0x78 0x79 0x7a \nDisconnected\n");
  EXPECT_TRUE(dev.records.empty());
}

TEST(FirmwareLoader, NoSyncAcknowledgement) {
  loader_script s;
  s.sync_reply = "OK\x15";
  fake_loader dev(s);
  ASSERT_TRUE(dev.ok());
  fw_run r = run_update(dev, hex_file("one.hex", ":00000001FF\n"));
  dev.finish();
  EXPECT_EQ(r.rc, -8);
  std::string display = "O K [15] ";
  for (int i = 0; i < 17; ++i) display += "[00] ";
  EXPECT_EQ(r.out, warning +
                       "\n\a\aError: did not synchronize with the Tovarelink!\n"
                       "\nRead #1 got 1 char\nRead #2 got 2 chars:\n" +
                       display + "\nDisconnected\n");
}

TEST(FirmwareLoader, NoIdentifierAcknowledgement) {
  loader_script s;
  s.id_reply = std::string("?\x7f ~") + std::string(16, 'z');  // 20 bytes, no ACK
  fake_loader dev(s);
  ASSERT_TRUE(dev.ok());
  fw_run r = run_update(dev, hex_file("one.hex", ":00000001FF\n"));
  dev.finish();
  EXPECT_EQ(r.rc, -10);
  EXPECT_EQ(dev.identifier, "TvLink1.0");
  std::string display = "? [7f]   ~ ";
  for (int i = 0; i < 16; ++i) display += "z ";
  EXPECT_EQ(r.out, warning + connected +
                       "\n\a\aError: did not receive TvLink identifier acknowledgement!\n"
                       "\nRead #1 got 1 char\nRead #2 got 19 chars:\n" +
                       display + "\nDisconnected\n");
}
