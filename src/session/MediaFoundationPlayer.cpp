#include "session/MediaFoundationPlayer.h"

#include <mfapi.h>
#include <mferror.h>

#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

MediaFoundationPlayer::CreateSessionFunction g_createSession = &MFCreateMediaSession;

}  // namespace

MediaFoundationPlayer::CreateSessionFunction MediaFoundationPlayer::SetCreateSessionFunction(
    CreateSessionFunction function) {
  CreateSessionFunction previous = g_createSession;
  g_createSession = function ? function : &MFCreateMediaSession;
  return previous;
}

HRESULT MediaFoundationPlayer::CreateInstance(HWND videoWindow, HWND notifyWindow, MediaFoundationPlayer** player,
                                              const std::wstring& audioEndpointId) {
  if (!player) return E_POINTER;
  *player = nullptr;
  ComPtr<MediaFoundationPlayer> created =
      AdoptRef(new MediaFoundationPlayer(videoWindow, notifyWindow, audioEndpointId));
  ORVO_LOG_DEBUG("MediaFoundationPlayer::MediaFoundationPlayer: allocated player object %p", created.Get());
  const HRESULT hr = created->m_eventPump.CreateCloseEvent();
  if (FAILED(hr)) return hr;
  *player = created.Detach();
  return S_OK;
}

MediaFoundationPlayer::MediaFoundationPlayer(HWND videoWindow, HWND notifyWindow, const std::wstring& audioEndpointId)
    : m_sourceResolver(this),
      m_topologyBuilder(videoWindow, audioEndpointId, this),
      m_eventPump(notifyWindow, this),
      m_clock(this),
      m_display(videoWindow, this),
      m_audioVolume(m_topologyBuilder, this) {
  InitializeCriticalSection(&m_lock);
}

MediaFoundationPlayer::~MediaFoundationPlayer() {
  Dispose();
  DeleteCriticalSection(&m_lock);
}

STDMETHODIMP MediaFoundationPlayer::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IMFAsyncCallback) {
    *object = static_cast<IMFAsyncCallback*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MediaFoundationPlayer::AddRef() { return ++m_refCount; }

STDMETHODIMP_(ULONG) MediaFoundationPlayer::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

STDMETHODIMP MediaFoundationPlayer::GetParameters(DWORD*, DWORD*) { return E_NOTIMPL; }

// The event pump, on a work-queue thread and without m_lock.
STDMETHODIMP MediaFoundationPlayer::Invoke(IMFAsyncResult* result) {
  if (!result) return E_POINTER;
  ComPtr<IMFMediaEvent> event;
  MediaEventType type = MEUnknown;
  if (!m_eventPump.Receive(result, this, &event, &type)) return S_OK;
  if (m_state.load() != Closing) m_eventPump.Post(event.Get(), type);
  return S_OK;
}

HRESULT MediaFoundationPlayer::OpenURL(int playerId, const wchar_t* uri,
                                       const std::vector<ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                                       RequestDataCallback callback) {
  CriticalSectionGuard guard(&m_lock);
  if (m_disposed) return MF_E_SHUTDOWN;
  if (!uri) return E_POINTER;
  // Every session event travels through the window: without one the open could never complete.
  if (!m_eventPump.HasWindow()) {
    ORVO_LOG_ERROR("MediaFoundationPlayer::OpenURL[%p]: no window to receive the session's events", this);
    return HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE);
  }
  HRESULT hr = TearDownSession();
  if (FAILED(hr)) return hr;

  ComPtr<IMFPresentationDescriptor> descriptor;
  ComPtr<IMFTopology> topology;
  hr = g_createSession(nullptr, m_session.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr) && !m_session) hr = E_UNEXPECTED;
  if (SUCCEEDED(hr)) {
    hr = m_eventPump.Arm(m_session.Get(), this);
    LogIfFailed(hr, "MediaFoundationPlayer::OpenURL[%p]: BeginGetEvent", this);
  } else {
    LogIfFailed(hr, "MediaFoundationPlayer::OpenURL[%p]: MFCreateMediaSession", this);
  }
  if (FAILED(hr)) {
    m_state = Closed;
    return hr;
  }
  m_state = Ready;

  hr = m_sourceResolver.Resolve(playerId, uri, streamDescriptors, callback, m_mediaSource.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) {
    hr = m_mediaSource->CreatePresentationDescriptor(&descriptor);
    LogIfFailed(hr, "MediaFoundationPlayer::OpenURL[%p]: CreatePresentationDescriptor", this);
  }
  if (SUCCEEDED(hr)) {
    readDuration(descriptor.Get());
    hr = m_topologyBuilder.Build(m_mediaSource.Get(), descriptor.Get(), &topology);
  }
  if (SUCCEEDED(hr)) {
    hr = m_session->SetTopology(0, topology.Get());
    LogIfFailed(hr, "MediaFoundationPlayer::OpenURL[%p]: SetTopology", this);
  }
  if (FAILED(hr)) {
    m_state = Closed;
    return hr;
  }
  awaitTopology();
  return S_OK;
}

void MediaFoundationPlayer::awaitTopology() {
  m_commands.Issued(SessionCommandQueue::Make(SessionCommandQueue::CommandOpen));
  m_openSince = GetTickCount64();
  m_state = OpenPending;
}

void MediaFoundationPlayer::readDuration(IMFPresentationDescriptor* descriptor) {
  UINT64 duration = 0;
  if (descriptor && SUCCEEDED(descriptor->GetUINT64(MF_PD_DURATION, &duration))) m_duration = duration;
}

HRESULT MediaFoundationPlayer::TearDownSession() {
  CriticalSectionGuard guard(&m_lock);
  m_display.Detach();
  m_clock.Detach();

  HRESULT hr = S_OK;
  if (m_session) {
    m_state = Closing;
    // Close goes to a session with no command in flight. Wine's session schedules the head of its
    // command list each time a command completes, also when the end of the presentation completes
    // one that had finished already; a Close queued behind a running Stop then runs twice, and its
    // second run releases it once too often (a use-after-free on a work-queue thread). A session
    // that leaves a command unanswered for the settle time would only queue the Close behind it:
    // it is shut down without one, so a teardown stays within the close bound either way.
    const DWORD start = GetTickCount();
    if (!m_eventPump.WaitForSettled(kSettleTimeoutMs)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::TearDownSession[%p]: a session command did not complete, no Close",
                     this);
    } else {
      const DWORD settling = GetTickCount() - start;
      m_eventPump.PrepareClose();
      hr = m_session->Close();
      if (SUCCEEDED(hr)) {
        // A session can stop delivering events (Wine does after a rate change): the wait is bounded
        // and a timeout is not an error, the session is shut down all the same.
        if (!m_eventPump.WaitForClose(kCloseTimeoutMs - settling)) {
          ORVO_LOG_DEBUG("MediaFoundationPlayer::TearDownSession[%p]: session did not confirm Close", this);
        }
      } else {
        LogIfFailed(hr, "MediaFoundationPlayer::TearDownSession[%p]: Close", this);
      }
    }
  }
  // Shut down also when Close was refused: only Shutdown makes the session let go of its event
  // callback (this player) and of the source, so skipping it would leak both.
  if (m_mediaSource) m_mediaSource->Shutdown();
  if (m_session) m_session->Shutdown();

  m_mediaSource.Reset();
  m_session.Reset();
  m_eventPump.ForgetCommands();
  m_audioVolume.ReleaseControls();
  // Commands of the ended session must not run on the next one.
  m_commands.Clear();
  m_display.DeleteBitmap();
  m_state = Closed;
  return hr;
}

HRESULT MediaFoundationPlayer::Dispose() {
  CriticalSectionGuard guard(&m_lock);
  if (m_disposed) return S_OK;
  const HRESULT hr = TearDownSession();
  m_disposed = true;
  const size_t dropped = m_eventPump.Retire();
  if (dropped) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::Dispose[%p]: released %u undelivered events", this,
                   static_cast<unsigned>(dropped));
  }
  return hr;
}

// ---- Transport -------------------------------------------------------------------------------

HRESULT MediaFoundationPlayer::request(const Command& command) {
  CriticalSectionGuard guard(&m_lock);
  if (m_commands.Busy()) {
    m_commands.Wait(command);  // a later request of the same kind replaces a waiting one
    return S_OK;
  }
  return issue(command);
}

HRESULT MediaFoundationPlayer::issue(const Command& command) {
  switch (command.command) {
    case SessionCommandQueue::CommandStart:
      return IssueStart();
    case SessionCommandQueue::CommandPause:
      return IssuePause();
    case SessionCommandQueue::CommandStop:
      return IssueStop();
    case SessionCommandQueue::CommandSeek:
      return IssueSeek(command.position);
    case SessionCommandQueue::CommandRate:
      return IssueRate(command.rate);
    default:
      return E_INVALIDARG;
  }
}

HRESULT MediaFoundationPlayer::RequestStart() {
  return request(SessionCommandQueue::Make(SessionCommandQueue::CommandStart));
}

HRESULT MediaFoundationPlayer::RequestPause() {
  CriticalSectionGuard guard(&m_lock);
  // Stopped as far as the host can tell (GetState says so): nothing to pause.
  if (m_commands.StopPending()) return MF_E_INVALIDREQUEST;
  return request(SessionCommandQueue::Make(SessionCommandQueue::CommandPause));
}

HRESULT MediaFoundationPlayer::RequestStop() {
  return request(SessionCommandQueue::Make(SessionCommandQueue::CommandStop));
}

HRESULT MediaFoundationPlayer::RequestSeek(LONGLONG position) {
  return request(SessionCommandQueue::Make(SessionCommandQueue::CommandSeek, 1.0, position));
}

HRESULT MediaFoundationPlayer::RequestRate(double rate) {
  // NaN and infinities cannot be a rate on any platform; refuse them here with a clear result.
  if (!(rate == rate) || rate > 1e30 || rate < -1e30) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::RequestRate[%p]: invalid rate", this);
    return E_INVALIDARG;
  }
  return request(SessionCommandQueue::Make(SessionCommandQueue::CommandRate, rate));
}

HRESULT MediaFoundationPlayer::IssueStart() {
  CriticalSectionGuard guard(&m_lock);
  const int state = m_state.load();
  if (state != Paused && state != Stopped) return MF_E_INVALIDREQUEST;
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  PROPVARIANT position;
  PropVariantInit(&position);  // VT_EMPTY: continue from the current position
  ORVO_RETURN_IF_FAILED(m_session->Start(&GUID_NULL, &position), "MediaFoundationPlayer::IssueStart[%p]: Start", this);
  m_eventPump.Issued();
  m_commands.Issued(SessionCommandQueue::Make(SessionCommandQueue::CommandStart));
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssuePause() {
  CriticalSectionGuard guard(&m_lock);
  if (m_state.load() != Started) return MF_E_INVALIDREQUEST;
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  ORVO_RETURN_IF_FAILED(m_session->Pause(), "MediaFoundationPlayer::IssuePause[%p]: Pause", this);
  m_eventPump.Issued();
  m_commands.Issued(SessionCommandQueue::Make(SessionCommandQueue::CommandPause));
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssueStop() {
  CriticalSectionGuard guard(&m_lock);
  const int state = m_state.load();
  if (state != Started && state != Paused) return MF_E_INVALIDREQUEST;
  if (!m_session) return E_UNEXPECTED;
  ORVO_RETURN_IF_FAILED(m_session->Stop(), "MediaFoundationPlayer::IssueStop[%p]: Stop", this);
  m_eventPump.Issued();
  m_commands.Issued(SessionCommandQueue::Make(SessionCommandQueue::CommandStop));
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssueSeek(LONGLONG position) {
  CriticalSectionGuard guard(&m_lock);
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  if (!m_clock.hasClock()) return MF_E_NO_CLOCK;
  PROPVARIANT start;
  PropVariantInit(&start);
  start.vt = VT_I8;
  start.hVal.QuadPart = position;
  ORVO_RETURN_IF_FAILED(m_session->Start(&GUID_NULL, &start), "MediaFoundationPlayer::IssueSeek[%p]: Start", this);
  m_eventPump.Issued();
  m_commands.Issued(SessionCommandQueue::Make(SessionCommandQueue::CommandSeek, 1.0, position));
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssueRate(double rate) {
  CriticalSectionGuard guard(&m_lock);
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  const HRESULT hr = m_clock.SetRate(rate);
  if (FAILED(hr)) return hr;
  m_eventPump.Issued();
  m_commands.Issued(SessionCommandQueue::Make(SessionCommandQueue::CommandRate, rate));
  return S_OK;
}

// Issues waiting commands in slot order (transport, seek, rate) until one is accepted: a refused
// command is dropped in favour of the next.
void MediaFoundationPlayer::runQueued() {
  CriticalSectionGuard guard(&m_lock);
  Command command;
  while (m_commands.TakeNext(&command)) {
    const HRESULT hr = issue(command);
    if (SUCCEEDED(hr)) return;
    ORVO_LOG_DEBUG("MediaFoundationPlayer::RunQueued[%p]: command %d refused 0x%X", this, command.command,
                   static_cast<unsigned>(hr));
  }
}

// ---- Queries and settings --------------------------------------------------------------------

PlayerState MediaFoundationPlayer::GetState() {
  CriticalSectionGuard guard(&m_lock);
  if (m_state.load() == OpenPending && GetTickCount64() - m_openSince >= kOpenTimeoutMs) {
    // A topology status that arrives later still moves the player on from Error.
    ORVO_LOG_ERROR("MediaFoundationPlayer::GetState[%p]: the session left the topology unanswered for %u ms", this,
                   static_cast<unsigned>(kOpenTimeoutMs));
    m_state = Error;
  }
  const int state = m_state.load();
  // The session confirms a Stop only later, and not at all while a host callback holds the source:
  // once a Stop is accepted, playback is no longer something the host can count on.
  if ((state == Started || state == Paused) && m_commands.StopPending()) return Stopped;
  return static_cast<PlayerState>(state);
}

LONGLONG MediaFoundationPlayer::GetDuration() {
  CriticalSectionGuard guard(&m_lock);
  return static_cast<LONGLONG>(m_duration);
}

LONGLONG MediaFoundationPlayer::GetPosition() {
  CriticalSectionGuard guard(&m_lock);
  LONGLONG position = 0;
  if (m_commands.PendingPosition(&position)) return position;
  MFTIME time = 0;
  if (m_session && m_mediaSource && m_clock.ReadTime(&time)) return time;
  return 0;
}

double MediaFoundationPlayer::GetPlaybackRate() {
  CriticalSectionGuard guard(&m_lock);
  double rate = 1.0;
  if (m_commands.PendingRate(&rate)) return rate;
  if (m_session && m_mediaSource && m_clock.hasRateControl()) return m_clock.ReadRate();
  return 1.0;
}

IMFMediaSession* MediaFoundationPlayer::startedSession() const {
  return m_state.load() == Started ? m_session.Get() : nullptr;
}

double MediaFoundationPlayer::GetVolume() {
  CriticalSectionGuard guard(&m_lock);
  return m_audioVolume.GetVolume(startedSession());
}

HRESULT MediaFoundationPlayer::SetVolume(double volume) {
  CriticalSectionGuard guard(&m_lock);
  return m_audioVolume.SetVolume(startedSession(), volume);
}

double MediaFoundationPlayer::GetBalance() {
  CriticalSectionGuard guard(&m_lock);
  return m_audioVolume.GetBalance(startedSession());
}

HRESULT MediaFoundationPlayer::SetBalance(double balance) {
  CriticalSectionGuard guard(&m_lock);
  return m_audioVolume.SetBalance(startedSession(), balance);
}

HRESULT MediaFoundationPlayer::SetAlphaBitmap(HBITMAP bitmap) {
  CriticalSectionGuard guard(&m_lock);
  return m_display.SetAlphaBitmap(bitmap, m_state.load() == Started);
}

HRESULT MediaFoundationPlayer::SetFullScreen(BOOL fullScreen) {
  CriticalSectionGuard guard(&m_lock);
  return m_display.SetFullScreen(fullScreen);
}

HRESULT MediaFoundationPlayer::SetStretch(BOOL stretch) {
  CriticalSectionGuard guard(&m_lock);
  return m_display.SetStretch(stretch);
}

HRESULT MediaFoundationPlayer::SetSourceRect(const SourceRect& zoom) {
  CriticalSectionGuard guard(&m_lock);
  return m_display.SetSourceRect(zoom);
}

void MediaFoundationPlayer::OnSize(int width, int height) {
  CriticalSectionGuard guard(&m_lock);
  m_display.OnSize(width, height);
}

bool MediaFoundationPlayer::OnPaint() {
  CriticalSectionGuard guard(&m_lock);
  return m_display.Repaint();
}

MediaFoundationPlayer::CommandMap MediaFoundationPlayer::queuedCommands() {
  CriticalSectionGuard guard(&m_lock);
  return m_commands.queued();
}

MediaFoundationPlayer::CommandMap MediaFoundationPlayer::inFlightCommands() {
  CriticalSectionGuard guard(&m_lock);
  return m_commands.inFlight();
}

bool MediaFoundationPlayer::hasDisplayControl() {
  CriticalSectionGuard guard(&m_lock);
  return m_display.hasDisplayControl();
}

bool MediaFoundationPlayer::hasMixerBitmap() {
  CriticalSectionGuard guard(&m_lock);
  return m_display.hasMixerBitmap();
}

bool MediaFoundationPlayer::hasPresentationClock() {
  CriticalSectionGuard guard(&m_lock);
  return m_clock.hasClock();
}

}  // namespace MediaFoundation
}  // namespace ORVO
