#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ORVO {
namespace Media {

// How a stream's rendering thread treats queues and late frames.
enum class RenderingStrategy : int {
  LowLatency = 0,  // trim every queue to its newest frame when all have backed up; late frames go out at once
  Smooth = 1,      // never trim; a late frame moves the common start time by its lateness
};

// The pacing rules of the low-latency engine as plain functions of 100-ns times, so that every
// threshold can be checked without threads or clocks. Callers pass the clock readings in.
namespace Pacing {

constexpr int64_t kTimestampGapLimit = 10000000;   // 1 s between consecutive presented samples
constexpr int64_t kPlaybackGapLimit = 100000000;   // 10 s between a sample's schedule and the clock
constexpr int64_t kSmoothJitterLimit = 20000;      // 2 ms of lateness before Smooth shifts the start
constexpr int64_t kFlushInterval = 10000000;       // LowLatency asks for a trim at most once a second
constexpr int64_t kStartGrace = 30000000;          // how long agreement waits for a silent stream
constexpr size_t kTrimQueueLength = 3;             // every active queue must hold this many to trim
constexpr double kVolumeTolerance = 0.01;
constexpr int64_t kAudioLead = 1000000;            // audio without an endpoint yet is handed over 100 ms early
constexpr int64_t kMaxDelayLimit = 100000000;      // maxDelayMs= is taken up to 10 s

// a - b, clamped to the int64 range: host timestamps are arbitrary and must not overflow.
int64_t SaturatingSub(int64_t a, int64_t b);
// |a - b|, clamped likewise.
int64_t AbsDifference(int64_t a, int64_t b);

// Milliseconds to sleep before presenting: (presentation - playback) / 10000 when early, else 0.
int64_t WaitMilliseconds(int64_t presentation, int64_t playback);

// Consecutive presented samples 1 s or more apart (either way) restart the agreement. No
// previous sample (kUnsetTime) is never a gap.
bool IsTimestampGap(int64_t last, int64_t sampleTime);

// A schedule 10 s or more away from the clock restarts the agreement.
bool IsPlaybackGap(int64_t playback, int64_t presentation);

// How far Smooth moves the common start local time for a sample presented at playback time:
// the lateness when it is 2 ms or more, else 0. LowLatency never moves it.
int64_t StartTimeShift(RenderingStrategy strategy, int64_t playback, int64_t presentation);

// The local start bound to an agreement on `start` (a timestamp): as early as the reports allow
// without any reported sample falling due before it was ready, that is the latest of
// readyAt - (timestamp - start) over the reports, and never later than now. A report without a
// ready time counts as ready now. timestamps and readyTimes are parallel; kUnsetTime timestamps
// are streams that have not reported.
int64_t AgreedStartLocalTime(const std::vector<int64_t>& timestamps, const std::vector<int64_t>& readyTimes,
                             int64_t start, int64_t now);

// LowLatency's rendering thread asks for a trim when a second has passed since the last one.
bool IsFlushDue(int64_t now, int64_t lastFlush);

// A trim happens only when there is an active stream and every active queue holds 3 or more.
bool ShouldTrimQueues(const std::vector<size_t>& activeQueueLengths);

// Volume and balance requests reach the audio renderer only when they differ by more than 0.01
// from what it was last given (-1.0 on both sides means never set: nothing to apply).
bool ShouldApplyLevel(double applied, double requested);

// The URI's maxDelayMs value (Smooth's cap on its jitter buffer) in 100-ns ticks: a whole number
// of milliseconds from 1 up to kMaxDelayLimit; anything else, absence included, is 0 (the default).
int64_t MaxDelayFromQueryValue(const std::string& value);

// The URI's renderingStrategy value (case-insensitive "lowlatency" or "smooth"); anything else,
// including absence, is LowLatency.
RenderingStrategy StrategyFromQueryValue(const std::string& value);

}  // namespace Pacing
}  // namespace Media
}  // namespace ORVO
