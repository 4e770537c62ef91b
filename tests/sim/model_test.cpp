// The device model on its own: events and bytes in at chosen instants, the
// bytes it sends (with the instant each is due), its log and its files out.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/model.h"
#include "model/parts.h"

namespace {

using bytes = std::string;

// One run of the model on a virtual clock.
struct bench {
  simdev::options opt{};
  std::unique_ptr<simdev::device> dev = std::make_unique<simdev::device>();
  int64_t now = 1000;
  std::vector<std::pair<int64_t, bytes>> sent;  // (instant, bytes) as they fell due
  std::string log;
  std::string files[5];
  int file_starts[5] = {};

  explicit bench(void (*setup)(simdev::options&) = nullptr) {
    opt.version_text = "Tovarelink APRS Digipeater Version 2.7";
    opt.keep_files = true;
    if (setup != nullptr) setup(opt);
    simdev::init(*dev, opt, now);
  }
  void collect() {
    for (size_t i = 0;; i++) {
      simdev::keep k{};
      if (!simdev::take_keep(*dev, i, &k)) break;
      std::string& f = files[k.file];
      if (k.op == simdev::KEEP_SAVE || k.op == simdev::KEEP_START) f.clear(), file_starts[k.file]++;
      if (k.op == simdev::KEEP_SAVE || k.op == simdev::KEEP_APPEND) f.append(reinterpret_cast<const char*>(k.data), k.size);
    }
    simdev::keeps_taken(*dev);
    const char* text = nullptr;
    log.append(text, simdev::take_log(*dev, &text));
    simdev::log_taken(*dev);
    const uint8_t* out = nullptr;
    for (size_t n; (n = simdev::output(*dev, now, &out)) > 0;) {
      if (sent.empty() || sent.back().first != now) sent.push_back({now, ""});
      sent.back().second.append(reinterpret_cast<const char*>(out), n);
      simdev::output_taken(*dev, n);
    }
  }
  // Lets time pass up to `t`, serving every timer on the way.
  void until(int64_t t) {
    for (int64_t next; (next = simdev::next_timer(*dev)) >= 0 && next <= t;) {
      now = next > now ? next : now;
      simdev::tick(*dev, now);
      collect();
    }
    now = t > now ? t : now;
  }
  void in(const bytes& b) {
    size_t at = 0;
    while (at < b.size()) {
      at += simdev::input(*dev, now, reinterpret_cast<const uint8_t*>(b.data()) + at, b.size() - at);
      collect();
    }
    collect();
  }
  void opened() { simdev::port_opened(*dev, now), collect(); }
  // From the command line into the loader, past its prompt, sync and identifier.
  void to_loader() {
    in("reset\r");
    purged(false);
    until(now + 5);
    in("\x16" "TvLink1.0");
  }
  void purged(bool output) { simdev::port_purged(*dev, now, output), collect(); }
  bytes all_sent() const {
    bytes s;
    for (const auto& p : sent) s += p.second;
    return s;
  }
};

bytes packet(const bytes& payload) {
  bytes p;
  p += static_cast<char>((payload.size() + 4) >> 8);
  p += static_cast<char>((payload.size() + 4) & 0xFF);
  p += payload;
  // The register after the payload and two zero bytes is the CRC to send.
  const uint8_t zero[2] = {0, 0};
  uint16_t crc = simdev::crc_run(0xFFFF, reinterpret_cast<const uint8_t*>(p.data()), static_cast<int>(p.size()));
  crc = simdev::crc_run(crc, zero, 2);
  p += static_cast<char>(crc >> 8);
  p += static_cast<char>(crc & 0xFF);
  return p;
}

bytes command_packet(const std::string& name, const std::string& size) {
  bytes payload(17, '\0');
  payload.replace(0, name.size(), name);
  payload.replace(12, size.size(), size);
  return packet(payload);
}

const bytes prompt_line_version = "\r\nTovarelink APRS Digipeater Version 2.7\r\nTovare> ";

// ---------------------------------------------------------------- command line

struct line_case {
  const char* name;
  void (*setup)(simdev::options&);
  bytes input;
  bytes answer;     // every byte sent, NULs included
  const char* log;  // a line the log holds ("" for none)
};

const line_case line_cases[] = {
    {"version", nullptr, "version\r", prompt_line_version, "version request: answered \"Tovarelink APRS"},
    {"version in capitals, CR LF", nullptr, "VERSION\r\n", prompt_line_version, ""},
    {"empty line", nullptr, "\r", "\r\nTovare> ", ""},
    {"unknown", nullptr, "bogus\r", "\r\nError: unknown command\r\nTovare> ", "unknown command \"bogus\""},
    {"backspace", nullptr, "versx\bion\r", prompt_line_version, ""},
    {"too long", nullptr, bytes(81, 'a') + "\r", "\r\nError: line too long\r\nTovare> ", "command line too long"},
    {"bad host rate", nullptr, "host 1234\r", "\r\nError: invalid baud rate\r\nTovare> ", "host \"1234\": refused"},
    {"host rate", nullptr, "host 57600\r", "", "host 57600: host port switched to 57600 baud"},
    {"help", nullptr, "?\n", "\r\nCommands: version, host <baud>, download, serialtest, reset\r\nTovare> ", ""},
    {"noise", [](simdev::options& o) { o.noise = true; }, "\r",
     bytes("\xA9\xFF\r\nTov\0are\0> ", 14), ""},
    {"silent", [](simdev::options& o) { o.silent = true; }, "version\r", "", "version request"},
    {"no serial test", [](simdev::options& o) { o.no_serialtest_text = true; }, "serialtest\r",
     "\r\nSerial test not available\r\nTovare> ", "answered with other text"},
};

TEST(model_command, answers_each_line_as_the_table_says) {
  for (const line_case& c : line_cases) {
    bench b(c.setup);
    b.opened();
    b.in(c.input);
    EXPECT_EQ(b.all_sent(), c.answer) << c.name;
    EXPECT_NE(b.log.find(c.log), std::string::npos) << c.name << "\n" << b.log;
  }
}

TEST(model_command, quick_fills_the_read_and_baud_change_prompts_once_reopened) {
  bench b([](simdev::options& o) { o.quick = true; });
  b.opened();
  b.in("version\r");
  const bytes v = b.all_sent();
  EXPECT_EQ(v.substr(0, prompt_line_version.size()), prompt_line_version);
  EXPECT_EQ(v.size(), 200u);  // the utility's read of the version reply
  b.sent.clear();
  b.in("host 38400\n");
  b.opened();
  simdev::set_rate(*b.dev, 38400);
  b.in("\n");
  EXPECT_EQ(b.all_sent().substr(0, 10), "\r\nTovare> ");
  EXPECT_EQ(b.all_sent().size(), 1024u);
  EXPECT_NE(b.log.find("line feed after baud change (port at 38400 baud): prompt"), std::string::npos) << b.log;
}

TEST(model_command, pieces_fall_due_apart) {
  bench b([](simdev::options& o) { o.pieces_ms = 30; });
  b.opened();
  b.in("\r\r");  // two replies of two texts each, in pieces of at most 8 bytes
  b.until(b.now + 100);
  const std::vector<std::pair<int64_t, bytes>> want = {
      {1000, "\r\n"}, {1030, "Tovare> "}, {1060, "\r\n"}, {1090, "Tovare> "}};
  EXPECT_EQ(b.sent, want);
}

TEST(model_command, a_purge_of_the_far_ends_output_drops_the_line_begun) {
  bench b;
  b.opened();
  b.in("vers");
  b.purged(true);
  b.in("version\r");
  EXPECT_EQ(b.all_sent(), prompt_line_version);
}

TEST(model_flood, the_interrupt_floods_then_the_held_line_is_answered) {
  bench b([](simdev::options& o) { o.flood_drain_ms = 20; });
  b.opened();
  b.in(bytes("\x03", 1) + "version\r");
  b.until(1100);
  const bytes s = b.all_sent();
  ASSERT_GE(s.size(), prompt_line_version.size());
  EXPECT_EQ(s.substr(0, 6), "~junk~");
  EXPECT_EQ(s.substr(s.size() - prompt_line_version.size()), prompt_line_version);
  EXPECT_EQ(b.sent.back().first, 1020);  // answered when the flood ended
  EXPECT_EQ(s.size() - prompt_line_version.size(), 4u * 16);  // junk at 0, 5, 10, 15 ms
}

TEST(model_flood, junk_forever_never_listens) {
  bench b([](simdev::options& o) { o.junk_forever = true; });
  b.opened();
  b.in("version\r");
  b.until(1050);
  EXPECT_EQ(b.all_sent().find("Tovarelink"), bytes::npos);
  EXPECT_EQ(b.files[simdev::KEEP_RECEIVED], "version\r");  // received, unheard
}

// ---------------------------------------------------------------- download

TEST(model_download, acks_naks_and_keeps_the_image) {
  bench b;
  b.opened();
  b.in("download\r");
  bytes conf(176, '\0');
  conf.replace(24, 6, "N0CALL");
  bytes bad = packet(conf.substr(0, 60));
  bad[10] ^= 1;
  struct step {
    bytes in;
    char answer;
  };
  const step steps[] = {
      {command_packet("conf", "176"), 0x06}, {packet(conf.substr(0, 60)), 0x06}, {bad, 0x15},
      {packet(conf.substr(60, 60)), 0x06},   {packet(conf.substr(120)), 0x06},  {command_packet("-cestfini-", ""), 0x06},
  };
  for (const step& s : steps) {
    b.sent.clear();
    b.in(s.in);
    EXPECT_EQ(b.all_sent(), bytes(1, s.answer)) << b.log;
  }
  EXPECT_EQ(b.files[simdev::KEEP_CONF], conf);
  EXPECT_NE(b.log.find("  call sign N0CALL, SSID 0"), std::string::npos) << b.log;
  EXPECT_NE(b.log.find("download finished"), std::string::npos);
  EXPECT_NE(b.files[simdev::KEEP_PACKETS].find("-> 15\n"), std::string::npos);
}

struct broken_case {
  const char* name;
  bytes input;
  int64_t nak_at;  // after the last byte
};

TEST(model_download, a_packet_that_cannot_be_framed_is_naked_after_its_silence) {
  const broken_case cases[] = {
      {"bad length", bytes("\x00\x02xy", 4), 20},
      {"broken off", command_packet("conf", "176").substr(0, 9), 200},
  };
  for (const broken_case& c : cases) {
    bench b;
    b.opened();
    b.in("download\r");
    b.in(c.input);
    b.until(b.now + 1000);
    ASSERT_EQ(b.sent.size(), 1u) << c.name;
    EXPECT_EQ(b.sent[0], (std::pair<int64_t, bytes>{1000 + c.nak_at, "\x15"})) << c.name;
  }
}

TEST(model_download, options_answer_refuse_and_vanish) {
  bench b([](simdev::options& o) {
    o.nak.items[o.nak.count++] = {1, 2};
    o.vanish_after_packets = 2;
  });
  b.opened();
  b.in("download\r");
  const bytes cmd = command_packet("conf", "176");
  for (int i = 0; i < 3; i++) b.in(cmd);
  EXPECT_EQ(b.all_sent(), "\x15\x15\x06");
  b.in(packet(bytes(60, 'a')));
  EXPECT_FALSE(simdev::vanished(*b.dev));
  b.until(b.now + 200);  // its answer has had time to arrive
  EXPECT_TRUE(simdev::vanished(*b.dev));
  EXPECT_NE(b.log.find("device vanished: port closed"), std::string::npos);
}

// ---------------------------------------------------------------- serial test

TEST(model_serialtest, echoes_until_the_interrupt_with_the_wrong_bytes_asked_for) {
  bench b([](simdev::options& o) {
    o.echo_wrong.items[o.echo_wrong.count++] = {2, 0x41};
    o.echo_stop = 4;
  });
  b.opened();
  b.in("serialtest\r");
  EXPECT_EQ(b.all_sent(), "\r\nBegin serial test: end with <ctrl>-c\r\n");
  b.sent.clear();
  b.in("xyzw\x03" "version\r");
  EXPECT_EQ(b.all_sent(), "xAz" + prompt_line_version);
  EXPECT_NE(b.log.find("serial test ended after 4 echo bytes"), std::string::npos) << b.log;
}

// ---------------------------------------------------------------- firmware loader

TEST(model_loader, prompts_after_the_purge_and_keeps_the_accepted_records) {
  bench b([](simdev::options& o) { o.fw_answers[o.fw_answer_count++] = 0x17; });
  b.opened();
  b.in("reset\r");
  simdev::port_closed(*b.dev, b.now);
  b.opened();
  b.purged(false);
  b.until(b.now + 10);
  ASSERT_EQ(b.sent.size(), 1u);
  EXPECT_EQ(b.sent[0], (std::pair<int64_t, bytes>{1002, "\x05"}));  // 2 ms after the purge
  b.sent.clear();
  b.in("\x16" "TvLink1.0");
  EXPECT_EQ(b.all_sent(), "\x06\x06");
  b.sent.clear();
  b.in(":0400000001020304F2\r:0400000001020304F2\r:00000001FE\r\n:zz\r:00000001FF\r");
  EXPECT_EQ(b.all_sent(), "\x17\x06\x12\x12\x06");  // --fw-answers first, then its own check
  EXPECT_EQ(b.files[simdev::KEEP_FIRMWARE], ":0400000001020304F2\n:00000001FF\n");
  b.in("\x03");
  EXPECT_NE(b.log.find("firmware loader ended (interrupt character): 5 record lines, 2 accepted, 3 refused, 0 "
                       "unanswered, end record seen"),
            std::string::npos)
      << b.log;
}

TEST(model_loader, prompts_anyway_when_the_port_is_never_reopened) {
  bench b;
  b.opened();
  b.in("reset\r");
  b.until(b.now + 6000);
  ASSERT_EQ(b.sent.size(), 1u);
  EXPECT_EQ(b.sent[0], (std::pair<int64_t, bytes>{6000, "\x05"}));
}

// ---------------------------------------------------------------- effects

TEST(model_effects, input_stops_where_the_effects_are_full_and_loses_nothing) {
  bench b;
  b.opened();
  b.to_loader();
  // Every empty line is refused with a log line of its own: far more log
  // than one collection holds.
  const bytes crs(4000, '\r');
  size_t first = simdev::input(*b.dev, b.now, reinterpret_cast<const uint8_t*>(crs.data()), crs.size());
  EXPECT_GT(first, 0u);
  EXPECT_LT(first, crs.size());
  b.collect();
  b.in(crs.substr(first));
  EXPECT_EQ(b.all_sent().size(), 3u + 4000u);  // ENQ, two ACKs, one answer a line
  EXPECT_NE(b.log.find("record line 4000 \"\": answer 0x11"), std::string::npos);
  EXPECT_EQ(b.files[simdev::KEEP_RECEIVED].size(), 6 + 1 + 9 + 4000u);
}

}  // namespace

// ---------------------------------------------------------------- like hardware

TEST(model_wire, answers_wait_for_the_bytes_to_cross_the_line) {
  struct wire_case {
    long baud;
    int64_t first, last;  // due instants of the reply's first and last pieces
  };
  // "version\r" (8 bytes) written at 1000, then the 50-byte reply in pieces
  // of 16: each piece is due when its last byte has crossed, 10 bits a byte.
  const wire_case cases[] = {{9600, 1025, 1061}, {115200, 1003, 1005}};
  for (const wire_case& c : cases) {
    bench b([](simdev::options& o) { o.wire_time = true; });
    b.opened();
    simdev::set_rate(*b.dev, c.baud);
    b.in("version\r");
    b.until(b.now + 1000);
    EXPECT_EQ(b.all_sent(), prompt_line_version) << c.baud;
    EXPECT_EQ(b.sent.front().first, c.first) << c.baud;
    EXPECT_EQ(b.sent.back().first, c.last) << c.baud;
  }
}

TEST(model_wire, a_chosen_record_is_answered_late_and_another_refused_once) {
  bench b([](simdev::options& o) {
    o.fw_late.items[o.fw_late.count++] = {1, 150};
    o.fw_refuse.items[o.fw_refuse.count++] = {2, 0x12};
  });
  b.opened();
  b.to_loader();
  b.sent.clear();
  const int64_t t0 = b.now;
  b.in(":00000001FF\r");
  b.until(t0 + 149);
  EXPECT_TRUE(b.sent.empty());
  b.until(t0 + 150);
  b.in(":00000001FF\r:0400000001020304F2\r:0400000001020304F2\r");  // record 1 again: not late
  const std::vector<std::pair<int64_t, bytes>> want = {{t0 + 150, "\x06\x06\x12\x06"}};
  EXPECT_EQ(b.sent, want);
  EXPECT_NE(b.log.find("record 2 refused once with 0x12 (--fw-refuse)"), std::string::npos) << b.log;
}
