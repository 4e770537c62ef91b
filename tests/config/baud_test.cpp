// The table of settable baud rates.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "capture.h"
#include "rates/rates.h"

namespace {

std::string captured(long baud, const long** found) {
  return capture_stdout([&] { *found = get_baud(baud); });
}

TEST(GetBaud, FindsEveryRateOfTheTable) {
  const long rates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};
  for (long r : rates) {
    const long* p = nullptr;
    EXPECT_EQ(captured(r, &p), "");
    ASSERT_NE(p, nullptr) << r;
    EXPECT_EQ(*p, r);
  }
  EXPECT_EQ(baud_table[13], 0);
}

TEST(GetBaud, UnknownRates) {
  const long* p = &baud_table[0];
  EXPECT_EQ(captured(1234, &p), "");
  EXPECT_EQ(p, nullptr);
  p = &baud_table[0];
  EXPECT_EQ(captured(-9600, &p), "");
  EXPECT_EQ(p, nullptr);
  p = &baud_table[0];
  EXPECT_EQ(captured(0, &p), "get_baud: Error: invalid baud: 0\n");
  EXPECT_EQ(p, nullptr);
}

}  // namespace
