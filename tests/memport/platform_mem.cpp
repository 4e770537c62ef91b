// The in-memory port (memport.h): the platform interface and the clock of
// the serial layer, served by the device model or by a script.
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

#include "memport.h"
#include "serial/deadline.h"
#include "serial/platform.h"

namespace {

constexpr plat_handle mem_handle = 3;
constexpr int64_t ns_per_ms = 1'000'000;
constexpr int MEM_EIO = 5;

struct port_state {
  simdev::options opt{};
  std::unique_ptr<simdev::device> dev = std::make_unique<simdev::device>();
  int64_t clock_ns = 1000 * ns_per_ms;
  bool open = false;
  std::string in;  // bytes the device sent that have arrived and wait to be read
  std::string log;
  std::string files[5];
  // The scripted far end (memport::script), in place of the model.
  bool scripted = false;
  struct script_entry {
    std::string after;  // the bytes it waits for
    std::string reply;
    bool on_purge;  // waits for the port's input to be purged instead
  };
  std::deque<script_entry> script;  // in order
  std::string heard;  // what it received, until memport::received() takes it
  std::string since;  // what it received since its last reply
  bool purged = false;  // the input was purged since its last reply
};

port_state& port() {
  static port_state p;
  return p;
}

int64_t ms() { return port().clock_ns / ns_per_ms; }

// The device's next instant to act (-1: none; a script never acts by itself).
int64_t next_due() { return port().scripted ? -1 : simdev::next_timer(*port().dev); }
bool gone() { return !port().scripted && simdev::vanished(*port().dev); }

// The script's replies whose awaited bytes have arrived, in order; a reply
// due while the port is closed is lost.
void answer_script() {
  port_state& p = port();
  while (!p.script.empty()) {
    const port_state::script_entry& e = p.script.front();
    if (e.on_purge) {
      if (!p.purged) break;
    } else {
      const size_t at = p.since.find(e.after);
      if (at == std::string::npos) break;
      p.since.erase(0, at + e.after.size());
    }
    p.purged = false;
    if (p.open) p.in += e.reply;
    p.script.pop_front();
  }
}

// Collects what the device did: its files, its log, and the bytes now due,
// which have arrived at the port (or are lost when it is closed).
void collect() {
  port_state& p = port();
  simdev::device& d = *p.dev;
  simdev::keep k{};
  for (size_t i = 0; simdev::take_keep(d, i, &k); i++) {
    std::string& f = p.files[k.file];
    if (k.op == simdev::KEEP_SAVE || k.op == simdev::KEEP_START) f.clear();
    if (k.op == simdev::KEEP_SAVE || k.op == simdev::KEEP_APPEND) f.append(reinterpret_cast<const char*>(k.data), k.size);
  }
  simdev::keeps_taken(d);
  const char* text = nullptr;
  p.log.append(text, simdev::take_log(d, &text));
  simdev::log_taken(d);
  const uint8_t* bytes = nullptr;
  for (size_t n; (n = simdev::output(d, ms(), &bytes)) > 0;) {
    if (p.open) p.in.append(reinterpret_cast<const char*>(bytes), n);
    simdev::output_taken(d, n);
  }
}

// Lets the device do what is due by now.
void pump() {
  port_state& p = port();
  if (p.scripted) return;
  for (int turns = 0; turns < 10000; turns++) {
    const int64_t next = simdev::next_timer(*p.dev);
    if (next < 0 || next > ms()) break;
    simdev::tick(*p.dev, ms());
    collect();
  }
  collect();
}

// Moves the clock on to `ns`, stopping at each instant the device acts.
void advance_to(int64_t ns) {
  port_state& p = port();
  for (;;) {
    pump();
    const int64_t next = next_due();
    if (next < 0 || next * ns_per_ms > ns) break;
    p.clock_ns = next * ns_per_ms > p.clock_ns ? next * ns_per_ms : p.clock_ns + ns_per_ms;
  }
  if (ns > p.clock_ns) p.clock_ns = ns;
  pump();
}

bool ours(plat_handle h) { return h == mem_handle && port().open; }

// A fresh port, closed, the clock at 1 s; its far end the model or a script.
void restart(bool scripted) {
  port_state& p = port();
  p.clock_ns = 1000 * ns_per_ms;
  p.open = false;
  p.in.clear();
  p.log.clear();
  for (std::string& f : p.files) f.clear();
  p.scripted = scripted;
  p.script.clear();
  p.heard.clear();
  p.since.clear();
  p.purged = false;
}

}  // namespace

namespace memport {

void start(const simdev::options& opt) {
  restart(false);
  port().opt = opt;
  simdev::init(*port().dev, port().opt, ms());
}

void start_scripted() { restart(true); }

void script(const std::string& reply, const std::string& after) {
  port().script.push_back({after, reply, false});
  answer_script();
}

void script_after_purge(const std::string& reply) {
  port().script.push_back({"", reply, true});
  answer_script();
}

std::string received() {
  std::string got;
  got.swap(port().heard);
  return got;
}

simdev::options defaults() {
  simdev::options o{};
  o.version_text = "Tovarelink APRS Digipeater Version 2.7";
  o.keep_files = true;
  return o;
}

const std::string& log() { return port().log; }
const std::string& file(simdev::keep_file f) { return port().files[f]; }
bool vanished() { return simdev::vanished(*port().dev); }
int64_t now_ms() { return ms(); }

}  // namespace memport

// ---------------------------------------------------------------- the clock

int64_t deadline_now_ns() { return port().clock_ns; }
deadline deadline_in_ms(uint32_t ms_from_now) {
  return deadline{port().clock_ns + static_cast<int64_t>(ms_from_now) * ns_per_ms};
}
int deadline_left_ms(const deadline& d) {
  const int64_t left = d.end_ns - port().clock_ns;
  if (left <= 0) return 0;
  const int64_t left_ms = (left + ns_per_ms - 1) / ns_per_ms;
  return left_ms > 2147483647 ? 2147483647 : static_cast<int>(left_ms);
}
bool deadline_passed(const deadline& d) { return port().clock_ns >= d.end_ns; }

// ---------------------------------------------------------------- the platform

plat_handle plat_open(const char* name) {
  port_state& p = port();
  if (name == nullptr || std::strcmp(name, memport::port_name) != 0 || p.open || gone()) return PLAT_NO_HANDLE;
  p.open = true;
  p.in.clear();
  if (p.scripted) return mem_handle;
  simdev::port_opened(*p.dev, ms());
  collect();
  return mem_handle;
}

int plat_configure_line(plat_handle h, uint32_t baud, plat_line_fault* fault) {
  if (fault != nullptr) *fault = {ours(h) ? PLAT_LINE_DONE : PLAT_LINE_GET, 0};
  if (!ours(h)) return PLAT_FAILED;
  if (!port().scripted) simdev::set_rate(*port().dev, static_cast<long>(baud));
  return PLAT_OK;
}

int plat_read(plat_handle h, uint8_t* buf, int size, const deadline& until, int* got) {
  port_state& p = port();
  *got = 0;
  if (!ours(h)) return PLAT_WAIT_REFUSED;
  const size_t want = size > 0 ? static_cast<size_t>(size) : 0;
  for (;;) {
    pump();
    if (p.in.size() >= want || gone()) break;
    const int64_t next = next_due();
    if (next < 0 || next * ns_per_ms >= until.end_ns) {
      advance_to(until.end_ns);
      break;
    }
    p.clock_ns = next * ns_per_ms > p.clock_ns ? next * ns_per_ms : p.clock_ns + ns_per_ms;
  }
  const size_t n = p.in.size() < want ? p.in.size() : want;
  std::memcpy(buf, p.in.data(), n);
  p.in.erase(0, n);
  *got = static_cast<int>(n);
  // A vanished device: what arrived before is read, then the read fails.
  return n == 0 && gone() ? PLAT_FAILED : PLAT_OK;
}

int plat_write(plat_handle h, const uint8_t* buf, int len, const deadline&, int* written) {
  port_state& p = port();
  *written = 0;
  if (!ours(h) || gone()) return PLAT_FAILED;
  const size_t count = len > 0 ? static_cast<size_t>(len) : 0;
  if (p.scripted) {
    p.heard.append(reinterpret_cast<const char*>(buf), count);
    p.since.append(reinterpret_cast<const char*>(buf), count);
    answer_script();
    *written = static_cast<int>(count);
    return PLAT_OK;
  }
  size_t at = 0;
  while (at < count && !simdev::vanished(*p.dev)) {
    at += simdev::input(*p.dev, ms(), buf + at, count - at);
    collect();
  }
  *written = static_cast<int>(at);
  return at == count ? PLAT_OK : PLAT_FAILED;
}

int plat_drain(plat_handle h, const deadline&) { return ours(h) ? PLAT_OK : PLAT_FAILED; }

int plat_purge(plat_handle h, bool output) {
  port_state& p = port();
  if (!ours(h)) return PLAT_FAILED;
  pump();
  p.in.clear();
  if (p.scripted) {
    p.purged = true;
    answer_script();
    return PLAT_OK;
  }
  simdev::port_purged(*p.dev, ms(), output);
  collect();
  return PLAT_OK;
}

void plat_close(plat_handle h) {
  port_state& p = port();
  if (!ours(h)) return;
  p.open = false;
  p.in.clear();
  if (p.scripted) return;
  simdev::output_drop(*p.dev);
  simdev::port_closed(*p.dev, ms());
  collect();
}

int plat_last_error() { return MEM_EIO; }

void plat_error_text(int err, char* buf, size_t cap) {
  if (buf != nullptr && cap > 0) std::snprintf(buf, cap, err == MEM_EIO ? "Input/output error" : "error %d", err);
}

void plat_sleep_ms(uint32_t n) { advance_to(port().clock_ns + static_cast<int64_t>(n) * ns_per_ms); }
