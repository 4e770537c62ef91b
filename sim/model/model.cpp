// The device's entry points: the far end's events, the bytes it sends, the
// passing of time. Every byte goes one at a time to the handler of the
// current mode (command line, download, serial test, firmware loader); a
// device busy flooding the line holds them or does not listen at all.
#include <cstring>

#include "model/parts.h"

namespace simdev {

namespace {

constexpr int FLOOD_STEP_MS = 5;  // junk every 5 ms while flooding
constexpr int FLOOD_CHUNK = 16;
// The far end's port disappears with the last answer unread, so the device
// vanishes only once that answer has had time to arrive: at the next byte
// from the far end (which has read it), or after this long.
constexpr int VANISH_GRACE_MS = 200;

void vanish_now(device& d) {
  d.vanish_at = -1;
  log_line(d, "device vanished: port closed");
  output_drop(d);
  d.gone = true;
}

// Junk with no end of its own: until the interrupt character, or for ever.
void flood_start_open_ended(device& d, flood_kind kind, const char* why) {
  d.flood.kind = kind;
  d.flood.until = INT64_MAX;
  d.flood.next = d.now;
  if (kind == FLOOD_ENDLESS)
    log_line(d, "flooding the port with junk for ever, not listening (%s)", why);
  else
    log_line(d, "flooding the port with junk until the interrupt character (%s)", why);
}

void flood_stop(device& d) {
  d.flood.until = 0;
  d.flood.held_len = 0;
  d.flood.held_lost = false;
}

void flood_tick(device& d) {
  static constexpr char junk[] = "~junk~ NOCALL>APRS:busy busy busy\r\n";
  flood_state& f = d.flood;
  if (f.until == 0) return;
  while (f.next <= d.now && f.next < f.until) {
    uint8_t chunk[FLOOD_CHUNK];
    for (uint8_t& c : chunk) {
      c = static_cast<uint8_t>(junk[f.pos]);
      f.pos = (f.pos + 1) % static_cast<int>(sizeof junk - 1);
    }
    send(d, chunk, FLOOD_CHUNK);
    f.next += FLOOD_STEP_MS;
  }
  if (d.now < f.until) return;
  // Done: what came meanwhile is handled now, in order.
  std::memcpy(f.replay, f.held, static_cast<size_t>(f.held_len));
  f.replay_len = f.held_len;
  f.replay_pos = 0;
  if (f.held_lost) log_line(d, "input lost while flooding (more than %d bytes)", HOLD_MAX);
  flood_stop(d);
  log_line(d, "flood over");
}

// One byte from the far end, as far as a flood lets it through. False when
// the rest of the bytes at hand go unheard (or into the flood's hold).
bool device_byte(device& d, const uint8_t* bytes, size_t count, size_t* at) {
  flood_state& f = d.flood;
  size_t i = *at;
  if (f.until != 0 && f.kind == FLOOD_ENDLESS) {
    *at = count;
    return false;
  }
  if (f.until != 0 && f.kind == FLOOD_UNTIL_INTERRUPT) {
    const void* intr = std::memchr(bytes + i, CH_INTR, count - i);
    if (intr == nullptr) {
      *at = count;
      return false;
    }
    i = static_cast<size_t>(static_cast<const uint8_t*>(intr) - bytes);
    flood_stop(d);
    log_line(d, "interrupt character: junk stopped");
  }
  if (f.until != 0) {
    // Flooding: keep the rest for later.
    const size_t n = count - i;
    const size_t room = static_cast<size_t>(HOLD_MAX - f.held_len);
    const size_t take = n < room ? n : room;
    std::memcpy(f.held + f.held_len, bytes + i, take);
    f.held_len += static_cast<int>(take);
    if (take < n) f.held_lost = true;
    *at = count;
    return false;
  }
  const uint8_t b = bytes[i];
  *at = i + 1;
  wire_byte_in(d);
  switch (d.mode) {
    case MODE_CMD: cmd_byte(d, b); break;
    case MODE_DOWNLOAD: dwn_byte(d, b); break;
    case MODE_SERIALTEST: st_byte(d, b); break;
    case MODE_LOADER: ldr_byte(d, b); break;
    case MODE_GONE:
      if (d.vanish_at >= 0) vanish_now(d);
      *at = count;
      return false;
  }
  return true;
}

// Bytes held through a timed flood, handled as far as there is room.
void replay_held(device& d) {
  flood_state& f = d.flood;
  size_t at = static_cast<size_t>(f.replay_pos);
  const size_t len = static_cast<size_t>(f.replay_len);
  // A new flood started by a held byte holds the rest again.
  while (at < len && effects_room(d) && !d.gone)
    if (!device_byte(d, f.replay, len, &at)) break;
  f.replay_pos = static_cast<int>(at);
  if (at >= len || d.gone) f.replay_len = f.replay_pos = 0;
}

}  // namespace

void vanish_soon(device& d) {
  d.vanish_at = d.now + VANISH_GRACE_MS;
  d.mode = MODE_GONE;
}

void flood_start(device& d, int ms, const char* why) {
  d.flood.kind = FLOOD_TIMED;
  d.flood.until = d.now + ms;
  d.flood.next = d.now;
  log_line(d, "flooding the port with junk for %d ms (%s)", ms, why);
}

void init(device& d, const options& opt, int64_t now) {
  std::memset(&d, 0, sizeof d);
  d.opt = &opt;
  d.now = now;
  d.mode = MODE_CMD;
  d.vanish_at = -1;
  d.out.piece_last_due = -1;
  cmd_reset(d);
  flood_stop(d);
}

void port_opened(device& d, int64_t now) {
  d.now = now;
  if (d.mode == MODE_GONE) return;
  out_mark(d);
  if (d.mode == MODE_LOADER) {
    ldr_opened(d);
    return;
  }
  const bool after_host = d.cmd.host_seen;
  d.cmd.host_seen = false;
  if (d.mode == MODE_CMD && d.opt->flood_open_ms > 0 && !after_host) flood_start(d, d.opt->flood_open_ms, "port opened");
  if (d.mode == MODE_CMD && d.opt->junk_forever)
    flood_start_open_ended(d, FLOOD_ENDLESS, "port opened");
  else if (d.mode == MODE_CMD && d.opt->junk_until_interrupt && !after_host)
    flood_start_open_ended(d, FLOOD_UNTIL_INTERRUPT, "port opened");
}

void port_closed(device& d, int64_t now) {
  d.now = now;
  if (d.mode == MODE_GONE) return;
  log_line(d, "port closed");
  flood_stop(d);
  // A device on a serial line does not see the host close its port: the
  // command line, a download and the serial test go on (the host's next
  // interrupt character ends them). The close is also noticed some time after
  // it happened, possibly after bytes written since the reopen, so it must not
  // change what those bytes mean. Only the firmware loader follows it.
  if (d.mode == MODE_LOADER) ldr_closed(d);
}

void port_purged(device& d, int64_t now, bool output) {
  d.now = now;
  if (d.mode == MODE_CMD && output) {
    // What the far end wrote before is gone: a line begun before is dropped.
    cmd_reset_line(d);
  }
  if (d.mode == MODE_LOADER) ldr_purged(d);
}

void set_rate(device& d, long baud) { d.baud = baud; }

size_t input(device& d, int64_t now, const uint8_t* bytes, size_t count) {
  d.now = now;
  if (d.flood.replay_len > 0) {
    replay_held(d);
    if (d.flood.replay_len > 0) return 0;
  }
  size_t at = 0;
  while (at < count && effects_room(d)) {
    const size_t before = at;
    const bool more = device_byte(d, bytes, count, &at);
    keep_add(d, KEEP_RECEIVED, KEEP_APPEND, bytes + before, at - before);
    if (!more) break;
  }
  return at;
}

void tick(device& d, int64_t now) {
  d.now = now;
  if (d.mode == MODE_GONE) {
    if (d.vanish_at >= 0 && now >= d.vanish_at) vanish_now(d);
    return;
  }
  flood_tick(d);
  if (d.flood.replay_len > 0) replay_held(d);
  if (d.mode == MODE_LOADER) ldr_tick(d);
  if (d.mode == MODE_DOWNLOAD) dwn_tick(d);
}

int64_t next_timer(const device& d) {
  int64_t next = -1;
  if (d.out.seg_head != d.out.seg_tail) next = d.out.segs[d.out.seg_head % SEG_RING].due_ms;
  if (d.mode == MODE_GONE) return earliest(next, d.vanish_at);
  if (d.flood.replay_len > 0) next = earliest(next, d.now);
  const flood_state& f = d.flood;
  if (f.until != 0) next = earliest(next, f.next < f.until ? f.next : f.until);
  if (d.mode == MODE_LOADER) next = earliest(next, ldr_next_timer(d));
  if (d.mode == MODE_DOWNLOAD) next = earliest(next, dwn_next_timer(d));
  return next;
}

void shutdown(device& d, int64_t now) {
  d.now = now;
  if (d.mode == MODE_DOWNLOAD) dwn_end(d, false);
  if (d.mode == MODE_LOADER) ldr_end(d, "simulator stopped");
}

bool vanished(const device& d) { return d.gone; }

}  // namespace simdev
