#include <gtest/gtest.h>

#include <windows.h>

#include "common/Clock.h"

using ORVO::elapsedTime;
using ORVO::scaleMicroseconds;

TEST(Clock, ScalesWholeMicrosecondsToAnyUnit) {
  EXPECT_EQ(scaleMicroseconds(1234567, 1000000), 1234567);
  EXPECT_EQ(scaleMicroseconds(1234567, 10000000), 12345670);  // 100-ns ticks
  EXPECT_EQ(scaleMicroseconds(1234567, 1000), 1234);           // milliseconds, truncated
  EXPECT_EQ(scaleMicroseconds(1000000, 44100), 44100);         // audio frames
  EXPECT_EQ(scaleMicroseconds(500000, 44100), 22050);
  EXPECT_EQ(scaleMicroseconds(3000000, 1), 3);
  EXPECT_EQ(scaleMicroseconds(3000000, 0), 0);
  EXPECT_EQ(scaleMicroseconds(3000000, -5), -15);
}

TEST(Clock, DoesNotOverflowForDaysOfUptime) {
  const int64_t thirtyDays = 30LL * 24 * 3600 * 1000000;
  EXPECT_EQ(scaleMicroseconds(thirtyDays, 10000000), thirtyDays * 10);
  EXPECT_EQ(scaleMicroseconds(thirtyDays, 48000), 30LL * 24 * 3600 * 48000);
}

TEST(Clock, IsMonotonicAndAdvances) {
  const int64_t a = elapsedTime(10000000);
  Sleep(20);
  const int64_t b = elapsedTime(10000000);
  EXPECT_GE(a, 0);
  EXPECT_GE(b - a, 150000);  // at least 15 ms in 100-ns ticks
  EXPECT_EQ(ORVO::kUnsetTime, INT64_MIN);
}
