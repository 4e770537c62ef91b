// The simulated device (sim/model) for the page's tests: the far end of the
// fake Web Serial port (fake_serial.js). One device per instance of this
// module; times are performance.now() milliseconds, as the page's.
#include <emscripten.h>

#include <cstdint>

#include "model/model.h"

namespace {

simdev::options opt;
simdev::device dev;
constexpr const char* default_version_text = "Tovarelink APRS Digipeater Version 2.7";

int64_t ms(double now) { return static_cast<int64_t>(now); }

// The options a test sets, by number (fake_serial.js names them).
enum option_key : int {
  K_QUICK = 1, K_SILENT, K_NAK, K_ANSWER, K_SILENT_PACKET, K_VANISH_AFTER_PACKETS, K_VANISH_AFTER_RECORDS,
  K_FW_ANSWER, K_PIECES_MS, K_VANISH_AFTER_ECHO, K_ECHO_WRONG, K_ECHO_STOP, K_GARBAGE, K_NOISE,
  K_FW_LATE, K_FW_REFUSE, K_WIRE_TIME,
};

void add_pair(simdev::pair_list& list, long number, long value) {
  if (list.count >= simdev::OPT_MAX) return;
  list.items[list.count] = simdev::pair{number, static_cast<int>(value)};
  ++list.count;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void model_option(int key, double a, double b) {
  const long n = static_cast<long>(a);
  const long v = static_cast<long>(b);
  switch (key) {
    case K_QUICK: opt.quick = n != 0; break;
    case K_SILENT: opt.silent = n != 0; break;
    case K_NAK: add_pair(opt.nak, n, v); break;
    case K_ANSWER: add_pair(opt.answer, n, v); break;
    case K_SILENT_PACKET: opt.silent_packet = n; break;
    case K_VANISH_AFTER_PACKETS: opt.vanish_after_packets = n; break;
    case K_VANISH_AFTER_RECORDS: opt.vanish_after_records = n; break;
    case K_FW_ANSWER:
      if (opt.fw_answer_count < simdev::FW_ANSWERS_MAX) opt.fw_answers[opt.fw_answer_count++] = static_cast<int>(n);
      break;
    case K_PIECES_MS: opt.pieces_ms = static_cast<int>(n); break;
    case K_VANISH_AFTER_ECHO: opt.vanish_after_echo = n; break;
    case K_ECHO_WRONG: add_pair(opt.echo_wrong, n, v); break;
    case K_ECHO_STOP: opt.echo_stop = n; break;
    case K_GARBAGE: opt.garbage = n != 0; break;
    case K_NOISE: opt.noise = n != 0; break;
    case K_FW_LATE: add_pair(opt.fw_late, n, v); break;
    case K_FW_REFUSE: add_pair(opt.fw_refuse, n, v); break;
    case K_WIRE_TIME: opt.wire_time = n != 0; break;
    default: break;
  }
}

EMSCRIPTEN_KEEPALIVE void model_start(double now) {
  opt.version_text = default_version_text;
  opt.keep_files = true;
  simdev::init(dev, opt, ms(now));
}
EMSCRIPTEN_KEEPALIVE void model_opened(double now, double baud) {
  simdev::port_opened(dev, ms(now));
  simdev::set_rate(dev, static_cast<long>(baud));
}
EMSCRIPTEN_KEEPALIVE void model_closed(double now) { simdev::port_closed(dev, ms(now)); }
EMSCRIPTEN_KEEPALIVE void model_purged(double now, int output) { simdev::port_purged(dev, ms(now), output != 0); }
EMSCRIPTEN_KEEPALIVE int model_input(double now, const uint8_t* bytes, int count) {
  return static_cast<int>(simdev::input(dev, ms(now), bytes, static_cast<size_t>(count)));
}
EMSCRIPTEN_KEEPALIVE void model_tick(double now) { simdev::tick(dev, ms(now)); }
EMSCRIPTEN_KEEPALIVE double model_next_timer() { return static_cast<double>(simdev::next_timer(dev)); }
// The bytes due at `now`: their count, and where they are in *at.
EMSCRIPTEN_KEEPALIVE int model_output(double now, const uint8_t** at) {
  return static_cast<int>(simdev::output(dev, ms(now), at));
}
EMSCRIPTEN_KEEPALIVE void model_output_taken(int count) { simdev::output_taken(dev, static_cast<size_t>(count)); }
EMSCRIPTEN_KEEPALIVE int model_log(const char** text) { return static_cast<int>(simdev::take_log(dev, text)); }
EMSCRIPTEN_KEEPALIVE void model_log_taken() { simdev::log_taken(dev); }
// The n-th file effect: 1 and its parts in out[0..3] (file, op, data, size),
// or 0 past the last.
EMSCRIPTEN_KEEPALIVE int model_keep(int n, uint32_t* out) {
  simdev::keep k{};
  if (!simdev::take_keep(dev, static_cast<size_t>(n), &k)) return 0;
  out[0] = k.file;
  out[1] = k.op;
  out[2] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(k.data));
  out[3] = static_cast<uint32_t>(k.size);
  return 1;
}
EMSCRIPTEN_KEEPALIVE void model_keeps_taken() { simdev::keeps_taken(dev); }
EMSCRIPTEN_KEEPALIVE int model_vanished() { return simdev::vanished(dev) ? 1 : 0; }

}  // extern "C"
