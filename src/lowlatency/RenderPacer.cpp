#include "lowlatency/RenderPacer.h"

#include "common/Clock.h"

namespace ORVO {
namespace Media {

void RenderPacer::unsynchronise() {
  m_baseTimestamp = kUnsetTime;
  m_baseLocalTime = kUnsetTime;
  m_last = kUnsetTime;
}

bool RenderPacer::synchronised() const { return m_baseTimestamp != kUnsetTime && m_baseLocalTime != kUnsetTime; }

int64_t RenderPacer::playbackAt(int64_t now) const { return Pacing::SaturatingSub(now, m_baseLocalTime); }

RenderPacer::Decision RenderPacer::onSample(int64_t sampleTime, int64_t agreed, int64_t startLocalTime, int64_t now) {
  Decision decision;
  // An agreement without a local start cannot be paced against; treat it as none (the
  // synchronizer hands both out together, so this only guards against a torn reading).
  if (agreed == kUnsetTime || startLocalTime == kUnsetTime) {
    unsynchronise();
    return decision;
  }

  if (m_baseTimestamp != kUnsetTime && m_baseTimestamp == agreed) {
    if (startLocalTime != m_baseLocalTime) {
      m_baseLocalTime = startLocalTime;
      decision.startTimeAdopted = true;
    }
    decision.playback = playbackAt(now);
    decision.presentation = Pacing::SaturatingSub(sampleTime, m_baseTimestamp);
    decision.last = m_last;
    if (Pacing::IsTimestampGap(m_last, sampleTime)) {
      decision.step = Step::TimestampGap;
      return decision;
    }
  } else {
    m_baseTimestamp = agreed;
    m_baseLocalTime = startLocalTime;
    m_last = kUnsetTime;
    decision.newAgreement = true;
    decision.playback = playbackAt(now);
    decision.presentation = Pacing::SaturatingSub(sampleTime, m_baseTimestamp);
    decision.last = m_last;
  }

  decision.step = Pacing::IsPlaybackGap(decision.playback, decision.presentation) ? Step::PlaybackGap : Step::Render;
  return decision;
}

}  // namespace Media
}  // namespace ORVO
