#include "session/SessionAudioVolume.h"

#include <mfapi.h>
#include <mmdeviceapi.h>

#include "common/ComInit.h"
#include "log/Log.h"
#include "render/AudioEndpoint.h"
#include "session/SessionAudioMath.h"
#include "session/SessionServices.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

void SessionAudioVolume::createVolumeControl(IMFMediaSession* startedSession) {
  if (!startedSession || m_streamVolume || m_simpleVolume) return;
  HRESULT hr = GetSessionService(startedSession, MR_STREAM_VOLUME_SERVICE, m_streamVolume);
  if (SUCCEEDED(hr)) {
    UINT32 count = 0;
    hr = m_streamVolume->GetChannelCount(&count);
    if (SUCCEEDED(hr) && count > 0) {
      m_channelCount = count;
      m_channelVolumes.assign(count, 0.0f);
    } else {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::createVolumeControl[%p]: failed to get channel count 0x%x", m_logOwner,
                     static_cast<unsigned>(hr));
      if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
      m_streamVolume.Reset();
    }
  }
  if (m_streamVolume) return;
  ORVO_LOG_DEBUG("MediaFoundationPlayer::createVolumeControl[%p]: failed to get stream volume service 0x%x",
                 m_logOwner, static_cast<unsigned>(hr));
  findProcessAudioSession();
}

// Falls back to the volume of this process's own audio session on the endpoint the audio plays on.
void SessionAudioVolume::findProcessAudioSession() {
  InitializeComForThread();
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDevice> device;
  ComPtr<IAudioSessionManager2> manager;
  ComPtr<IAudioSessionEnumerator> sessions;
  int count = 0;
  HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
  if (SUCCEEDED(hr)) hr = AudioEndpoint::Find(enumerator.Get(), m_topology.audioEndpoint(), &device);
  if (SUCCEEDED(hr)) {
    hr = device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                          reinterpret_cast<void**>(manager.GetAddressOf()));
  }
  if (SUCCEEDED(hr) && !manager) hr = E_NOINTERFACE;
  if (SUCCEEDED(hr)) hr = manager->GetSessionEnumerator(&sessions);
  if (SUCCEEDED(hr) && !sessions) hr = E_NOINTERFACE;
  if (SUCCEEDED(hr)) hr = sessions->GetCount(&count);
  if (LogIfFailed(hr, "MediaFoundationPlayer::createVolumeControl[%p]: audio session manager", m_logOwner)) return;
  const DWORD self = GetCurrentProcessId();
  for (int i = 0; i < count; ++i) {
    ComPtr<IAudioSessionControl> control;
    ComPtr<IAudioSessionControl2> control2;
    AudioSessionState state = AudioSessionStateInactive;
    DWORD processId = 0;
    hr = sessions->GetSession(i, &control);
    if (SUCCEEDED(hr) && !control) hr = E_NOINTERFACE;
    if (SUCCEEDED(hr)) hr = control->GetState(&state);
    if (SUCCEEDED(hr)) hr = control.As(&control2);
    if (SUCCEEDED(hr)) hr = control2->GetProcessId(&processId);
    if (LogIfFailed(hr, "MediaFoundationPlayer::createVolumeControl[%p]: audio session %d", m_logOwner, i)) return;
    if (processId == self) {
      if (FAILED(control.As(&m_simpleVolume))) m_simpleVolume.Reset();
      return;
    }
  }
}

double SessionAudioVolume::GetVolume(IMFMediaSession* startedSession) {
  if (!m_simpleVolume && !m_streamVolume) {
    createVolumeControl(startedSession);
    if (!m_simpleVolume && !m_streamVolume) return 1.0;
  }
  if (m_simpleVolume) {
    float volume = 1.0f;
    if (FAILED(m_simpleVolume->GetMasterVolume(&volume))) volume = 1.0f;
    m_volume = volume;
    return m_volume;
  }
  double volume = 1.0;
  if (SUCCEEDED(m_streamVolume->GetAllVolumes(m_channelCount, m_channelVolumes.data()))) {
    volume = VolumeFromChannels(m_channelVolumes.data(), m_channelCount);
  }
  m_volume = volume;
  return m_volume;
}

HRESULT SessionAudioVolume::SetVolume(IMFMediaSession* startedSession, double volume) {
  if (!IsUnitRange(volume)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::SetVolume[%p]: volume %f out of range", m_logOwner, volume);
    return E_INVALIDARG;
  }
  m_volume = volume;
  if (!m_simpleVolume && !m_streamVolume) {
    createVolumeControl(startedSession);
    if (!m_simpleVolume && !m_streamVolume) return S_OK;  // applied at the next start
  }
  if (m_simpleVolume) {
    const HRESULT hr = m_simpleVolume->SetMasterVolume(static_cast<float>(volume), &GUID_NULL);
    LogIfFailed(hr, "MediaFoundationPlayer::SetVolume[%p]: SetMasterVolume", m_logOwner);
    return hr;
  }
  if (m_balance < 0.0) GetBalance(startedSession);
  const std::vector<float> volumes = ChannelVolumes(m_channelCount, m_volume, m_balance);
  const HRESULT hr = m_streamVolume->SetAllVolumes(m_channelCount, volumes.data());
  LogIfFailed(hr, "MediaFoundationPlayer::SetVolume[%p]: SetAllVolumes", m_logOwner);
  return hr;
}

double SessionAudioVolume::GetBalance(IMFMediaSession* startedSession) {
  if (!m_streamVolume) createVolumeControl(startedSession);
  double balance = 0.5;
  if (m_streamVolume && m_channelCount > 1 &&
      SUCCEEDED(m_streamVolume->GetAllVolumes(m_channelCount, m_channelVolumes.data()))) {
    balance = BalanceFromChannels(m_channelVolumes.data(), m_channelCount);
  }
  if (!m_streamVolume) return balance;
  m_balance = balance;
  return m_balance;
}

HRESULT SessionAudioVolume::SetBalance(IMFMediaSession* startedSession, double balance) {
  if (!IsUnitRange(balance)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::SetBalance[%p]: balance %f out of range", m_logOwner, balance);
    return E_INVALIDARG;
  }
  m_balance = balance;
  if (!m_streamVolume) createVolumeControl(startedSession);
  if (!m_streamVolume) return S_OK;  // remembered; the process session's volume has no balance
  if (m_volume < 0.0) GetVolume(startedSession);
  return SetVolume(startedSession, m_volume);
}

void SessionAudioVolume::ApplyStored(IMFMediaSession* startedSession) {
  if (m_volume >= 0.0) {
    SetVolume(startedSession, m_volume);
  } else if (m_balance >= 0.0) {
    SetBalance(startedSession, m_balance);
  }
}

void SessionAudioVolume::ReleaseControls() {
  m_streamVolume.Reset();
  m_simpleVolume.Reset();
  m_channelCount = 0;
  m_channelVolumes.clear();
}

}  // namespace MediaFoundation
}  // namespace ORVO
