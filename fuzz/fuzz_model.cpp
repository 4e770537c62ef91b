// The device model (sim/model) against any far end: random bytes and port
// events at random instants, with options chosen by the input. It must not
// crash, must keep every queue within its bounds, must take every byte it is
// given in a bounded number of calls, and must never ask for the time of a
// timer it does not move past.
//
// Input: byte 0 and 1 choose the options; then operations, each one byte
// (its low three bits) with its operands after it:
//   0 port opened, 1 closed, 2 input purged, 3 both queues purged,
//   4 time passes (next byte x 3 ms, every timer on the way served),
//   5 the rate (next byte picks one), 6 and 7 bytes received (next byte + 1
//   of them, as many as there are).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_util.h"
#include "model/model.h"

namespace {

constexpr long rates[] = {0, 300, 1200, 4800, 9600, 19200, 38400, 57600, 115200};

struct run {
  simdev::options opt{};
  std::unique_ptr<simdev::device> dev = std::make_unique<simdev::device>();
  int64_t now = 1000;
};

// What a front end does after each call: every effect collected, due bytes sent.
void collect(run& r) {
  simdev::device& d = *r.dev;
  simdev::keep k{};
  size_t n = 0;
  for (; simdev::take_keep(d, n, &k); n++) {
    FZ_CHECK(k.size <= simdev::KEEP_CAP);
    FZ_CHECK(k.size == 0 || k.data != nullptr);
  }
  FZ_CHECK(n <= simdev::KEEP_ENTRIES);
  simdev::keeps_taken(d);
  const char* text = nullptr;
  const size_t log_len = simdev::take_log(d, &text);
  FZ_CHECK(log_len <= simdev::LOG_CAP);
  FZ_CHECK(log_len == 0 || text[log_len - 1] == '\n');
  simdev::log_taken(d);
  const uint8_t* bytes = nullptr;
  for (size_t sent; (sent = simdev::output(d, r.now, &bytes)) > 0;) {
    FZ_CHECK(sent <= simdev::OUT_RING);
    simdev::output_taken(d, sent);
  }
  FZ_CHECK(d.out.tail - d.out.head <= simdev::OUT_RING);
  FZ_CHECK(d.out.seg_tail - d.out.seg_head <= simdev::SEG_RING);
  FZ_CHECK(d.flood.held_len <= simdev::HOLD_MAX);
}

void pass_time(run& r, int64_t until) {
  for (int turns = 0;; turns++) {
    const int64_t next = simdev::next_timer(*r.dev);
    if (next < 0 || next > until) break;
    // A timer that stays due after it was served would spin a front end.
    FZ_CHECK(turns < 100000);
    if (next > r.now) r.now = next;
    simdev::tick(*r.dev, r.now);
    collect(r);
  }
  r.now = until;
}

void receive(run& r, const uint8_t* bytes, size_t count) {
  size_t at = 0;
  for (int calls = 0; at < count; calls++) {
    FZ_CHECK(calls <= static_cast<int>(count) + simdev::HOLD_MAX + 2);
    const size_t took = simdev::input(*r.dev, r.now, bytes + at, count - at);
    FZ_CHECK(took <= count - at);
    at += took;
    collect(r);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  run r;
  const uint8_t a = data[0], b = data[1];
  r.opt.version_text = "Tovarelink APRS Digipeater Version 2.7";
  r.opt.keep_files = true;
  r.opt.quick = (a & 0x01) != 0;
  r.opt.noise = (a & 0x02) != 0;
  r.opt.garbage = (a & 0x04) != 0;
  r.opt.pieces_ms = (a & 0x08) != 0 ? 7 : 0;
  r.opt.flood_drain_ms = (a & 0x10) != 0 ? 30 : 0;
  r.opt.flood_open_ms = (a & 0x20) != 0 ? 20 : 0;
  r.opt.junk_until_interrupt = (a & 0x40) != 0;
  r.opt.silent_packet = (a & 0x80) != 0 ? 3 : 0;
  r.opt.nak = {{{1, 2}, {4, 1}}, (b & 0x01) != 0 ? 2 : 0};
  r.opt.answer = {{{2, 0x41}}, (b & 0x02) != 0 ? 1 : 0};
  r.opt.echo_wrong = {{{3, 0x00}}, (b & 0x04) != 0 ? 1 : 0};
  r.opt.echo_stop = (b & 0x08) != 0 ? 5 : 0;
  r.opt.fw_answers[0] = simdev::FW_NONE;
  r.opt.fw_answers[1] = 0x12;
  r.opt.fw_answer_count = (b & 0x10) != 0 ? 2 : 0;
  r.opt.vanish_after_packets = (b & 0x20) != 0 ? 2 : 0;
  r.opt.vanish_after_records = (b & 0x40) != 0 ? 3 : 0;
  r.opt.no_prompt_after_baud = (b & 0x80) != 0;
  simdev::init(*r.dev, r.opt, r.now);

  size_t i = 2;
  while (i < size) {
    const uint8_t op = data[i++] & 7;
    const uint8_t arg = i < size ? data[i] : 0;
    switch (op) {
      case 0: simdev::port_opened(*r.dev, r.now); break;
      case 1: simdev::port_closed(*r.dev, r.now); break;
      case 2:
      case 3: simdev::port_purged(*r.dev, r.now, op == 3); break;
      case 4:
        i++;
        pass_time(r, r.now + 3 * arg);
        break;
      case 5:
        i++;
        simdev::set_rate(*r.dev, rates[arg % (sizeof rates / sizeof rates[0])]);
        break;
      default: {
        if (++i >= size) break;
        const size_t n = static_cast<size_t>(arg) + 1 < size - i ? static_cast<size_t>(arg) + 1 : size - i;
        receive(r, data + i, n);
        i += n;
        break;
      }
    }
    collect(r);
  }
  pass_time(r, r.now + 6000);  // every timer runs out: the loader's 5 s wait included
  simdev::shutdown(*r.dev, r.now);
  collect(r);
  return 0;
}
