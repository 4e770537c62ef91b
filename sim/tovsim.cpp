// tovsim: a Tovarelink device behind a pseudo-terminal, for trying tovhost
// without hardware. It prints the path of the port on the first line of
// standard output and serves until SIGTERM/SIGINT; later lines tell the
// operator what the device received.
//
// The link: the master side of the pseudo-terminal stays open for the whole
// run; tovhost opens and closes the far end (the slave) as it likes. How
// Linux shows that to the master:
//   - before the far end is opened for the first time the master shows
//     nothing (no hang-up; bytes written are kept for the first opener);
//   - after the far end is closed the master still reads everything the far
//     end wrote, then read() fails with EIO and poll() reports POLLHUP until
//     the far end is opened again (so the master must then be left out of
//     poll()); a purge of the far end's input queue (tcflush TCIFLUSH) does
//     not touch what it wrote;
//   - a close quickly followed by an open leaves no trace in poll() at all.
// So opens and closes are taken from inotify on the slave's path (IN_OPEN,
// IN_CLOSE_*), which queues every one of them. The two queues (inotify and
// the master's bytes) carry no common order; link_service() puts them in
// order: while the far end counts as closed, a queued open comes before any
// byte; while it counts as open, a queued close waits until the master has
// given every byte it holds. Without inotify (--no-inotify) the hang-up of
// the master is all there is.
//
// The master runs in packet mode (TIOCPKT): a purge of the far end's queues
// (tcflush) arrives as a status byte. Purging the far end's output also
// throws away whatever the master had not read yet, and the status is
// returned before any byte still to come: it marks the start of a session
// in order with the bytes, and tells the firmware loader that tovhost has
// reopened the port and is ready for its prompt.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim.h"

sim_options_t sim_opt;

namespace {

constexpr const char* default_version_text = "Tovarelink APRS Digipeater Version 2.7";

// Without inotify, while the master hangs up, look for a reopen this often.
constexpr int LINK_HUP_RECHECK_BLIND_MS = 20;
constexpr int LINK_FINAL_WAKEUPS = 1000;   // at most this many link turns after a signal
constexpr int LINK_READ_SIZE = 4096;       // one read of the master
constexpr int LINK_STEPS_PER_WAKEUP = 64;  // reads and events; then timers get their turn
constexpr size_t EVENT_RING = 1024;        // opens and closes read from inotify, not yet applied
constexpr size_t EVENT_READ_SIZE = 4096;   // one read of inotify
constexpr int LOG_LINE_MAX = 2048;
constexpr int PIECE_SIZE = 8;              // --pieces: bytes per piece

// ---------------------------------------------------------------- output queue

constexpr size_t OUT_RING = 1u << 16;
constexpr size_t SEG_RING = 4096;

struct out_seg {
  uint32_t len;
  int64_t due_ms;  // not before this instant
};

uint8_t out_ring[OUT_RING];
size_t out_head = 0, out_tail = 0;  // byte counters (modulo OUT_RING)
out_seg out_segs[SEG_RING];
size_t seg_head = 0, seg_tail = 0;
uint32_t seg_done = 0;            // bytes of the head segment already written
int64_t piece_last_due = -1;      // due time of the last piece scheduled
long out_nonnul = 0;              // non-NUL bytes queued since sim_out_mark
bool out_overflow_told = false;

// ---------------------------------------------------------------- link state

int master_fd = -1;
char slave_path[128];
bool packet_mode = false;
int ino_fd = -1;
int open_count = 0;        // opens of the far end minus closes, from inotify
bool slave_open = false;   // the far end is open (as far as we know)
bool hup_wait = false;     // the master hangs up: leave it out of poll()
bool rate_untold = false;  // opened, and no byte received yet: the rate is not known yet

enum link_event : uint8_t { EV_OPEN, EV_CLOSE, EV_LOST };
link_event ev_ring[EVENT_RING];
size_t ev_head = 0, ev_tail = 0;
uint8_t held_status = 0;  // a purge seen before the reopen it followed was applied
bool xon_told = false;
int sig_pipe[2] = {-1, -1};
bool log_nonblocking = false;
bool no_inotify = false;  // --no-inotify: hang-ups of the master only (diagnostic)
long log_dropped = 0;

int64_t exit_at_ms = -1;

void on_signal(int) {
  const char c = 1;
  const ssize_t r = write(sig_pipe[1], &c, 1);
  (void)r;
}

// ---------------------------------------------------------------- output

bool out_push(const uint8_t* bytes, int count, int64_t due) {
  if (count <= 0) return true;
  const size_t used = out_tail - out_head;
  if (used + static_cast<size_t>(count) > OUT_RING || seg_tail - seg_head >= SEG_RING) {
    if (!out_overflow_told) sim_log("output queue full: the far end is not reading; bytes dropped");
    out_overflow_told = true;
    return false;
  }
  for (int i = 0; i < count; i++) out_ring[(out_tail + static_cast<size_t>(i)) % OUT_RING] = bytes[i];
  out_tail += static_cast<size_t>(count);
  out_segs[seg_tail % SEG_RING] = {static_cast<uint32_t>(count), due};
  seg_tail++;
  for (int i = 0; i < count; i++)
    if (bytes[i] != 0) out_nonnul++;
  return true;
}

void out_clear() {
  out_head = out_tail = 0;
  seg_head = seg_tail = 0;
  seg_done = 0;
  piece_last_due = -1;
}

// Writes every segment that is due, as far as the port takes it.
void out_flush() {
  if (master_fd < 0) {
    out_clear();
    return;
  }
  const int64_t now = sim_now_ms();
  while (seg_head != seg_tail) {
    out_seg& s = out_segs[seg_head % SEG_RING];
    if (s.due_ms > now) return;
    const size_t start = (out_head + seg_done) % OUT_RING;
    size_t chunk = s.len - seg_done;
    if (start + chunk > OUT_RING) chunk = OUT_RING - start;  // wraps: two writes
    const ssize_t w = write(master_fd, out_ring + start, chunk);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;  // poll() tells when there is room again
      // EIO: the far end is closed; what was meant for it is lost.
      out_clear();
      return;
    }
    seg_done += static_cast<uint32_t>(w);
    if (seg_done == s.len) {
      out_head += s.len;
      seg_head++;
      seg_done = 0;
    }
  }
  if (seg_head == seg_tail) out_head = out_tail = 0, seg_head = seg_tail = 0;
}

bool out_waiting_due() {
  return seg_head != seg_tail && out_segs[seg_head % SEG_RING].due_ms <= sim_now_ms();
}

int64_t out_next_due() {
  if (seg_head == seg_tail) return -1;
  return out_segs[seg_head % SEG_RING].due_ms;
}

int64_t next_piece_due() {
  const int64_t now = sim_now_ms();
  if (piece_last_due < 0) return now;
  const int64_t t = piece_last_due + sim_opt.pieces_ms;
  return t > now ? t : now;
}

// ---------------------------------------------------------------- the far end

long speed_to_baud(speed_t s) {
  struct row {
    speed_t code;
    long baud;
  };
  static constexpr row rows[] = {{B50, 50},       {B75, 75},       {B110, 110},     {B134, 134},
                                 {B150, 150},     {B200, 200},     {B300, 300},     {B600, 600},
                                 {B1200, 1200},   {B1800, 1800},   {B2400, 2400},   {B4800, 4800},
                                 {B9600, 9600},   {B19200, 19200}, {B38400, 38400}, {B57600, 57600},
                                 {B115200, 115200}, {B230400, 230400}};
  for (const row& r : rows)
    if (r.code == s) return r.baud;
  return 0;
}

bool event_pending() { return ev_head != ev_tail; }

// An open (after a close, when `after_close`) is waiting in the event ring.
bool open_queued(bool after_close) {
  bool closed = !after_close;
  for (size_t i = ev_head; i != ev_tail; i++) {
    const link_event e = ev_ring[i % EVENT_RING];
    if (e == EV_CLOSE) closed = true;
    if (e == EV_OPEN && closed) return true;
  }
  return false;
}

void link_opened() {
  slave_open = true;
  hup_wait = false;
  rate_untold = true;
  dev_opened();
}

void link_closed() {
  slave_open = false;
  // What waits for its turn is lost with the far end, unless the far end is
  // back already: then it may answer bytes written after the reopen that
  // came in the same read as those before the close.
  if (!open_queued(false)) out_clear();
  // Opened and closed without a byte: the rate it was set to never showed.
  if (rate_untold) sim_log("port opened");
  rate_untold = false;
  dev_closed();
}

void link_status(uint8_t status) {
  if ((status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0) dev_flushed((status & TIOCPKT_FLUSHWRITE) != 0);
  if ((status & (TIOCPKT_STOP | TIOCPKT_DOSTOP)) != 0 && !xon_told) {
    xon_told = true;
    sim_log("warning: the far end has XON/XOFF flow control on; device bytes 0x11 and 0x13 will not reach it");
  }
}

void link_data(const uint8_t* bytes, int count) {
  if (rate_untold) {
    // The far end sets its rate after the open and before it writes: now it
    // is known.
    rate_untold = false;
    sim_log("port opened at %ld baud", sim_port_baud());
  }
  rec_received(bytes, count);
  dev_input(bytes, count);
}

void event_push(link_event e) {
  ev_ring[ev_tail % EVENT_RING] = e;
  ev_tail++;
}

// Moves what inotify has queued into the event ring, in order (as far as
// the ring has room; the rest waits in the kernel's queue).
void link_fetch_events() {
  alignas(inotify_event) static char buf[EVENT_READ_SIZE];
  while (ino_fd >= 0 && EVENT_RING - (ev_tail - ev_head) >= EVENT_READ_SIZE / sizeof(inotify_event)) {
    const ssize_t n = read(ino_fd, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event ev;
      std::memcpy(&ev, buf + off, sizeof ev);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
      if ((ev.mask & IN_Q_OVERFLOW) != 0) event_push(EV_LOST);
      if ((ev.mask & IN_OPEN) != 0) event_push(EV_OPEN);
      if ((ev.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) event_push(EV_CLOSE);
      if ((ev.mask & IN_IGNORED) != 0) {
        // The watch is gone (the port's path was removed): hang-ups only from now on.
        close(ino_fd);
        ino_fd = -1;
        return;
      }
    }
  }
}

void link_apply(link_event e) {
  switch (e) {
    case EV_OPEN:
      open_count++;
      if (!slave_open) link_opened();
      break;
    case EV_CLOSE:
      if (open_count > 0) open_count--;
      if (open_count == 0 && slave_open) link_closed();
      break;
    case EV_LOST: {
      // Events were lost: start again from what the master shows now.
      pollfd p{master_fd, POLLIN, 0};
      poll(&p, 1, 0);
      open_count = (p.revents & POLLHUP) != 0 ? 0 : 1;
      if (open_count == 0 && slave_open) link_closed();
      if (open_count == 1 && !slave_open) link_opened();
      break;
    }
  }
  if (held_status != 0 && slave_open && e != EV_CLOSE) {
    const uint8_t status = held_status;
    held_status = 0;
    link_status(status);
  }
}

enum read_result { READ_GOT, READ_EMPTY, READ_HUP };

// One read of the master: bytes (or a status) handed on, nothing there yet,
// or the far end closed.
read_result link_read_once() {
  static uint8_t buf[LINK_READ_SIZE];
  for (;;) {
    const ssize_t n = read(master_fd, buf, sizeof buf);
    if (n > 0) {
      if (!slave_open && ino_fd < 0) link_opened();
      if (!packet_mode) {
        link_data(buf, static_cast<int>(n));
      } else if (buf[0] == TIOCPKT_DATA) {
        if (n > 1) link_data(buf + 1, static_cast<int>(n - 1));
      } else {
        // A status overtakes the bytes still unread. When the port has been
        // closed and opened again meanwhile, the purge is the reopened
        // port's (tovhost purges its input right after every open): it waits
        // for that open.
        link_fetch_events();
        if (slave_open && open_queued(true))
          held_status = static_cast<uint8_t>(held_status | buf[0]);
        else
          link_status(buf[0]);
      }
      return READ_GOT;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return READ_EMPTY;
    return READ_HUP;  // EIO: the far end is closed and everything it wrote has been read
  }
}

// Serves the far end: its bytes and its opens and closes, in the order they
// happened. The two queues carry no common order, but two things are sure:
//   - bytes are written only while the port is open, so while the far end
//     counts as closed an open waiting in the event queue is taken before
//     any byte read;
//   - bytes written before a close are still readable after it (a purge of
//     the far end's input does not touch them), so a queued close is taken
//     only once the master has nothing more to give (EAGAIN or EIO): every
//     byte written before the close is handled before the device hears of it.
// What stays open: when the far end closes, reopens and writes again before
// the master is read at all (the line feed of a baud change follows the
// reopen within microseconds), the bytes of both sessions come in one read.
// They are all handled before the close; nothing is lost, and only the log
// shows the close after them.
// Returns true when it stopped with work left (its share of one wakeup used up).
bool link_service() {
  for (int i = 0; i < LINK_STEPS_PER_WAKEUP; i++) {
    if (master_fd < 0) return false;  // the device vanished
    link_fetch_events();
    if (!slave_open && event_pending()) {
      link_apply(ev_ring[ev_head++ % EVENT_RING]);
      continue;
    }
    if (!hup_wait) {
      const read_result r = link_read_once();
      if (r == READ_GOT) continue;
      if (r == READ_HUP) {
        hup_wait = true;
        if (slave_open && ino_fd < 0) link_closed();
      }
    }
    if (!event_pending()) return false;
    link_apply(ev_ring[ev_head++ % EVENT_RING]);
  }
  return true;
}

int link_create() {
  master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd < 0) {
    std::fprintf(stderr, "tovsim: posix_openpt: %s\n", std::strerror(errno));
    return -1;
  }
  if (grantpt(master_fd) != 0 || unlockpt(master_fd) != 0) {
    std::fprintf(stderr, "tovsim: grantpt/unlockpt: %s\n", std::strerror(errno));
    return -2;
  }
  const char* name = ptsname(master_fd);
  if (name == nullptr || std::strlen(name) >= sizeof slave_path) {
    std::fprintf(stderr, "tovsim: ptsname failed\n");
    return -3;
  }
  std::snprintf(slave_path, sizeof slave_path, "%s", name);
  // Raw on the master sets the far end's line discipline: no echo, no
  // translation, until tovhost sets its own.
  termios t{};
  if (tcgetattr(master_fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master_fd, TCSANOW, &t);
  }
  const int flags = fcntl(master_fd, F_GETFL);
  fcntl(master_fd, F_SETFL, flags | O_NONBLOCK);
  int one = 1;
  packet_mode = ioctl(master_fd, TIOCPKT, &one) == 0;
  ino_fd = no_inotify ? -1 : inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (ino_fd >= 0 && inotify_add_watch(ino_fd, slave_path, IN_OPEN | IN_CLOSE) < 0) {
    close(ino_fd);
    ino_fd = -1;
  }
  if (ino_fd < 0 && !no_inotify)
    std::fprintf(stderr, "tovsim: warning: no inotify on %s; a quick close and reopen may go unnoticed\n",
                 slave_path);
  return 0;
}

// ---------------------------------------------------------------- options

void usage(FILE* to) {
  std::fprintf(to,
               "usage: tovsim [options]\n"
               "Simulates a Tovarelink digipeater on a pseudo-terminal. The first line of output\n"
               "is the port to give tovhost (connect /dev/pts/N); later lines say what the device\n"
               "received. Stops on SIGTERM or Ctrl-C.\n"
               "\n"
               "  --quick                  pad replies to the size tovhost reads (no waiting)\n"
               "  --save-dir DIR           keep conf.bin, rules.bin, firmware.hex, packets.log and\n"
               "                           received.bin (every byte received) in DIR\n"
               "  --version-text TEXT      name and version the device reports\n"
               "  --silent                 never answer anything\n"
               "  --garbage                answer the version request with garbage\n"
               "  --no-prompt-after-baud   no prompt after a baud change\n"
               "  --nak N:K                NAK download packet N K times, then ACK it\n"
               "  --answer N:BYTE          answer download packet N with BYTE (hex)\n"
               "  --silent-packet N        answer no download packet from N on\n"
               "  --no-serialtest-text     answer \"serialtest\" with other text\n"
               "  --echo-wrong N:BYTE      echo BYTE (hex) instead of the Nth echo byte\n"
               "  --echo-stop N            stop echoing from the Nth echo byte on\n"
               "  --fw-silent              firmware loader sends no ENQ\n"
               "  --fw-no-sync-ack         firmware loader does not ACK the SYN\n"
               "  --fw-no-id-ack           firmware loader does not ACK the identifier\n"
               "  --fw-answers LIST        answers to successive record lines (hex bytes or none)\n"
               "  --vanish-after-packets N close the port after download packet N\n"
               "  --vanish-after-echo N    close the port after N echo bytes\n"
               "  --vanish-after-records N close the port after firmware record line N\n"
               "  --flood-drain MS         on the interrupt character, send junk for MS ms first\n"
               "  --flood-open MS          when the port is opened, send junk for MS ms\n"
               "  --junk-until-interrupt   from each open, send junk until the interrupt character\n"
               "  --junk-forever           send junk while the port is open; never listen\n"
               "  --noise                  NUL bytes and bytes above 0x7F in text replies\n"
               "  --pieces MS              text replies in pieces of %d bytes, MS ms apart\n"
               "  --exit-after SEC         exit after SEC seconds\n"
               "  --no-inotify             see opens and closes by hang-ups only (diagnostic)\n",
               PIECE_SIZE);
}

bool parse_long(const char* s, long lo, long hi, long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// One byte in hex: "41", "0x41", "6".
bool parse_byte(const char* s, int* out) {
  if (s == nullptr) return false;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
  const size_t n = std::strlen(s);
  if (n < 1 || n > 2) return false;
  char* end = nullptr;
  const long v = std::strtol(s, &end, 16);
  if (*end != '\0' || v < 0 || v > 255) return false;
  *out = static_cast<int>(v);
  return true;
}

// "N:X" with X a count (decimal) or a byte (hex).
bool parse_pair(const char* s, bool hex_value, sim_pair* out) {
  const char* colon = std::strchr(s, ':');
  if (colon == nullptr || colon == s || static_cast<size_t>(colon - s) >= 24) return false;
  char num[24];
  std::memcpy(num, s, static_cast<size_t>(colon - s));
  num[colon - s] = '\0';
  long n = 0;
  if (!parse_long(num, 1, 1000000000L, &n)) return false;
  if (hex_value) {
    int b = 0;
    if (!parse_byte(colon + 1, &b)) return false;
    *out = {n, b};
  } else {
    long k = 0;
    if (!parse_long(colon + 1, 0, 1000000L, &k)) return false;
    *out = {n, static_cast<int>(k)};
  }
  return true;
}

bool parse_fw_answers(const char* s) {
  char item[16];
  while (*s != '\0') {
    const char* comma = std::strchr(s, ',');
    const size_t len = comma != nullptr ? static_cast<size_t>(comma - s) : std::strlen(s);
    if (len == 0 || len >= sizeof item) return false;
    std::memcpy(item, s, len);
    item[len] = '\0';
    if (sim_opt.fw_answer_count >= SIM_FW_ANSWERS_MAX) return false;
    int b = 0;
    if (strcasecmp(item, "none") == 0)
      b = SIM_FW_NONE;
    else if (!parse_byte(item, &b))
      return false;
    sim_opt.fw_answers[sim_opt.fw_answer_count++] = b;
    s += len;
    if (*s == ',') s++;
  }
  return true;
}

// 0: serve; 1: done (help printed); -1: bad command line.
int parse_options(int argc, char** argv) {
  sim_opt.version_text = default_version_text;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    // "--name=value" is taken as "--name value".
    char name[40];
    const char* inline_value = nullptr;
    const char* eq = std::strchr(a, '=');
    if (a[0] == '-' && a[1] == '-' && eq != nullptr && static_cast<size_t>(eq - a) < sizeof name) {
      std::memcpy(name, a, static_cast<size_t>(eq - a));
      name[eq - a] = '\0';
      inline_value = eq + 1;
      a = name;
    }
    auto value = [&]() -> const char* {
      if (inline_value != nullptr) return inline_value;
      if (i + 1 < argc) return argv[++i];
      return nullptr;
    };
    auto flag = [&](const char* opt, bool* field) {
      if (std::strcmp(a, opt) != 0) return false;
      *field = true;
      return true;
    };
    auto bad = [&](const char* what) {
      std::fprintf(stderr, "tovsim: bad value for %s: %s\n", a, what != nullptr ? what : "(missing)");
      return -1;
    };
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      usage(stdout);
      return 1;
    }
    if (flag("--quick", &sim_opt.quick) || flag("--silent", &sim_opt.silent) ||
        flag("--garbage", &sim_opt.garbage) || flag("--no-prompt-after-baud", &sim_opt.no_prompt_after_baud) ||
        flag("--no-serialtest-text", &sim_opt.no_serialtest_text) || flag("--noise", &sim_opt.noise) ||
        flag("--fw-silent", &sim_opt.fw_silent) || flag("--fw-no-sync-ack", &sim_opt.fw_no_sync_ack) ||
        flag("--fw-no-id-ack", &sim_opt.fw_no_id_ack) || flag("--no-inotify", &no_inotify))
      continue;
    if (flag("--junk-until-interrupt", &sim_opt.junk_until_interrupt) ||
        flag("--junk-forever", &sim_opt.junk_forever))
      continue;
    if (std::strcmp(a, "--save-dir") == 0) {
      sim_opt.save_dir = value();
      if (sim_opt.save_dir == nullptr || *sim_opt.save_dir == '\0') return bad(sim_opt.save_dir);
    } else if (std::strcmp(a, "--version-text") == 0) {
      sim_opt.version_text = value();
      if (sim_opt.version_text == nullptr) return bad(nullptr);
    } else if (std::strcmp(a, "--nak") == 0 || std::strcmp(a, "--answer") == 0 ||
               std::strcmp(a, "--echo-wrong") == 0) {
      const char* v = value();
      const bool is_nak = std::strcmp(a, "--nak") == 0;
      const bool is_answer = std::strcmp(a, "--answer") == 0;
      sim_pair* arr = is_nak ? sim_opt.nak : is_answer ? sim_opt.answer : sim_opt.echo_wrong;
      int* cnt = is_nak ? &sim_opt.nak_count : is_answer ? &sim_opt.answer_count : &sim_opt.echo_wrong_count;
      if (v == nullptr || *cnt >= SIM_OPT_MAX || !parse_pair(v, !is_nak, &arr[*cnt])) return bad(v);
      (*cnt)++;
    } else if (std::strcmp(a, "--silent-packet") == 0 || std::strcmp(a, "--echo-stop") == 0 ||
               std::strcmp(a, "--vanish-after-packets") == 0 || std::strcmp(a, "--vanish-after-echo") == 0) {
      const char* v = value();
      long n = 0;
      if (!parse_long(v, 1, 1000000000L, &n)) return bad(v);
      if (std::strcmp(a, "--silent-packet") == 0) sim_opt.silent_packet = n;
      if (std::strcmp(a, "--echo-stop") == 0) sim_opt.echo_stop = n;
      if (std::strcmp(a, "--vanish-after-packets") == 0) sim_opt.vanish_after_packets = n;
      if (std::strcmp(a, "--vanish-after-echo") == 0) sim_opt.vanish_after_echo = n;
    } else if (std::strcmp(a, "--vanish-after-records") == 0) {
      const char* v = value();
      if (!parse_long(v, 1, 1000000000L, &sim_opt.vanish_after_records)) return bad(v);
    } else if (std::strcmp(a, "--flood-drain") == 0 || std::strcmp(a, "--flood-open") == 0 ||
               std::strcmp(a, "--pieces") == 0) {
      const char* v = value();
      long ms = 0;
      if (!parse_long(v, 0, 600000L, &ms)) return bad(v);
      if (std::strcmp(a, "--flood-drain") == 0) sim_opt.flood_drain_ms = static_cast<int>(ms);
      if (std::strcmp(a, "--flood-open") == 0) sim_opt.flood_open_ms = static_cast<int>(ms);
      if (std::strcmp(a, "--pieces") == 0) sim_opt.pieces_ms = static_cast<int>(ms);
    } else if (std::strcmp(a, "--fw-answers") == 0) {
      const char* v = value();
      if (v == nullptr || !parse_fw_answers(v)) return bad(v);
    } else if (std::strcmp(a, "--exit-after") == 0) {
      const char* v = value();
      char* end = nullptr;
      const double s = v != nullptr ? std::strtod(v, &end) : 0.0;
      if (v == nullptr || end == v || *end != '\0' || !(s > 0.0) || s > 1.0e6) return bad(v);
      sim_opt.exit_after_s = s;
    } else {
      std::fprintf(stderr, "tovsim: unknown option %s (try --help)\n", argv[i]);
      return -1;
    }
  }
  return 0;
}

// The earlier of two instants, -1 standing for "never".
int64_t earliest(int64_t a, int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

void write_all_blocking(int fd, const char* s, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, s, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    s += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

// ---------------------------------------------------------------- shared helpers

int64_t sim_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sim_log(const char* fmt, ...) {
  char line[LOG_LINE_MAX];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  if (!log_nonblocking) {
    write_all_blocking(1, line, static_cast<size_t>(n));
    return;
  }
  // A pipe: lines up to PIPE_BUF go in whole or not at all.
  const ssize_t w = write(1, line, static_cast<size_t>(n));
  if (w < 0) log_dropped++;
}

void sim_send(const uint8_t* bytes, int count) {
  if (sim_opt.silent || master_fd < 0 || count <= 0) return;
  out_push(bytes, count, 0);
  out_flush();
}

void sim_send_text(const char* text, int count) {
  if (sim_opt.silent || master_fd < 0 || count <= 0) return;
  // Noise: a NUL after every third character, and two bytes above 0x7F in
  // front of every CR, so that words stay whole for a reader that drops NULs.
  static uint8_t buf[3 * 4096];
  int n = 0;
  for (int i = 0; i < count && n < static_cast<int>(sizeof buf) - 4; i++) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    if (sim_opt.noise && c == '\r') {
      buf[n++] = 0xA9;
      buf[n++] = 0xFF;
    }
    buf[n++] = c;
    if (sim_opt.noise && i % 3 == 2) buf[n++] = 0x00;
  }
  if (sim_opt.pieces_ms <= 0) {
    out_push(buf, n, 0);
  } else {
    for (int off = 0; off < n; off += PIECE_SIZE) {
      const int len = n - off < PIECE_SIZE ? n - off : PIECE_SIZE;
      piece_last_due = next_piece_due();
      out_push(buf + off, len, piece_last_due);
    }
  }
  out_flush();
}

void sim_send_filler(int count) {
  if (sim_opt.silent || master_fd < 0 || count <= 0) return;
  static uint8_t blanks[4096];
  if (blanks[0] != ' ') std::memset(blanks, ' ', sizeof blanks);
  if (count > static_cast<int>(sizeof blanks)) count = static_cast<int>(sizeof blanks);
  int64_t due = 0;
  if (sim_opt.pieces_ms > 0) due = piece_last_due = next_piece_due();
  out_push(blanks, count, due);
  out_flush();
}

void sim_out_mark() { out_nonnul = 0; }

long sim_out_count() { return out_nonnul; }

long sim_port_baud() {
  if (master_fd < 0) return 0;
  termios t{};
  if (tcgetattr(master_fd, &t) != 0) return 0;
  return speed_to_baud(cfgetospeed(&t));
}

void sim_vanish() {
  if (master_fd < 0) return;
  sim_log("device vanished: port closed");
  out_clear();
  close(master_fd);
  master_fd = -1;
  if (ino_fd >= 0) close(ino_fd);
  ino_fd = -1;
  ev_head = ev_tail = 0;
  held_status = 0;
  slave_open = false;
  rate_untold = false;
}

// ---------------------------------------------------------------- main loop

int main(int argc, char** argv) {
  const int p = parse_options(argc, argv);
  if (p != 0) return p > 0 ? 0 : 2;

  signal(SIGPIPE, SIG_IGN);
  if (pipe(sig_pipe) != 0) return 1;
  fcntl(sig_pipe[0], F_SETFL, O_NONBLOCK);
  fcntl(sig_pipe[1], F_SETFL, O_NONBLOCK);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  struct sigaction old_int {};
  sigaction(SIGINT, nullptr, &old_int);
  if (old_int.sa_handler != SIG_IGN) sigaction(SIGINT, &sa, nullptr);

  if (sim_opt.save_dir != nullptr && rec_open_dir(sim_opt.save_dir) != 0) return 1;
  if (link_create() != 0) return 1;
  dev_init();

  // Line 1: the port, alone.
  char first[sizeof slave_path + 2];
  const int n = std::snprintf(first, sizeof first, "%s\n", slave_path);
  write_all_blocking(1, first, static_cast<size_t>(n));

  struct stat st {};
  if (fstat(1, &st) == 0 && S_ISFIFO(st.st_mode)) {
    fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
    log_nonblocking = true;
  }
  if (sim_opt.exit_after_s > 0) exit_at_ms = sim_now_ms() + static_cast<int64_t>(sim_opt.exit_after_s * 1000.0);
  sim_log("Tovarelink simulator on %s (%s)", slave_path, sim_opt.version_text);

  bool link_more = false;  // link_service() left work for the next turn
  bool signalled = false;
  for (;;) {
    int64_t now = sim_now_ms();
    if (exit_at_ms >= 0 && now >= exit_at_ms) {
      sim_log("exit after %g s", sim_opt.exit_after_s);
      break;
    }
    dev_tick(now);
    out_flush();

    const int64_t next = earliest(earliest(dev_next_timer(), out_next_due()), exit_at_ms);
    now = sim_now_ms();
    int timeout = -1;
    if (next >= 0) timeout = next <= now ? 0 : static_cast<int>(next - now > 60000 ? 60000 : next - now);
    if (hup_wait && master_fd >= 0 && ino_fd < 0 && (timeout < 0 || timeout > LINK_HUP_RECHECK_BLIND_MS))
      timeout = LINK_HUP_RECHECK_BLIND_MS;
    if (link_more || event_pending()) timeout = 0;

    pollfd fds[3];
    int nf = 0;
    fds[nf++] = {sig_pipe[0], POLLIN, 0};
    if (ino_fd >= 0) fds[nf++] = {ino_fd, POLLIN, 0};
    const int m_i = master_fd >= 0 && !hup_wait ? nf : -1;
    if (m_i >= 0)
      fds[nf++] = {master_fd, static_cast<short>(POLLIN | (out_waiting_due() ? POLLOUT : 0)), 0};
    const int rc = poll(fds, static_cast<nfds_t>(nf), timeout);
    if (rc < 0 && errno != EINTR) break;
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
      signalled = true;
      break;
    }
    link_more = false;
    if (rc > 0 || event_pending()) link_more = link_service();
    if (m_i >= 0 && rc > 0 && master_fd >= 0 && (fds[m_i].revents & POLLOUT) != 0) out_flush();
    if (hup_wait && master_fd >= 0 && ino_fd < 0) {
      // Without inotify a reopen shows only as the end of the hang-up.
      pollfd h{master_fd, POLLIN, 0};
      if (poll(&h, 1, 0) >= 0 && (h.revents & POLLHUP) == 0) {
        hup_wait = false;
        if (!slave_open) link_opened();
      }
    }
  }
  if (signalled) {
    // What the far end wrote before the signal (its last bytes, its close)
    // is still handled, so that the log tells all the device received.
    for (int i = 0; i < LINK_FINAL_WAKEUPS && link_service(); i++) {
    }
    sim_log("stopped by signal");
  }
  dev_shutdown();
  // The last lines wait for room in the pipe rather than be dropped.
  if (log_nonblocking) {
    fcntl(1, F_SETFL, fcntl(1, F_GETFL) & ~O_NONBLOCK);
    log_nonblocking = false;
  }
  if (log_dropped > 0) sim_log("%ld log lines dropped (standard output full)", log_dropped);
  if (master_fd >= 0) close(master_fd);
  return 0;
}
