// Time-outs that follow from the baud rate.
#include <gtest/gtest.h>

#include <climits>

#include "serial/serial.h"

namespace {

struct rate_row {
  long baud;
  uint32_t read_multiplier;
  uint32_t write_multiplier;
};

// One row per rate of baud_table.
constexpr rate_row rate_rows[] = {
    {110, 90, 181},  {300, 33, 66},  {600, 16, 33},  {1200, 8, 16},  {2400, 4, 8},
    {4800, 2, 4},    {9600, 1, 2},   {14400, 0, 1},  {19200, 0, 1},  {38400, 0, 0},
    {56000, 0, 0},   {57600, 0, 0},  {115200, 0, 0},
};

TEST(Timeouts, TableCoversEveryRate) {
  size_t n = 0;
  while (baud_table[n] != 0) {
    ASSERT_LT(n, std::size(rate_rows));
    EXPECT_EQ(baud_table[n], rate_rows[n].baud);
    ++n;
  }
  EXPECT_EQ(n, std::size(rate_rows));
}

TEST(Timeouts, StandingValuesPerRate) {
  for (const rate_row& r : rate_rows) {
    const comm_timeouts t = standing_timeouts(r.baud);
    EXPECT_EQ(t.read_interval, 0u) << r.baud;
    EXPECT_EQ(t.read_total_multiplier, r.read_multiplier) << r.baud;
    EXPECT_EQ(t.read_total_constant, 1u) << r.baud;
    EXPECT_EQ(t.write_total_multiplier, r.write_multiplier) << r.baud;
    EXPECT_EQ(t.write_total_constant, 10u) << r.baud;
  }
}

TEST(Timeouts, PerReadValuesKeepTheWriteSide) {
  for (const rate_row& r : rate_rows) {
    const comm_timeouts t = read_timeouts(r.baud, 100);
    EXPECT_EQ(t.read_interval, 0u);
    EXPECT_EQ(t.read_total_multiplier, r.read_multiplier) << r.baud;
    EXPECT_EQ(t.read_total_constant, 110u) << r.baud;
    EXPECT_EQ(t.write_total_multiplier, r.write_multiplier) << r.baud;
    EXPECT_EQ(t.write_total_constant, 10u) << r.baud;
  }
}

TEST(Timeouts, ReadTotalsOfTheDeviceExchanges) {
  // drain (40 bytes, 100 ms), version reply (200, 2000), prompt (1024, 2000)
  struct row {
    long baud;
    int size;
    int timeout;
    uint32_t total;
  };
  constexpr row rows[] = {
      {4800, 40, 100, 190},    {9600, 40, 100, 150},    {19200, 40, 100, 110},   {57600, 40, 100, 110},
      {4800, 200, 2000, 2410}, {9600, 200, 2000, 2210}, {38400, 200, 2000, 2010},
      {4800, 1024, 2000, 4058}, {9600, 1024, 2000, 3034}, {19200, 1024, 2000, 2010},
  };
  for (const row& r : rows) {
    EXPECT_EQ(read_total_ms(read_timeouts(r.baud, r.timeout), r.size), r.total)
        << r.baud << " " << r.size << " " << r.timeout;
  }
  EXPECT_EQ(read_total_ms(standing_timeouts(4800), 10), 21u);
}

TEST(Timeouts, WriteTotals) {
  EXPECT_EQ(write_total_ms(standing_timeouts(4800), 9), 46u);
  EXPECT_EQ(write_total_ms(standing_timeouts(9600), 64), 138u);
  EXPECT_EQ(write_total_ms(standing_timeouts(38400), 1000), 10u);
  EXPECT_EQ(write_total_ms(standing_timeouts(110), 1), 191u);
}

TEST(Timeouts, WireTimeRoundsUp) {
  EXPECT_EQ(wire_time_ms(19200, 268), 140u);  // a record line of 128 data bytes
  EXPECT_EQ(wire_time_ms(19200, 44), 23u);
  EXPECT_EQ(wire_time_ms(4800, 64), 134u);
  EXPECT_EQ(wire_time_ms(57600, 1), 1u);
  EXPECT_EQ(wire_time_ms(0, 10), 0u);
  EXPECT_EQ(wire_time_ms(110, INT_MAX), UINT32_MAX);
}

TEST(Timeouts, HugeValuesSaturate) {
  EXPECT_EQ(read_total_ms(read_timeouts(110, INT_MAX), INT_MAX), UINT32_MAX);
  EXPECT_EQ(write_total_ms(standing_timeouts(110), INT_MAX), UINT32_MAX);
  EXPECT_EQ(read_timeouts(9600, INT_MAX).read_total_constant, static_cast<uint32_t>(INT_MAX) + 10u);
}

}  // namespace
