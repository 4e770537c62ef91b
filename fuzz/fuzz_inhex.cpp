// Intel HEX verification: the input is the whole firmware file, read by
// inhexverify from a file and, as the firmware command does, from memory. The
// same bytes, NUL-terminated, also go through hexntoi with every length and
// inhexsum.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/inhex.h"
#include "fuzz_util.h"
#include "text/lines.h"

namespace {

const char* hex_path = nullptr;

// Longest record line the verifier may accept: 128 data bytes.
constexpr int record_max = 2 * 128 + 11;

void check_numbers(const uint8_t* data, size_t size) {
  std::vector<char> text(size + 1);
  if (size > 0) std::memcpy(text.data(), data, size);
  text[size] = '\0';
  // Lengths around the text's own, negative and zero included: the reading
  // must stop at the terminator whatever the length says.
  const int lengths[] = {-1, 0, 1, 2, 3, 8, 9, static_cast<int>(size), static_cast<int>(size) + 1, INT_MAX};
  for (int n : lengths) {
    const int v = hexntoi(text.data(), n);
    if (n < 1) FZ_CHECK(v == 0);
    // Two characters hold at most "ff".
    if (n >= 1 && n <= 2) FZ_CHECK(v >= -0xFF && v <= 0xFF);
  }
  (void)inhexsum(text.data());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet();
  hex_path = fz_scratch_path(".hex");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_numbers(data, size);
  fz_write_file(hex_path, data, size);
  FILE* f = std::fopen(hex_path, "rb");
  if (f == nullptr) fz_fail("fuzz_inhex: cannot reopen the input file");
  const int records = inhexverify(f);
  FZ_CHECK(records >= 1 || (records <= -2 && records >= -9) || (records <= -11 && records >= -16));
  // The firmware update checks the file held in memory: same result.
  const char* text = reinterpret_cast<const char*>(data);
  FZ_CHECK(inhexverify_text(text, size) == records);
  if (records >= 1) {
    // Every record line that was accepted must fit the sender's buffer whole,
    // the count must match the record lines the sender reads again (after
    // the byte order mark, as the sender does), and the last of them, and
    // only the last, is the end of file record.
    char line[INHEX_LINE_SIZE];
    int seen = 0;
    bool end_record = false;
    int len = 0;
    size_t pos = inhex_bom(text, size);
    // A piece that filled the buffer without its line end goes on in the
    // next one: that rest of a long comment line is no record however it
    // looks, only blanks before a ':' in it are refused.
    bool rest = false;
    while ((len = txt_text_line(text, size, &pos, line, INHEX_LINE_SIZE)) >= 0) {
      FZ_CHECK(len < INHEX_LINE_SIZE);
      const bool is_rest = rest;
      rest = len == INHEX_LINE_SIZE - 1;
      if (line[0] != ':') {
        // A line the sender skips holds no record after blanks, control
        // characters or bytes >= 0x80, and is no record without its ':'.
        int i = 0;
        bool blanks = true;
        while (i < len && (static_cast<unsigned char>(line[i]) <= ' ' || static_cast<unsigned char>(line[i]) >= 0x7F)) {
          if (line[i] != ' ' && line[i] != '\t') blanks = false;
          ++i;
        }
        FZ_CHECK(i == len || line[i] != ':' || (is_rest && !blanks));
        FZ_CHECK(is_rest || len < 11 || std::strspn(line, "0123456789abcdefABCDEF") < static_cast<size_t>(len));
        continue;
      }
      ++seen;
      FZ_CHECK(!end_record);
      FZ_CHECK(len <= record_max);
      // Nothing but hex digits after the ':' (no NUL byte cut the sum short,
      // no sign, blank or "0x" the loader would refuse).
      FZ_CHECK(len >= 11 && std::strspn(line + 1, "0123456789abcdefABCDEF") == static_cast<size_t>(len - 1));
      // The count fits the type: 00 any, 01 none, 02 and 04 two, 03 and 05 four.
      const int count = hexntoi(line + 1, 2);
      const int type = line[8] - '0';
      FZ_CHECK(line[7] == '0' && type >= 0 && type <= 5);
      constexpr int fixed[] = {-1, 0, 2, 4, 2, 4};
      FZ_CHECK(fixed[type] < 0 || count == fixed[type]);
      if (type == 1) end_record = true;
    }
    FZ_CHECK(seen == records);
    FZ_CHECK(end_record);
  }
  std::fclose(f);
  return 0;
}
