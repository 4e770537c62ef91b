// What the device does, collected for the caller: the output queue (with
// --noise, --pieces and the quick filler), the log and the files to keep.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "model/parts.h"

namespace simdev {

namespace {

constexpr int PIECE_SIZE = 8;       // --pieces: bytes per piece
constexpr int WIRE_PIECE = 16;      // --wire-time: bytes that arrive together
constexpr int64_t WIRE_BYTE_BITS = 10;  // start bit, 8 data bits, stop bit
constexpr int LOG_LINE_MAX = 2048;
// Room one input byte may need at most: the download's summary of a whole
// rules image is the longest log, a firmware record line the longest file piece.
constexpr size_t LOG_ROOM = 24 * 1024;
constexpr size_t KEEP_ROOM = 4 * 1024;
constexpr size_t KEEP_ENTRIES_ROOM = 16;

bool out_push_one(device& d, const uint8_t* bytes, int count, int64_t due) {
  out_state& o = d.out;
  if (count <= 0) return true;
  const size_t used = o.tail - o.head;
  if (used + static_cast<size_t>(count) > OUT_RING || o.seg_tail - o.seg_head >= SEG_RING) {
    if (!o.overflow_told) log_line(d, "output queue full: the far end is not reading; bytes dropped");
    o.overflow_told = true;
    return false;
  }
  for (int i = 0; i < count; i++) o.ring[(o.tail + static_cast<size_t>(i)) % OUT_RING] = bytes[i];
  o.tail += static_cast<size_t>(count);
  o.segs[o.seg_tail % SEG_RING] = {static_cast<uint32_t>(count), due};
  o.seg_tail++;
  for (int i = 0; i < count; i++)
    if (bytes[i] != 0) o.nonnul++;
  return true;
}

// Microseconds one byte takes on the line at its rate (0: no wire timing).
int64_t wire_byte_us(const device& d) {
  return d.opt->wire_time && d.baud > 0 ? WIRE_BYTE_BITS * 1000000 / d.baud : 0;
}

// Queues `count` bytes, not before `due`. With --wire-time they go after
// everything received so far has crossed the line and after the bytes before
// them, and each piece shows when its last byte has crossed.
bool out_push(device& d, const uint8_t* bytes, int count, int64_t due) {
  const int64_t byte_us = wire_byte_us(d);
  if (byte_us == 0) return out_push_one(d, bytes, count, due);
  out_state& o = d.out;
  int64_t t = due * 1000;
  if (t < d.now * 1000) t = d.now * 1000;
  if (t < o.wire_in_free_us) t = o.wire_in_free_us;
  if (t < o.wire_out_free_us) t = o.wire_out_free_us;
  for (int off = 0; off < count; off += WIRE_PIECE) {
    const int len = count - off < WIRE_PIECE ? count - off : WIRE_PIECE;
    t += len * byte_us;
    if (!out_push_one(d, bytes + off, len, (t + 999) / 1000)) return false;
  }
  o.wire_out_free_us = t;
  return true;
}

int64_t next_piece_due(device& d) {
  if (d.out.piece_last_due < 0) return d.now;
  const int64_t t = d.out.piece_last_due + d.opt->pieces_ms;
  return t > d.now ? t : d.now;
}

bool sending(const device& d) { return !d.opt->silent && !d.gone; }

}  // namespace

size_t format_log_line(char* line, size_t cap, const char* fmt, va_list ap) {
  if (cap < 2) return 0;
  const int n = std::vsnprintf(line, cap - 1, fmt, ap);
  if (n < 0) return 0;
  const size_t len = static_cast<size_t>(n) > cap - 2 ? cap - 2 : static_cast<size_t>(n);
  line[len] = '\n';
  return len + 1;
}

void log_line(device& d, const char* fmt, ...) {
  effects_state& fx = d.fx;
  char line[LOG_LINE_MAX];
  va_list ap;
  va_start(ap, fmt);
  const size_t n = format_log_line(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n == 0) return;
  if (fx.log_len + static_cast<size_t>(n) > LOG_CAP) {
    fx.log_lost++;
    return;
  }
  std::memcpy(fx.log + fx.log_len, line, static_cast<size_t>(n));
  fx.log_len += static_cast<size_t>(n);
}

void send(device& d, const uint8_t* bytes, int count) {
  if (sending(d)) out_push(d, bytes, count, d.now);
}

void send_late(device& d, const uint8_t* bytes, int count, int delay_ms) {
  if (!sending(d)) return;
  int64_t from = d.now;
  if (wire_byte_us(d) > 0 && (d.out.wire_in_free_us + 999) / 1000 > from) from = (d.out.wire_in_free_us + 999) / 1000;
  out_push(d, bytes, count, from + delay_ms);
}

void wire_byte_in(device& d) {
  const int64_t byte_us = wire_byte_us(d);
  if (byte_us == 0) return;
  if (d.out.wire_in_free_us < d.now * 1000) d.out.wire_in_free_us = d.now * 1000;
  d.out.wire_in_free_us += byte_us;
}

void send_text(device& d, const char* text, int count) {
  if (!sending(d) || count <= 0) return;
  // Noise: a NUL after every third character, and two bytes above 0x7F in
  // front of every CR, so that words stay whole for a reader that drops NULs.
  uint8_t buf[3 * 1024];
  int n = 0;
  for (int i = 0; i < count && n < static_cast<int>(sizeof buf) - 4; i++) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    if (d.opt->noise && c == '\r') {
      buf[n++] = 0xA9;
      buf[n++] = 0xFF;
    }
    buf[n++] = c;
    if (d.opt->noise && i % 3 == 2) buf[n++] = 0x00;
  }
  if (d.opt->pieces_ms <= 0) {
    out_push(d, buf, n, d.now);
    return;
  }
  for (int off = 0; off < n; off += PIECE_SIZE) {
    const int len = n - off < PIECE_SIZE ? n - off : PIECE_SIZE;
    d.out.piece_last_due = next_piece_due(d);
    out_push(d, buf + off, len, d.out.piece_last_due);
  }
}

void send_filler(device& d, int count) {
  if (!sending(d) || count <= 0) return;
  uint8_t blanks[1024];
  if (count > static_cast<int>(sizeof blanks)) count = static_cast<int>(sizeof blanks);
  std::memset(blanks, ' ', static_cast<size_t>(count));
  int64_t due = d.now;
  if (d.opt->pieces_ms > 0) due = d.out.piece_last_due = next_piece_due(d);
  out_push(d, blanks, count, due);
}

void out_mark(device& d) { d.out.nonnul = 0; }

void quick_pad(device& d, int size) {
  if (!d.opt->quick) return;
  const long left = size - d.out.nonnul;
  if (left > 0) send_filler(d, static_cast<int>(left));
}

void keep_add(device& d, keep_file file, keep_op op, const void* data, size_t size) {
  effects_state& fx = d.fx;
  if (!d.opt->keep_files) return;
  if (fx.keep_len + size > KEEP_CAP || fx.keep_count >= KEEP_ENTRIES) {
    log_line(d, "%s: %lu bytes not kept (no room)", keep_names[file], static_cast<unsigned long>(size));
    return;
  }
  if (size > 0) std::memcpy(fx.keep_data + fx.keep_len, data, size);
  keep_entry* last = fx.keep_count > 0 ? &fx.keeps[fx.keep_count - 1] : nullptr;
  if (op == KEEP_APPEND && last != nullptr && last->file == file && last->op == KEEP_APPEND &&
      last->offset + last->size == fx.keep_len) {
    last->size += static_cast<uint32_t>(size);
  } else {
    fx.keeps[fx.keep_count++] = {file, op, static_cast<uint32_t>(fx.keep_len), static_cast<uint32_t>(size)};
  }
  fx.keep_len += size;
}

bool effects_room(const device& d) {
  return d.fx.log_len + LOG_ROOM <= LOG_CAP && d.fx.keep_len + KEEP_ROOM <= KEEP_CAP &&
         d.fx.keep_count + KEEP_ENTRIES_ROOM <= KEEP_ENTRIES;
}

// ---------------------------------------------------------------- for the caller

size_t output(const device& d, int64_t now, const uint8_t** bytes) {
  const out_state& o = d.out;
  if (o.seg_head == o.seg_tail) return 0;
  const out_seg& s = o.segs[o.seg_head % SEG_RING];
  if (s.due_ms > now) return 0;
  const size_t start = (o.head + o.seg_done) % OUT_RING;
  size_t chunk = s.len - o.seg_done;
  if (start + chunk > OUT_RING) chunk = OUT_RING - start;  // wraps: two runs
  *bytes = o.ring + start;
  return chunk;
}

void output_taken(device& d, size_t count) {
  out_state& o = d.out;
  while (count > 0 && o.seg_head != o.seg_tail) {
    const out_seg& s = o.segs[o.seg_head % SEG_RING];
    const size_t left = s.len - o.seg_done;
    const size_t take = count < left ? count : left;
    o.seg_done += static_cast<uint32_t>(take);
    count -= take;
    if (o.seg_done == s.len) {
      o.head += s.len;
      o.seg_head++;
      o.seg_done = 0;
    }
  }
  if (o.seg_head == o.seg_tail) o.head = o.tail = 0, o.seg_head = o.seg_tail = 0;
}

void output_drop(device& d) {
  out_state& o = d.out;
  o.head = o.tail = 0;
  o.seg_head = o.seg_tail = 0;
  o.seg_done = 0;
  o.piece_last_due = -1;
  o.wire_out_free_us = 0;
}

size_t take_log(device& d, const char** text) {
  effects_state& fx = d.fx;
  if (fx.log_lost > 0 && fx.log_len + 80 <= LOG_CAP) {
    const long lost = fx.log_lost;
    fx.log_lost = 0;
    log_line(d, "%ld log lines lost (no room between two collections)", lost);
  }
  *text = fx.log;
  return fx.log_len;
}

void log_taken(device& d) { d.fx.log_len = 0; }

bool take_keep(const device& d, size_t n, keep* out) {
  if (n >= d.fx.keep_count) return false;
  const keep_entry& e = d.fx.keeps[n];
  *out = {static_cast<keep_file>(e.file), static_cast<keep_op>(e.op), d.fx.keep_data + e.offset, e.size};
  return true;
}

void keeps_taken(device& d) {
  d.fx.keep_len = 0;
  d.fx.keep_count = 0;
}

}  // namespace simdev
