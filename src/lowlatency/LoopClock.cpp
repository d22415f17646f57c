#include "lowlatency/LoopClock.h"

#include "common/Clock.h"

namespace ORVO {
namespace Media {

namespace {

class SystemLoopClock : public LoopClock {
 public:
  int64_t now() override { return elapsedTime(10000000); }
  void wait(HANDLE wake, int64_t ticks) override {
    const DWORD milliseconds = ticks <= 0 ? 0 : static_cast<DWORD>((ticks + 9999) / 10000);
    if (wake) {
      WaitForSingleObject(wake, milliseconds);
    } else {
      Sleep(milliseconds);
    }
  }
};

}  // namespace

LoopClock& LoopClock::System() {
  static SystemLoopClock clock;
  return clock;
}

}  // namespace Media
}  // namespace ORVO
