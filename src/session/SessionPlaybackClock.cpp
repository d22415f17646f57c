#include "session/SessionPlaybackClock.h"

#include <mferror.h>

#include "log/Log.h"
#include "session/SessionAudioMath.h"
#include "session/SessionServices.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

void SessionPlaybackClock::Attach(IMFMediaSession* session) {
  if (SUCCEEDED(GetSessionService(session, MF_RATE_CONTROL_SERVICE, m_rateControl))) {
    GetSessionService(session, MF_RATE_CONTROL_SERVICE, m_rateSupport);
  } else {
    m_rateSupport.Reset();
  }
  ComPtr<IMFClock> clock;
  m_presentationClock.Reset();
  if (SUCCEEDED(session->GetClock(&clock)) && clock) clock.As(&m_presentationClock);
}

void SessionPlaybackClock::Detach() {
  m_rateControl.Reset();
  m_rateSupport.Reset();
  m_presentationClock.Reset();
}

bool SessionPlaybackClock::ReadTime(MFTIME* time) const {
  return m_presentationClock && SUCCEEDED(m_presentationClock->GetTime(time));
}

double SessionPlaybackClock::ReadRate() const {
  BOOL thin = FALSE;
  float current = 0.0f;
  if (!m_rateControl || FAILED(m_rateControl->GetRate(&thin, &current))) return 0.0;
  return current;
}

HRESULT SessionPlaybackClock::SetRate(double rate) {
  if (!m_rateControl) return MF_E_INVALIDREQUEST;
  const float platformRate = static_cast<float>(rate);
  bool thin = false;
  if (m_rateSupport) {
    const HRESULT plain = m_rateSupport->IsRateSupported(FALSE, platformRate, nullptr);
    const HRESULT thinned = SUCCEEDED(plain) ? plain : m_rateSupport->IsRateSupported(TRUE, platformRate, nullptr);
    const HRESULT hr = ChooseRateThinning(plain, thinned, &thin);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::IssueRate[%p]: rate %f not supported 0x%X", m_logOwner, rate,
                     static_cast<unsigned>(hr));
      return hr;
    }
  }
  const HRESULT hr = m_rateControl->SetRate(thin ? TRUE : FALSE, platformRate);
  LogIfFailed(hr, "MediaFoundationPlayer::IssueRate[%p]: SetRate", m_logOwner);
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
