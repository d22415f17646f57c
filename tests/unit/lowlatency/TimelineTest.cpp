// The low-latency engine's timeline in virtual time: the pure rules that move it (TimelineAdjuster,
// AudioPlacement) with plain numbers, and one stream's rendering loop driven through start-up,
// stalls, bursts and slow drawing on a virtual clock, without sleeping.
#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>

#include <functional>
#include <map>
#include <vector>

#include "common/Clock.h"
#include "lowlatency/AudioPlacement.h"
#include "lowlatency/AvSyncMonitor.h"
#include "lowlatency/LoopClock.h"
#include "lowlatency/RenderLoop.h"
#include "lowlatency/SampleQueue.h"
#include "lowlatency/StreamOutput.h"
#include "lowlatency/StreamPlayer.h"
#include "lowlatency/StreamStatistics.h"
#include "lowlatency/TimelineAdjuster.h"
#include "lowlatency/TimestampSynchronizer.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::RenderingStrategy;
using ORVO::Media::TimelineAdjuster;
namespace AudioPlacement = ORVO::Media::AudioPlacement;

namespace {

constexpr int64_t kMs = 10000;
constexpr int64_t kFrame = 333333;  // 30 fps

// ---- The rules, with plain numbers ----------------------------------------------------------

TEST(TimelineAdjuster, LowLatencyMovesEarlierOnlyWhenEveryStreamWaitedTheWholeWindow) {
  // Each stream reports once a frame for a little over a second; `lateAt` frame 0 waits -1 ms.
  const auto run = [](int64_t videoWait, int64_t audioWait, bool audioSilent, int lateAt) {
    TimelineAdjuster adjuster(RenderingStrategy::LowLatency, 2, 0);
    adjuster.reset(0);
    adjuster.onSample(0, 0, 0);  // the samples the agreement was made on
    adjuster.onSample(1, 0, 0);
    int64_t shift = 0;
    int n = 0;
    for (int64_t t = 0; t <= TimelineAdjuster::kLowLatencyWindow + kFrame; t += kFrame, ++n) {
      shift += adjuster.onSample(0, n == lateAt ? -1 * kMs : videoWait, t);
      if (!audioSilent) shift += adjuster.onSample(1, audioWait, t);
    }
    return shift;
  };
  // Video waited 25 ms a frame, audio 60 ms: the smallest wait, less 2 ms, comes off.
  EXPECT_EQ(run(25 * kMs, 60 * kMs, false, -1), -23 * kMs);
  EXPECT_EQ(run(25 * kMs, 60 * kMs, false, 10), 0) << "one late frame in the window";
  EXPECT_EQ(run(25 * kMs, 60 * kMs, true, -1), 0) << "a stream that said nothing";
  EXPECT_EQ(run(7 * kMs, 60 * kMs, false, -1), 0) << "below 8 ms it is jitter, not a slow start";
}

TEST(TimelineAdjuster, SmoothGrowsOnLatenessUpToItsCapAndShrinksSlowlyOnASteadyFeed) {
  TimelineAdjuster adjuster(RenderingStrategy::Smooth, 1, 300 * kMs);
  adjuster.reset(0);
  adjuster.onSample(0, 0, 0);
  EXPECT_EQ(adjuster.onSample(0, -1 * kMs, 0), 0) << "1 ms late is within the jitter limit";
  EXPECT_EQ(adjuster.onSample(0, -120 * kMs, kFrame), 120 * kMs);
  EXPECT_EQ(adjuster.onSample(0, -250 * kMs, 2 * kFrame), 180 * kMs) << "the cap leaves 180 ms";
  EXPECT_EQ(adjuster.onSample(0, -50 * kMs, 3 * kFrame), 0);
  EXPECT_EQ(adjuster.addedDelay(), 300 * kMs);
  // Steady afterwards, every sample waiting 200 ms: at most 3 % of each 2 s window comes off.
  int64_t shrunk = 0;
  int windows = 0;
  for (int64_t t = 4 * kFrame; windows < 3; t += kFrame) {
    const int64_t shift = adjuster.onSample(0, 200 * kMs, t);
    EXPECT_GE(shift, -60 * kMs);
    windows += shift != 0 ? 1 : 0;
    shrunk += shift;
    // The window after the lateness at the cap does not count: three take a little over 8 s.
    ASSERT_LT(t, 5 * TimelineAdjuster::kSmoothWindow);
  }
  EXPECT_EQ(shrunk, -3 * 60 * kMs);
  EXPECT_EQ(adjuster.addedDelay(), 120 * kMs);
}

TEST(AudioPlacement, EarlyGetsSilenceLateIsCaughtUpAndSmallErrorsMoveInSmallSteps) {
  using AudioPlacement::Decide;
  const RenderingStrategy low = RenderingStrategy::LowLatency, smooth = RenderingStrategy::Smooth;
  // Within 10 ms either way a steady feed plays untouched.
  for (int64_t error : {-10 * kMs, 0LL, 10 * kMs}) {
    const AudioPlacement::Action a = Decide(low, error, 500 * kMs);
    EXPECT_EQ(a.silence + a.drop, 0) << error;
    EXPECT_EQ(a.speed, 1.0);
  }
  // Start-up: 35 ms early gets 4 ms of silence per sample, 300 ms early all of it at once.
  EXPECT_EQ(Decide(low, -35 * kMs, 0).silence, 4 * kMs);
  EXPECT_EQ(Decide(smooth, -300 * kMs, 0).silence, 300 * kMs);
  // A burst: 1.5 s late drops all of it (as far as there is queued audio), in one go.
  AudioPlacement::Action burst = Decide(low, 1500 * kMs, 2000 * kMs);
  EXPECT_EQ(burst.drop, 1500 * kMs);
  EXPECT_TRUE(burst.catchUp);
  EXPECT_EQ(Decide(low, 1500 * kMs, 600 * kMs).drop, 600 * kMs);
  EXPECT_EQ(Decide(low, 15 * kMs, 100 * kMs).drop, 4 * kMs) << "drift: a small cut";
  EXPECT_EQ(Decide(low, 500 * kMs, 0).drop, 0) << "nothing queued: nothing to drop";
  // Smooth plays faster up to 200 ms late and drops only the backlog beyond its bound.
  AudioPlacement::Action faster = Decide(smooth, 150 * kMs, 500 * kMs);
  EXPECT_EQ(faster.drop, 0);
  EXPECT_DOUBLE_EQ(faster.speed, AudioPlacement::kSmoothSpeedUp);
  EXPECT_EQ(Decide(smooth, 900 * kMs, 2000 * kMs).drop, 800 * kMs);
}

TEST(AvSyncMonitor, OffsetPairsAudioWithRecentVideoAndFlipsBoundsOnlyWhenItStays) {
  ORVO::Media::AvSyncMonitor monitor;
  monitor.onAudio(30 * kMs, 0);
  EXPECT_EQ(monitor.figures().measured, 0u) << "no picture yet to compare with";
  monitor.onVideo(20 * kMs, 0);
  for (int i = 0; i < 4; ++i) monitor.onAudio(120 * kMs, i * kMs);  // 100 ms late, four times
  EXPECT_TRUE(monitor.inBounds());
  monitor.onAudio(120 * kMs, 5 * kMs);
  EXPECT_FALSE(monitor.inBounds());
  EXPECT_DOUBLE_EQ(monitor.figures().offsetMsLargest, 100.0);
  for (int i = 0; i < 5; ++i) monitor.onAudio(-10 * kMs, (10 + i) * kMs);  // 30 ms early: fine
  EXPECT_TRUE(monitor.inBounds());
  EXPECT_DOUBLE_EQ(monitor.figures().offsetMsMedian, -30.0) << "five of ten at -30 ms, five at +100";
  monitor.onAudio(500 * kMs, 2 * TimelineAdjuster::kLowLatencyWindow);
  EXPECT_EQ(monitor.figures().measured, 10u) << "a picture more than a second old pairs with nothing";
}

// ---- One stream's rendering loop in virtual time --------------------------------------------

// Time passes only when the loop waits; what the feed scheduled for that time happens then.
class VirtualClock : public ORVO::Media::LoopClock {
 public:
  int64_t now() override { return m_now; }
  // A wait on the queue's event ends with the next scheduled arrival, as the event would end it.
  void wait(HANDLE wake, int64_t ticks) override {
    if (ticks <= 0) ticks = 1;
    if (wake && !m_events.empty() && m_events.begin()->first - m_now < ticks) {
      ticks = std::max<int64_t>(m_events.begin()->first - m_now, 0);
    }
    advance(ticks);
  }
  void advance(int64_t ticks) {
    const int64_t until = m_now + ticks;
    while (!m_events.empty() && m_events.begin()->first <= until) {
      auto next = m_events.begin();
      m_now = std::max(m_now, next->first);
      std::function<void()> action = std::move(next->second);
      m_events.erase(next);
      action();
    }
    m_now = until;
  }
  void at(int64_t when, std::function<void()> action) { m_events.emplace(when, std::move(action)); }

 private:
  int64_t m_now = 0;
  std::multimap<int64_t, std::function<void()>> m_events;
};

// A picture stream whose drawing takes `processTicks` on the clock; records when each sample went
// out, by its time stamp.
class RecordingOutput : public ORVO::Media::StreamOutput {
 public:
  explicit RecordingOutput(VirtualClock& clock) : m_clock(clock) {}
  HRESULT describe(IMFMediaType*, IMFMediaType*) override { return S_OK; }
  std::vector<GUID> decodedSubtypes(IMFMediaType*) const override { return {}; }
  void configureReader(IMFAttributes*) override {}
  HRESULT onDecodedType(IMFMediaType*) override { return S_OK; }
  HRESULT open() override { return S_OK; }
  HRESULT prepare(IMFSample*, DWORD, LONGLONG, IMFSample**) override { return E_NOTIMPL; }
  bool process(IMFSample*) override {
    m_clock.advance(processTicks);
    return true;
  }
  int64_t lead() const override { return 0; }
  void present(IMFSample*, int64_t sampleTime) override { shownAt[sampleTime] = m_clock.now(); }
  uint32_t frameBytes() const override { return 0; }
  ComPtr<IMFMediaType> presentationType() const override { return nullptr; }

  int64_t processTicks = 1 * kMs;
  std::map<int64_t, int64_t> shownAt;

 private:
  VirtualClock& m_clock;
};

// A player with one stream, trimming as the engine does once its queue has backed up.
class OneStreamPlayer : public ORVO::Media::StreamPlayer {
 public:
  OneStreamPlayer(RenderingStrategy strategy, int64_t maxDelay, ORVO::Media::SampleQueue& queue)
      : m_sync(1, 0, strategy, maxDelay), m_queue(queue) {}
  bool playing() const override { return true; }
  void flush() override {
    if (!ORVO::Media::Pacing::ShouldTrimQueues({m_queue.size()})) return;
    m_queue.trimToNewest();
    m_sync.Reset();
  }
  ORVO::Media::TimestampSynchronizer* synchronizer() const override {
    return const_cast<ORVO::Media::TimestampSynchronizer*>(&m_sync);
  }
  ORVO::Media::AvSyncMonitor* syncMonitor() override { return &m_monitor; }
  void streamFailed(int) override {}

 private:
  ORVO::Media::TimestampSynchronizer m_sync;
  ORVO::Media::AvSyncMonitor m_monitor;
  ORVO::Media::SampleQueue& m_queue;
};

class RenderLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET), S_OK); }
  void TearDown() override { MFShutdown(); }

  // Frame n (time stamp n frames) becomes ready at readyAt(n).
  void feed(int frames, const std::function<int64_t(int)>& readyAt) {
    for (int n = 0; n < frames; ++n) {
      clock.at(readyAt(n), [this, n] {
        ComPtr<IMFSample> sample;
        ASSERT_EQ(MFCreateSample(&sample), S_OK);
        sample->SetSampleTime(n * kFrame);
        queue.push(sample, clock.now());
      });
    }
  }
  void runUntil(ORVO::Media::RenderLoop& loop, int64_t end) {
    while (clock.now() < end) loop.runOnce();
  }
  // Ready to shown, per frame from `first` to `last`.
  std::vector<int64_t> latencies(const std::function<int64_t(int)>& readyAt, int first, int last) const {
    std::vector<int64_t> result;
    for (int n = first; n <= last; ++n) {
      auto shown = output.shownAt.find(n * kFrame);
      if (shown != output.shownAt.end()) result.push_back(shown->second - readyAt(n));
    }
    return result;
  }

  VirtualClock clock;
  ORVO::Media::SampleQueue queue;
  RecordingOutput output{clock};
  ORVO::Media::StreamStatistics statistics;
};

TEST_F(RenderLoopTest, LowLatencyForgetsASlowStartAndRecoversFromAStallAndBurstWithinTwoSeconds) {
  OneStreamPlayer player(RenderingStrategy::LowLatency, 0, queue);
  ORVO::Media::RenderLoop loop(0, 0, RenderingStrategy::LowLatency, false, player, queue, output, statistics, clock);
  // The first frame takes 250 ms (first decode, shader compilation); later ones are ready 30 ms
  // sooner relative to it, so the timeline bound to the first holds each one 30 ms. From 4 s on
  // the feed stalls for 1.5 s and then delivers the backlog at once.
  const auto readyAt = [](int n) -> int64_t {
    const int64_t steady = 250 * kMs + n * kFrame - (n > 0 ? 30 * kMs : 0);
    const int64_t stallEnd = 4 * 10000000LL + 1500 * kMs;
    return steady > 4 * 10000000LL && steady < stallEnd ? stallEnd : steady;
  };
  feed(240, readyAt);
  runUntil(loop, 8 * 10000000LL);

  const std::vector<int64_t> start = latencies(readyAt, 1, 20);
  ASSERT_FALSE(start.empty());
  EXPECT_GE(*std::min_element(start.begin(), start.end()), 29 * kMs) << "the start-up agreement holds frames";
  const std::vector<int64_t> settled = latencies(readyAt, 60, 110);
  ASSERT_EQ(settled.size(), 51u);
  EXPECT_LE(*std::max_element(settled.begin(), settled.end()), 4 * kMs) << "the timeline moved earlier";
  // After the burst (frames 117-165 arrive at 5.5 s) the queue is trimmed and the newest frames are
  // shown as they arrive again well within 2 s.
  const std::vector<int64_t> after = latencies(readyAt, 200, 239);
  ASSERT_FALSE(after.empty());
  EXPECT_LE(*std::max_element(after.begin(), after.end()), 4 * kMs);
  EXPECT_GT(statistics.presented(), 150u);
}

TEST_F(RenderLoopTest, SmoothBuffersSlowDrawingUpToItsCapAndNoFurther) {
  OneStreamPlayer player(RenderingStrategy::Smooth, 200 * kMs, queue);
  ORVO::Media::RenderLoop loop(0, 0, RenderingStrategy::Smooth, false, player, queue, output, statistics, clock);
  // Drawing takes 40 ms a frame against a 33 ms interval: Smooth never drops, so each frame is
  // later than the last; the jitter buffer grows by that lateness until it reaches its cap.
  output.processTicks = 40 * kMs;
  const auto readyAt = [](int n) -> int64_t { return 100 * kMs + n * kFrame; };
  feed(150, readyAt);
  runUntil(loop, 3 * 10000000LL);
  EXPECT_EQ(player.synchronizer()->addedDelay(), 200 * kMs);
  // Everything presented, in order, none dropped for lateness.
  int64_t previous = -1;
  for (const auto& shown : output.shownAt) {
    EXPECT_GT(shown.second, previous);
    previous = shown.second;
  }
  EXPECT_EQ(output.shownAt.size(), statistics.presented());
}

}  // namespace
