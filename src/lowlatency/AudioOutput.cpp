#include "lowlatency/AudioOutput.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <sstream>
#include <vector>

#include "common/CriticalSectionGuard.h"
#include "common/Guids.h"
#include "common/MediaTypeChecks.h"
#include "common/Module.h"
#include "log/Log.h"
#include "lowlatency/AudioPlacement.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/PacingRules.h"
#include "lowlatency/StreamStatistics.h"
#include "render/AudioEndpoint.h"
#include "render/WasapiRenderer.h"

namespace ORVO {
namespace Media {

namespace {

// Asks the window's own thread to destroy it: DestroyWindow works only there.
constexpr UINT kRetireMessage = WM_APP + 2;

// Classes whose window could not be destroyed yet (its thread neither pumps nor has ended): a
// class cannot be unregistered while a window of it exists, so each later retirement tries again.
SRWLOCK g_orphanLock = SRWLOCK_INIT;
std::vector<std::wstring>* g_orphanClasses = new std::vector<std::wstring>();  // never destroyed

void unregisterClassOrKeep(const std::wstring& name) {
  AcquireSRWLockExclusive(&g_orphanLock);
  if (!name.empty()) g_orphanClasses->push_back(name);
  std::vector<std::wstring>& orphans = *g_orphanClasses;
  for (size_t i = 0; i < orphans.size();) {
    if (UnregisterClassW(orphans[i].c_str(), LibraryModule()) || GetLastError() == ERROR_CLASS_DOES_NOT_EXIST) {
      orphans.erase(orphans.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  ReleaseSRWLockExclusive(&g_orphanLock);
}

// The window belongs to the library, which destroys it itself: WM_CLOSE or Escape must not end the
// message loop of the host thread it was created on.
LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
    case WM_KEYDOWN:
      return 0;
    case kRetireMessage: {
      wchar_t name[128] = {};
      GetClassNameW(hwnd, name, 128);
      DestroyWindow(hwnd);
      unregisterClassOrKeep(name);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace

AudioOutput::AudioOutput(int streamIndex, const std::wstring& deviceId, RenderingStrategy strategy,
                         StreamStatistics* statistics)
    : m_streamIndex(streamIndex), m_endpoint(deviceId), m_strategy(strategy), m_statistics(statistics) {
  InitializeCriticalSection(&m_typeLock);
}

AudioOutput::~AudioOutput() {
  m_pRenderer.reset();
  destroyHiddenWindow();
  DeleteCriticalSection(&m_typeLock);
}

void AudioOutput::destroyHiddenWindow() {
  // Open and Close may run on different host threads, and a stop that outlasts its bound ends the
  // engine on a thread of its own: the window is destroyed on its own thread, here or by message.
  if (m_hiddenWindow) {
    if (GetWindowThreadProcessId(m_hiddenWindow, nullptr) == GetCurrentThreadId()) {
      DestroyWindow(m_hiddenWindow);
    } else if (PostMessageW(m_hiddenWindow, kRetireMessage, 0, 0)) {
      return;  // its thread destroys it and unregisters the class
    }
    // Otherwise its thread has ended and took the window with it.
  }
  unregisterClassOrKeep(m_windowClassName);
}

HRESULT AudioOutput::describe(IMFMediaType* inputType, IMFMediaType* decodedType) {
  UINT32 rate = 0;
  if (HasUnplayableAudioRate(inputType, &rate)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: unsupported audio rate %u Hz (%u to %u) failed 0x%X", rate,
                   kLowestAudioRate, kHighestAudioRate, (unsigned)MF_E_INVALIDMEDIATYPE);
    return MF_E_INVALIDMEDIATYPE;
  }
  return LogIfFailed(decodedType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio),
                     "DxPlayer::StreamInt::StreamInt: m_pDecodedType->SetGUID(MF_MT_MAJOR_TYPE)")
             ? E_FAIL
             : S_OK;
}

std::vector<GUID> AudioOutput::decodedSubtypes(IMFMediaType*) const {
  return {MFAudioFormat_Float, MFAudioFormat_PCM};
}

HRESULT AudioOutput::onDecodedType(IMFMediaType* decoded) {
  setPresentationType(decoded);
  return S_OK;
}

Microsoft::WRL::ComPtr<IMFMediaType> AudioOutput::presentationType() const { return presentationType(nullptr); }

Microsoft::WRL::ComPtr<IMFMediaType> AudioOutput::presentationType(uint32_t* generation) const {
  CriticalSectionGuard guard(&m_typeLock);
  if (generation != nullptr) *generation = m_typeGeneration;
  return m_pMediaType;
}

void AudioOutput::setPresentationType(IMFMediaType* type) {
  CriticalSectionGuard guard(&m_typeLock);
  // A reader made again after a stop usually settles on the same type: the endpoint stays as it is.
  DWORD flags = 0;
  if (m_pMediaType && m_pMediaType->IsEqual(type, &flags) == S_OK) return;
  m_pMediaType = type;
  ++m_typeGeneration;
}

HRESULT AudioOutput::open() {
  LogMediaType("DxPlayer::StreamInt::StreamInt: media type %S", presentationType().Get());
  createHiddenWindow();
  return openRenderer();
}

HRESULT AudioOutput::onCurrentTypeChanged(IMFSourceReader* reader) {
  if (reader == nullptr) return E_POINTER;
  Microsoft::WRL::ComPtr<IMFMediaType> decoded;
  ORVO_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_AUDIO_STREAM, &decoded),
                        "AudioOutput::onCurrentTypeChanged[%p]: GetCurrentMediaType", this);
  LogMediaType("AudioOutput::onCurrentTypeChanged: new decoded media type %S", decoded.Get());
  // The rendering thread opens the endpoint for it when the first sample of it is due.
  setPresentationType(decoded.Get());
  return S_OK;
}

HRESULT AudioOutput::openRenderer() {
  uint32_t generation = 0;
  Microsoft::WRL::ComPtr<IMFMediaType> type = presentationType(&generation);
  const std::vector<std::wstring> candidates = m_endpoint.candidates();
  HRESULT chosenFailure = S_OK;
  for (size_t i = 0; i < candidates.size(); ++i) {
    std::unique_ptr<MediaFoundation::WasapiRenderer> renderer(new (std::nothrow) MediaFoundation::WasapiRenderer());
    const HRESULT hr = renderer ? renderer->Initialize(type.Get(), candidates[i]) : E_OUTOFMEMORY;
    if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt: m_pAudioRenderer->Initialize")) {
      // The host's endpoint cannot play: the default one, tried next, takes its place.
      if (i + 1 < candidates.size()) {
        chosenFailure = hr;
        continue;
      }
      return hr;
    }
    if (m_endpoint.opened(i, GetTickCount64())) {
      ORVO_LOG_ERROR("DxPlayer::StreamInt::StreamInt: stream %d audio endpoint '%S' cannot play (0x%X), playing on the "
                     "default endpoint instead",
                     m_streamIndex, m_endpoint.chosenId().c_str(), (unsigned)chosenFailure);
      m_endpointFallbackError = chosenFailure;
      ++m_endpointFallbacks;
    }
    useRenderer(std::move(renderer), generation);
    return S_OK;
  }
  return E_UNEXPECTED;  // candidates() is never empty
}

void AudioOutput::useRenderer(std::unique_ptr<MediaFoundation::WasapiRenderer> renderer, uint32_t generation) {
  m_pRenderer = std::move(renderer);
  m_rendererGeneration = generation;
  m_frameBytes = static_cast<uint32_t>(m_pRenderer->decodedBufferBytes());
  // A new endpoint starts at unity: the host's levels are applied to it again.
  m_appliedVolume = -1.0;
  m_appliedBalance = -1.0;
}

void AudioOutput::returnToChosenEndpoint() {
  // Asked quietly first: while the device is away, a full open would log its failure at every try.
  if (FAILED(MediaFoundation::AudioEndpoint::CanPlay(m_endpoint.chosenId()))) return;
  uint32_t generation = 0;
  Microsoft::WRL::ComPtr<IMFMediaType> type = presentationType(&generation);
  std::unique_ptr<MediaFoundation::WasapiRenderer> renderer(new (std::nothrow) MediaFoundation::WasapiRenderer());
  const HRESULT hr = renderer ? renderer->Initialize(type.Get(), m_endpoint.chosenId()) : E_OUTOFMEMORY;
  if (LogIfFailed(hr, "DxPlayer::StreamInt::renderingRoutine: stream %d chosen audio endpoint", m_streamIndex)) return;
  m_endpoint.opened(0, GetTickCount64());
  // What the default endpoint still holds is cut short: a moment of sound, the price of the switch.
  useRenderer(std::move(renderer), generation);
  ORVO_LOG_INFO("DxPlayer::StreamInt::renderingRoutine: stream %d audio endpoint '%S' is back, playing on it again",
                m_streamIndex, m_endpoint.chosenId().c_str());
}

void AudioOutput::reopenLostEndpoint() {
  // The host's endpoint if it can play, else whatever is the default endpoint now. While none can
  // be opened, a retry at most every kReopenIntervalMs keeps the rendering thread from spinning on
  // the platform.
  const ULONGLONG now = GetTickCount64();
  if (now - m_lastReopenAttempt < kReopenIntervalMs) return;
  m_lastReopenAttempt = now;
  m_pRenderer.reset();
  const HRESULT hr = openRenderer();
  m_endpointLost = FAILED(hr);
  if (SUCCEEDED(hr)) {
    m_recovery.recovered();
    ORVO_LOG_INFO("DxPlayer::StreamInt::renderingRoutine: stream %d audio endpoint reopened", m_streamIndex);
    return;
  }
  m_recovery.lost(now);
  if (m_recovery.exhausted(now)) {
    ORVO_LOG_ERROR("DxPlayer::StreamInt::renderingRoutine: stream %d no audio endpoint for %llu ms (0x%X), giving up",
                   m_streamIndex, static_cast<unsigned long long>(kRecoveryBoundMs), (unsigned)hr);
    m_failure = hr;
    notifyFailure();
  }
}

HRESULT AudioOutput::restart() {
  if (SUCCEEDED(m_failure.load()) && !m_endpointLost.load()) return S_OK;
  // The threads are not running: the default endpoint, if there is one again, is opened here, so a
  // Play without one fails at once instead of after another recovery bound.
  m_pRenderer.reset();
  const HRESULT hr = openRenderer();
  if (FAILED(hr)) {
    m_failure = hr;
    return hr;
  }
  ORVO_LOG_INFO("DxPlayer::Play: stream %d audio endpoint reopened", m_streamIndex);
  m_endpointLost = false;
  m_recovery.recovered();
  m_failure = S_OK;
  return S_OK;
}

void AudioOutput::createHiddenWindow() {
  // Unique also against a class left behind by an earlier stream at the same address, whose window
  // waits on a thread that has not pumped yet.
  static std::atomic<unsigned> s_classSerial{0};
  std::wostringstream name;
  name << L"DirectSound Renderer 0x" << static_cast<const void*>(this) << L"." << ++s_classSerial;
  m_windowClassName = name.str();
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;
  windowClass.lpfnWndProc = HiddenWindowProc;
  windowClass.hInstance = LibraryModule();
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = m_windowClassName.c_str();
  if (!RegisterClassExW(&windowClass)) {
    m_windowClassName.clear();
    return;
  }
  m_hiddenWindow = CreateWindowExW(0, m_windowClassName.c_str(), L"DirectSound Renderer",
                                   WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 1, 1, nullptr, nullptr,
                                   LibraryModule(), nullptr);
}

HRESULT AudioOutput::prepare(IMFSample* decoded, DWORD, LONGLONG, IMFSample** output) {
  uint32_t generation = 0;
  presentationType(&generation);
  decoded->SetUINT32(kSamplePresentationGeneration, generation);
  decoded->AddRef();
  *output = decoded;
  return S_OK;
}

int64_t AudioOutput::lead() const {
  // Audio goes to the endpoint ahead of its time by what the endpoint needs to play it then: the
  // target written ahead and the endpoint's own latency. Written exactly when due, the shared
  // buffer would run dry at the slightest jitter and the tone break up.
  if (!m_pRenderer) return Pacing::kAudioLead;
  return m_targetAhead + m_pRenderer->streamLatency();
}

bool AudioOutput::readyFor(IMFSample* sample) {
  if (FAILED(m_failure.load())) return false;
  uint32_t generation = 0;
  presentationType(&generation);
  // Decoded in the format before a change: played as the new one it would be noise.
  if (MFGetAttributeUINT32(sample, kSamplePresentationGeneration, generation) != generation) return false;
  if (generation != m_rendererGeneration && !m_endpointLost.load()) {
    // The first sample in a new decoded format: the endpoint is opened again for it, at once.
    ORVO_LOG_INFO("DxPlayer::StreamInt::renderingRoutine: stream %d decoded audio format changed", m_streamIndex);
    m_endpointLost = true;
    m_lastReopenAttempt = 0;
  }
  if (m_endpointLost.load()) reopenLostEndpoint();
  if (!m_pRenderer || m_endpointLost.load()) return false;
  if (m_endpoint.retryDue(GetTickCount64())) returnToChosenEndpoint();
  const double volume = m_requestedVolume.load();
  if (Pacing::ShouldApplyLevel(m_appliedVolume, volume)) {
    m_appliedVolume = volume;
    m_pRenderer->SetVolume(volume);
  }
  const double balance = m_requestedBalance.load();
  if (Pacing::ShouldApplyLevel(m_appliedBalance, balance)) {
    m_appliedBalance = balance;
    m_pRenderer->SetBalance(balance);
  }
  return true;
}

void AudioOutput::noteRenderResult(HRESULT hr) {
  if (hr != S_OK) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d sound render failed 0x%X", m_streamIndex,
                   (unsigned)hr);
  }
  if (hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING) {
    // The endpoint went away (unplugged, or the audio service restarted): the next due sample
    // reopens, so the sound goes on wherever the platform now plays by default.
    m_endpointLost = true;
    m_recovery.lost(GetTickCount64());
  }
}

int64_t AudioOutput::readyLatency() const {
  // The sound needs its lead before it can be heard on time; the picture waits that long for it
  // at the start rather than run ahead of the sound for the whole session.
  return lead();
}

void AudioOutput::present(IMFSample* sample, int64_t) {
  if (!readyFor(sample)) return;
  noteRenderResult(m_pRenderer->Render(sample));
}

int64_t AudioOutput::sampleDuration(IMFSample* sample) const {
  LONGLONG duration = 0;
  if (SUCCEEDED(sample->GetSampleDuration(&duration)) && duration > 0) return duration;
  DWORD length = 0;
  Microsoft::WRL::ComPtr<IMFMediaType> type = presentationType();
  const UINT32 bytesPerSecond = type ? MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0) : 0;
  if (bytesPerSecond == 0 || FAILED(sample->GetTotalLength(&length))) return 0;
  return static_cast<int64_t>(length) * 10000000 / bytesPerSecond;
}

void AudioOutput::presentAt(IMFSample* sample, int64_t sampleTime, int64_t due, int64_t now) {
  (void)sampleTime;
  m_placed = false;
  if (!readyFor(sample)) return;
  int64_t endpoint = 0, staged = 0;
  HRESULT hr = m_pRenderer->QueuedAhead(&endpoint, &staged);
  if (FAILED(hr)) {
    noteRenderResult(hr);
    return;
  }
  // An endpoint found empty while the sound flows ran dry: the device played silence meanwhile.
  // More is kept ahead from now on, and less again after a quiet while.
  const bool ranDry = endpoint == 0 && m_lastPlacedAt != INT64_MIN && now - m_lastPlacedAt < 1000000;
  const int64_t ahead0 = m_targetAhead;
  m_targetAhead = AudioPlacement::NextAhead(m_targetAhead, ranDry, now - m_targetChangedAt);
  if (m_targetAhead != ahead0 || m_targetChangedAt == 0 || ranDry) m_targetChangedAt = now;
  if (m_targetAhead != ahead0) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d audio kept %lld ms ahead of the endpoint%s",
                   m_streamIndex, static_cast<long long>(m_targetAhead / 10000), ranDry ? ", which ran dry" : "");
  }
  m_lastPlacedAt = now;
  // When the sample's first frame would be heard if it simply went in behind what is queued.
  const int64_t ahead = endpoint + staged + m_pRenderer->streamLatency();
  const int64_t error = Pacing::SaturatingSub(Pacing::SaturatingSub(now, -ahead), due);
  // Only what lies beyond the target ahead can go: audio that is late because it arrived late is
  // played at once, as a late frame is shown at once, rather than cut until the endpoint runs dry.
  const int64_t duration = sampleDuration(sample);
  const int64_t excess = std::max<int64_t>(0, endpoint + staged + duration - m_targetAhead);
  const AudioPlacement::Action action =
      AudioPlacement::Decide(m_strategy, error, std::min(staged + duration, excess));
  const int64_t rate = m_pRenderer->mixRate();
  MediaFoundation::WasapiRenderer::Placement placement;
  placement.silenceFrames = static_cast<uint32_t>(action.silence * rate / 10000000);
  placement.dropFrames = static_cast<uint32_t>(action.drop * rate / 10000000);
  placement.speed = action.speed;
  MediaFoundation::WasapiRenderer::Placed placed;
  hr = m_pRenderer->Render(sample, placement, &placed);
  noteRenderResult(hr);
  if (FAILED(hr) || rate == 0) return;

  const int64_t inserted = static_cast<int64_t>(placed.inserted) * 10000000 / rate;
  const int64_t dropped = static_cast<int64_t>(placed.dropped) * 10000000 / rate;
  const int64_t saved = static_cast<int64_t>(placed.saved) * 10000000 / rate;
  m_lastError = error + inserted - dropped;
  m_placed = true;
  const bool catchUpBegins = action.catchUp && !m_catchingUp;
  if (catchUpBegins) {
    ORVO_LOG_INFO("DxPlayer::StreamInt::renderingRoutine: stream %d audio %lld ms behind its time, catching up by %s",
                  m_streamIndex, static_cast<long long>(error / 10000), action.drop ? "dropping" : "playing faster");
  }
  m_catchingUp = action.catchUp;
  if (m_statistics) m_statistics->onAudioPlaced(ahead + inserted - dropped, inserted, dropped, saved, catchUpBegins);
}

void AudioOutput::service() {
  if (m_pRenderer && !m_endpointLost.load() && SUCCEEDED(m_failure.load())) {
    const HRESULT hr = m_pRenderer->Service();
    if (FAILED(hr)) noteRenderResult(hr);
  }
}

bool AudioOutput::lastPlacementError(int64_t* error) const {
  if (!m_placed) return false;
  *error = m_lastError;
  return true;
}

}  // namespace Media
}  // namespace ORVO
