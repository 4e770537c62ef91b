// Deadlines on the monotonic clock. A timed operation computes its deadline
// once and every wait inside it asks how much is left, so interruptions and
// partial transfers neither lengthen nor shorten the total.
#include "serial/deadline.h"

#include <time.h>

#include <climits>

namespace {

constexpr int64_t ns_per_ms = 1'000'000;
constexpr int64_t ns_per_s = 1'000'000'000;

}  // namespace

int64_t deadline_now_ns() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * ns_per_s + static_cast<int64_t>(ts.tv_nsec);
}

deadline deadline_in_ms(uint32_t ms) {
  return deadline{deadline_now_ns() + static_cast<int64_t>(ms) * ns_per_ms};
}

int deadline_left_ms(const deadline& d) {
  const int64_t left_ns = d.end_ns - deadline_now_ns();
  if (left_ns <= 0) {
    return 0;
  }
  // Rounded up: a wait of the returned length never ends before the deadline.
  const int64_t left_ms = (left_ns + ns_per_ms - 1) / ns_per_ms;
  return left_ms > INT_MAX ? INT_MAX : static_cast<int>(left_ms);
}

bool deadline_passed(const deadline& d) {
  return deadline_now_ns() >= d.end_ns;
}
