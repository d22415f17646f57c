#include "lowlatency/AudioPlacement.h"

#include <algorithm>

namespace ORVO {
namespace Media {
namespace AudioPlacement {

namespace {
int64_t Step(int64_t magnitude) { return magnitude < kLargeError ? std::min(magnitude, kSmallStep) : magnitude; }
}  // namespace

int64_t NextAhead(int64_t current, bool ranDry, int64_t sinceChange) {
  if (ranDry) return std::min(current + kAheadStep, kMaxAhead);
  if (sinceChange >= kAheadRelax && current > kMinAhead) return std::max(current - kAheadStep / 2, kMinAhead);
  return current;
}

Action Decide(RenderingStrategy strategy, int64_t error, int64_t queued) {
  Action action;
  if (error < -kTolerance) {
    action.silence = Step(-error);
    return action;
  }
  if (error <= kTolerance || queued <= 0) return action;
  if (strategy == RenderingStrategy::Smooth && error <= kSmoothDropAbove) {
    action.speed = kSmoothSpeedUp;
    action.catchUp = error >= kLargeError;
    return action;
  }
  // Smooth drops only what lies beyond its bound; LowLatency everything that is late.
  const int64_t excess = strategy == RenderingStrategy::Smooth ? error - kSmoothDropAbove / 2 : error;
  action.drop = std::min(Step(excess), queued);
  action.catchUp = error >= kLargeError;
  return action;
}

}  // namespace AudioPlacement
}  // namespace Media
}  // namespace ORVO
