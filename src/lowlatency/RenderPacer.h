#pragma once

#include <cstdint>

#include "common/Clock.h"
#include "lowlatency/PacingRules.h"

namespace ORVO {
namespace Media {

// The pacing state of one stream's rendering thread, free of clocks and locks: the thread feeds it
// each sample's time together with what the synchronizer answered and the clock, and it says what
// to do with the sample. Used by one thread only.
class RenderPacer {
 public:
  enum class Step {
    Drop,          // no agreement yet: drop the sample
    TimestampGap,  // 1 s or more since the last presented sample: reset the agreement, drop
    PlaybackGap,   // scheduled 10 s or more away from the clock: reset the agreement, drop
    Render,        // present at `presentation`; the clock says `playback` now
  };

  struct Decision {
    Step step = Step::Drop;
    bool newAgreement = false;      // this sample adopted a fresh agreement
    bool startTimeAdopted = false;  // the common local start moved (Smooth shift) and was adopted
    int64_t presentation = 0;       // sample time - base timestamp
    int64_t playback = 0;           // now - base local time
    int64_t last = 0;               // previous presented sample time (for the gap line)
  };

  // agreed: GetStartStreamTime's answer; startLocalTime: the synchronizer's local start read with it.
  Decision onSample(int64_t sampleTime, int64_t agreed, int64_t startLocalTime, int64_t now);
  // The sample went through presentation: it becomes `last` for the gap rule.
  void presented(int64_t sampleTime) { m_last = sampleTime; }
  // Playback time for a later clock reading (the wait after frame preparation).
  int64_t playbackAt(int64_t now) const;

  bool synchronised() const;
  int64_t baseTimestamp() const { return m_baseTimestamp; }
  int64_t baseLocalTime() const { return m_baseLocalTime; }
  int64_t last() const { return m_last; }

 private:
  void unsynchronise();

  int64_t m_baseTimestamp = kUnsetTime;
  int64_t m_baseLocalTime = kUnsetTime;
  int64_t m_last = kUnsetTime;
};

}  // namespace Media
}  // namespace ORVO
