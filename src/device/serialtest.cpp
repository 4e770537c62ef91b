// Serial echo test: the device echoes every character of the pattern "@".."~"
// one at a time until it is sent Ctrl-C.
#include "device/serialtest.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "device/link.h"
#include "serial/hexdump.h"
#include "serial/serial.h"
#include "text/numbers.h"

namespace {

constexpr int st_command_number = 42;  // the serialtest row of the command table
constexpr std::string_view st_command = "serialtest\n";
constexpr std::string_view st_start_text = "Begin serial test: end with <ctrl>-c";
constexpr uint8_t st_first = 0x40;  // '@'
constexpr uint8_t st_last = 0x7E;   // '~'
constexpr long st_per_iteration = st_last - st_first + 1;
static_assert(st_per_iteration == 63, "63 echo characters per iteration");
constexpr uint8_t st_interrupt = 0x03;

constexpr int st_reply_size = 1024;
constexpr int st_reply_timeout_ms = 1000;
constexpr int st_echo_timeout_ms = 1000;

// Reads the count the way atol does (leading white space, optional sign,
// digits up to the first other character; no digits give 0), saturating at
// the limits of long instead of overflowing.
long st_parse_count(const char* text) {
  if (text == nullptr) return 0;
  return static_cast<long>(txt_int(text, 10, LONG_MIN, LONG_MAX));
}

}  // namespace

int serial_test(int command_number, const char* iterations) {
  if (command_number != st_command_number) {
    printf("\a\aError: Invalid command %d\n", command_number);
    return -1;
  }
  const long count = st_parse_count(iterations);
  if (count < 1) {
    printf("\a\aError: Invalid iteration count: %ld\n", count);
    return -1;
  }

  const char* name = link_state.port_name;
  const int command_len = static_cast<int>(st_command.size());
  if (write_port(name, reinterpret_cast<const uint8_t*>(st_command.data()), command_len) != command_len) {
    printf("\n\a\aError: wrote serialtest command, got error on port %s\n", name);
    dev_drop_link();
    return -2;
  }

  std::array<uint8_t, st_reply_size> reply{};
  int n = read_port(name, reply.data(), st_reply_size, st_reply_timeout_ms);
  if (n == READ_PORT_LOST) {
    dev_port_lost();
    return -8;
  }
  if (n < 0) n = 0;
  if (n > st_reply_size) n = st_reply_size;
  if (dev_find(reply.data(), n, st_start_text.data(), static_cast<int>(st_start_text.size())) < 0) {
    printf("\n\a\aError: did not receive the serialtest response!\n");
    hexdump(stdout, 1, "Got", reply.data(), n, 10);
    dev_drop_link();
    return -3;
  }

  for (long i = 1; i <= count; ++i) {
    for (unsigned c = st_first; c <= st_last; ++c) {
      const uint8_t ch = static_cast<uint8_t>(c);
      if (write_port(name, &ch, 1) != 1) {
        printf("\n\a\aError: wrote serialtest count %ld value 0x%02x, got error on port %s\n", i,
               static_cast<unsigned>(ch), name);
        dev_drop_link();
        return -4;
      }
      uint8_t echo = 0;
      const int got = read_port(name, &echo, 1, st_echo_timeout_ms);
      if (got == READ_PORT_LOST) {
        dev_port_lost();
        return -8;
      }
      if (got != 1) {
        printf("\n\a\aError: did not receive the serialtest response on port %s!\n", name);
        dev_drop_link();
        return -5;
      }
      if (echo != ch) {
        printf("\n\a\aError: serialtest mismatch character 0x%02x, got 0x%02x\n", static_cast<unsigned>(ch),
               static_cast<unsigned>(echo));
        dev_drop_link();
        return -6;
      }
    }
    printf(".");
    if (i == LONG_MAX) break;  // the loop counter must not step past the largest count
  }

  // The character total saturates rather than overflow for absurd counts.
  const long total = count > LONG_MAX / st_per_iteration ? LONG_MAX : count * st_per_iteration;
  printf("\nSerial test passed: wrote %ld characters\n", total);

  if (write_port(name, &st_interrupt, 1) != 1) {
    printf("\n\a\aError: wrote serialtest termination command, got error on port %s\n", name);
    dev_drop_link();
    return -7;
  }
  return 0;
}
