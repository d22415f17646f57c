#include <gtest/gtest.h>

#include <limits>

#include "common/Clock.h"
#include "lowlatency/PacingRules.h"

using namespace ORVO::Media;
using namespace ORVO::Media::Pacing;
using ORVO::kUnsetTime;

TEST(PacingRules, WaitIsWholeMillisecondsOfEarliness) {
  EXPECT_EQ(WaitMilliseconds(50000, 0), 5);           // 5 ms early waits 5 ms
  EXPECT_EQ(WaitMilliseconds(109000, 100000), 0);     // 0.9 ms early does not wait
  EXPECT_EQ(WaitMilliseconds(1000000, 1000000), 0);   // on time
  EXPECT_EQ(WaitMilliseconds(100000, 300000), 0);     // late
  EXPECT_EQ(WaitMilliseconds(10000000, 0), 1000);
}

TEST(PacingRules, TimestampGapStartsAtExactlyOneSecondInEitherDirection) {
  EXPECT_FALSE(IsTimestampGap(kUnsetTime, 0));
  EXPECT_FALSE(IsTimestampGap(kUnsetTime, 500000000));
  EXPECT_FALSE(IsTimestampGap(0, 400000));
  EXPECT_TRUE(IsTimestampGap(400000, 400000 + 10000000));
  EXPECT_FALSE(IsTimestampGap(400000, 400000 + 9999999));
  EXPECT_TRUE(IsTimestampGap(20000000, 10000000));    // backwards jump
  EXPECT_FALSE(IsTimestampGap(20000000, 10000001));
}

TEST(PacingRules, PlaybackGapStartsAtTenSeconds) {
  EXPECT_TRUE(IsPlaybackGap(0, 100000000));
  EXPECT_TRUE(IsPlaybackGap(100000000, 0));
  EXPECT_FALSE(IsPlaybackGap(0, 99999999));
  EXPECT_FALSE(IsPlaybackGap(5000000, 5000000));
}

TEST(PacingRules, SmoothShiftsOnlyFromTwoMillisecondsLate) {
  EXPECT_EQ(StartTimeShift(RenderingStrategy::Smooth, 30000, 0), 30000);  // 3 ms late
  EXPECT_EQ(StartTimeShift(RenderingStrategy::Smooth, 20000, 0), 20000);  // exactly 2 ms
  EXPECT_EQ(StartTimeShift(RenderingStrategy::Smooth, 19999, 0), 0);      // 1.9999 ms
  EXPECT_EQ(StartTimeShift(RenderingStrategy::Smooth, 0, 50000), 0);      // early
  EXPECT_EQ(StartTimeShift(RenderingStrategy::LowLatency, 30000, 0), 0);
  EXPECT_EQ(StartTimeShift(RenderingStrategy::LowLatency, 90000000, 0), 0);
}

TEST(PacingRules, FlushAtMostOncePerSecond) {
  EXPECT_FALSE(IsFlushDue(9999999, 0));
  EXPECT_TRUE(IsFlushDue(10000000, 0));
  EXPECT_TRUE(IsFlushDue(25000000, 12000000));
}

TEST(PacingRules, TrimNeedsEveryActiveQueueAtThreeOrMore) {
  EXPECT_TRUE(ShouldTrimQueues({3, 7}));
  EXPECT_FALSE(ShouldTrimQueues({2, 9}));
  EXPECT_FALSE(ShouldTrimQueues({}));
  EXPECT_TRUE(ShouldTrimQueues({3}));
  EXPECT_FALSE(ShouldTrimQueues({9, 9, 0}));
}

TEST(PacingRules, LevelsApplyOnlyWhenTheyMoveMoreThanOnePercent) {
  EXPECT_FALSE(ShouldApplyLevel(-1.0, -1.0));  // never set: renderer untouched
  EXPECT_TRUE(ShouldApplyLevel(-1.0, 0.5));
  EXPECT_FALSE(ShouldApplyLevel(0.5, 0.505));
  EXPECT_TRUE(ShouldApplyLevel(0.5, 0.52));
  EXPECT_TRUE(ShouldApplyLevel(0.5, 0.0));
}

TEST(PacingRules, StrategyFromQueryValue) {
  EXPECT_EQ(StrategyFromQueryValue("SMOOTH"), RenderingStrategy::Smooth);
  EXPECT_EQ(StrategyFromQueryValue("smooth"), RenderingStrategy::Smooth);
  EXPECT_EQ(StrategyFromQueryValue("LowLatency"), RenderingStrategy::LowLatency);
  EXPECT_EQ(StrategyFromQueryValue("fast"), RenderingStrategy::LowLatency);
  EXPECT_EQ(StrategyFromQueryValue(""), RenderingStrategy::LowLatency);
}

TEST(PacingRules, ExtremeHostTimestampsDoNotOverflow) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(SaturatingSub(kMax, -1), kMax);
  EXPECT_EQ(SaturatingSub(kMin + 1, 2), kMin);
  EXPECT_EQ(AbsDifference(kMin, kMax), kMax);
  EXPECT_TRUE(IsTimestampGap(-5, kMax));
  EXPECT_TRUE(IsPlaybackGap(kMin + 1, kMax));
  EXPECT_EQ(WaitMilliseconds(kMax, kMin + 1), kMax / 10000);
}
