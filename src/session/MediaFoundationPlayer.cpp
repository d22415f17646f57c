#include "session/MediaFoundationPlayer.h"

#include <mfapi.h>
#include <mferror.h>
#include <mmdeviceapi.h>

#include <string>

#include "common/Uri.h"
#include "common/ComAdopt.h"
#include "common/ComInit.h"
#include "common/Guids.h"
#include "log/Log.h"
#include "session/PostedSessionEvents.h"
#include "source/OrvoSource.h"
#include "session/SessionAudioMath.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

MediaFoundationPlayer::CreateSessionFunction g_createSession = &MFCreateMediaSession;

// MFGetService may succeed without an interface (Wine's MR_VIDEO_MIXER_SERVICE does): a null
// result counts as absent, so callers can rely on "succeeded" meaning "usable".
template <typename T>
HRESULT getService(IUnknown* object, REFGUID service, ComPtr<T>& out) {
  out.Reset();
  if (!object) return E_POINTER;
  HRESULT hr = MFGetService(object, service, __uuidof(T), reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
  if (SUCCEEDED(hr) && !out) hr = E_NOINTERFACE;
  if (FAILED(hr)) out.Reset();
  return hr;
}

}  // namespace

// The RAII guard of m_lock. The critical section is recursive: handlers that re-enter public
// operations (SetVolume from MESessionStarted) take it again on the same thread.
class MediaFoundationPlayer::Guard {
 public:
  explicit Guard(MediaFoundationPlayer* player) : m_lock(&player->m_lock) { EnterCriticalSection(m_lock); }
  ~Guard() { LeaveCriticalSection(m_lock); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  CRITICAL_SECTION* m_lock;
};

MediaFoundationPlayer::CreateSessionFunction MediaFoundationPlayer::SetCreateSessionFunction(
    CreateSessionFunction function) {
  CreateSessionFunction previous = g_createSession;
  g_createSession = function ? function : &MFCreateMediaSession;
  return previous;
}

HRESULT MediaFoundationPlayer::CreateInstance(HWND videoWindow, HWND notifyWindow, MediaFoundationPlayer** player) {
  if (!player) return E_POINTER;
  *player = nullptr;
  MediaFoundationPlayer* created = new MediaFoundationPlayer(videoWindow, notifyWindow);
  ORVO_LOG_DEBUG("MediaFoundationPlayer::MediaFoundationPlayer: allocated player object %p", created);
  created->m_closeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!created->m_closeEvent) {
    const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    ORVO_LOG_DEBUG("MediaFoundationPlayer::CreateInstance: CreateEventW failed 0x%X", static_cast<unsigned>(hr));
    created->Release();
    return hr;
  }
  *player = created;
  return S_OK;
}

MediaFoundationPlayer::MediaFoundationPlayer(HWND videoWindow, HWND notifyWindow)
    : m_eventOwner(PostedSessionEvents::Instance().Register()),
      m_videoWindow(videoWindow),
      m_notifyWindow(notifyWindow) {
  InitializeCriticalSection(&m_lock);
}

MediaFoundationPlayer::~MediaFoundationPlayer() {
  Dispose();
  // Closed here rather than in Dispose: a session that answers Close after the 3 s limit may still
  // signal the handle from Invoke, and Invoke can only run while the session holds a reference.
  if (m_closeEvent) CloseHandle(m_closeEvent);
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

// The event pump, on a work-queue thread and without m_lock. The session travels as the state
// object of BeginGetEvent, so the pump never reads m_session while a host thread replaces it.
STDMETHODIMP MediaFoundationPlayer::Invoke(IMFAsyncResult* result) {
  if (!result) return E_POINTER;
  ComPtr<IUnknown> state;
  ComPtr<IMFMediaEventGenerator> session;
  HRESULT hr = result->GetState(&state);
  if (SUCCEEDED(hr)) hr = state.As(&session);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::Invoke[%p]: no session 0x%X", this, static_cast<unsigned>(hr));
    return S_OK;
  }
  ComPtr<IMFMediaEvent> event;
  hr = session->EndGetEvent(result, &event);
  if (FAILED(hr) || !event) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::Invoke[%p]: EndGetEvent failed 0x%X", this, static_cast<unsigned>(hr));
    return S_OK;
  }
  MediaEventType type = MEUnknown;
  hr = event->GetType(&type);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::Invoke[%p]: GetType failed 0x%X", this, static_cast<unsigned>(hr));
    return S_OK;
  }
  if (type == MESessionClosed) {
    SetEvent(m_closeEvent);
    return S_OK;
  }
  hr = session->BeginGetEvent(this, session.Get());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::Invoke[%p]: BeginGetEvent failed 0x%X", this, static_cast<unsigned>(hr));
    return S_OK;
  }
  if (m_state.load() != Closing) {
    PostedSessionEvents::Instance().Post(m_eventOwner, m_notifyWindow, kSessionEventMessage, event.Get(),
                                         static_cast<LPARAM>(type));
  }
  return S_OK;
}

HRESULT MediaFoundationPlayer::OpenURL(int playerId, const wchar_t* uri,
                                       const std::vector<ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                                       RequestDataCallback callback) {
  Guard guard(this);
  if (m_disposed) return MF_E_SHUTDOWN;
  if (!uri) return E_POINTER;
  HRESULT hr = TearDownSession();
  if (FAILED(hr)) return hr;

  ComPtr<IMFPresentationDescriptor> descriptor;
  ComPtr<IMFTopology> topology;
  hr = g_createSession(nullptr, m_session.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr) && !m_session) hr = E_UNEXPECTED;
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::OpenURL[%p]: MFCreateMediaSession failed 0x%X", this,
                   static_cast<unsigned>(hr));
    m_state = Closed;
    return hr;
  }
  hr = m_session->BeginGetEvent(this, m_session.Get());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::OpenURL[%p]: BeginGetEvent failed 0x%X", this, static_cast<unsigned>(hr));
    m_state = Closed;
    return hr;
  }
  m_state = Ready;

  hr = resolveSource(playerId, uri, streamDescriptors, callback, m_mediaSource.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) {
    hr = m_mediaSource->CreatePresentationDescriptor(&descriptor);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::OpenURL[%p]: CreatePresentationDescriptor failed 0x%X", this,
                     static_cast<unsigned>(hr));
    }
  }
  if (SUCCEEDED(hr)) {
    readDuration(descriptor.Get());
    hr = buildTopology(m_mediaSource.Get(), descriptor.Get(), &topology);
  }
  if (SUCCEEDED(hr)) {
    hr = m_session->SetTopology(0, topology.Get());
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::OpenURL[%p]: SetTopology failed 0x%X", this, static_cast<unsigned>(hr));
    }
  }
  if (FAILED(hr)) {
    m_state = Closed;
    return hr;
  }
  Command open;
  open.command = CommandOpen;
  m_inFlight[SlotTransport] = open;
  m_state = OpenPending;
  return S_OK;
}

HRESULT MediaFoundationPlayer::resolveSource(int playerId, const wchar_t* uri,
                                             const std::vector<ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                                             RequestDataCallback callback, IMFMediaSource** source) {
  *source = nullptr;
  const Common::Uri parsed(Common::Uri::ToUtf8(uri));
  // Only the exact lower-case scheme is host-fed; "ORVO://" goes to the platform like any other URI.
  if (parsed.scheme() == "orvo") {
    return openHostSource(playerId, uri, streamDescriptors, callback, source);
  }

  ComPtr<IMFSourceResolver> resolver;
  ComPtr<IUnknown> object;
  MF_OBJECT_TYPE objectType = MF_OBJECT_INVALID;
  HRESULT hr = MFCreateSourceResolver(&resolver);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::ResolveSource[%p]: MFCreateSourceResolver failed 0x%X", this,
                   static_cast<unsigned>(hr));
    return hr;
  }
  hr = resolver->CreateObjectFromURL(uri, MF_RESOLUTION_MEDIASOURCE, nullptr, &objectType, &object);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::ResolveSource[%p]: CreateObjectFromURL failed 0x%X", this,
                   static_cast<unsigned>(hr));
    return hr;
  }
  if (!object) return E_UNEXPECTED;
  hr = object->QueryInterface(IID_PPV_ARGS(source));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::ResolveSource[%p]: QueryInterface(IMFMediaSource) failed 0x%X", this,
                   static_cast<unsigned>(hr));
  }
  return hr;
}

HRESULT MediaFoundationPlayer::openHostSource(int playerId, const wchar_t* uri,
                                              const std::vector<ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                                              RequestDataCallback callback, IMFMediaSource** source) {
  *source = nullptr;
  HRESULT hr = OrvoSource::CreateInstance(m_hostSource.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr) && !m_hostSource) hr = E_UNEXPECTED;
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::ResolveSource[%p]: OrvoSource::CreateInstance failed 0x%X", this,
                   static_cast<unsigned>(hr));
    return hr;
  }
  hr = m_hostSource->Open(playerId, uri, streamDescriptors, callback);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::ResolveSource[%p]: OrvoSource::Open failed 0x%X", this,
                   static_cast<unsigned>(hr));
    // The streams hold the source until it is shut down.
    m_hostSource->Shutdown();
    m_hostSource.Reset();
    return hr;
  }
  hr = m_hostSource->QueryInterface(IID_PPV_ARGS(source));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::ResolveSource[%p]: QueryInterface(IMFMediaSource) failed 0x%X", this,
                   static_cast<unsigned>(hr));
    m_hostSource->Shutdown();
    m_hostSource.Reset();
  }
  return hr;
}

void MediaFoundationPlayer::readDuration(IMFPresentationDescriptor* descriptor) {
  UINT64 duration = 0;
  if (descriptor && SUCCEEDED(descriptor->GetUINT64(MF_PD_DURATION, &duration))) m_duration = duration;
}

HRESULT MediaFoundationPlayer::buildTopology(IMFMediaSource* source, IMFPresentationDescriptor* descriptor,
                                             IMFTopology** topology) {
  *topology = nullptr;
  ComPtr<IMFTopology> created;
  HRESULT hr = MFCreateTopology(&created);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::BuildTopology[%p]: MFCreateTopology failed 0x%X", this,
                   static_cast<unsigned>(hr));
    return hr;
  }
  DWORD count = 0;
  hr = descriptor->GetStreamDescriptorCount(&count);
  if (FAILED(hr)) return hr;
  for (DWORD i = 0; i < count; ++i) {
    hr = addStreamBranch(created.Get(), source, descriptor, i);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::BuildTopology[%p]: stream %u failed 0x%X", this, static_cast<unsigned>(i),
                     static_cast<unsigned>(hr));
      return hr;
    }
  }
  *topology = created.Detach();
  return S_OK;
}

// A stream whose branch cannot be built is left out of the topology rather than failing the
// whole presentation: a third kind of stream must not keep audio and video from playing.
HRESULT MediaFoundationPlayer::addStreamBranch(IMFTopology* topology, IMFMediaSource* source,
                                               IMFPresentationDescriptor* descriptor, DWORD index) {
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> stream;
  const HRESULT result = descriptor->GetStreamDescriptorByIndex(index, &selected, &stream);
  if (FAILED(result)) return result;
  if (!selected || !stream) return result;

  ComPtr<IMFMediaTypeHandler> handler;
  ComPtr<IMFMediaType> type;
  ComPtr<IMFActivate> renderer;
  ComPtr<IMFTopologyNode> sourceNode;
  ComPtr<IMFTopologyNode> outputNode;
  GUID major = GUID_NULL;
  HRESULT hr = stream->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->GetCurrentMediaType(&type);
  if (SUCCEEDED(hr)) hr = type->GetMajorType(&major);
  if (SUCCEEDED(hr)) {
    if (major == MFMediaType_Audio) {
      hr = MFCreateAudioRendererActivate(&renderer);
    } else if (major == MFMediaType_Video) {
      hr = MFCreateVideoRendererActivate(m_videoWindow, &renderer);
    } else {
      hr = MF_E_INVALIDMEDIATYPE;
    }
  }
  if (SUCCEEDED(hr)) hr = MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, &sourceNode);
  if (SUCCEEDED(hr)) hr = sourceNode->SetUnknown(MF_TOPONODE_SOURCE, source);
  if (SUCCEEDED(hr)) hr = sourceNode->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, descriptor);
  if (SUCCEEDED(hr)) hr = sourceNode->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, stream.Get());
  if (SUCCEEDED(hr)) hr = topology->AddNode(sourceNode.Get());
  if (SUCCEEDED(hr)) hr = MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, &outputNode);
  if (SUCCEEDED(hr)) hr = outputNode->SetObject(renderer.Get());
  if (SUCCEEDED(hr)) hr = outputNode->SetUINT32(MF_TOPONODE_STREAMID, 0);
  if (SUCCEEDED(hr)) hr = outputNode->SetUINT32(MF_TOPONODE_NOSHUTDOWN_ON_REMOVE, FALSE);
  if (SUCCEEDED(hr)) hr = topology->AddNode(outputNode.Get());
  if (SUCCEEDED(hr)) hr = sourceNode->ConnectOutput(0, outputNode.Get(), 0);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::AddStreamBranch[%p]: stream %u left out 0x%X", this,
                   static_cast<unsigned>(index), static_cast<unsigned>(hr));
  }
  return result;
}

HRESULT MediaFoundationPlayer::TearDownSession() {
  Guard guard(this);
  m_displayControl.Reset();
  m_mixerBitmap.Reset();
  m_rateControl.Reset();
  m_rateSupport.Reset();
  m_presentationClock.Reset();

  HRESULT hr = S_OK;
  if (m_session) {
    m_state = Closing;
    // A confirmation that came too late for an earlier teardown must not end this wait early.
    ResetEvent(m_closeEvent);
    hr = m_session->Close();
    if (SUCCEEDED(hr)) {
      // A session can stop delivering events (Wine does after a rate change): the wait is bounded
      // and a timeout is not an error, the session is shut down all the same.
      if (WaitForSingleObject(m_closeEvent, kCloseTimeoutMs) != WAIT_OBJECT_0) {
        ORVO_LOG_DEBUG("MediaFoundationPlayer::TearDownSession[%p]: session did not confirm Close", this);
      }
    } else {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::TearDownSession[%p]: Close failed 0x%X", this, static_cast<unsigned>(hr));
    }
  }
  // Shut down also when Close was refused: only Shutdown makes the session let go of its event
  // callback (this player) and of the source, so skipping it would leak both.
  if (m_mediaSource) m_mediaSource->Shutdown();
  if (m_session) m_session->Shutdown();

  m_mediaSource.Reset();
  m_hostSource.Reset();
  m_session.Reset();
  // The volume controls belong to the renderer of the session just ended.
  m_streamVolume.Reset();
  m_simpleVolume.Reset();
  m_channelCount = 0;
  m_channelVolumes.clear();
  // Commands of the ended session must not run on the next one.
  m_queued.clear();
  m_inFlight.clear();
  if (m_alphaBitmap) {
    DeleteObject(m_alphaBitmap);
    m_alphaBitmap = nullptr;
  }
  m_state = Closed;
  return hr;
}

HRESULT MediaFoundationPlayer::Dispose() {
  Guard guard(this);
  if (m_disposed) return S_OK;
  const HRESULT hr = TearDownSession();
  m_disposed = true;
  const size_t dropped = PostedSessionEvents::Instance().Retire(m_eventOwner);
  if (dropped) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::Dispose[%p]: released %u undelivered events", this,
                   static_cast<unsigned>(dropped));
  }
  return hr;
}

// ---- Transport -------------------------------------------------------------------------------

HRESULT MediaFoundationPlayer::request(CommandSlot slot, const Command& command) {
  Guard guard(this);
  if (!m_queued.empty() || !m_inFlight.empty()) {
    m_queued[slot] = command;  // a later request of the same kind replaces a waiting one
    return S_OK;
  }
  switch (command.command) {
    case CommandStart:
      return IssueStart();
    case CommandPause:
      return IssuePause();
    case CommandStop:
      return IssueStop();
    case CommandSeek:
      return IssueSeek(command.position);
    case CommandRate:
      return IssueRate(command.rate);
    default:
      return E_INVALIDARG;
  }
}

HRESULT MediaFoundationPlayer::RequestStart() {
  Command command;
  command.command = CommandStart;
  return request(SlotTransport, command);
}

HRESULT MediaFoundationPlayer::RequestPause() {
  Command command;
  command.command = CommandPause;
  return request(SlotTransport, command);
}

HRESULT MediaFoundationPlayer::RequestStop() {
  Command command;
  command.command = CommandStop;
  return request(SlotTransport, command);
}

HRESULT MediaFoundationPlayer::RequestSeek(LONGLONG position) {
  Command command;
  command.command = CommandSeek;
  command.position = position;
  return request(SlotSeek, command);
}

HRESULT MediaFoundationPlayer::RequestRate(double rate) {
  // NaN and infinities cannot be a rate on any platform; refuse them here with a clear result.
  if (!(rate == rate) || rate > 1e30 || rate < -1e30) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::RequestRate[%p]: invalid rate", this);
    return E_INVALIDARG;
  }
  Command command;
  command.command = CommandRate;
  command.rate = rate;
  return request(SlotRate, command);
}

HRESULT MediaFoundationPlayer::IssueStart() {
  Guard guard(this);
  const int state = m_state.load();
  if (state != Paused && state != Stopped) return MF_E_INVALIDREQUEST;
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  PROPVARIANT position;
  PropVariantInit(&position);  // VT_EMPTY: continue from the current position
  const HRESULT hr = m_session->Start(&GUID_NULL, &position);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::IssueStart[%p]: Start failed 0x%X", this, static_cast<unsigned>(hr));
    return hr;
  }
  Command command;
  command.command = CommandStart;
  m_inFlight[SlotTransport] = command;
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssuePause() {
  Guard guard(this);
  if (m_state.load() != Started) return MF_E_INVALIDREQUEST;
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  const HRESULT hr = m_session->Pause();
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::IssuePause[%p]: Pause failed 0x%X", this, static_cast<unsigned>(hr));
    return hr;
  }
  Command command;
  command.command = CommandPause;
  m_inFlight[SlotTransport] = command;
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssueStop() {
  Guard guard(this);
  const int state = m_state.load();
  if (state != Started && state != Paused) return MF_E_INVALIDREQUEST;
  if (!m_session) return E_UNEXPECTED;
  const HRESULT hr = m_session->Stop();
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::IssueStop[%p]: Stop failed 0x%X", this, static_cast<unsigned>(hr));
    return hr;
  }
  Command command;
  command.command = CommandStop;
  m_inFlight[SlotTransport] = command;
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssueSeek(LONGLONG position) {
  Guard guard(this);
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  if (!m_presentationClock) return MF_E_NO_CLOCK;
  PROPVARIANT start;
  PropVariantInit(&start);
  start.vt = VT_I8;
  start.hVal.QuadPart = position;
  const HRESULT hr = m_session->Start(&GUID_NULL, &start);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::IssueSeek[%p]: Start failed 0x%X", this, static_cast<unsigned>(hr));
    return hr;
  }
  Command command;
  command.command = CommandSeek;
  command.position = position;
  m_inFlight[SlotSeek] = command;
  return S_OK;
}

HRESULT MediaFoundationPlayer::IssueRate(double rate) {
  Guard guard(this);
  if (!m_session || !m_mediaSource) return E_UNEXPECTED;
  if (!m_rateControl) return MF_E_INVALIDREQUEST;
  const float platformRate = static_cast<float>(rate);
  bool thin = false;
  if (m_rateSupport) {
    const HRESULT plain = m_rateSupport->IsRateSupported(FALSE, platformRate, nullptr);
    const HRESULT thinned = SUCCEEDED(plain) ? plain : m_rateSupport->IsRateSupported(TRUE, platformRate, nullptr);
    const HRESULT hr = ChooseRateThinning(plain, thinned, &thin);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::IssueRate[%p]: rate %f not supported 0x%X", this, rate,
                     static_cast<unsigned>(hr));
      return hr;
    }
  }
  const HRESULT hr = m_rateControl->SetRate(thin ? TRUE : FALSE, platformRate);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::IssueRate[%p]: SetRate failed 0x%X", this, static_cast<unsigned>(hr));
    return hr;
  }
  Command command;
  command.command = CommandRate;
  command.rate = rate;
  m_inFlight[SlotRate] = command;
  return S_OK;
}

// Issues waiting commands in slot order (transport, seek, rate) until one is accepted: a refused
// command is dropped in favour of the next.
void MediaFoundationPlayer::runQueued() {
  Guard guard(this);
  while (!m_queued.empty()) {
    const auto first = m_queued.begin();
    const Command command = first->second;
    m_queued.erase(first);
    HRESULT hr = E_INVALIDARG;
    switch (command.command) {
      case CommandStop:
        hr = IssueStop();
        break;
      case CommandStart:
        hr = IssueStart();
        break;
      case CommandPause:
        hr = IssuePause();
        break;
      case CommandSeek:
        hr = IssueSeek(command.position);
        break;
      case CommandRate:
        hr = IssueRate(command.rate);
        break;
      default:
        break;
    }
    if (SUCCEEDED(hr)) return;
    ORVO_LOG_DEBUG("MediaFoundationPlayer::RunQueued[%p]: command %d refused 0x%X", this, command.command,
                   static_cast<unsigned>(hr));
  }
}

void MediaFoundationPlayer::confirm(std::initializer_list<int32_t> commands) {
  if (m_inFlight.empty()) return;
  const int32_t first = m_inFlight.begin()->second.command;
  for (int32_t command : commands) {
    if (command == first) {
      m_inFlight.clear();
      return;
    }
  }
}

// ---- Queries ---------------------------------------------------------------------------------

PlayerState MediaFoundationPlayer::GetState() {
  Guard guard(this);
  return static_cast<PlayerState>(m_state.load());
}

LONGLONG MediaFoundationPlayer::GetDuration() {
  Guard guard(this);
  return static_cast<LONGLONG>(m_duration);
}

LONGLONG MediaFoundationPlayer::GetPosition() {
  Guard guard(this);
  auto seek = m_inFlight.find(SlotSeek);
  if (seek != m_inFlight.end()) return seek->second.position;
  seek = m_queued.find(SlotSeek);
  if (seek != m_queued.end()) return seek->second.position;
  if (m_session && m_mediaSource && m_presentationClock) {
    MFTIME time = 0;
    if (SUCCEEDED(m_presentationClock->GetTime(&time))) return time;
  }
  return 0;
}

double MediaFoundationPlayer::GetPlaybackRate() {
  Guard guard(this);
  auto rate = m_inFlight.find(SlotRate);
  if (rate != m_inFlight.end()) return rate->second.rate;
  rate = m_queued.find(SlotRate);
  if (rate != m_queued.end()) return rate->second.rate;
  if (m_session && m_mediaSource && m_rateControl) {
    BOOL thin = FALSE;
    float current = 0.0f;
    if (FAILED(m_rateControl->GetRate(&thin, &current))) return 0.0;
    return current;
  }
  return 1.0;
}

MediaFoundationPlayer::CommandMap MediaFoundationPlayer::queuedCommands() {
  Guard guard(this);
  return m_queued;
}

MediaFoundationPlayer::CommandMap MediaFoundationPlayer::inFlightCommands() {
  Guard guard(this);
  return m_inFlight;
}

bool MediaFoundationPlayer::hasDisplayControl() {
  Guard guard(this);
  return m_displayControl != nullptr;
}

bool MediaFoundationPlayer::hasMixerBitmap() {
  Guard guard(this);
  return m_mixerBitmap != nullptr;
}

bool MediaFoundationPlayer::hasPresentationClock() {
  Guard guard(this);
  return m_presentationClock != nullptr;
}

// ---- Events ----------------------------------------------------------------------------------

HRESULT MediaFoundationPlayer::HandlePostedEvent(WPARAM wParam) {
  ComPtr<IMFMediaEvent> event = PostedSessionEvents::Instance().Claim(m_eventOwner, wParam);
  if (!event) return S_FALSE;  // not ours, or released when its engine was disposed
  return HandleEvent(event.Detach());
}

void MediaFoundationPlayer::DiscardPostedEvent(WPARAM wParam) { PostedSessionEvents::Instance().Discard(wParam); }

void MediaFoundationPlayer::switchToError(const char* eventName, HRESULT status) {
  ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event %s, hrStatus 0x%X, switch to error state", this,
                 eventName, static_cast<unsigned>(status));
  m_state = Error;
}

HRESULT MediaFoundationPlayer::HandleEvent(IMFMediaEvent* event) {
  if (!event) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: pEvent == NULL", this);
    return E_POINTER;
  }
  const ComPtr<IMFMediaEvent> owned = AdoptRef(event);
  Guard guard(this);
  if (m_disposed) return S_FALSE;

  MediaEventType type = MEUnknown;
  HRESULT hr = event->GetType(&type);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: pEvent->GetType() failed 0x%X", this,
                   static_cast<unsigned>(hr));
    return hr;
  }
  HRESULT status = S_OK;
  hr = event->GetStatus(&status);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: pEvent->GetStatus() failed 0x%X", this,
                   static_cast<unsigned>(hr));
    status = S_OK;
  }

  HRESULT result = S_OK;
  switch (type) {
    case MEExtendedType:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MEExtendedType, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      result = OnSessionEvent(event, type);
      break;
    case MESessionTopologySet:
      if (FAILED(status)) {
        switchToError("MESessionTopologySet", status);
        result = status;
      } else {
        ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionTopologySet", this);
        result = OnSessionEvent(event, type);
      }
      break;
    case MESessionStarted:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionStarted, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      confirm({CommandStart, CommandSeek});
      if (FAILED(status)) {
        m_state = Error;
        result = status;
        break;
      }
      m_state = Started;
      if (m_displayControl) m_displayControl->RepaintVideo();
      // Settings given before playback are applied now that the renderer exists.
      if (m_volume >= 0.0) {
        SetVolume(m_volume);
      } else if (m_balance >= 0.0) {
        SetBalance(m_balance);
      }
      runQueued();
      break;
    case MESessionPaused:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionPaused, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      confirm({CommandPause});
      if (FAILED(status)) {
        m_state = Error;
        result = status;
        break;
      }
      m_state = Paused;
      runQueued();
      break;
    case MESessionStopped:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionStopped, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      confirm({CommandStop});
      if (FAILED(status)) {
        m_state = Error;
        result = status;
        break;
      }
      m_state = Stopped;
      runQueued();
      break;
    case MESessionEnded:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionEnded, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      m_state = Stopped;
      runQueued();
      break;
    case MESessionRateChanged:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionRateChanged, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      confirm({CommandRate});
      runQueued();
      break;
    case MESessionTopologyStatus:
      if (FAILED(status)) {
        switchToError("MESessionTopologyStatus", status);
        result = status;
      } else {
        result = OnTopologyStatus(event);
      }
      break;
    case MESessionNotifyPresentationTime:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionNotifyPresentationTime, hrStatus 0x%X",
                     this, static_cast<unsigned>(status));
      result = OnSessionEvent(event, type);
      break;
    case MENewPresentation:
      if (FAILED(status)) {
        switchToError("MENewPresentation", status);
        result = status;
      } else {
        result = OnNewPresentation(event);
      }
      break;
    case MESessionStreamSinkFormatChanged:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionStreamSinkFormatChanged, hrStatus 0x%X",
                     this, static_cast<unsigned>(status));
      result = OnSessionEvent(event, type);
      break;
    case MEEndOfPresentation:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MEEndOfPresentation, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      result = OnPresentationEnded(event);
      break;
    default:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event %d, hrStatus 0x%X", this, static_cast<int>(type),
                     static_cast<unsigned>(status));
      result = OnSessionEvent(event, type);
      break;
  }
  return result;
}

HRESULT MediaFoundationPlayer::OnSessionEvent(IMFMediaEvent*, MediaEventType) { return S_OK; }

HRESULT MediaFoundationPlayer::OnTopologyStatus(IMFMediaEvent* event) {
  UINT32 status = 0;
  const HRESULT hr = event->GetUINT32(MF_EVENT_TOPOLOGY_STATUS, &status);
  ORVO_LOG_DEBUG("MediaFoundationPlayer::OnTopologyStatus[%p]: hr 0x%X, status %d", this, static_cast<unsigned>(hr),
                 static_cast<int>(status));
  if (FAILED(hr) || status != MF_TOPOSTATUS_READY) return hr;

  Guard guard(this);
  if (!m_session) return hr;
  // Display settings survive topology changes: applied again each time a topology is ready.
  if (SUCCEEDED(getService(m_session.Get(), kMR_VIDEO_RENDER_SERVICE, m_displayControl))) {
    m_displayControl->SetFullscreen(m_fullScreen);
    m_displayControl->SetAspectRatioMode(m_aspectRatioMode);
  }
  if (SUCCEEDED(getService(m_session.Get(), kMR_VIDEO_MIXER_SERVICE, m_mixerBitmap))) applyAlphaBitmap();
  if (SUCCEEDED(getService(m_session.Get(), MF_RATE_CONTROL_SERVICE, m_rateControl))) {
    getService(m_session.Get(), MF_RATE_CONTROL_SERVICE, m_rateSupport);
  } else {
    m_rateSupport.Reset();
  }
  ComPtr<IMFClock> clock;
  m_presentationClock.Reset();
  if (SUCCEEDED(m_session->GetClock(&clock)) && clock) clock.As(&m_presentationClock);

  confirm({CommandOpen});
  m_state = Stopped;
  runQueued();
  return hr;
}

HRESULT MediaFoundationPlayer::OnNewPresentation(IMFMediaEvent* event) {
  ORVO_LOG_DEBUG("MediaFoundationPlayer::OnNewPresentation[%p]: new presentation", this);
  Guard guard(this);
  PROPVARIANT value;
  PropVariantInit(&value);
  if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal && m_session && m_mediaSource) {
    ComPtr<IMFPresentationDescriptor> descriptor;
    ComPtr<IMFTopology> topology;
    if (SUCCEEDED(value.punkVal->QueryInterface(IID_PPV_ARGS(&descriptor)))) {
      readDuration(descriptor.Get());
      if (SUCCEEDED(buildTopology(m_mediaSource.Get(), descriptor.Get(), &topology)) &&
          SUCCEEDED(m_session->SetTopology(0, topology.Get()))) {
        Command open;
        open.command = CommandOpen;
        m_inFlight[SlotTransport] = open;
        m_state = OpenPending;
      }
    }
  }
  PropVariantClear(&value);
  return S_OK;
}

HRESULT MediaFoundationPlayer::OnPresentationEnded(IMFMediaEvent*) {
  Guard guard(this);
  ORVO_LOG_DEBUG("MediaFoundationPlayer::OnPresentationEnded[%p]: presentation ended", this);
  m_state = Stopped;
  runQueued();
  return S_OK;
}

void MediaFoundationPlayer::OnSize(int width, int height) {
  Guard guard(this);
  if (!m_displayControl) return;
  RECT destination = {0, 0, width, height};
  m_displayControl->SetVideoPosition(nullptr, &destination);
}

bool MediaFoundationPlayer::OnPaint() {
  Guard guard(this);
  if (!m_displayControl) return false;
  m_displayControl->RepaintVideo();
  return true;
}

// ---- Volume, balance and display -------------------------------------------------------------

void MediaFoundationPlayer::createVolumeControl() {
  if (!m_session || m_state.load() != Started || m_streamVolume || m_simpleVolume) return;
  HRESULT hr = getService(m_session.Get(), MR_STREAM_VOLUME_SERVICE, m_streamVolume);
  if (SUCCEEDED(hr)) {
    UINT32 count = 0;
    hr = m_streamVolume->GetChannelCount(&count);
    if (SUCCEEDED(hr) && count > 0) {
      m_channelCount = count;
      m_channelVolumes.assign(count, 0.0f);
    } else {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::createVolumeControl[%p]: failed to get channel count 0x%x", this,
                     static_cast<unsigned>(hr));
      if (SUCCEEDED(hr)) hr = E_UNEXPECTED;
      m_streamVolume.Reset();
    }
  }
  if (m_streamVolume) return;
  ORVO_LOG_DEBUG("MediaFoundationPlayer::createVolumeControl[%p]: failed to get stream volume service 0x%x", this,
                 static_cast<unsigned>(hr));
  findProcessAudioSession();
}

// Falls back to the volume of this process's own audio session on the default console endpoint.
void MediaFoundationPlayer::findProcessAudioSession() {
  InitializeComForThread();
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDevice> device;
  ComPtr<IAudioSessionManager2> manager;
  ComPtr<IAudioSessionEnumerator> sessions;
  int count = 0;
  HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
  if (SUCCEEDED(hr)) hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
  if (SUCCEEDED(hr)) {
    hr = device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                          reinterpret_cast<void**>(manager.GetAddressOf()));
  }
  if (SUCCEEDED(hr) && !manager) hr = E_NOINTERFACE;
  if (SUCCEEDED(hr)) hr = manager->GetSessionEnumerator(&sessions);
  if (SUCCEEDED(hr) && !sessions) hr = E_NOINTERFACE;
  if (SUCCEEDED(hr)) hr = sessions->GetCount(&count);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::createVolumeControl[%p]: audio session manager failed 0x%X", this,
                   static_cast<unsigned>(hr));
    return;
  }
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
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::createVolumeControl[%p]: audio session %d failed 0x%X", this, i,
                     static_cast<unsigned>(hr));
      return;
    }
    if (processId == self) {
      if (FAILED(control.As(&m_simpleVolume))) m_simpleVolume.Reset();
      return;
    }
  }
}

double MediaFoundationPlayer::GetVolume() {
  Guard guard(this);
  if (!m_simpleVolume && !m_streamVolume) {
    createVolumeControl();
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

HRESULT MediaFoundationPlayer::SetVolume(double volume) {
  Guard guard(this);
  if (!IsUnitRange(volume)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::SetVolume[%p]: volume %f out of range", this, volume);
    return E_INVALIDARG;
  }
  m_volume = volume;
  if (!m_simpleVolume && !m_streamVolume) {
    createVolumeControl();
    if (!m_simpleVolume && !m_streamVolume) return S_OK;  // applied at the next start
  }
  if (m_simpleVolume) {
    const HRESULT hr = m_simpleVolume->SetMasterVolume(static_cast<float>(volume), &GUID_NULL);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("MediaFoundationPlayer::SetVolume[%p]: SetMasterVolume failed 0x%X", this,
                     static_cast<unsigned>(hr));
    }
    return hr;
  }
  if (m_balance < 0.0) GetBalance();
  const std::vector<float> volumes = ChannelVolumes(m_channelCount, m_volume, m_balance);
  const HRESULT hr = m_streamVolume->SetAllVolumes(m_channelCount, volumes.data());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::SetVolume[%p]: SetAllVolumes failed 0x%X", this, static_cast<unsigned>(hr));
  }
  return hr;
}

double MediaFoundationPlayer::GetBalance() {
  Guard guard(this);
  if (!m_streamVolume) createVolumeControl();
  double balance = 0.5;
  if (m_streamVolume && m_channelCount > 1 &&
      SUCCEEDED(m_streamVolume->GetAllVolumes(m_channelCount, m_channelVolumes.data()))) {
    balance = BalanceFromChannels(m_channelVolumes.data(), m_channelCount);
  }
  if (!m_streamVolume) return balance;
  m_balance = balance;
  return m_balance;
}

HRESULT MediaFoundationPlayer::SetBalance(double balance) {
  Guard guard(this);
  if (!IsUnitRange(balance)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::SetBalance[%p]: balance %f out of range", this, balance);
    return E_INVALIDARG;
  }
  m_balance = balance;
  if (!m_streamVolume) createVolumeControl();
  if (!m_streamVolume) return S_OK;  // remembered; the process session's volume has no balance
  if (m_volume < 0.0) GetVolume();
  return SetVolume(m_volume);
}

HRESULT MediaFoundationPlayer::SetFullScreen(BOOL fullScreen) {
  Guard guard(this);
  m_fullScreen = fullScreen;
  if (!m_displayControl) return S_OK;
  const HRESULT hr = m_displayControl->SetFullscreen(fullScreen);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::SetFullScreen[%p]: SetFullscreen failed 0x%X", this,
                   static_cast<unsigned>(hr));
  }
  return hr;
}

HRESULT MediaFoundationPlayer::SetStretch(BOOL stretch) {
  Guard guard(this);
  m_aspectRatioMode = stretch ? MFVideoARMode_None : MFVideoARMode_PreservePicture;
  if (!m_displayControl) return S_OK;
  const HRESULT hr = m_displayControl->SetAspectRatioMode(m_aspectRatioMode);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::SetStretch[%p]: SetAspectRatioMode failed 0x%X", this,
                   static_cast<unsigned>(hr));
  }
  return hr;
}

HRESULT MediaFoundationPlayer::SetAlphaBitmap(HBITMAP bitmap) {
  Guard guard(this);
  // The same handle given twice must not be deleted while it stays in use.
  if (m_alphaBitmap && m_alphaBitmap != bitmap) DeleteObject(m_alphaBitmap);
  m_alphaBitmap = bitmap;
  if (!m_mixerBitmap) return S_OK;
  return applyAlphaBitmap();
}

HRESULT MediaFoundationPlayer::applyAlphaBitmap() {
  if (!m_mixerBitmap) return MF_E_INVALIDREQUEST;
  HRESULT hr = S_OK;
  if (m_alphaBitmap) {
    HDC windowDc = GetDC(m_videoWindow);
    HDC memoryDc = windowDc ? CreateCompatibleDC(windowDc) : nullptr;
    if (!memoryDc) {
      if (windowDc) ReleaseDC(m_videoWindow, windowDc);
      ORVO_LOG_DEBUG("MediaFoundationPlayer::ApplyAlphaBitmap[%p]: no device context", this);
      return E_FAIL;
    }
    HGDIOBJ previous = SelectObject(memoryDc, m_alphaBitmap);
    BITMAP info = {};
    if (GetObjectW(m_alphaBitmap, sizeof(info), &info) == 0) {
      hr = E_INVALIDARG;
    } else {
      MFVideoAlphaBitmap alpha = {};
      alpha.GetBitmapFromDC = TRUE;
      alpha.bitmap.hdc = memoryDc;
      alpha.params.dwFlags = MFVideoAlphaBitmap_SrcColorKey | MFVideoAlphaBitmap_DestRect;
      alpha.params.clrSrcKey = RGB(0, 0, 0);  // black pixels are transparent
      alpha.params.rcSrc = {0, 0, info.bmWidth, info.bmHeight};
      alpha.params.nrcDest = {0.0f, 0.0f, 1.0f, 1.0f};
      alpha.params.fAlpha = 0.0f;
      alpha.params.dwFilterMode = 0;
      hr = m_mixerBitmap->SetAlphaBitmap(&alpha);
    }
    SelectObject(memoryDc, previous);
    DeleteDC(memoryDc);
    ReleaseDC(m_videoWindow, windowDc);
  } else {
    hr = m_mixerBitmap->ClearAlphaBitmap();
  }
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::ApplyAlphaBitmap[%p]: failed 0x%X", this, static_cast<unsigned>(hr));
  }
  if (m_state.load() != Started && m_displayControl) m_displayControl->RepaintVideo();
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
