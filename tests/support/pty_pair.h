// A pseudo-terminal for the tests that play the device or the operator: the
// test holds the master side, the code under test opens the slave path as
// its port (or runs on it as its terminal).
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

struct pty_pair {
  int master = -1;
  std::string slave_path;
  // The slave side held open by the test (hold_slave), or -1. While it is
  // held, the master reads no hang-up when the code under test closes its
  // port, so the device side can stay in place across a close and reopen.
  int slave = -1;

  bool open_pair(bool hold_slave = false) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      return false;
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
      return false;
    }
    slave_path = name;
    if (hold_slave) {
      slave = open(name, O_RDWR | O_NOCTTY);
      return slave >= 0;
    }
    return true;
  }

  void close_master() {
    if (master >= 0) {
      close(master);
      master = -1;
    }
  }

  // Writes all bytes to the master (what the device sends).
  bool send(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
      const ssize_t n = write(master, p, len);
      if (n <= 0) {
        return false;
      }
      p += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }
  bool send(const std::string& s) { return send(s.data(), s.size()); }

  // Reads from the master until `want` bytes arrived or `ms` passed.
  std::string receive(size_t want, int ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        break;
      }
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) {
        continue;
      }
      char buf[4096];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) {
        break;
      }
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  // What wait_for and drain have read so far, and where the text last waited
  // for ended in it.
  std::string seen;
  size_t mark = 0;

  // Reads until `text` appears after the text last waited for, at most `ms`.
  bool wait_for(const std::string& text, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const size_t at = seen.find(text, mark);
      if (at != std::string::npos) {
        mark = at + text.size();
        return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !read_some(static_cast<int>(left))) {
        return false;
      }
    }
  }

  // Reads what arrives until nothing has come for `ms`.
  void drain(int ms) {
    while (read_some(ms)) {
    }
  }

  // Reads until nothing has come for `gap_ms`; returns what came.
  std::string receive_quiet(int gap_ms) {
    const size_t from = seen.size();
    drain(gap_ms);
    std::string got = seen.substr(from);
    seen.resize(from);
    return got;
  }

  ~pty_pair() {
    close_master();
    if (slave >= 0) {
      close(slave);
    }
  }

 private:
  // Appends what one read gives within `ms` to `seen`; false when nothing came.
  bool read_some(int ms) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) {
      return false;
    }
    char buf[4096];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) {
      return false;
    }
    seen.append(buf, static_cast<size_t>(n));
    return true;
  }
};

// Milliseconds since `start`.
inline double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
