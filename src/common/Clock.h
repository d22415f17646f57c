#pragma once

#include <cstdint>

namespace ORVO {

// "Not set" for every 100-ns time and timestamp of the low-latency engine.
constexpr int64_t kUnsetTime = INT64_MIN;

// Monotonic time since the library was loaded, in units of 1/unitsPerSecond seconds, from the
// performance counter at microsecond resolution. elapsedTime(10000000) gives 100-ns ticks.
int64_t elapsedTime(int64_t unitsPerSecond);

// The conversion itself, from whole microseconds, kept free of the clock so it can be tested.
int64_t scaleMicroseconds(int64_t microseconds, int64_t unitsPerSecond);

}  // namespace ORVO
