#include "lowlatency/PacingRules.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "common/Clock.h"

namespace ORVO {
namespace Media {
namespace Pacing {

int64_t SaturatingSub(int64_t a, int64_t b) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (b < 0 && a > kMax + b) return kMax;
  if (b > 0 && a < kMin + b) return kMin;
  return a - b;
}

int64_t AbsDifference(int64_t a, int64_t b) {
  const int64_t difference = SaturatingSub(a, b);
  if (difference == std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::max();
  return difference < 0 ? -difference : difference;
}

int64_t WaitMilliseconds(int64_t presentation, int64_t playback) {
  if (presentation <= playback) return 0;
  return SaturatingSub(presentation, playback) / 10000;
}

bool IsTimestampGap(int64_t last, int64_t sampleTime) {
  if (last == kUnsetTime) return false;
  return AbsDifference(sampleTime, last) >= kTimestampGapLimit;
}

bool IsPlaybackGap(int64_t playback, int64_t presentation) {
  return AbsDifference(playback, presentation) >= kPlaybackGapLimit;
}

int64_t StartTimeShift(RenderingStrategy strategy, int64_t playback, int64_t presentation) {
  if (strategy != RenderingStrategy::Smooth || presentation > playback) return 0;
  const int64_t lateness = SaturatingSub(playback, presentation);
  return lateness >= kSmoothJitterLimit ? lateness : 0;
}

int64_t AgreedStartLocalTime(const std::vector<int64_t>& timestamps, const std::vector<int64_t>& readyTimes,
                             int64_t start, int64_t now) {
  int64_t latest = kUnsetTime;
  for (size_t i = 0; i < timestamps.size(); ++i) {
    if (timestamps[i] == kUnsetTime) continue;
    const int64_t ready = i < readyTimes.size() && readyTimes[i] != kUnsetTime ? readyTimes[i] : now;
    const int64_t bound = SaturatingSub(ready, SaturatingSub(timestamps[i], start));
    if (latest == kUnsetTime || bound > latest) latest = bound;
  }
  return latest == kUnsetTime || latest > now ? now : latest;
}

bool IsFlushDue(int64_t now, int64_t lastFlush) { return SaturatingSub(now, lastFlush) >= kFlushInterval; }

bool ShouldTrimQueues(const std::vector<size_t>& activeQueueLengths) {
  if (activeQueueLengths.empty()) return false;
  return *std::min_element(activeQueueLengths.begin(), activeQueueLengths.end()) >= kTrimQueueLength;
}

bool ShouldApplyLevel(double applied, double requested) {
  const double difference = applied > requested ? applied - requested : requested - applied;
  return difference > kVolumeTolerance;
}

int64_t MaxDelayFromQueryValue(const std::string& value) {
  if (value.empty() || value.size() > 9) return 0;
  int64_t milliseconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return 0;
    milliseconds = milliseconds * 10 + (c - '0');
  }
  const int64_t ticks = milliseconds * 10000;
  return ticks > 0 && ticks <= kMaxDelayLimit ? ticks : 0;
}

RenderingStrategy StrategyFromQueryValue(const std::string& value) {
  std::string lower(value);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "smooth") return RenderingStrategy::Smooth;
  return RenderingStrategy::LowLatency;
}

}  // namespace Pacing
}  // namespace Media
}  // namespace ORVO
