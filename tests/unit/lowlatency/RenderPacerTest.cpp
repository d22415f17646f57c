#include <gtest/gtest.h>

#include "common/Clock.h"
#include "lowlatency/RenderPacer.h"
#include "lowlatency/TimestampSynchronizer.h"

using ORVO::kUnsetTime;
using ORVO::Media::RenderingStrategy;
using ORVO::Media::RenderPacer;
using ORVO::Media::TimestampSynchronizer;
namespace Pacing = ORVO::Media::Pacing;

namespace {
constexpr int64_t kOpen = 50000000;
using Step = RenderPacer::Step;

// One rendering pass as the stream runs it: ask the synchronizer, let the pacer decide, present.
Step Pass(RenderPacer& pacer, TimestampSynchronizer& sync, int index, int64_t sampleTime, int64_t now,
          RenderPacer::Decision* out = nullptr) {
  int64_t local = kUnsetTime;
  const int64_t agreed = sync.getStartStreamTimeAt(index, sampleTime, now, &local);
  RenderPacer::Decision decision = pacer.onSample(sampleTime, agreed, local, now);
  if (decision.step == Step::TimestampGap || decision.step == Step::PlaybackGap) sync.Reset();
  if (decision.step == Step::Render) pacer.presented(sampleTime);
  if (out) *out = decision;
  return decision.step;
}
}  // namespace

TEST(RenderPacer, DropsUntilAgreementThenPacesFromTheCommonOrigin) {
  TimestampSynchronizer sync(2, kOpen);
  RenderPacer video, audio;
  EXPECT_EQ(Pass(video, sync, 0, 5000000, kOpen + 10), Step::Drop);
  EXPECT_FALSE(video.synchronised());
  RenderPacer::Decision d;
  EXPECT_EQ(Pass(audio, sync, 1, 2000000, kOpen + 20, &d), Step::Render);
  EXPECT_TRUE(d.newAgreement);
  EXPECT_EQ(d.presentation, 0);
  EXPECT_EQ(d.playback, 0);
  // The video sample 0.3 s later than the start is due 0.3 s after the agreement.
  EXPECT_EQ(Pass(video, sync, 0, 5000000, kOpen + 120, &d), Step::Render);
  EXPECT_TRUE(d.newAgreement);
  EXPECT_EQ(d.presentation, 3000000);
  EXPECT_EQ(d.playback, 100);
  EXPECT_EQ(Pacing::WaitMilliseconds(d.presentation, video.playbackAt(kOpen + 20 + 50000)), 295);
}

TEST(RenderPacer, TimestampGapOfOneSecondResynchronisesEveryStream) {
  TimestampSynchronizer sync(1, kOpen);
  RenderPacer pacer;
  EXPECT_EQ(Pass(pacer, sync, 0, 0, kOpen), Step::Render);
  EXPECT_EQ(Pass(pacer, sync, 0, 400000, kOpen + 400000), Step::Render);
  RenderPacer::Decision d;
  EXPECT_EQ(Pass(pacer, sync, 0, 400000 + 10000000, kOpen + 800000, &d), Step::TimestampGap);
  EXPECT_EQ(d.last, 400000);
  EXPECT_EQ(sync.startTimestamp(), kUnsetTime);
  // The next sample takes a fresh agreement from itself.
  EXPECT_EQ(Pass(pacer, sync, 0, 10500000, kOpen + 900000, &d), Step::Render);
  EXPECT_TRUE(d.newAgreement);
  EXPECT_EQ(d.presentation, 0);
}

TEST(RenderPacer, GapOneTickShortOfASecondPlaysOn) {
  TimestampSynchronizer sync(1, kOpen);
  RenderPacer pacer;
  Pass(pacer, sync, 0, 0, kOpen);
  Pass(pacer, sync, 0, 400000, kOpen + 400000);
  RenderPacer::Decision d;
  EXPECT_EQ(Pass(pacer, sync, 0, 400000 + 9999999, kOpen + 500000, &d), Step::Render);
  EXPECT_FALSE(d.newAgreement);
}

TEST(RenderPacer, ScheduleTenSecondsOffResynchronisesAlsoAsFirstSample) {
  TimestampSynchronizer sync(2, kOpen);
  RenderPacer a, b;
  Pass(a, sync, 0, 0, kOpen);
  ASSERT_EQ(Pass(b, sync, 1, 0, kOpen), Step::Render);
  // Stream a's first sample after the agreement is 10 s ahead of the clock.
  RenderPacer::Decision d;
  EXPECT_EQ(Pass(a, sync, 0, 100000001, kOpen + 1, &d), Step::PlaybackGap);
  EXPECT_TRUE(d.newAgreement);
  EXPECT_EQ(sync.startTimestamp(), kUnsetTime);
  // Stream b notices at its next sample and drops until both agree again.
  EXPECT_EQ(Pass(b, sync, 1, 333333, kOpen + 333333), Step::Drop);
  EXPECT_FALSE(b.synchronised());
}

TEST(RenderPacer, SmoothShiftIsAdoptedByEveryStreamIncludingTheShifter) {
  TimestampSynchronizer sync(2, kOpen);
  RenderPacer a, b;
  Pass(a, sync, 0, 0, kOpen);
  Pass(b, sync, 1, 0, kOpen);
  RenderPacer::Decision d;
  ASSERT_EQ(Pass(a, sync, 0, 333333, kOpen + 333333 + 30000, &d), Step::Render);
  const int64_t shift = Pacing::StartTimeShift(RenderingStrategy::Smooth, d.playback, d.presentation);
  EXPECT_EQ(shift, 30000);
  sync.ShiftStartLocalTime(shift);
  EXPECT_EQ(Pass(a, sync, 0, 666666, kOpen + 700000, &d), Step::Render);
  EXPECT_TRUE(d.startTimeAdopted);
  EXPECT_EQ(d.playback, 700000 - 30000);
  EXPECT_EQ(Pass(b, sync, 1, 666666, kOpen + 700000, &d), Step::Render);
  EXPECT_TRUE(d.startTimeAdopted);
  EXPECT_EQ(Pass(b, sync, 1, 999999, kOpen + 1000000, &d), Step::Render);
  EXPECT_FALSE(d.startTimeAdopted);
}

TEST(RenderPacer, AgreementWithoutLocalStartIsTreatedAsNone) {
  RenderPacer pacer;
  RenderPacer::Decision d = pacer.onSample(100, 100, kUnsetTime, kOpen);
  EXPECT_EQ(d.step, Step::Drop);
  EXPECT_FALSE(pacer.synchronised());
}
