// Firmware update: the file is verified, the device is reset into its
// firmware loader, synchronised and identified, and then every record line of
// the Intel HEX file goes out on its own, each answered by one byte.
#include "device/firmware.h"

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/inhex.h"
#include "device/link.h"
#include "serial/serial.h"
#include "text/files.h"
#include "text/lines.h"

namespace {

constexpr long FW_BAUD = 19200;
// Result codes of the file and of a lost port (see firmware.h).
constexpr int FW_READ_FAILED = -3;
constexpr int FW_PORT_LOST = -15;
constexpr int FW_NOT_ALL_SENT = -16;
// The whole file is held in memory; a firmware image is a few MB at most.
constexpr size_t FW_FILE_MAX = size_t{64} << 20;
constexpr size_t FW_READ_CHUNK = 64 * 1024;
constexpr int FW_MAX_ERRORS = 10;
constexpr int FW_WARN_MINUTES = 5;

// Control bytes of the loader exchange.
constexpr uint8_t FW_ENQ = 0x05;       // the loader's prompt after "reset\n"
constexpr uint8_t FW_ACK = 0x06;       // sync, identifier or record accepted
constexpr uint8_t FW_FIRMSYNC = 0x16;  // the sync character
constexpr uint8_t FW_ANSWER_TIMED_OUT = 0x00;
constexpr uint8_t FW_ANSWER_NO_START = 0x11;
constexpr uint8_t FW_ANSWER_CHECKSUM = 0x12;
constexpr uint8_t FW_ANSWER_VALIDATION = 0x15;
constexpr uint8_t FW_ANSWER_BUFFER_FULL = 0x17;
constexpr uint8_t FW_ANSWER_FATAL = 0x18;

constexpr char FW_ID_NAME[] = "TvLink";
constexpr char FW_ID_TEXT[] = "TvLink1.0";  // the name and loader version, sent as they stand
constexpr int FW_ID_LEN = sizeof FW_ID_TEXT - 1;
static_assert(FW_ID_LEN == 9, "identifier is 9 bytes");

constexpr uint8_t FW_INTERRUPT[] = {0x03, 0x0A};
constexpr char FW_RESET[] = "reset\n";
constexpr int FW_RESET_LEN = sizeof FW_RESET - 1;
static_assert(FW_RESET_LEN == 6, "reset command is 6 bytes");

// Time-outs of the exchange, in milliseconds, and the sizes read.
constexpr int FW_DRAIN_MS = 100;
constexpr int FW_AFTER_RESET_SIZE = 32;
constexpr int FW_AFTER_RESET_MS = 50;
constexpr int FW_PROMPT_MS = 20000;
constexpr int FW_PROMPT_REST_MS = 100;
constexpr int FW_SYNC_MS = 20000;
constexpr int FW_SYNC_REST_MS = 30;
constexpr int FW_ID_MS = 5000;
constexpr int FW_ID_REST_MS = 200;
constexpr int FW_RECORD_MS = 100;

// Handshake answers are collected in the first bytes of the reply buffer.
constexpr int FW_REPLY_BYTES = 20;
static_assert(FW_REPLY_BYTES <= DEV_REPLY_SIZE, "handshake answers fit the reply buffer");

// The record line being sent: a whole piece of the file as the verifier
// reads it (up to INHEX_LINE_SIZE - 1 characters), its CR and a NUL. Every
// record the verifier accepts (at most 267 characters) fits without cutting.
constexpr int FW_SEND_SIZE = INHEX_LINE_SIZE + 1;
char fw_send[FW_SEND_SIZE];

// Start of the record loop, in whole seconds of a monotonic clock.
int64_t fw_start_time = 0;

int64_t fw_now_seconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

const char* fw_plural(int count) { return count == 1 ? "" : "s"; }

// The two counts of a two-step read.
void fw_print_reads(int c1, int c2) {
  std::printf("\nRead #1 got %d char%s\n", c1, fw_plural(c1));
  std::printf("Read #2 got %d char%s:\n", c2, fw_plural(c2));
}

// The handshake answers: printable bytes as they are, others in hex.
void fw_print_reply20() {
  for (int i = 0; i < FW_REPLY_BYTES; ++i) {
    uint8_t b = dev_reply[i];
    if (b >= 0x20 && b <= 0x7E) {
      std::printf("%c ", b);
    } else {
      std::printf("[%02x] ", b);
    }
  }
  std::printf("\n");
}

bool fw_reply_has(uint8_t byte, int len) { return std::memchr(dev_reply, byte, static_cast<size_t>(len)) != nullptr; }

// Reads one byte with `first_ms`, then up to 19 more with `rest_ms`, into the
// first 20 bytes of the reply buffer. When the first read brings nothing, the
// later bytes are moved to the front, so the first c1 + c2 bytes are exactly
// the bytes that arrived. False when the port was lost (reported, the link
// closed): the exchange ends there.
bool fw_read_answer(const char* port, int first_ms, int rest_ms, int& c1, int& c2) {
  c2 = 0;
  c1 = read_port(port, dev_reply, 1, first_ms);
  if (c1 != READ_PORT_LOST) c2 = read_port(port, dev_reply + 1, FW_REPLY_BYTES - 1, rest_ms);
  if (c1 == READ_PORT_LOST || c2 == READ_PORT_LOST) {
    c1 = c2 = 0;
    dev_port_lost();
    return false;
  }
  if (c1 == 0 && c2 > 0) {
    std::memmove(dev_reply, dev_reply + 1, static_cast<size_t>(c2));
    dev_reply[c2] = 0;
  }
  return true;
}

// Reads the whole of an open file into `image`. 0, or FW_READ_FAILED with the
// message printed (a read error with the system's text, or a file too large).
int fw_load(FILE* file, const char* name, std::vector<char>& image) {
  image.clear();
  static char chunk[FW_READ_CHUNK];
  for (;;) {
    errno = 0;
    const size_t n = std::fread(chunk, 1, sizeof chunk, file);
    const int err = errno;
    if (n > FW_FILE_MAX - image.size()) {
      std::printf("\a\aError: %s is too large for a Firmware file (more than %u MB)!\n", name,
                  static_cast<unsigned>(FW_FILE_MAX >> 20));
      return FW_READ_FAILED;
    }
    image.insert(image.end(), chunk, chunk + n);
    if (n == sizeof chunk) continue;
    if (std::ferror(file)) {
      std::printf("\a\aError: %s: read error: %s\n", name, err != 0 ? std::strerror(err) : "unknown");
      return FW_READ_FAILED;
    }
    return 0;
  }
}

const char* fw_error_word(uint8_t answer) {
  switch (answer) {
    case FW_ANSWER_TIMED_OUT: return "timed out";
    case FW_ANSWER_NO_START: return "didn't get start character";
    case FW_ANSWER_CHECKSUM: return "bad record checksum";
    case FW_ANSWER_VALIDATION: return "validation";
    default: return nullptr;
  }
}

// Waits for the answer to a record line: `wait_ms`, then once more as long
// for an answer that comes late. 1 with `*answer` set, 0 when none came,
// FW_PORT_LOST (reported, the link closed).
int fw_record_answer(const char* port, int wait_ms, uint8_t* answer) {
  for (int round = 0; round < 2; ++round) {
    const int got = read_port(port, answer, 1, wait_ms);
    if (got == READ_PORT_LOST) {
      dev_port_lost();
      return FW_PORT_LOST;
    }
    if (got == 1) return 1;
  }
  return 0;
}

// An answer other than ACK (FW_ANSWER_TIMED_OUT also for none at all): one
// more error and its message. 0 when the line goes again, else the result
// that ends the update.
int fw_record_error(uint8_t answer, int& errors, unsigned long line_number) {
  if (++errors >= FW_MAX_ERRORS) {
    std::printf("\n\a\aError: maximum Firmware updating errors (%d) encountered- aborting!\n", FW_MAX_ERRORS);
    return -12;
  }
  if (answer == FW_ANSWER_BUFFER_FULL) {
    std::printf("\n\a\aError: Firmware updating error: buffer full on Line %lu- aborting!\n", line_number);
    return -14;
  }
  if (answer == FW_ANSWER_FATAL) {
    std::printf("\n\a\aError: Firmware updating error: fatal on Line %lu- aborting!\n", line_number);
    return -13;
  }
  const char* word = fw_error_word(answer);
  if (word != nullptr) {
    std::printf("\n\a\aError: Firmware updating error: %s on Line %lu, resending.\n", word, line_number);
  } else {
    std::printf("\n\a\aError: Firmware updating error: unknown (0x%02x) on Line %lu, resending.\n", answer,
                line_number);
  }
  return 0;
}

// Sends one record line (`len` bytes with its CR) until the device has
// acknowledged it. The device answers every line it receives with one byte,
// in order, and a busy device answers late: a line counts as timed out only
// after two answer waits, and is then sent again while its first answer may
// still come. Every sending not yet answered is owed an answer, and all of
// them belong to this line: they are taken here, before the next line, and
// the last one decides. A refusal while another answer is owed waits for
// that answer rather than send once more. 0, or the result that ends the
// update.
int fw_send_record(const char* port, int len, unsigned long line_number, int& errors) {
  // Counted from when the line has left: its time on the wire comes first.
  const int wait_ms = FW_RECORD_MS + static_cast<int>(wire_time_ms(FW_BAUD, static_cast<uint32_t>(len)));
  // Whatever arrived since the last line was answered belongs to no line
  // sent from here on.
  purge_port_input();
  int owed = 0;
  bool acked = false;
  bool send = true;
  int quiet = 0;  // answer waits in a row without an answer, after an ACK
  for (;;) {
    if (send) {
      if (write_port(port, reinterpret_cast<const uint8_t*>(fw_send), len) < 0) {
        std::printf("\a\aError: wrote FIRMSYNC attention character, got error on port %s\n", port);
        return -11;
      }
      ++owed;
    }
    uint8_t answer = FW_ANSWER_TIMED_OUT;
    const int got = fw_record_answer(port, wait_ms, &answer);
    if (got == FW_PORT_LOST) return FW_PORT_LOST;
    if (got == 0) {
      // Acknowledged already. The answer owed to the sending after a time-out
      // may be as late as the first one was: it is waited for twice as long
      // before the line counts as done, so that it is never taken for the
      // next line's answer.
      if (acked && ++quiet < 2) continue;
      if (acked) return 0;
      const int stop = fw_record_error(FW_ANSWER_TIMED_OUT, errors, line_number);
      if (stop != 0) return stop;
      send = true;
      continue;
    }
    --owed;
    quiet = 0;
    if (answer == FW_ACK) {
      acked = true;
      if (owed == 0) return 0;
      send = false;
      continue;
    }
    acked = false;
    const int stop = fw_record_error(answer, errors, line_number);
    if (stop != 0) return stop;
    send = owed == 0;
  }
}

// Sends every record line of the verified image, resending on the answers
// that ask for it. 0 when all `total` were accepted, else -11 .. -16.
int fw_send_records(const std::vector<char>& image, const char* port, int total) {
  fw_start_time = fw_now_seconds();
  long sent = 0;
  int errors = 0;
  unsigned long line_number = 0;
  int len = 0;
  // The same lines, in the same pieces, as the verification read.
  size_t pos = inhex_bom(image.data(), image.size());
  while ((len = txt_text_line(image.data(), image.size(), &pos, fw_send, INHEX_LINE_SIZE)) >= 0) {
    ++line_number;
    if (fw_send[0] != ':') continue;
    fw_send[len] = '\r';
    fw_send[len + 1] = '\0';
    const int rc = fw_send_record(port, len + 1, line_number, errors);
    if (rc != 0) return rc;
    ++sent;
    firmware_progress(sent, total);
  }
  std::printf("\n");
  if (sent != total) {
    // Cannot happen with the verified image; a success must never rest on it.
    std::printf("\a\aError: sent %ld of %d record lines!\n", sent, total);
    return FW_NOT_ALL_SENT;
  }
  return 0;
}

// Everything from the interrupt pair to the end of the record lines, on the
// open port. Returns the result of the update; the caller closes the port.
// -5 and FW_PORT_LOST come back with the port already closed.
int fw_exchange(const std::vector<char>& image, const char* port, int total, fw_confirm confirm) {
  if (write_port(port, FW_INTERRUPT, sizeof FW_INTERRUPT) < 0) {
    std::printf("\n\a\aError: wrote interrupt character, got error on port %s\n", port);
    return -7;
  }
  // What the device still sends after the interrupt, for at most 2 s.
  if (dev_drain(port, dev_reply, DEV_REPLY_SIZE, FW_DRAIN_MS) == READ_PORT_LOST) {
    dev_port_lost();
    return FW_PORT_LOST;
  }
  purge_port();

  // The last moment to warn the operator: the reset comes next.
  if (confirm != nullptr) confirm(FW_WARN_MINUTES);

  std::memset(dev_reply, 0, FW_REPLY_BYTES);
  if (write_port(port, reinterpret_cast<const uint8_t*>(FW_RESET), FW_RESET_LEN) < 0) {
    std::printf("\n\a\aError: wrote reset command, got error on port %s\n", port);
    return -7;
  }
  uint8_t after_reset[FW_AFTER_RESET_SIZE];
  if (read_port(port, after_reset, FW_AFTER_RESET_SIZE, FW_AFTER_RESET_MS) == READ_PORT_LOST) {
    dev_port_lost();
    return FW_PORT_LOST;
  }
  drain_port();  // the command must have left before the port closes
  close_port();
  if (open_port(port, FW_BAUD) != 0) {
    std::printf("\a\aError: could not open COM port %s\n", port);
    return -5;
  }

  int c1 = 0;
  int c2 = 0;
  if (!fw_read_answer(port, FW_PROMPT_MS, FW_PROMPT_REST_MS, c1, c2)) return FW_PORT_LOST;
  if (!fw_reply_has(FW_ENQ, c1 + c2)) {
    std::printf("\n\a\aError: did not receive the Tovarelink Firmware prompt!\n");
    fw_print_reads(c1, c2);
    for (int i = 0; i < c1 + c2; ++i) std::printf("0x%02x ", dev_reply[i]);
    std::printf("\n");
    return -6;
  }

  if (write_port(port, &FW_FIRMSYNC, 1) < 0) {
    std::printf("\n\a\aError: wrote FIRMSYNC sync character, got error on port %s\n", port);
    return -7;
  }
  std::memset(dev_reply, 0, FW_REPLY_BYTES);
  if (!fw_read_answer(port, FW_SYNC_MS, FW_SYNC_REST_MS, c1, c2)) return FW_PORT_LOST;
  if (!fw_reply_has(FW_ACK, FW_REPLY_BYTES)) {
    std::printf("\n\a\aError: did not synchronize with the Tovarelink!\n");
    fw_print_reads(c1, c2);
    fw_print_reply20();
    return -8;
  }
  std::printf("\a\nConnected at %ld\n", FW_BAUD);

  if (write_port(port, reinterpret_cast<const uint8_t*>(FW_ID_TEXT), FW_ID_LEN) < 0) {
    std::printf("\n\a\aError: wrote %s identifier, got error on port %s\n", FW_ID_TEXT, port);
    return -9;
  }
  std::memset(dev_reply, 0, FW_REPLY_BYTES);
  if (!fw_read_answer(port, FW_ID_MS, FW_ID_REST_MS, c1, c2)) return FW_PORT_LOST;
  if (!fw_reply_has(FW_ACK, FW_REPLY_BYTES)) {
    std::printf("\n\a\aError: did not receive %s identifier acknowledgement!\n", FW_ID_NAME);
    fw_print_reads(c1, c2);
    fw_print_reply20();
    return -10;
  }
  std::printf("\n\n");

  return fw_send_records(image, port, total);
}

}  // namespace

int firmware_progress_format(char* out, size_t size, int64_t elapsed, long done, long total) {
  if (out == nullptr || size == 0) return 0;
  double fraction = total != 0 ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
  int64_t ttc = 0;
  if (fraction != 0.0) {
    double estimate = std::trunc(static_cast<double>(elapsed) / fraction) - static_cast<double>(elapsed);
    // 9.2e18: the int64 range, so the conversion below is always defined.
    constexpr double int64_edge = 9.2e18;
    if (std::isnan(estimate)) estimate = 0.0;
    if (estimate > int64_edge) estimate = int64_edge;
    if (estimate < -int64_edge) estimate = -int64_edge;
    ttc = static_cast<int64_t>(estimate);
  }
  // The estimate is a 32-bit value, shown unsigned.
  auto ttc32 = static_cast<uint32_t>(static_cast<uint64_t>(ttc));
  double percent = fraction * 100.0;
  double bar_exact = fraction * FW_BAR_WIDTH;
  int bar = 0;
  if (bar_exact >= FW_BAR_WIDTH) {
    bar = FW_BAR_WIDTH;
  } else if (bar_exact > 0.0) {
    bar = static_cast<int>(bar_exact);
  }

  char text[160];
  int text_len = std::snprintf(text, sizeof text, "\r%3" PRId64 "s TTC %3lus %4.1f%% ", elapsed,
                               static_cast<unsigned long>(ttc32), percent);
  if (text_len < 0) text_len = 0;
  if (text_len > FW_PROGRESS_TEXT) text_len = FW_PROGRESS_TEXT;
  static constexpr char bars[] = "===========================================================";
  static_assert(sizeof bars - 1 == FW_BAR_WIDTH, "bar width");
  int n = std::snprintf(out, size, "%.*s%.*s", text_len, text, bar, bars);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

void firmware_progress(long done, long total) {
  char line[FW_PROGRESS_TEXT + FW_BAR_WIDTH + 1];
  firmware_progress_format(line, sizeof line, fw_now_seconds() - fw_start_time, done, total);
  std::printf("%s", line);
  std::fflush(stdout);
}

int firmware(const char* port_name, const char* file_name, fw_confirm confirm) {
  if (file_name == nullptr) {
    std::printf("firmware: Error: param filename is invalid\n");
    return -1;
  }
  FILE* file = nullptr;
  const int opened = txt_open_regular(file_name, &file);
  if (opened != 0) {
    std::printf(opened == TXT_OPEN_NOT_REGULAR ? "\a\aError: cannot open %s: not a regular file\n"
                                               : "\a\aError: cannot open %s\n",
                file_name);
    return -2;
  }
  // The file is read once: what is verified is what is sent, whatever
  // happens to the file meanwhile.
  std::vector<char> image;
  const int loaded = fw_load(file, file_name, image);
  std::fclose(file);
  if (loaded != 0) return loaded;
  int total = inhexverify_text(image.data(), image.size());
  if (total < 1) {
    std::printf("\a\aError: Firmware file has some kind of error!\n");
    return -4;
  }

  const char* name = port_name != nullptr ? port_name : "";
  if (std::strlen(name) >= sizeof link_state.port_name) {
    // A name that does not fit is never opened in a shortened form.
    std::printf("\a\aError: could not open COM port %s\n", name);
    return -5;
  }
  std::snprintf(link_state.port_name, sizeof link_state.port_name, "%s", name);
  const char* port = link_state.port_name;
  if (open_port(port, FW_BAUD) != 0) {
    std::printf("\a\aError: could not open COM port %s\n", port);
    return -5;
  }

  int result = fw_exchange(image, port, total, confirm);
  if (result == -5 || result == FW_PORT_LOST) return result;  // the port is closed already
  close_port();
  std::printf("Disconnected\n");
  return result;
}
