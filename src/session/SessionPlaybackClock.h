#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// The session's presentation clock and its rate services, taken when a topology becomes ready:
// where the position comes from, whether seeking is possible, and how a rate reaches the platform.
// The player imposes no range of its own on the rate: one that IMFRateSupport accepts plainly is
// set plainly, one it accepts only thinned is set thinned; without IMFRateSupport it goes to
// IMFRateControl unchecked.
//
// Not locked itself: MediaFoundationPlayer uses it under its m_lock.
class SessionPlaybackClock {
 public:
  // logOwner: the engine, whose address the log lines carry.
  explicit SessionPlaybackClock(const void* logOwner) : m_logOwner(logOwner) {}

  void Attach(IMFMediaSession* session);
  void Detach();

  bool hasClock() const { return m_presentationClock != nullptr; }
  bool hasRateControl() const { return m_rateControl != nullptr; }
  // False when there is no clock or it cannot tell.
  bool ReadTime(MFTIME* time) const;
  // The session's current rate (requires the rate control); 0.0 when it cannot tell.
  double ReadRate() const;
  // Checks the rate against the rate support and sets it; MF_E_INVALIDREQUEST without a rate control.
  HRESULT SetRate(double rate);

 private:
  const void* m_logOwner;
  Microsoft::WRL::ComPtr<IMFRateControl> m_rateControl;
  Microsoft::WRL::ComPtr<IMFRateSupport> m_rateSupport;
  Microsoft::WRL::ComPtr<IMFPresentationClock> m_presentationClock;
};

}  // namespace MediaFoundation
}  // namespace ORVO
