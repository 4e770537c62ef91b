// Speed of the Intel HEX check on a large file.
//
// inhex_bench FILE [REPEATS]
//   Opens FILE as the firmware update does (text mode), runs inhexverify on it
//   REPEATS times (default 5, after one untimed run that brings the file into
//   the page cache) and prints one line:
//     bytes <size> records <count> best_ns <t> median_ns <t>
//   Exits 1 when the file does not verify.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/inhex.h"

namespace {

int64_t ib_now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: inhex_bench FILE [REPEATS]\n");
    return 2;
  }
  int repeats = 5;
  if (argc == 3) {
    char* end = nullptr;
    const long v = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || v < 1 || v > 1000) {
      std::fprintf(stderr, "inhex_bench: bad repeat count %s\n", argv[2]);
      return 2;
    }
    repeats = static_cast<int>(v);
  }
  struct stat st {};
  if (stat(argv[1], &st) != 0) {
    std::fprintf(stderr, "inhex_bench: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  FILE* f = std::fopen(argv[1], "r");
  if (f == nullptr) {
    std::fprintf(stderr, "inhex_bench: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }

  const int records = inhexverify(f);  // warm-up, and the expected result
  if (records < 1) {
    std::fclose(f);
    std::fprintf(stderr, "inhex_bench: %s does not verify (%d)\n", argv[1], records);
    return 1;
  }
  std::vector<int64_t> times;
  for (int i = 0; i < repeats; ++i) {
    const int64_t t0 = ib_now_ns();
    const int r = inhexverify(f);
    const int64_t t1 = ib_now_ns();
    if (r != records) {
      std::fclose(f);
      std::fprintf(stderr, "inhex_bench: run %d gave %d, not %d\n", i + 1, r, records);
      return 1;
    }
    times.push_back(t1 - t0);
  }
  std::fclose(f);
  std::sort(times.begin(), times.end());
  std::printf("bytes %lld records %d best_ns %lld median_ns %lld\n", static_cast<long long>(st.st_size), records,
              static_cast<long long>(times.front()), static_cast<long long>(times[times.size() / 2]));
  return 0;
}
