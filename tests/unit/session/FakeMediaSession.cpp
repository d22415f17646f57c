#include "FakeMediaSession.h"

#include <mferror.h>

#include <cmath>

#include "common/ComAdopt.h"
#include "session/MediaFoundationPlayer.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::MediaFoundationPlayer;

namespace session_test {

namespace {

// {1092A86C-AB1A-459A-A336-831FBC4D11FF} and {073CD2FC-6CF4-40B7-8859-E89552C841F8}
const GUID kRenderService = {0x1092a86c, 0xab1a, 0x459a, {0xa3, 0x36, 0x83, 0x1f, 0xbc, 0x4d, 0x11, 0xff}};
const GUID kMixerService = {0x073cd2fc, 0x6cf4, 0x40b7, {0x88, 0x59, 0xe8, 0x95, 0x52, 0xc8, 0x41, 0xf8}};

FakeMediaSession* g_nextSession = nullptr;

HRESULT createFakeSession(IMFAttributes*, IMFMediaSession** session) {
  if (!g_nextSession) return E_FAIL;
  g_nextSession->AddRef();
  *session = g_nextSession;
  return S_OK;
}

template <typename T>
HRESULT answer(ServiceMode mode, T* object, REFIID riid, void** out) {
  *out = nullptr;
  if (mode == ServiceMode::Absent || (mode == ServiceMode::Present && !object)) return MF_E_UNSUPPORTED_SERVICE;
  if (mode == ServiceMode::NullWithSuccess) return S_OK;  // what Wine's mixer service does
  return object->QueryInterface(riid, out);
}

}  // namespace

// ---- FakeStreamVolume --------------------------------------------------------------------------

STDMETHODIMP FakeStreamVolume::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown || riid == __uuidof(IMFAudioStreamVolume)) {
    *object = static_cast<IMFAudioStreamVolume*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP FakeStreamVolume::GetChannelCount(UINT32* count) {
  *count = static_cast<UINT32>(volumes.size());
  return channelCountResult;
}

STDMETHODIMP FakeStreamVolume::SetChannelVolume(UINT32 index, const float level) {
  if (index >= volumes.size()) return E_INVALIDARG;
  volumes[index] = level;
  return S_OK;
}

STDMETHODIMP FakeStreamVolume::GetChannelVolume(UINT32 index, float* level) {
  if (index >= volumes.size()) return E_INVALIDARG;
  *level = volumes[index];
  return S_OK;
}

STDMETHODIMP FakeStreamVolume::SetAllVolumes(UINT32 count, const float* levels) {
  if (count != volumes.size()) return E_INVALIDARG;
  for (UINT32 i = 0; i < count; ++i) {
    if (levels[i] < 0.0f || levels[i] > 1.0f) return E_INVALIDARG;  // as the platform refuses
  }
  volumes.assign(levels, levels + count);
  ++setCalls;
  return S_OK;
}

STDMETHODIMP FakeStreamVolume::GetAllVolumes(UINT32 count, float* levels) {
  if (count != volumes.size()) return E_INVALIDARG;
  for (UINT32 i = 0; i < count; ++i) levels[i] = volumes[i];
  return S_OK;
}

// ---- FakeRate ----------------------------------------------------------------------------------

STDMETHODIMP FakeRate::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown || riid == __uuidof(IMFRateControl)) {
    *object = static_cast<IMFRateControl*>(this);
  } else if (riid == __uuidof(IMFRateSupport)) {
    *object = static_cast<IMFRateSupport*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP FakeRate::SetRate(BOOL thin, float newRate) {
  ++setCalls;
  thinned = thin;
  rate = newRate;
  return S_OK;
}

STDMETHODIMP FakeRate::GetRate(BOOL* thin, float* current) {
  if (thin) *thin = thinned;
  *current = rate;
  return S_OK;
}

STDMETHODIMP FakeRate::GetSlowestRate(MFRATE_DIRECTION, BOOL, float* slowest) {
  *slowest = 0.0f;
  return S_OK;
}

STDMETHODIMP FakeRate::GetFastestRate(MFRATE_DIRECTION, BOOL thin, float* fastest) {
  *fastest = thin ? maxThinned : maxPlain;
  return S_OK;
}

STDMETHODIMP FakeRate::IsRateSupported(BOOL thin, float requested, float* nearest) {
  if (nearest) *nearest = requested;
  return std::fabs(requested) <= (thin ? maxThinned : maxPlain) ? S_OK : MF_E_UNSUPPORTED_RATE;
}

// ---- FakeDisplayControl ------------------------------------------------------------------------

STDMETHODIMP FakeDisplayControl::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown || riid == __uuidof(IMFVideoDisplayControl)) {
    *object = static_cast<IMFVideoDisplayControl*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP FakeDisplayControl::SetVideoPosition(const MFVideoNormalizedRect* source, const LPRECT destination) {
  // As the video renderer: either may be null, not both; a source stays until the next one.
  if (!source && !destination) return E_POINTER;
  if (source) lastSource = *source;
  if (destination) lastDestination = *destination;
  ++positionCalls;
  return S_OK;
}

STDMETHODIMP FakeDisplayControl::SetAspectRatioMode(DWORD mode) {
  aspectMode = mode;
  return S_OK;
}

STDMETHODIMP FakeDisplayControl::GetAspectRatioMode(DWORD* mode) {
  *mode = aspectMode;
  return S_OK;
}

STDMETHODIMP FakeDisplayControl::RepaintVideo() {
  ++repaints;
  return S_OK;
}

STDMETHODIMP FakeDisplayControl::SetFullscreen(BOOL fullscreen) {
  fullScreen = fullscreen;
  return S_OK;
}

STDMETHODIMP FakeDisplayControl::GetFullscreen(BOOL* fullscreen) {
  *fullscreen = fullScreen;
  return S_OK;
}

// ---- FakeMixerBitmap ---------------------------------------------------------------------------

STDMETHODIMP FakeMixerBitmap::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown || riid == __uuidof(IMFVideoMixerBitmap)) {
    *object = static_cast<IMFVideoMixerBitmap*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP FakeMixerBitmap::SetAlphaBitmap(const MFVideoAlphaBitmap* bitmap) {
  if (!bitmap) return E_POINTER;
  ++setCalls;
  lastParams = bitmap->params;
  lastFromDc = bitmap->GetBitmapFromDC;
  bitmapWidth = 0;
  if (bitmap->GetBitmapFromDC && bitmap->bitmap.hdc) {
    // The bitmap must be selected into the DC while the call runs.
    HGDIOBJ selected = GetCurrentObject(bitmap->bitmap.hdc, OBJ_BITMAP);
    BITMAP info = {};
    if (selected && GetObjectW(selected, sizeof(info), &info)) bitmapWidth = info.bmWidth;
  }
  return S_OK;
}

STDMETHODIMP FakeMixerBitmap::ClearAlphaBitmap() {
  ++clearCalls;
  return S_OK;
}

// ---- FakeMediaSession --------------------------------------------------------------------------

FakeMediaSession::FakeMediaSession() {
  MFCreateEventQueue(&m_queue);
  rate = ORVO::AdoptRef(new FakeRate());
  MFCreatePresentationClock(&clock);
}

FakeMediaSession::~FakeMediaSession() {
  if (m_queue) m_queue->Shutdown();
}

STDMETHODIMP FakeMediaSession::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown || riid == __uuidof(IMFMediaSession) || riid == __uuidof(IMFMediaEventGenerator)) {
    *object = static_cast<IMFMediaSession*>(this);
  } else if (riid == __uuidof(IMFGetService)) {
    *object = static_cast<IMFGetService*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP FakeMediaSession::GetEvent(DWORD flags, IMFMediaEvent** event) { return m_queue->GetEvent(flags, event); }

STDMETHODIMP FakeMediaSession::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  return m_queue->BeginGetEvent(callback, state);
}

STDMETHODIMP FakeMediaSession::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  return m_queue->EndGetEvent(result, event);
}

STDMETHODIMP FakeMediaSession::QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                          const PROPVARIANT* value) {
  return m_queue->QueueEventParamVar(type, extended, status, value);
}

STDMETHODIMP FakeMediaSession::SetTopology(DWORD, IMFTopology* topology) {
  calls.push_back("SetTopology");
  lastTopology = topology;
  return S_OK;
}

STDMETHODIMP FakeMediaSession::Start(const GUID*, const PROPVARIANT* position) {
  if (!position) return E_POINTER;
  if (FAILED(startResult)) return startResult;
  if (position->vt == VT_EMPTY) {
    calls.push_back("Start(empty)");
  } else if (position->vt == VT_I8) {
    calls.push_back("Start(position=" + std::to_string(position->hVal.QuadPart) + ")");
  } else {
    calls.push_back("Start(vt=" + std::to_string(position->vt) + ")");
  }
  return S_OK;
}

STDMETHODIMP FakeMediaSession::Pause() {
  if (FAILED(pauseResult)) return pauseResult;
  calls.push_back("Pause");
  return S_OK;
}

STDMETHODIMP FakeMediaSession::Stop() {
  calls.push_back("Stop");
  return S_OK;
}

STDMETHODIMP FakeMediaSession::Close() {
  calls.push_back("Close");
  if (answerClose) Raise(MESessionClosed);
  return S_OK;
}

STDMETHODIMP FakeMediaSession::Shutdown() {
  calls.push_back("Shutdown");
  ++shutdownCalls;
  if (m_queue) m_queue->Shutdown();
  return S_OK;
}

STDMETHODIMP FakeMediaSession::GetClock(IMFClock** result) {
  *result = nullptr;
  if (!withClock || !clock) return MF_E_NO_CLOCK;
  return clock->QueryInterface(IID_PPV_ARGS(result));
}

STDMETHODIMP FakeMediaSession::GetSessionCapabilities(DWORD* caps) {
  *caps = MFSESSIONCAP_START | MFSESSIONCAP_SEEK | MFSESSIONCAP_PAUSE | MFSESSIONCAP_RATE_FORWARD;
  return S_OK;
}

STDMETHODIMP FakeMediaSession::GetService(REFGUID service, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (service == MR_STREAM_VOLUME_SERVICE) return answer(streamVolumeMode, streamVolume.Get(), riid, object);
  if (service == MF_RATE_CONTROL_SERVICE) return answer(rateMode, rate.Get(), riid, object);
  if (service == kRenderService) return answer(displayMode, display.Get(), riid, object);
  if (service == kMixerService) return answer(mixerMode, mixer.Get(), riid, object);
  *object = nullptr;
  return MF_E_UNSUPPORTED_SERVICE;
}

HRESULT FakeMediaSession::Raise(MediaEventType type, HRESULT status) {
  return m_queue->QueueEventParamVar(type, GUID_NULL, status, nullptr);
}

HRESULT FakeMediaSession::RaiseTopologyReady() {
  ComPtr<IMFMediaEvent> event;
  HRESULT hr = MFCreateMediaEvent(MESessionTopologyStatus, GUID_NULL, S_OK, nullptr, &event);
  if (SUCCEEDED(hr)) hr = event->SetUINT32(MF_EVENT_TOPOLOGY_STATUS, MF_TOPOSTATUS_READY);
  if (SUCCEEDED(hr)) hr = m_queue->QueueEvent(event.Get());
  return hr;
}

std::string FakeMediaSession::callList() const {
  std::string text;
  for (const std::string& call : calls) text += (text.empty() ? "" : " ") + call;
  return text;
}

SessionOverride::SessionOverride(FakeMediaSession* session) {
  g_nextSession = session;
  m_previous = MediaFoundationPlayer::SetCreateSessionFunction(&createFakeSession);
}

SessionOverride::~SessionOverride() {
  MediaFoundationPlayer::SetCreateSessionFunction(m_previous);
  g_nextSession = nullptr;
}

}  // namespace session_test
