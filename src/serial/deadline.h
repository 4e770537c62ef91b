// Deadlines on the monotonic clock, shared by every timed read and write.
#pragma once
#include <cstdint>

struct deadline {
  int64_t end_ns;  // monotonic clock, nanoseconds
};

// Current monotonic time in nanoseconds.
int64_t deadline_now_ns();
// A deadline `ms` milliseconds from now.
deadline deadline_in_ms(uint32_t ms);
// Milliseconds left, rounded up, never negative (fits a poll() time-out).
int deadline_left_ms(const deadline& d);
// True once the deadline has passed.
bool deadline_passed(const deadline& d);
