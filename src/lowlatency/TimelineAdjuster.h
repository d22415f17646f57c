#pragma once

#include <cstdint>
#include <vector>

#include "lowlatency/PacingRules.h"

namespace ORVO {
namespace Media {

// Moves a player's agreed timeline after the fact, free of clocks and locks. Each stream reports,
// for every sample it is about to present, how long the sample still has to wait for its due time
// (negative: it is late). From that:
// - LowLatency: when every active stream has waited at least kEarlyMargin for a whole window, the
//   agreement was made on a slow start (a first frame that took longer than the ones after it) and
//   holds every frame back for nothing: the timeline moves earlier by the smallest wait, minus
//   kKeepWait.
// - Smooth: a late sample moves the timeline later by its lateness (the jitter buffer grows), but
//   the delay added that way never exceeds the cap; a window in which nothing was late and every
//   stream waited more than kSmoothMargin shrinks it again, by at most kSmoothShrinkShare of the
//   window, so audio catches up with a slight speed-up rather than a jump.
// Shifts are in 100-ns ticks: negative moves the timeline earlier, positive later.
class TimelineAdjuster {
 public:
  static constexpr int64_t kLowLatencyWindow = 10000000;  // 1 s
  static constexpr int64_t kSmoothWindow = 20000000;      // 2 s
  static constexpr int64_t kEarlyMargin = 80000;          // 8 ms held by every stream
  static constexpr int64_t kKeepWait = 20000;             // 2 ms left as headroom
  static constexpr int64_t kSmoothMargin = 300000;        // 30 ms of jitter headroom Smooth keeps
  static constexpr double kSmoothShrinkShare = 0.03;      // shrink by at most 3 % of the window
  static constexpr int64_t kDefaultMaxDelay = 5000000;    // 500 ms

  TimelineAdjuster(RenderingStrategy strategy, int streamCount, int64_t maxDelay);

  // A new agreement: the delay added so far and the window start again.
  void reset(int64_t now);
  // Stream `stream` will wait `wait` ticks for its sample's due time (negative: late). Returns the
  // shift to apply to the timeline now (0 for none).
  int64_t onSample(int stream, int64_t wait, int64_t now);
  // Delay the Smooth jitter buffer has added since the agreement.
  int64_t addedDelay() const { return m_addedDelay; }
  int64_t maxDelay() const { return m_maxDelay; }

 private:
  void startWindow(int64_t now);
  int64_t windowLength() const;

  const RenderingStrategy m_strategy;
  const int64_t m_maxDelay;
  std::vector<int64_t> m_minWait;  // per stream in this window; kUnsetTime: no report yet
  std::vector<bool> m_skipNext;    // per stream: its next report is the agreed sample
  int64_t m_windowStart = 0;
  bool m_lateInWindow = false;
  int64_t m_addedDelay = 0;
};

}  // namespace Media
}  // namespace ORVO
