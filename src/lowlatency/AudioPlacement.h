#pragma once

#include <cstdint>

#include "lowlatency/PacingRules.h"

namespace ORVO {
namespace Media {

// Where a decoded audio sample goes on the endpoint's timeline, free of clocks and devices. The
// output knows when the sample's first frame would be heard if it were written behind what the
// endpoint and the staging buffer already hold, and when it is due; `error` is the difference
// (heard minus due, 100-ns ticks: positive means late). The answer says how to make them meet:
// - early: silence goes in front of the sample;
// - late with audio queued ahead: LowLatency drops queued audio, Smooth plays it up to 5 % faster
//   and drops only a backlog beyond kSmoothDropAbove;
// - within kTolerance nothing changes, so a steady feed plays untouched.
// Small errors (drift, jitter) are corrected by at most kSmallStep per sample, which no listener
// hears as a gap; large ones (start-up, a stall, a burst) at once.
namespace AudioPlacement {

constexpr int64_t kTolerance = 100000;        // 10 ms
constexpr int64_t kSmallStep = 40000;         // 4 ms per sample for errors below kLargeError
constexpr int64_t kLargeError = 400000;       // 40 ms
constexpr int64_t kSmoothDropAbove = 2000000; // 200 ms
constexpr double kSmoothSpeedUp = 1.05;

struct Action {
  int64_t silence = 0;  // ticks of silence to put before the sample
  int64_t drop = 0;     // ticks of queued audio (the sample included) to leave out
  double speed = 1.0;   // >1: play the sample this much faster
  bool catchUp = false; // a large lateness is being caught up
};

// What the output keeps written ahead of the device: kMinAhead normally; an endpoint that ran dry
// (the rendering thread was held up longer than the audio ahead lasted) raises it by kAheadStep up
// to kMaxAhead, and kAheadRelax without running dry lowers it by half a step again.
constexpr int64_t kMinAhead = 400000;      // 40 ms
constexpr int64_t kMaxAhead = 1000000;     // 100 ms
constexpr int64_t kAheadStep = 200000;     // 20 ms
constexpr int64_t kAheadRelax = 100000000; // 10 s
int64_t NextAhead(int64_t current, bool ranDry, int64_t sinceChange);

// error: heard minus due. queued: ticks of audio that could still be dropped (the staging buffer
// and the sample itself; what the endpoint already took cannot).
Action Decide(RenderingStrategy strategy, int64_t error, int64_t queued);

}  // namespace AudioPlacement
}  // namespace Media
}  // namespace ORVO
