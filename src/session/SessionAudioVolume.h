#pragma once

#include <windows.h>
// evr.h (strmif.h) must precede audiopolicy.h (ksmedia.h): mingw-w64's ksmedia.h redefines
// types that strmif.h declares unless strmif.h came first.
#include <d3d9.h>
#include <evr.h>
#include <mfidl.h>
#include <audiopolicy.h>
#include <wrl/client.h>

#include <vector>

#include "session/SessionTopologyBuilder.h"

namespace ORVO {
namespace MediaFoundation {

// Volume and balance of the session's audio. The control is found lazily, only while the session
// plays: the audio renderer's per-channel stream volume, or failing that the volume of this
// process's own audio session (which has no balance) on the endpoint the session's audio plays on
// (the topology's: the host's choice, or the default console endpoint). Until a control exists,
// settings are only remembered; ApplyStored hands them to the renderer when the session reports it
// has started.
// The balance is mapped onto channel gains by SessionAudioMath.
//
// Not locked itself: every call comes from MediaFoundationPlayer under its m_lock. Each operation
// takes the playing session (null while the session is not started), where a control may be found.
class SessionAudioVolume {
 public:
  // logOwner: the engine, whose address the log lines carry.
  // topology: where the endpoint in use is read; it outlives this object.
  SessionAudioVolume(const SessionTopologyBuilder& topology, const void* logOwner)
      : m_topology(topology), m_logOwner(logOwner) {}

  double GetVolume(IMFMediaSession* startedSession);
  HRESULT SetVolume(IMFMediaSession* startedSession, double volume);
  double GetBalance(IMFMediaSession* startedSession);
  HRESULT SetBalance(IMFMediaSession* startedSession, double balance);
  // Applies what was set before playback: the volume if one was set (which also applies the
  // balance), else the balance if one was set.
  void ApplyStored(IMFMediaSession* startedSession);
  // The controls belong to the renderer of a session that has ended; the settings stay.
  void ReleaseControls();

 private:
  void createVolumeControl(IMFMediaSession* startedSession);
  void findProcessAudioSession();

  const SessionTopologyBuilder& m_topology;
  const void* m_logOwner;
  Microsoft::WRL::ComPtr<ISimpleAudioVolume> m_simpleVolume;
  Microsoft::WRL::ComPtr<IMFAudioStreamVolume> m_streamVolume;
  double m_volume = -1.0;   // -1: never set nor read
  double m_balance = -1.0;  // -1: never set nor read
  UINT32 m_channelCount = 0;
  std::vector<float> m_channelVolumes;
};

}  // namespace MediaFoundation
}  // namespace ORVO
