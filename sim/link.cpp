// The link of tovsim: the pseudo-terminal whose far end tovhost opens.
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
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "frontend.h"

namespace {

// Without inotify, while the master hangs up, look for a reopen this often.
constexpr int LINK_HUP_RECHECK_BLIND_MS = 20;
constexpr int LINK_READ_SIZE = 4096;       // one read of the master
constexpr int LINK_STEPS_PER_WAKEUP = 64;  // reads and events; then timers get their turn
constexpr size_t EVENT_RING = 1024;        // opens and closes read from inotify, not yet applied
constexpr size_t EVENT_READ_SIZE = 4096;   // one read of inotify

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
simdev::device* device = nullptr;  // the device behind the port
void (*after_call)() = nullptr;    // carries out what the device did after each call into it

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

// The rate the far end has set on the port (0 when unknown).
long port_baud() {
  if (master_fd < 0) return 0;
  termios t{};
  if (tcgetattr(master_fd, &t) != 0) return 0;
  return speed_to_baud(cfgetospeed(&t));
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
  simdev::port_opened(*device, sim_now_ms());
  after_call();
}

void link_closed() {
  slave_open = false;
  // What waits for its turn is lost with the far end, unless the far end is
  // back already: then it may answer bytes written after the reopen that
  // came in the same read as those before the close.
  if (!open_queued(false)) simdev::output_drop(*device);
  // Opened and closed without a byte: the rate it was set to never showed.
  if (rate_untold) sim_log("port opened");
  rate_untold = false;
  simdev::port_closed(*device, sim_now_ms());
  after_call();
}

void link_status(uint8_t status) {
  if ((status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0) {
    simdev::port_purged(*device, sim_now_ms(), (status & TIOCPKT_FLUSHWRITE) != 0);
    after_call();
  }
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
    sim_log("port opened at %ld baud", port_baud());
  }
  // The rate as the far end has it now: the bytes of a close, a reopen at
  // another rate and what followed may come in one read.
  simdev::set_rate(*device, port_baud());
  // The device takes as much as its effects have room for; they are
  // collected and it takes the rest.
  for (size_t at = 0; at < static_cast<size_t>(count) && master_fd >= 0;) {
    at += simdev::input(*device, sim_now_ms(), bytes + at, static_cast<size_t>(count) - at);
    after_call();
  }
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

}  // namespace

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

int link_create(bool no_inotify, simdev::device* dev, void (*effects)()) {
  device = dev;
  after_call = effects;
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

const char* link_path() { return slave_path; }

bool link_events_pending() { return ev_head != ev_tail; }

void link_flush() {
  simdev::device& d = *device;
  if (master_fd < 0) {
    simdev::output_drop(d);
    return;
  }
  const int64_t now = sim_now_ms();
  const uint8_t* bytes = nullptr;
  for (size_t n; (n = simdev::output(d, now, &bytes)) > 0;) {
    const ssize_t w = write(master_fd, bytes, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;  // poll() tells when there is room again
      // EIO: the far end is closed; what was meant for it is lost.
      simdev::output_drop(d);
      return;
    }
    simdev::output_taken(d, static_cast<size_t>(w));
  }
}

int link_poll_fds(pollfd* fds, int cap, int* timeout_ms) {
  int n = 0;
  if (hup_wait && master_fd >= 0 && ino_fd < 0 && (*timeout_ms < 0 || *timeout_ms > LINK_HUP_RECHECK_BLIND_MS))
    *timeout_ms = LINK_HUP_RECHECK_BLIND_MS;
  if (link_events_pending()) *timeout_ms = 0;
  if (ino_fd >= 0 && n < cap) fds[n++] = {ino_fd, POLLIN, 0};
  if (master_fd >= 0 && !hup_wait && n < cap) {
    const uint8_t* bytes = nullptr;
    const bool due = simdev::output(*device, sim_now_ms(), &bytes) > 0;
    fds[n++] = {master_fd, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0};
  }
  return n;
}

void link_after_poll(const pollfd* fds, int count) {
  for (int i = 0; i < count; i++)
    if (fds[i].fd == master_fd && master_fd >= 0 && (fds[i].revents & POLLOUT) != 0) link_flush();
  if (hup_wait && master_fd >= 0 && ino_fd < 0) {
    // Without inotify a reopen shows only as the end of the hang-up.
    pollfd h{master_fd, POLLIN, 0};
    if (poll(&h, 1, 0) >= 0 && (h.revents & POLLHUP) == 0) {
      hup_wait = false;
      if (!slave_open) link_opened();
    }
  }
}

void link_vanish() {
  if (master_fd < 0) return;
  simdev::output_drop(*device);
  close(master_fd);
  master_fd = -1;
  if (ino_fd >= 0) close(ino_fd);
  ino_fd = -1;
  ev_head = ev_tail = 0;
  held_status = 0;
  slave_open = false;
  rate_untold = false;
}

void link_close() {
  if (master_fd >= 0) close(master_fd);
  master_fd = -1;
}
