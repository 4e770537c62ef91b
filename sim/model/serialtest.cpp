// The serial test: after "serialtest" the device echoes every byte until
// the interrupt character.
#include <cstdio>

#include "model/parts.h"

namespace simdev {

namespace {

constexpr const char* serialtest_text = "Begin serial test: end with <ctrl>-c";
constexpr int QUICK_SERIALTEST = 1024;  // the utility's read of the start text

}  // namespace

void st_begin(device& d) {
  out_mark(d);
  if (d.opt->no_serialtest_text) {
    log_line(d, "serialtest: answered with other text (--no-serialtest-text)");
    reply_prompt_line(d, "Serial test not available");
    quick_pad(d, QUICK_SERIALTEST);
    return;
  }
  char buf[96];
  const int n = std::snprintf(buf, sizeof buf, "\r\n%s\r\n", serialtest_text);
  send_text(d, buf, n);
  quick_pad(d, QUICK_SERIALTEST);
  d.st = {};
  d.mode = MODE_SERIALTEST;
  log_line(d, "serial test started: echoing until 0x03");
}

void st_byte(device& d, uint8_t b) {
  if (b == CH_INTR) {
    log_line(d, "serial test ended after %ld echo bytes", d.st.echoes);
    d.mode = MODE_CMD;
    return;
  }
  const long n = ++d.st.echoes;
  if (d.opt->echo_stop > 0 && n >= d.opt->echo_stop) {
    if (!d.st.stop_told) log_line(d, "serial test: echo stopped at byte %ld (--echo-stop)", n);
    d.st.stop_told = true;
  } else {
    uint8_t e = b;
    for (int i = 0; i < d.opt->echo_wrong.count; i++) {
      if (d.opt->echo_wrong.items[i].number == n) {
        e = static_cast<uint8_t>(d.opt->echo_wrong.items[i].value);
        log_line(d, "serial test: echo byte %ld is 0x%02x instead of 0x%02x (--echo-wrong)", n, e, b);
      }
    }
    send(d, &e, 1);
  }
  if (d.opt->vanish_after_echo > 0 && n == d.opt->vanish_after_echo) {
    log_line(d, "serial test: %ld echo bytes", n);
    vanish_soon(d);
  }
}

}  // namespace simdev
