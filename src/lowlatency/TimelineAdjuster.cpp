#include "lowlatency/TimelineAdjuster.h"

#include <algorithm>

#include "common/Clock.h"

namespace ORVO {
namespace Media {

TimelineAdjuster::TimelineAdjuster(RenderingStrategy strategy, int streamCount, int64_t maxDelay)
    : m_strategy(strategy),
      m_maxDelay(maxDelay > 0 ? maxDelay : kDefaultMaxDelay),
      m_minWait(streamCount > 0 ? static_cast<size_t>(streamCount) : 0, kUnsetTime),
      m_skipNext(m_minWait.size(), false) {}

void TimelineAdjuster::reset(int64_t now) {
  m_addedDelay = 0;
  // The sample each stream agreed on is due the moment it was ready, so it never waits: it says
  // nothing about how early the stream runs.
  std::fill(m_skipNext.begin(), m_skipNext.end(), true);
  startWindow(now);
}

void TimelineAdjuster::startWindow(int64_t now) {
  std::fill(m_minWait.begin(), m_minWait.end(), kUnsetTime);
  m_windowStart = now;
  m_lateInWindow = false;
}

int64_t TimelineAdjuster::windowLength() const {
  return m_strategy == RenderingStrategy::Smooth ? kSmoothWindow : kLowLatencyWindow;
}

int64_t TimelineAdjuster::onSample(int stream, int64_t wait, int64_t now) {
  if (stream < 0 || static_cast<size_t>(stream) >= m_minWait.size()) return 0;
  if (m_skipNext[static_cast<size_t>(stream)]) {
    m_skipNext[static_cast<size_t>(stream)] = false;
    return 0;
  }
  if (m_strategy == RenderingStrategy::Smooth && wait <= -Pacing::kSmoothJitterLimit) {
    // The jitter buffer grows by the lateness, as far as the cap allows.
    // The window starts over after it: a shrink needs a whole window without lateness.
    const int64_t shift = std::min(-wait, m_maxDelay - m_addedDelay);
    startWindow(now);
    if (shift <= 0) {
      m_lateInWindow = true;  // at the cap the lateness stays
      return 0;
    }
    m_addedDelay += shift;
    return shift;
  }
  if (wait < 0) m_lateInWindow = true;
  int64_t& least = m_minWait[static_cast<size_t>(stream)];
  if (least == kUnsetTime || wait < least) least = wait;
  if (Pacing::SaturatingSub(now, m_windowStart) < windowLength()) return 0;

  // The window is over; it counts only when every stream reported in it.
  int64_t smallest = kUnsetTime;
  for (int64_t value : m_minWait) {
    if (value == kUnsetTime) {
      smallest = kUnsetTime;
      break;
    }
    if (smallest == kUnsetTime || value < smallest) smallest = value;
  }
  const bool late = m_lateInWindow;
  startWindow(now);
  if (smallest == kUnsetTime || late) return 0;
  if (m_strategy == RenderingStrategy::LowLatency) {
    return smallest >= kEarlyMargin ? -(smallest - kKeepWait) : 0;
  }
  if (smallest <= kSmoothMargin) return 0;
  const int64_t most = static_cast<int64_t>(static_cast<double>(windowLength()) * kSmoothShrinkShare);
  const int64_t shrink = std::min(smallest - kSmoothMargin, most);
  m_addedDelay -= shrink;
  return -shrink;
}

}  // namespace Media
}  // namespace ORVO
