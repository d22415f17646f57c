#pragma once

#include <windows.h>

#include <cstdint>

namespace ORVO {
namespace Media {

// The clock and the waits of a stream's loops. The engine runs on the library clock and real
// waits; tests drive the same loops in virtual time, where a wait only moves the clock on.
class LoopClock {
 public:
  virtual ~LoopClock() = default;
  // 100-ns ticks.
  virtual int64_t now() = 0;
  // Returns after `ticks`, or earlier once `wake` (an event; may be null) is set.
  virtual void wait(HANDLE wake, int64_t ticks) = 0;

  // The library clock (elapsedTime) with WaitForSingleObject/Sleep.
  static LoopClock& System();
};

}  // namespace Media
}  // namespace ORVO
