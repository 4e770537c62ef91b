// Received-data display: byte 0 the flags, byte 1 the group, byte 2 the
// label length (255: no label), then the label, then the bytes to dump.
// The dump goes to a memory stream whose size is checked against the most
// the format can print.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "serial/hexdump.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz_quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Flags: any value, small ones most often (0, 1 and 2 select the headers).
  const int flags = data[0] >= 0xF0 ? static_cast<int>(static_cast<int8_t>(data[0])) * 0x1000001 : data[0] % 5;
  const int group = data[1] == 0xFF ? -3 : data[1] % 12;
  const bool no_label = data[2] == 0xFF;
  size_t label_len = no_label ? 0 : data[2];
  size_t pos = 3;
  if (label_len > size - pos) label_len = size - pos;
  std::vector<char> label(data + pos, data + pos + label_len);
  label.push_back('\0');
  pos += label_len;
  // An exact-size copy of the bytes to dump: a read past the end shows up.
  std::vector<uint8_t> bytes(data + pos, data + size);
  const int32_t length = static_cast<int32_t>(bytes.size());

  // An empty dump is given a valid pointer or none, by the group byte.
  static const uint8_t empty_dummy = 0;
  const void* buffer = !bytes.empty() ? static_cast<const void*>(bytes.data())
                                      : ((data[1] & 1) != 0 ? nullptr : &empty_dummy);

  char* out = nullptr;
  size_t out_size = 0;
  FILE* stream = open_memstream(&out, &out_size);
  if (stream == nullptr) fz_fail("fuzz_hexdump: open_memstream failed");
  hexdump(stream, flags, no_label ? nullptr : label.data(), buffer, length, group);
  // A negative length must be refused, not dumped.
  uint8_t one = 0x41;
  hexdump(stream, flags, nullptr, &one, -static_cast<int32_t>(1 + data[1]), group);
  std::fclose(stream);

  // Header (label + fixed text), per line 80 characters, per column header
  // 82, plus the refusal line.
  const size_t lines = (bytes.size() + 15) / 16;
  const size_t bound = label_len + 128 + lines * 80 + (lines + 1) * 82 + 64;
  FZ_CHECK(out_size <= bound);
  std::free(out);
  return 0;
}
