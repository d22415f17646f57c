#include "lowlatency/AvSyncMonitor.h"

#include <algorithm>
#include <vector>

#include "lowlatency/PacingRules.h"
#include "lowlatency/StreamStatistics.h"

namespace ORVO {
namespace Media {

void AvSyncMonitor::onVideo(int64_t error, int64_t now) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_videoError = error;
  m_videoAt = now;
  m_recentVideo[m_recentNext] = error;
  m_recentNext = (m_recentNext + 1) % kRecentVideo;
  if (m_recentCount < kRecentVideo) ++m_recentCount;
}

int64_t AvSyncMonitor::videoLateness() const {
  std::vector<int64_t> recent;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_videoAt == INT64_MIN) return 0;
    recent.assign(m_recentVideo.begin(), m_recentVideo.begin() + static_cast<std::ptrdiff_t>(m_recentCount));
  }
  const int64_t median = StreamStatistics::Percentile(recent, 0.5);
  return std::min(std::max<int64_t>(median, 0), kMaxFollow);
}

void AvSyncMonitor::onAudio(int64_t error, int64_t now) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_videoAt == INT64_MIN || Pacing::SaturatingSub(now, m_videoAt) > kVideoFresh) return;
  const int64_t offset = Pacing::SaturatingSub(error, m_videoError);
  m_offsets[m_next] = offset;
  m_next = (m_next + 1) % kWindow;
  if (m_count < kWindow) ++m_count;
  ++m_measured;
  const bool inside = offset >= kEarliest && offset <= kLatest;
  m_otherSide = inside == m_inBounds ? 0 : m_otherSide + 1;
  if (m_otherSide >= kSettle) {
    m_inBounds = inside;
    m_otherSide = 0;
  }
}

void AvSyncMonitor::reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_videoAt = INT64_MIN;
  m_recentCount = 0;
  m_recentNext = 0;
}

AvSyncMonitor::Figures AvSyncMonitor::figures() const {
  std::vector<int64_t> offsets;
  Figures figures;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    offsets.assign(m_offsets.begin(), m_offsets.begin() + static_cast<std::ptrdiff_t>(m_count));
    figures.inBounds = m_inBounds;
    figures.measured = m_measured;
  }
  if (offsets.empty()) return figures;
  int64_t largest = 0;
  for (int64_t offset : offsets) {
    if (Pacing::AbsDifference(offset, 0) > Pacing::AbsDifference(largest, 0)) largest = offset;
  }
  figures.offsetMsLargest = static_cast<double>(largest) / 10000.0;
  figures.offsetMsMedian = static_cast<double>(StreamStatistics::Percentile(offsets, 0.5)) / 10000.0;
  return figures;
}

bool AvSyncMonitor::inBounds() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_inBounds;
}

}  // namespace Media
}  // namespace ORVO
