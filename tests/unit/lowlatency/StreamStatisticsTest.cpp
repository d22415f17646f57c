#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "lowlatency/StreamStatistics.h"

using ORVO::Media::StreamStatistics;

namespace {
constexpr int64_t kMs = 10000;
}

// A hundred frames fed 33 ms apart: decoding takes 5 ms, all but the slowest frame reach the screen
// 20 ms after the host returned them, one takes 300 ms. Frames are matched by their time stamps,
// also when decoding reorders them.
TEST(StreamStatistics, MatchesSamplesByTimeStampAndReportsMedianAndTail) {
  StreamStatistics stats;
  for (int i = 0; i < 100; ++i) {
    stats.onRequested();
    stats.onReturned(i * 333333, i * 33 * kMs);
  }
  stats.onRequested();  // the host is still filling this one
  for (int i = 99; i >= 0; --i) stats.onDecoded(i * 333333, i * 33 * kMs + 5 * kMs);
  for (int i = 0; i < 100; ++i) {
    stats.onQueued(static_cast<size_t>(i % 4 + 1));
    stats.onStage(StreamStatistics::Stage::Present, (i == 50 ? 40 : 2) * kMs);
    stats.onPresented(i * 333333, i * 33 * kMs + (i == 50 ? 300 : 20) * kMs);
  }
  stats.onDequeued(0);
  stats.onPresented(-7, 0);  // never returned by the host: counted, but no latency
  stats.onDropped(StreamStatistics::Drop::Trimmed, 3);
  stats.onDropped(StreamStatistics::Drop::Late);

  OrvoStreamStatistics out = {};
  out.size = sizeof(out);
  stats.fill(&out);
  EXPECT_EQ(out.size, sizeof(out));
  EXPECT_EQ(out.requested, 101u);
  EXPECT_EQ(out.returned, 100u);
  EXPECT_EQ(out.decoded, 100u);
  EXPECT_EQ(out.queued, 100u);
  EXPECT_EQ(out.presented, 101u);
  EXPECT_EQ(out.queueDepth, 0u);
  EXPECT_EQ(out.queueDepthMax, 4u);
  EXPECT_EQ(out.droppedTrimmed, 3u);
  EXPECT_EQ(out.droppedLate, 1u);
  EXPECT_DOUBLE_EQ(out.decodeMsMedian, 5.0);
  EXPECT_DOUBLE_EQ(out.latencyMsMedian, 20.0);
  EXPECT_DOUBLE_EQ(out.latencyMsP99, 20.0) << "one slow frame in a hundred is the 1 % above the 99th percentile";
  EXPECT_DOUBLE_EQ(out.presentMsMedian, 2.0);
  EXPECT_DOUBLE_EQ(out.convertMsMedian, 0.0) << "no sample converted yet";
  EXPECT_NE(stats.summary().find("presented 101"), std::string::npos);
}

// The windows keep only the newest samples, and readers on other threads never see torn values.
TEST(StreamStatistics, WindowForgetsOldSamplesWhileReadersPoll) {
  StreamStatistics stats;
  std::thread reader([&] {
    OrvoStreamStatistics out = {};
    out.size = sizeof(out);
    for (int i = 0; i < 200; ++i) {
      stats.fill(&out);
      ASSERT_TRUE(out.processMsMedian == 0.0 || out.processMsMedian == 100.0 || out.processMsMedian == 1.0);
    }
  });
  for (size_t i = 0; i < StreamStatistics::kWindow; ++i) stats.onStage(StreamStatistics::Stage::Process, 100 * kMs);
  for (size_t i = 0; i < StreamStatistics::kWindow; ++i) stats.onStage(StreamStatistics::Stage::Process, 1 * kMs);
  reader.join();
  OrvoStreamStatistics out = {};
  stats.fill(&out);
  EXPECT_DOUBLE_EQ(out.processMsP99, 1.0);

  std::vector<int64_t> values = {5, 1, 4, 2, 3};
  EXPECT_EQ(StreamStatistics::Percentile(values, 0.5), 3);
  EXPECT_EQ(StreamStatistics::Percentile(values, 0.99), 5);
}
