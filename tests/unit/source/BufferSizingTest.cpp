#include <gtest/gtest.h>

#include "source/BufferSizing.h"

using namespace ORVO::MediaFoundation::BufferSizing;

TEST(BufferSizing, VideoBufferScalesWithAreaFromHalfAMegabyteAt1080p) {
  EXPECT_EQ(VideoBufferSize(1920, 1080), 524288u);
  EXPECT_EQ(VideoBufferSize(3840, 2160), 2097152u);
  EXPECT_EQ(VideoBufferSize(320, 240), 102400u);
  EXPECT_EQ(VideoBufferSize(0, 0), 102400u);
  EXPECT_EQ(VideoBufferSize(1280, 720), 233016u);
  // The product of two 32-bit sizes must not wrap; the result is bounded.
  EXPECT_EQ(VideoBufferSize(0xFFFFFFFFu, 0xFFFFFFFFu), kMaximumBufferSize);
}

TEST(BufferSizing, SamplesAheadIsASixthOfTheFrameRateButAtLeastFive) {
  EXPECT_EQ(VideoSamplesAhead(30000, 1001), 5u);
  EXPECT_EQ(VideoSamplesAhead(30, 1), 5u);
  EXPECT_EQ(VideoSamplesAhead(60, 1), 10u);
  EXPECT_EQ(VideoSamplesAhead(120, 1), 20u);
  EXPECT_EQ(VideoSamplesAhead(60, 0), 5u);
  // An absurd rate would otherwise post millions of pull requests at once.
  EXPECT_EQ(VideoSamplesAhead(0xFFFFFFFFu, 1), kMaximumSamplesAhead);
}

TEST(BufferSizing, AudioBufferHoldsOneSecondAndAtLeastTenKilobytes) {
  EXPECT_EQ(AudioBufferSize(192000), 192000u);
  EXPECT_EQ(AudioBufferSize(8000), 10240u);
  EXPECT_EQ(AudioBufferSize(0), 10240u);
}

TEST(BufferSizing, GrowthIsTenPercentRoundedUpToWholeKilobytes) {
  uint32_t grown = 0;
  ASSERT_TRUE(GrownBufferSize(102400, 150000, &grown));
  EXPECT_EQ(grown, 165888u);
  ASSERT_TRUE(GrownBufferSize(102400, 102401, &grown));
  EXPECT_EQ(grown, 113664u);  // 112641 -> 110 KiB + 1 KiB
  ASSERT_TRUE(GrownBufferSize(1000, 1024 * 10, &grown));
  EXPECT_EQ(grown, 11264u);  // exactly 11 KiB, not rounded further
}

TEST(BufferSizing, GrowthRefusesNeedsThatCannotBeHonoured) {
  uint32_t grown = 12345;
  EXPECT_FALSE(GrownBufferSize(102400, 0, &grown));
  EXPECT_FALSE(GrownBufferSize(102400, 102400, &grown));  // not larger: asking again would loop
  EXPECT_FALSE(GrownBufferSize(102400, 50000, &grown));
  // Near 4 GiB the 32-bit formula wraps to a few KiB; it must be refused, not shrunk.
  EXPECT_FALSE(GrownBufferSize(102400, 0xFFFFFF00u, &grown));
  EXPECT_FALSE(GrownBufferSize(102400, kMaximumBufferSize, &grown));
  EXPECT_EQ(grown, 12345u);
}
