// The link to the device: the connect handshake with its version check, and
// the re-synchronisation after the device was told to change its baud rate.
#include "device/link.h"

#include <array>
#include <climits>
#include <cstdio>
#include <string_view>

#include "serial/deadline.h"
#include "serial/hexdump.h"
#include "serial/serial.h"
#include "text/numbers.h"

link_state_t link_state{};
uint8_t dev_reply[DEV_REPLY_SIZE];

namespace {

// The interrupt character 0x03 followed by "\nversion\n".
constexpr std::array<uint8_t, 10> dev_version_request = {0x03, 0x0A, 'v', 'e', 'r', 's', 'i', 'o', 'n', 0x0A};
constexpr uint8_t dev_line_feed = 0x0A;

constexpr std::string_view dev_name = "Tovarelink";
constexpr std::string_view dev_version_mark = "Version ";
constexpr std::string_view dev_prompt = "Tovare> ";
constexpr uint8_t dev_replacement = '#';

// Oldest device firmware that speaks our protocol.
constexpr int dev_min_major = 2;
constexpr int dev_min_minor = 7;

// Drain: 40-byte reads of 100 ms until one brings nothing.
constexpr int dev_drain_size = 40;
constexpr int dev_drain_timeout_ms = 100;
// Version reply: one read of at most 200 bytes within 2000 ms.
constexpr int dev_version_reply_size = 200;
constexpr int dev_version_timeout_ms = 2000;
// Prompt after a baud change: one read of at most 1024 bytes within 2000 ms.
constexpr int dev_prompt_reply_size = DEV_REPLY_SIZE;
constexpr int dev_prompt_timeout_ms = 2000;
static_assert(dev_version_reply_size <= DEV_REPLY_SIZE && dev_prompt_reply_size <= DEV_REPLY_SIZE,
              "replies fit the reply buffer");

// Reads a decimal number from p up to end the way atoi does (leading white
// space, optional sign, digits up to the first other character; no digits
// give 0), saturating instead of overflowing.
int dev_parse_int(const uint8_t* p, const uint8_t* end) {
  const std::string_view text(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
  return static_cast<int>(txt_int(text, 10, INT_MIN, INT_MAX));
}

int dev_find_text(const uint8_t* hay, int len, std::string_view needle) {
  return dev_find(hay, len, needle.data(), static_cast<int>(needle.size()));
}

void dev_handshake(int32_t baud) {
  const char* name = link_state.port_name;

  if (link_state.connected == 1) {
    printf("\a\aError: already Connected!\n");
    return;
  }
  if (open_port(name, baud) != 0) {
    printf("\a\aError: could not open COM port %s\n", name);
    dev_drop_link();
    return;
  }

  // Swallow whatever the device is still sending. A device that does not
  // stop is interrupted all the same: a busy one answers, a line of noise
  // ends at the reply check.
  std::array<uint8_t, dev_drain_size> junk{};
  if (dev_drain(name, junk.data(), dev_drain_size, dev_drain_timeout_ms) == READ_PORT_LOST) {
    dev_port_lost();
    return;
  }
  purge_port();

  const int request_len = static_cast<int>(dev_version_request.size());
  if (write_port(name, dev_version_request.data(), request_len) != request_len) {
    printf("\n\a\aError: wrote interrupt character and version command, got error on port %s\n", name);
    dev_drop_link();
    return;
  }

  // Only the bytes of this one read form the reply.
  int n = read_port(name, dev_reply, dev_version_reply_size, dev_version_timeout_ms);
  if (n == READ_PORT_LOST) {
    dev_port_lost();
    return;
  }
  if (n < 0) n = 0;
  if (n > dev_version_reply_size) n = dev_version_reply_size;
  for (int i = 0; i < n; ++i) {
    if (dev_reply[i] == 0x00 || dev_reply[i] > 0x7F) dev_reply[i] = dev_replacement;
  }
  dev_reply[n] = 0;

  const int name_at = dev_find_text(dev_reply, n, dev_name);
  if (name_at < 0) {
    printf("\n\a\aError: did not receive the Tovarelink prompt!\nExpected: Tovarelink\n");
    hexdump(stdout, 1, "Got", dev_reply, n, 10);
    dev_drop_link();
    return;
  }
  const int mark_rel = dev_find_text(dev_reply + name_at, n - name_at, dev_version_mark);
  if (mark_rel < 0) {
    printf("\n\a\aError: did not receive the Tovarelink version (minimum %d.%d)!\n", dev_min_major, dev_min_minor);
    dev_drop_link();
    return;
  }

  const uint8_t* end = dev_reply + n;
  const uint8_t* number = dev_reply + name_at + mark_rel + dev_version_mark.size();
  const int major = dev_parse_int(number, end);
  // Without a "." after the marker there is no minor number: it counts as 0.
  int minor = 0;
  const int dot_at = dev_find(number, static_cast<int>(end - number), ".", 1);
  if (dot_at >= 0) minor = dev_parse_int(number + dot_at + 1, end);

  if (major < dev_min_major || (major == dev_min_major && minor < dev_min_minor)) {
    printf("\n\a\aError: received Tovarelink version %d.%d but minimal is %d.%d!\n", major, minor, dev_min_major,
           dev_min_minor);
    dev_drop_link();
    return;
  }

  printf("\aConnected at %ld\n", static_cast<long>(baud));
  link_state.connected = 1;
}

// The device was told "host N" at the old rate; the caller has let that line
// leave the port. Reopen at the new rate without touching what was sent.
void dev_resync(int32_t baud) {
  const char* name = link_state.port_name;

  close_port();
  if (open_port(name, baud) != 0) {
    printf("\a\aError: could not open COM port %s\n", name);
    dev_drop_link();
    return;
  }
  if (write_port(name, &dev_line_feed, 1) != 1) {
    printf("\a\aError: wrote CR character, got error on port %s\n", name);
    dev_drop_link();
    return;
  }

  // A prompt from before the change was purged by the reopen: only the bytes
  // of this read count.
  int n = read_port(name, dev_reply, dev_prompt_reply_size, dev_prompt_timeout_ms);
  if (n == READ_PORT_LOST) {
    dev_port_lost();
    return;
  }
  if (n < 0) n = 0;
  if (n > dev_prompt_reply_size) n = dev_prompt_reply_size;

  if (dev_find_text(dev_reply, n, dev_prompt) >= 0) {
    printf("\aConnected at %ld\n", static_cast<long>(baud));
    link_state.connected = 1;
    return;
  }
  printf("\a\aError: did not receive the Tovarelink prompt!\n");
  dev_drop_link();
}

}  // namespace

void dev_drop_link() {
  close_port();
  link_state.connected = 0;
}

int dev_change_baud(int32_t baud) {
  char cmd[32];
  const int len = snprintf(cmd, sizeof cmd, "host %ld\n", static_cast<long>(baud));
  if (write_port(link_state.port_name, reinterpret_cast<const uint8_t*>(cmd), len) < 0) {
    printf("\a\aError: wrote Host Baud command, got error on port %s\n", link_state.port_name);
    dev_drop_link();
    return -1;
  }
  // The command must leave the port before it is closed and reopened at the
  // new rate; a close does not wait for the transmitter.
  drain_port();
  dev_connect(baud, 1);
  return link_state.connected == 1 ? 0 : -1;
}

void dev_port_lost() {
  dev_drop_link();  // the port is already closed by read_port; nothing may be written any more
  printf("\n\a\aError: lost COM port %s, link closed!\n", link_state.port_name);
}

int dev_find(const uint8_t* hay, int len, const char* needle, int needle_len) {
  if (hay == nullptr || needle == nullptr || len < 0 || needle_len < 0) return -1;
  if (needle_len == 0) return 0;
  for (int at = 0; at + needle_len <= len; ++at) {
    int k = 0;
    while (k < needle_len && hay[at + k] == static_cast<uint8_t>(needle[k])) ++k;
    if (k == needle_len) return at;
  }
  return -1;
}

int dev_drain(const char* port_name, uint8_t* buffer, int size, int timeout) {
  const deadline limit = deadline_in_ms(DEV_DRAIN_LIMIT_MS);
  int n = 0;
  while ((n = read_port(port_name, buffer, size, timeout)) > 0) {
    if (deadline_passed(limit)) return 1;
  }
  return n == READ_PORT_LOST ? READ_PORT_LOST : 0;
}

void dev_connect(int32_t baud, int resync) {
  printf("Connecting at %ld...\n", static_cast<long>(baud));
  if (resync)
    dev_resync(baud);
  else
    dev_handshake(baud);
}
