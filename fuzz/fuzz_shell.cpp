// The command loop's line handling: the input is what the operator types,
// fed line by line as the loop reads it (pieces of at most 255 characters up
// to a line feed), each handled by shell_line_step. Every line is also taken
// apart with shell_take, shell_atol, shell_port_name and shell_match.
//
// The serial port is the scripted one of fake_port.h: no port of the machine
// is opened, and nothing waits. The device is silent unless the input holds a
// 0xFF byte; whatever follows the first 0xFF is the device's script (so
// connect can succeed and the connected commands run), whatever comes before
// it is the operator's text.
//
// Commands that are skipped, and why (checked with shell_match first, the
// way the loop itself would match the word):
// - configure and rules with a '/' anywhere in the line: the readers would
//   open any path of the machine, and a path such as /dev/zero never ends.
//   The lines run in a private directory holding three small files, "c"
//   (a configuration), "r" (rules) and "h" (Intel HEX), which a file name
//   without '/' can reach. The target steps into it only while the lines run
//   (a crash there leaves its artifact in that directory unless
//   -artifact_prefix is an absolute path, as fuzz/run gives it).
// Everything else runs: standard input reads /dev/null, so the yes/no
// questions of download and firmware get the end of input (answer no) at once.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "device/link.h"
#include "fake_port.h"
#include "fuzz_util.h"
#include "rules/rules.h"
#include "serial/serial.h"
#include "shell/shell.h"

namespace {

constexpr size_t max_lines = 64;

int home_fd = -1;  // the directory the fuzzer was started in
int work_fd = -1;  // the private directory with c, r and h
constexpr uint8_t device_mark = 0xFF;

const char conf_text[] =
    "call n0call\nssid 9\nposition 39:44:21 -104:59:03\nhost 19200\ngps 4800\nhavegps n\n"
    "widemax 2\nwidetotal 5\ndigipath wide1-1, wide2-1\nbcomment fuzz station\nicon /#\n";
const char rules_text[] =
    "implicit drop\npass destin APRS\npass src N0CALL-9\ndrop circle 2.5, 39:44:21, -104:59:03\n"
    "pass compass NE, 39.44.35, -104.59.05\npass sector 0d, 90d, 5, 25\n";
const char hex_text[] =
    ":10000000000102030405060708090A0B0C0D0E0F78\n:04002000FFFFFFFFE0\n:00000001FF\n";

void write_text(const char* dir, const char* name, const char* text) {
  char path[256];
  std::snprintf(path, sizeof path, "%s/%s", dir, name);
  fz_write_file(path, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

// The table row the loop would dispatch for this line, or -1.
int line_row(const char* line) {
  char copy[SHELL_LINE_SIZE];
  std::snprintf(copy, sizeof copy, "%s", line);
  copy[std::strcspn(copy, "\n")] = '\0';
  shell_args a{copy};
  const char* word = shell_take(a, SHELL_WORD_SEPS);
  if (word == nullptr || std::strlen(word) >= SHELL_WORD_SIZE) return -1;
  return shell_match(word);
}

bool line_is_safe(const char* line) {
  if (line[0] == '.') return true;  // repeats an earlier line, which was checked when it ran
  const int row = line_row(line);
  if (row < 0) return true;
  // A command that reads the file it is given (configure, rules): no paths
  // outside the working folder.
  return command_table[row].kinds[0] != SHELL_ARG_FILE || std::strchr(line, '/') == nullptr;
}

// Takes the line apart with the argument helpers.
void take_apart(const char* line) {
  char copy[SHELL_LINE_SIZE];
  std::snprintf(copy, sizeof copy, "%s", line);
  shell_args a{copy};
  int words = 0;
  while (char* w = shell_take(a, (words & 1) != 0 ? SHELL_FILE_SEPS : SHELL_WORD_SEPS)) {
    FZ_CHECK(*w != '\0');
    FZ_CHECK(w >= copy && w < copy + sizeof copy);
    const long v = shell_atol(w);
    FZ_CHECK(v >= -2147483647L && v <= 2147483647L);
    char name[LINK_PORT_NAME_SIZE];
    std::memset(name, 0x5A, sizeof name);
    if (shell_port_name(w, name, sizeof name) == 0) {
      FZ_CHECK(std::memchr(name, '\0', sizeof name) != nullptr);
      FZ_CHECK(name[0] == '/' || std::strncmp(name, "COM", 3) == 0);
    }
    // A small buffer: the name must be refused or cut, never overrun.
    char small[6];
    (void)shell_port_name(w, small, sizeof small);
    const int row = shell_match(w);
    FZ_CHECK(row == SHELL_UNKNOWN || row == SHELL_AMBIGUOUS || (row >= 0 && row < SHELL_ROWS));
    if (++words > 64) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet();
  const char* dir = fz_scratch_dir();
  write_text(dir, "c", conf_text);
  write_text(dir, "r", rules_text);
  write_text(dir, "h", hex_text);
  home_fd = open(".", O_RDONLY | O_DIRECTORY);
  work_fd = open(dir, O_RDONLY | O_DIRECTORY);
  if (home_fd < 0 || work_fd < 0) fz_fail("fuzz_shell: cannot open the working directories");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* mark = static_cast<const uint8_t*>(std::memchr(data, device_mark, size));
  const size_t text_size = mark != nullptr ? static_cast<size_t>(mark - data) : size;
  // The script must outlive the run; an exact-size copy also shows overreads.
  std::vector<uint8_t> script;
  if (mark != nullptr) script.assign(mark + 1, data + size);

  // Every input starts from a fresh program state.
  close_port();
  fake_port_reset(script.data(), script.size());
  link_state = link_state_t{};
  conf_default();
  conf_processed = 0;
  std::memset(rule_table, 0, sizeof rule_table);
  rules_processed = false;
  std::memset(shell_line, 0, sizeof shell_line);
  shell_line_step();  // an empty line: forgets the line a "." would repeat

  if (fchdir(work_fd) != 0) fz_fail("fuzz_shell: cannot enter the scratch directory");
  size_t pos = 0;
  for (size_t lines = 0; pos < text_size && lines < max_lines; ++lines) {
    size_t n = 0;
    while (n < SHELL_LINE_SIZE - 1 && pos + n < text_size) {
      if (data[pos + n++] == '\n') break;
    }
    std::memcpy(shell_line, data + pos, n);
    shell_line[n] = '\0';
    pos += n;
    take_apart(shell_line);
    if (!line_is_safe(shell_line)) continue;
    if (shell_line_step() != 0) break;  // exit, quit or x
    FZ_CHECK(link_state.connected == 0 || link_state.connected == 1);
    FZ_CHECK(link_state.connected == 0 || port_is_open());
  }
  if (fchdir(home_fd) != 0) fz_fail("fuzz_shell: cannot return to the start directory");
  close_port();
  link_state = link_state_t{};
  return 0;
}
