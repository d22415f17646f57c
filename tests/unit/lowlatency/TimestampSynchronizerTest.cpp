#include <gtest/gtest.h>

#include "common/Clock.h"
#include "lowlatency/TimestampSynchronizer.h"

using ORVO::kUnsetTime;
using ORVO::Media::TimestampSynchronizer;

namespace {
constexpr int64_t kOpen = 1000000000;  // the clock at Open
constexpr int64_t kSecond = 10000000;
}  // namespace

TEST(TimestampSynchronizer, SingleStreamAgreesOnItsFirstSample) {
  TimestampSynchronizer sync(1, kOpen);
  int64_t local = 0;
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 4200000, kOpen + 5, &local), 4200000);
  EXPECT_EQ(local, kOpen + 5);
  // Later samples get the same answer and the local time does not move.
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 9900000, kOpen + 900, &local), 4200000);
  EXPECT_EQ(local, kOpen + 5);
}

TEST(TimestampSynchronizer, TwoStreamsAgreeOnTheSmallerFirstTime) {
  TimestampSynchronizer sync(2, kOpen);
  int64_t local = 0;
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 5000000, kOpen + 10, &local), kUnsetTime);
  EXPECT_EQ(local, kUnsetTime);
  EXPECT_EQ(sync.getStartStreamTimeAt(1, 2000000, kOpen + 20, &local), 2000000);
  EXPECT_EQ(local, kOpen + 20);
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 5333333, kOpen + 30, nullptr), 2000000);
}

TEST(TimestampSynchronizer, SilentStreamHoldsTheOtherOnlyForTheGraceAfterOpen) {
  TimestampSynchronizer sync(2, kOpen);
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 7000000, kOpen + kSecond / 10, nullptr), kUnsetTime);
  // Its own later samples are dropped until 3 s after Open, whatever their times.
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 8000000, kOpen + 2 * kSecond, nullptr), kUnsetTime);
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 9000000, kOpen + 3 * kSecond - 1, nullptr), kUnsetTime);
  // At the end of the grace the sample in hand starts playback now: had the first, long dropped
  // sample been chosen, this one would wait the whole grace again and stay that far behind.
  int64_t local = 0;
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 37000000, kOpen + 3 * kSecond, &local), 37000000);
  EXPECT_EQ(local, kOpen + 3 * kSecond);
  // The late stream simply receives the agreement.
  EXPECT_EQ(sync.getStartStreamTimeAt(1, 1000, kOpen + 4 * kSecond, nullptr), 37000000);
}

TEST(TimestampSynchronizer, ResetRestartsCollectingAndTheGraceIsNotRenewed) {
  TimestampSynchronizer sync(2, kOpen);
  sync.getStartStreamTimeAt(0, 100, kOpen, nullptr);
  ASSERT_EQ(sync.getStartStreamTimeAt(1, 200, kOpen, nullptr), 100);
  sync.Reset();
  EXPECT_EQ(sync.startTimestamp(), kUnsetTime);
  EXPECT_EQ(sync.startLocalTime(), kUnsetTime);
  // Long after Open a reset agrees at the second call of one stream, with what has reported.
  const int64_t later = kOpen + 60 * kSecond;
  EXPECT_EQ(sync.getStartStreamTimeAt(1, 50000000, later, nullptr), kUnsetTime);
  int64_t local = 0;
  EXPECT_EQ(sync.getStartStreamTimeAt(1, 50333333, later + 333333, &local), 50333333);
  EXPECT_EQ(local, later + 333333);
}

TEST(TimestampSynchronizer, ShiftMovesTheLocalStartAndIsIgnoredWhenReset) {
  TimestampSynchronizer sync(1, kOpen);
  sync.getStartStreamTimeAt(0, 0, kOpen + 100, nullptr);
  sync.ShiftStartLocalTime(30000);
  EXPECT_EQ(sync.startLocalTime(), kOpen + 100 + 30000);
  int64_t local = 0;
  sync.getStartStreamTimeAt(0, 333333, kOpen + 500000, &local);
  EXPECT_EQ(local, kOpen + 100 + 30000);
  sync.Reset();
  sync.ShiftStartLocalTime(30000);
  EXPECT_EQ(sync.startLocalTime(), kUnsetTime);
}

TEST(TimestampSynchronizer, OutOfRangeInstancesOnlyRead) {
  TimestampSynchronizer sync(1, kOpen);
  EXPECT_EQ(sync.getStartStreamTimeAt(1, 5, kOpen, nullptr), kUnsetTime);
  EXPECT_EQ(sync.getStartStreamTimeAt(-1, 5, kOpen, nullptr), kUnsetTime);
  EXPECT_EQ(sync.startTimestamp(), kUnsetTime);  // nothing recorded by them
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 77, kOpen, nullptr), 77);
  EXPECT_EQ(sync.getStartStreamTimeAt(3, 5, kOpen, nullptr), 77);
  TimestampSynchronizer none(0, kOpen);
  EXPECT_EQ(none.getStartStreamTimeAt(0, 5, kOpen + 100 * kSecond, nullptr), kUnsetTime);
}

// A sample that waited in its queue behind a busy renderer does not push the whole timeline back:
// the local start is when the reported samples were ready, as early as none of them falls due
// before it was ready, and never in the future.
TEST(TimestampSynchronizer, LocalStartIsWhenTheReportedSamplesWereReady) {
  const int64_t ms = 10000;
  TimestampSynchronizer sync(2, kOpen);
  int64_t local = 0;
  // Audio at 0 s was ready at 100 ms, video at 0.1 s at 250 ms; video reports 40 ms after that.
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 0, kOpen + 100 * ms, kOpen + 110 * ms, &local), kUnsetTime);
  EXPECT_EQ(sync.getStartStreamTimeAt(1, 100 * ms, kOpen + 250 * ms, kOpen + 290 * ms, &local), 0);
  // Video's sample, 100 ms into the timeline, is due exactly when it was ready; audio's one 50 ms
  // after it was ready.
  EXPECT_EQ(local, kOpen + 150 * ms);

  // A ready time "after" the agreement (a clock read on another core) never starts it in the future.
  sync.Reset();
  EXPECT_EQ(sync.getStartStreamTimeAt(0, 0, kOpen + 500 * ms, kOpen + 400 * ms, &local), kUnsetTime);
  EXPECT_EQ(sync.getStartStreamTimeAt(1, 0, kOpen + 300 * ms, kOpen + 400 * ms, &local), 0);
  EXPECT_EQ(local, kOpen + 400 * ms);
}
