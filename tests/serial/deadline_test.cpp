// The deadline helper: monotonic, rounds what is left up, never negative.
#include <gtest/gtest.h>
#include <time.h>

#include <climits>

#include "serial/deadline.h"

namespace {

void sleep_ns(long ns) {
  timespec t{0, ns};
  while (nanosleep(&t, &t) != 0) {
  }
}

TEST(Deadline, ZeroIsPassedAtOnce) {
  const deadline d = deadline_in_ms(0);
  EXPECT_TRUE(deadline_passed(d));
  EXPECT_EQ(deadline_left_ms(d), 0);
}

TEST(Deadline, LeftCountsDownAndPasses) {
  const deadline d = deadline_in_ms(50);
  const int first = deadline_left_ms(d);
  EXPECT_LE(first, 50);
  EXPECT_GE(first, 40);
  EXPECT_FALSE(deadline_passed(d));
  sleep_ns(60'000'000);
  EXPECT_TRUE(deadline_passed(d));
  EXPECT_EQ(deadline_left_ms(d), 0);
}

TEST(Deadline, LeftIsRoundedUpUntilPassed) {
  // A wait of the reported length must never end before the deadline: while
  // any time is left, at least 1 ms is reported.
  const deadline d{deadline_now_ns() + 2'500'000};
  const int left = deadline_left_ms(d);
  EXPECT_TRUE(left == 3 || left == 2) << left;
  const deadline soon{deadline_now_ns() + 20'000'000};
  int checks = 0;
  while (!deadline_passed(soon)) {
    const int l = deadline_left_ms(soon);
    // Still before the deadline after the call: time was left during it.
    if (deadline_now_ns() < soon.end_ns) {
      EXPECT_GE(l, 1);
      ++checks;
    }
  }
  EXPECT_GT(checks, 0);
  EXPECT_EQ(deadline_left_ms(soon), 0);
}

TEST(Deadline, LongDeadlineFitsAPollTimeout) {
  const deadline d = deadline_in_ms(UINT32_MAX);
  EXPECT_EQ(deadline_left_ms(d), INT_MAX);
  EXPECT_FALSE(deadline_passed(d));
  const deadline past{deadline_now_ns() - 1'000'000'000};
  EXPECT_EQ(deadline_left_ms(past), 0);
  EXPECT_TRUE(deadline_passed(past));
}

}  // namespace
