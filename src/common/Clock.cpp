#include "common/Clock.h"

#include <windows.h>

namespace ORVO {

namespace {

int64_t gcd(int64_t a, int64_t b) {
  while (b != 0) {
    const int64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

struct ClockBase {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER start{};
  ClockBase() {
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
  }
};

// Taken during static initialisation, before any export can run.
const ClockBase g_clockBase;

}  // namespace

int64_t scaleMicroseconds(int64_t m, int64_t u) {
  if (u == 1000000) return m;
  const int64_t g = (u <= 0) ? 1 : gcd(1000000, u % 1000000);
  // gcd(1000000, 0) is 1000000: whole seconds scale by an integer factor without overflow risk.
  return m * (u / g) / (1000000 / g);
}

int64_t elapsedTime(int64_t unitsPerSecond) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const int64_t ticks = now.QuadPart - g_clockBase.start.QuadPart;
  const int64_t frequency = g_clockBase.frequency.QuadPart;
  // Split into seconds and remainder so the multiplication cannot overflow for long uptimes.
  const int64_t micros = (ticks / frequency) * 1000000 + (ticks % frequency) * 1000000 / frequency;
  return scaleMicroseconds(micros, unitsPerSecond);
}

}  // namespace ORVO
