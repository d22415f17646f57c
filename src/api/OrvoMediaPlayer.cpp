#include "api/OrvoMediaPlayer.h"

#include <mfapi.h>
#include <mferror.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "api/WindowRegistry.h"
#include "common/ComInit.h"
#include "common/CriticalSectionGuard.h"
#include "common/MediaTypeChecks.h"
#include "log/Log.h"
#include "lowlatency/DxPlayer.h"
#include "session/MediaFoundationPlayer.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

// The message a Media Session engine posts to the preview window for each session event.
constexpr UINT kSessionEventMessage = MediaFoundation::MediaFoundationPlayer::kSessionEventMessage;

// How long Stop and Close wait for the low-latency engine to stop. Its threads end only once the
// host callback in progress returns; a host that never returns must not take Stop down with it.
constexpr DWORD kStopBoundMilliseconds = 1500;

// Stops the engine on a thread of its own and waits at most kStopBoundMilliseconds. If the stop
// takes longer it goes on alone: the thread holds the engine until the stop is done. stopsInFlight
// counts the stops not yet done.
void stopWithinBound(const std::shared_ptr<DxPlayer>& engine, const std::shared_ptr<std::atomic<int>>& stopsInFlight) {
  struct Completion {
    std::mutex lock;
    std::condition_variable signal;
    bool done = false;
  };
  auto completion = std::make_shared<Completion>();
  ++*stopsInFlight;
  auto stop = [held = engine, stopsInFlight, completion]() mutable {
    InitializeComForThread();
    // The platform is reference-counted: a stop that outlives the last Close keeps it up until the
    // engine's threads have ended, instead of having it shut down under them.
    const bool platformHeld = SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
    held->Stop();
    held.reset();  // when the caller has gone on, the engine ends here, platform still up
    if (platformHeld) MFShutdown();
    --*stopsInFlight;
    std::lock_guard<std::mutex> hold(completion->lock);
    completion->done = true;
    completion->signal.notify_all();
  };
  std::thread worker;
  try {
    worker = std::thread(stop);
  } catch (const std::system_error&) {
    stop();  // no thread to spare: stop unbounded rather than not at all
    return;
  }
  bool done = false;
  {
    std::unique_lock<std::mutex> hold(completion->lock);
    done = completion->signal.wait_for(hold, std::chrono::milliseconds(kStopBoundMilliseconds),
                                       [&] { return completion->done; });
  }
  if (done) {
    worker.join();
    return;
  }
  ORVO_LOG_DEBUG("OrvoMediaPlayer::Stop: engine %p still stopping after %u ms, left to finish alone",
                 static_cast<void*>(engine.get()), static_cast<unsigned>(kStopBoundMilliseconds));
  worker.detach();
}

}  // namespace

OrvoMediaPlayer::OrvoMediaPlayer(int playerId)
    : m_playerId(playerId),
      m_stopsInFlight(std::make_shared<std::atomic<int>>(0)),
      m_events(playerId, [this] { return snapshot(); }) {
  InitializeCriticalSection(&m_lock);
  InitializeCriticalSection(&m_windowSettingLock);
}

OrvoMediaPlayer::~OrvoMediaPlayer() {
  m_events.stop();
  Close();
  DeleteCriticalSection(&m_windowSettingLock);
  DeleteCriticalSection(&m_lock);
}

int OrvoMediaPlayer::SetPreviewWindow(HWND window, std::shared_ptr<OrvoMediaPlayer> self) {
  if (!window) return InvalidArgument;
  // Held throughout: two calls at once, or one during Close, must leave exactly the window set
  // last (or none) subclassed.
  CriticalSectionGuard windowSetting(&m_windowSettingLock);
  bool subclass = false;
  {
    CriticalSectionGuard lock(&m_lock);
    if (m_closed) return UnknownPlayer;
    if (hasEngine()) return InvalidState;
    // The low-latency engine draws into the window itself and leaves its procedure alone.
    subclass = !m_useLowLatencyRenderer;
  }
  // The window lock is never taken under the player lock. A window set before this one goes back
  // to its host.
  WindowRegistry& windows = WindowRegistry::Instance();
  windows.RestoreAll(this, subclass ? window : nullptr);
  if (subclass) {
    switch (windows.Subclass(window, self)) {
      case WindowRegistry::Subclassed:
        break;
      case WindowRegistry::TakenByAnotherPlayer:
        return InvalidState;
      default:
        return Failed;
    }
  }
  CriticalSectionGuard lock(&m_lock);
  m_window = window;
  return Ok;
}

int OrvoMediaPlayer::SetCallback(RequestDataCallback callback) {
  CriticalSectionGuard lock(&m_lock);
  if (hasEngine()) return InvalidState;
  m_callback = callback;
  return Ok;
}

int OrvoMediaPlayer::SetAudioOutputDevice(int value, const wchar_t* deviceId) {
  CriticalSectionGuard lock(&m_lock);
  if (hasEngine()) return InvalidState;
  m_audioDeviceValue = value;
  m_audioDeviceId = deviceId ? deviceId : L"";
  return Ok;
}

int OrvoMediaPlayer::UseLowLatencyRenderer(bool enable) {
  CriticalSectionGuard lock(&m_lock);
  m_useLowLatencyRenderer = enable;
  return Ok;
}

int OrvoMediaPlayer::CreateMediaType(IMFMediaType** mediaType) {
  CriticalSectionGuard lock(&m_lock);
  if (!mediaType) return InvalidArgument;
  *mediaType = nullptr;
  if (hasEngine()) return Failed;
  InitializeComForThread();
  if (FAILED(MFCreateMediaType(mediaType))) {
    *mediaType = nullptr;
    return Failed;
  }
  return Ok;
}

int OrvoMediaPlayer::AddMediaType(IMFMediaType* mediaType) {
  CriticalSectionGuard lock(&m_lock);
  if (hasEngine()) return InvalidState;
  if (!mediaType) return InvalidArgument;
  InitializeComForThread();

  // A type that Media Foundation refuses as a stream's current type still reaches the low-latency
  // engine, but gets no descriptor and so consumes no stream identifier.
  // A video rate with a zero term counts as refused too (the session's decoders divide by it), and
  // so does an audio rate no converter copes with.
  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[1] = {mediaType};
  GUID major = GUID_NULL;
  UINT32 rateNumerator = 0, rateDenominator = 0;
  HRESULT hr = S_OK;
  if (SUCCEEDED(mediaType->GetGUID(MF_MT_MAJOR_TYPE, &major)) && major == MFMediaType_Video &&
      HasZeroTermFrameRate(mediaType, &rateNumerator, &rateDenominator)) {
    hr = MF_E_INVALIDMEDIATYPE;
  }
  UINT32 audioRate = 0;
  if (major == MFMediaType_Audio && HasUnplayableAudioRate(mediaType, &audioRate)) hr = MF_E_INVALIDMEDIATYPE;
  if (SUCCEEDED(hr)) hr = MFCreateStreamDescriptor(static_cast<DWORD>(m_streamDescriptors.size()), 1, types, &descriptor);
  if (SUCCEEDED(hr)) {
    ComPtr<IMFMediaTypeHandler> handler;
    hr = descriptor->GetMediaTypeHandler(&handler);
    if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(mediaType);
  }
  if (!LogIfFailed(hr, "OrvoMediaPlayer::AddMediaType: stream descriptor")) m_streamDescriptors.push_back(descriptor);
  m_mediaTypes.emplace_back(mediaType);
  return Ok;
}

int OrvoMediaPlayer::Open(const wchar_t* uri) {
  CriticalSectionGuard lock(&m_lock);
  if (hasEngine()) return InvalidState;
  m_uri = uri ? uri : L"";
  InitializeComForThread();

  if (m_useLowLatencyRenderer) {
    m_pDxPlayer = std::make_shared<DxPlayer>(m_playerId, m_window, m_mediaTypes, m_callback, m_uri,
                                             m_audioDeviceValue, m_audioDeviceId);
    if (!IsWholePicture(m_zoom)) m_pDxPlayer->SetSourceRect(m_zoom);
    ORVO_LOG_DEBUG("OrvoMediaPlayer::Open: Opening URI %S", m_uri.c_str());
    const int result = m_pDxPlayer->Open();
    if (result != 0) {
      ORVO_LOG_ERROR("OrvoMediaPlayer::Open: Open failed 0x%X", static_cast<unsigned>(result));
      return result;  // the engine stays, so a second Open answers InvalidState until Close
    }
    return Ok;
  }

  ComPtr<MediaFoundation::MediaFoundationPlayer> engine;
  HRESULT hr = MediaFoundation::MediaFoundationPlayer::CreateInstance(m_window, m_window, engine.GetAddressOf(),
                                                                   m_audioDeviceId);
  if (FAILED(hr) || !engine) {
    ORVO_LOG_ERROR("OrvoMediaPlayer::Open: MediaFoundationPlayer creation failed 0x%X", static_cast<unsigned>(hr));
    return Failed;
  }
  m_pMediaFoundationPlayer = engine;
  if (!IsWholePicture(m_zoom)) engine->SetSourceRect(m_zoom);
  ORVO_LOG_DEBUG("OrvoMediaPlayer::Open: Opening URI %S", m_uri.c_str());
  hr = engine->OpenURL(m_playerId, m_uri.c_str(), m_streamDescriptors, m_callback);
  return LogErrorIfFailed(hr, "OrvoMediaPlayer::Open: OpenURL") ? OpenFailed : Ok;
}

void OrvoMediaPlayer::Close() {
  // First, and without m_lock: the watcher reads the player under it. Called from the host's event
  // callback, the watcher ends once that returns.
  m_events.stop();
  std::shared_ptr<DxPlayer> lowLatency;
  ComPtr<MediaFoundation::MediaFoundationPlayer> session;
  {
    CriticalSectionGuard lock(&m_lock);
    // Taken out under the lock and shut down outside it: shutting down joins threads that may be
    // inside the host callback, calling exports of this very player.
    lowLatency = std::move(m_pDxPlayer);
    session = std::move(m_pMediaFoundationPlayer);
  }
  if (lowLatency) {
    stopWithinBound(lowLatency, m_stopsInFlight);
    lowLatency.reset();
  }
  if (session) {
    session->RequestStop();
    session->Shutdown();
    session.Reset();
  }

  // Only now, with the engine gone, does the window go back to its host: until here its messages
  // come through the library's procedure, which releases the session events still travelling.
  // The window lock is never taken under the player lock.
  CriticalSectionGuard windowSetting(&m_windowSettingLock);
  WindowRegistry::Instance().RestoreAll(this);

  CriticalSectionGuard lock(&m_lock);
  m_closed = true;
  m_window = nullptr;
  m_streamDescriptors.clear();
  m_mediaTypes.clear();
  m_callback = nullptr;
}

int OrvoMediaPlayer::Play() {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) return engine->Play();
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->RequestStart());
  return InvalidState;
}

int OrvoMediaPlayer::Pause() {
  CriticalSectionGuard lock(&m_lock);
  if (lowLatencyEngine()) return Failed;
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->RequestPause());
  return InvalidState;
}

int OrvoMediaPlayer::Stop() {
  std::shared_ptr<DxPlayer> engine;
  {
    CriticalSectionGuard lock(&m_lock);
    if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->RequestStop());
    if (!m_pDxPlayer) return InvalidState;
    engine = m_pDxPlayer;
  }
  // The engine joins threads that may be inside the host callback, calling exports of this very
  // player: wait for them without the player lock.
  stopWithinBound(engine, m_stopsInFlight);
  return Ok;
}

int OrvoMediaPlayer::SetPosition(LONGLONG position) {
  CriticalSectionGuard lock(&m_lock);
  if (lowLatencyEngine()) return Failed;
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->RequestSeek(position));
  return InvalidState;
}

int OrvoMediaPlayer::SetPlaybackRate(double rate) {
  CriticalSectionGuard lock(&m_lock);
  if (lowLatencyEngine()) return Failed;
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->RequestRate(rate));
  return InvalidState;
}

int OrvoMediaPlayer::GetState() {
  CriticalSectionGuard lock(&m_lock);
  if (m_pDxPlayer) return *m_stopsInFlight > 0 ? Stopped : m_pDxPlayer->GetState();
  if (m_pMediaFoundationPlayer) return m_pMediaFoundationPlayer->GetState();
  return Closed;
}

LONGLONG OrvoMediaPlayer::GetDuration() {
  CriticalSectionGuard lock(&m_lock);
  return m_pMediaFoundationPlayer ? m_pMediaFoundationPlayer->GetDuration() : 0;
}

LONGLONG OrvoMediaPlayer::GetPosition() {
  CriticalSectionGuard lock(&m_lock);
  return m_pMediaFoundationPlayer ? m_pMediaFoundationPlayer->GetPosition() : 0;
}

double OrvoMediaPlayer::GetPlaybackRate() {
  CriticalSectionGuard lock(&m_lock);
  return m_pMediaFoundationPlayer ? m_pMediaFoundationPlayer->GetPlaybackRate() : 1.0;
}

double OrvoMediaPlayer::GetVolume() {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) return engine->GetVolume();
  if (m_pMediaFoundationPlayer) return m_pMediaFoundationPlayer->GetVolume();
  return 1.0;
}

double OrvoMediaPlayer::GetBalance() {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) return engine->GetBalance();
  if (m_pMediaFoundationPlayer) return m_pMediaFoundationPlayer->GetBalance();
  return 0.5;
}

int OrvoMediaPlayer::IsStreamActive(int index) {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) return engine->IsStreamActive(index);
  return Ok;
}

int OrvoMediaPlayer::GetStatistics(int index, OrvoStreamStatistics* out) {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) return engine->GetStatistics(index, out);
  // The Media Session keeps its pipeline to itself: nothing to count from here.
  if (m_pMediaFoundationPlayer) return Failed;
  return InvalidState;
}

int OrvoMediaPlayer::GetSnapshot(int index, OrvoSnapshot* out) {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) return engine->GetSnapshot(index, out);
  // The Media Session's renderer owns its pictures; reading one back would cost a custom presenter.
  if (m_pMediaFoundationPlayer) return Failed;
  return InvalidState;
}

int OrvoMediaPlayer::SetEventCallback(OrvoEventCallback callback, void* context) {
  m_events.setCallback(callback, context);
  return Ok;
}

PlayerSnapshot OrvoMediaPlayer::snapshot() {
  PlayerSnapshot snapshot;
  snapshot.state = GetState();
  CriticalSectionGuard lock(&m_lock);
  // Asked once: a stop starting on another thread hides the engine from then on.
  if (DxPlayer* engine = lowLatencyEngine()) {
    snapshot.streams = engine->streamSnapshots();
    snapshot.syncInBounds = engine->syncInBounds();
    snapshot.endpointFallbacks = engine->endpointFallbacks(&snapshot.endpointFallbackError);
  } else if (m_pMediaFoundationPlayer) {
    snapshot.endpointFallbacks = m_pMediaFoundationPlayer->endpointFallbacks(&snapshot.endpointFallbackError);
  }
  return snapshot;
}

int OrvoMediaPlayer::SetVolume(double volume) {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) {
    engine->SetVolume(volume);
    return Ok;
  }
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->SetVolume(volume));
  return InvalidState;
}

int OrvoMediaPlayer::SetBalance(double balance) {
  CriticalSectionGuard lock(&m_lock);
  if (DxPlayer* engine = lowLatencyEngine()) {
    engine->SetBalance(balance);
    return Ok;
  }
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->SetBalance(balance));
  return InvalidState;
}

int OrvoMediaPlayer::SetAlphaBitmap(HBITMAP bitmap) {
  CriticalSectionGuard lock(&m_lock);
  // Only the session engine takes the bitmap over; otherwise the caller keeps it.
  if (!m_pMediaFoundationPlayer) return InvalidState;
  return ResultFromHr(m_pMediaFoundationPlayer->SetAlphaBitmap(bitmap));
}

int OrvoMediaPlayer::SetFullScreen(BOOL fullScreen) {
  CriticalSectionGuard lock(&m_lock);
  if (lowLatencyEngine()) return Failed;
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->SetFullScreen(fullScreen));
  return InvalidState;
}

int OrvoMediaPlayer::SetStretch(BOOL stretch) {
  CriticalSectionGuard lock(&m_lock);
  if (!m_pMediaFoundationPlayer) return InvalidState;
  return ResultFromHr(m_pMediaFoundationPlayer->SetStretch(stretch));
}

int OrvoMediaPlayer::SetSourceRect(double left, double top, double right, double bottom) {
  const SourceRect zoom = {left, top, right, bottom};
  if (!IsValidSourceRect(zoom)) return InvalidArgument;
  CriticalSectionGuard lock(&m_lock);
  m_zoom = zoom;
  if (DxPlayer* engine = lowLatencyEngine()) engine->SetSourceRect(zoom);
  if (m_pMediaFoundationPlayer) return ResultFromHr(m_pMediaFoundationPlayer->SetSourceRect(zoom));
  return Ok;
}

size_t OrvoMediaPlayer::streamDescriptorCount() {
  CriticalSectionGuard lock(&m_lock);
  return m_streamDescriptors.size();
}

size_t OrvoMediaPlayer::mediaTypeCount() {
  CriticalSectionGuard lock(&m_lock);
  return m_mediaTypes.size();
}

DWORD OrvoMediaPlayer::streamIdentifierAt(size_t index) {
  CriticalSectionGuard lock(&m_lock);
  DWORD id = 0;
  if (index < m_streamDescriptors.size()) m_streamDescriptors[index]->GetStreamIdentifier(&id);
  return id;
}

bool OrvoMediaPlayer::HandleWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ComPtr<MediaFoundation::MediaFoundationPlayer> engine;
  {
    CriticalSectionGuard lock(&m_lock);
    engine = m_pMediaFoundationPlayer;
  }
  // From here on without the player lock: the engine takes its own, and the host's procedure,
  // called after this returns, may call any export of this player.
  if (message == kSessionEventMessage) {
    if (engine) {
      engine->HandlePostedEvent(wParam);
    } else {
      // The engine is gone: release the event it posted, if it is still travelling.
      MediaFoundation::MediaFoundationPlayer::DiscardPostedEvent(wParam);
    }
    return true;  // the session's own message: the host never sees it
  }
  if (!engine) return false;
  switch (message) {
    case WM_SIZE:
      engine->OnSize(LOWORD(lParam), HIWORD(lParam));
      break;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      if (!engine->OnPaint()) {
        RECT client;
        GetClientRect(window, &client);
        FillRect(dc, &client, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
      }
      EndPaint(window, &paint);
      break;
    }
    default:
      break;
  }
  return false;
}

}  // namespace Media
}  // namespace ORVO
