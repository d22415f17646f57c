#include "source/OrvoSource.h"

#include <mfapi.h>
#include <mferror.h>

#include <new>
#include <string>

#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "log/Log.h"
#include "source/OrvoStream.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

OrvoSource::OrvoSource() : OpQueue<OrvoSourceOp>(m_lock) {
  InitializeCriticalSection(&m_lock);
  m_lastWaitReport = time(nullptr);
}

OrvoSource::~OrvoSource() {
  if (m_state != SourceShutdown) Shutdown();
  clearPendingOperations();
  m_events.Reset();
  if (m_pullWake) CloseHandle(m_pullWake);
  DeleteCriticalSection(&m_lock);
}

HRESULT OrvoSource::initialize() {
  m_pullWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!m_pullWake) {
    const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    LogIfFailed(hr, "OrvoSource::CreateInstance: CreateEventW");
    return hr;
  }
  const HRESULT hr = MFCreateEventQueue(&m_events);
  LogIfFailed(hr, "OrvoSource::CreateInstance: MFCreateEventQueue");
  return hr;
}

HRESULT OrvoSource::CreateInstance(OrvoSource** source) {
  if (!source) return E_POINTER;
  *source = nullptr;
  ComPtr<OrvoSource> created = AdoptRef(new (std::nothrow) OrvoSource());
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->initialize();
  if (SUCCEEDED(hr)) *source = created.Detach();
  return hr;
}

HRESULT OrvoSource::Open(int playerId, const wchar_t* uri,
                         const std::vector<ComPtr<IMFStreamDescriptor>>& descriptors, RequestDataCallback callback) {
  CriticalSectionGuard lock(&m_lock);
  if (!uri || !callback) return E_POINTER;
  if (m_state != SourceInvalid || descriptors.empty()) return MF_E_INVALIDREQUEST;
  m_playerId = playerId;
  std::string text = Common::Uri::ToUtf8(uri);
  m_sourceUri.parse(text);
  // The parser lower-cases schemes; the host-fed source answers only to "orvo" exactly as written,
  // so the scheme is compared on the text itself.
  std::string written = text.substr(0, text.find(':'));
  if (written != "orvo" || m_sourceUri.scheme() != "orvo") {
    ORVO_LOG_DEBUG("OrvoSource::Open: scheme '%s' is not orvo", written.c_str());
    return MF_E_INVALIDREQUEST;
  }
  m_state = SourceOpening;
  ORVO_RETURN_IF_FAILED(CreateStreams(descriptors), "OrvoSource::Open: CreateStreams");
  m_callback = callback;
  m_state = SourceStopped;
  return S_OK;
}

HRESULT OrvoSource::CreateStreams(const std::vector<ComPtr<IMFStreamDescriptor>>& descriptors) {
  std::vector<IMFStreamDescriptor*> all;
  HRESULT hr = S_OK;
  for (const auto& descriptor : descriptors) {
    if (!descriptor) {
      hr = E_POINTER;
      break;
    }
    DWORD identifier = 0;
    hr = descriptor->GetStreamIdentifier(&identifier);
    if (FAILED(hr)) break;
    unsigned char key = static_cast<unsigned char>(identifier & 0xFF);
    if (SUCCEEDED(m_streamIndexById.Find(key, nullptr))) {
      // Streams are keyed by the identifier's low 8 bits. A repeat would put more streams in the
      // presentation than the source has, and Start refuses such a presentation every time; it is
      // left out so the others still play.
      ORVO_LOG_DEBUG("OrvoSource::CreateStreams: stream identifier %u repeats stream %u, left out",
                     static_cast<unsigned>(identifier), static_cast<unsigned>(key));
      continue;
    }
    const DWORD index = m_streamArray.GetCount();
    ComPtr<OrvoStream> stream;
    hr = OrvoStream::CreateInstance(this, index, key, descriptor.Get(), m_lowLatency != 0, stream.GetAddressOf());
    if (SUCCEEDED(hr)) hr = m_streamArray.SetSize(index + 1);
    if (FAILED(hr)) break;
    m_streamArray[index] = std::move(stream);
    hr = m_streamIndexById.Insert(key, index);
    if (FAILED(hr)) break;
    all.push_back(descriptor.Get());
  }
  if (FAILED(hr)) return hr;

  ORVO_RETURN_IF_FAILED(MFCreatePresentationDescriptor(static_cast<DWORD>(all.size()), all.data(), &m_pDescriptor),
                        "OrvoSource::CreateStreams: MFCreatePresentationDescriptor");
  for (DWORD i = 0; i < all.size() && SUCCEEDED(hr); ++i) hr = m_pDescriptor->SelectStream(i);
  return hr;
}

STDMETHODIMP OrvoSource::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFMediaSource) || iid == __uuidof(IMFMediaSourceEx) ||
      iid == __uuidof(IMFMediaEventGenerator)) {
    *object = static_cast<IMFMediaSourceEx*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP OrvoSource::GetEvent(DWORD flags, IMFMediaEvent** event) {
  ComPtr<IMFMediaEventQueue> queue;
  {
    CriticalSectionGuard lock(&m_lock);
    if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
    queue = m_events;
  }
  return queue->GetEvent(flags, event);
}

STDMETHODIMP OrvoSource::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  return m_events->BeginGetEvent(callback, state);
}

STDMETHODIMP OrvoSource::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  return m_events->EndGetEvent(result, event);
}

STDMETHODIMP OrvoSource::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                    const PROPVARIANT* value) {
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  return m_events->QueueEventParamVar(type, extendedType, status, value);
}

STDMETHODIMP OrvoSource::GetCharacteristics(DWORD* characteristics) {
  if (!characteristics) return E_POINTER;
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  *characteristics = MFMEDIASOURCE_IS_LIVE;
  return S_OK;
}

STDMETHODIMP OrvoSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  if (m_state == SourceInvalid || m_state == SourceOpening || !m_pDescriptor) return MF_E_NOT_INITIALIZED;
  if (!descriptor) return E_POINTER;
  return m_pDescriptor->Clone(descriptor);
}

STDMETHODIMP OrvoSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                               const PROPVARIANT* position) {
  CriticalSectionGuard lock(&m_lock);
  if (!descriptor || !position) return E_INVALIDARG;
  if (timeFormat && *timeFormat != GUID_NULL) return MF_E_UNSUPPORTED_TIME_FORMAT;
  if (position->vt == VT_I8) {
    // A live source starts only from the beginning, and cannot seek once running.
    if (m_state != SourceStopped || position->hVal.QuadPart != 0) return MF_E_INVALIDREQUEST;
  } else if (position->vt != VT_EMPTY) {
    return MF_E_UNSUPPORTED_TIME_FORMAT;
  }
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  if (m_state == SourceInvalid || m_state == SourceOpening) return MF_E_NOT_INITIALIZED;

  DWORD count = 0;
  HRESULT hr = descriptor->GetStreamDescriptorCount(&count);
  if (FAILED(hr)) return hr;
  if (count != m_streamArray.GetCount()) return E_INVALIDARG;
  bool anySelected = false;
  for (DWORD i = 0; i < count && !anySelected; ++i) {
    BOOL selected = FALSE;
    ComPtr<IMFStreamDescriptor> stream;
    if (SUCCEEDED(descriptor->GetStreamDescriptorByIndex(i, &selected, &stream)) && selected) anySelected = true;
  }
  if (!anySelected) return E_INVALIDARG;

  ComPtr<OrvoStartOp> op;
  hr = OrvoStartOp::CreateStartOp(descriptor, position, op.GetAddressOf());
  return SUCCEEDED(hr) ? PostOperation(op.Get()) : hr;
}

STDMETHODIMP OrvoSource::Stop() {
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  if (m_state == SourceInvalid || m_state == SourceOpening) return MF_E_NOT_INITIALIZED;
  ComPtr<OrvoSourceOp> op;
  const HRESULT hr = OrvoSourceOp::CreateOp(OrvoSourceOp::SourceOpStop, op.GetAddressOf());
  return SUCCEEDED(hr) ? PostOperation(op.Get()) : hr;
}

STDMETHODIMP OrvoSource::Pause() { return E_NOTIMPL; }

STDMETHODIMP OrvoSource::Shutdown() {
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  if (m_state != SourceStopped) HaltStreams(nullptr);
  // A stop that failed part-way leaves an ended thread behind; never leave it unjoined.
  joinPullingThread();
  for (DWORD i = 0; i < m_streamArray.GetCount(); ++i) {
    if (m_streamArray[i]) m_streamArray[i]->Shutdown();
  }
  if (m_events) m_events->Shutdown();
  for (DWORD i = 0; i < m_streamArray.GetCount(); ++i) m_streamArray[i].Reset();
  m_streamArray.SetSize(0);
  m_streamIndexById.Clear();
  m_pullQueue.clear();
  m_pDescriptor.Reset();
  m_pRunningOp.Reset();
  m_callback = nullptr;
  m_state = SourceShutdown;
  // m_events is kept (shut down) until destruction: stream methods in flight may still read it.
  return S_OK;
}

STDMETHODIMP OrvoSource::GetSourceAttributes(IMFAttributes** attributes) {
  if (!attributes) return E_POINTER;
  *attributes = nullptr;
  return S_OK;
}

STDMETHODIMP OrvoSource::GetStreamAttributes(DWORD streamIdentifier, IMFAttributes** attributes) {
  if (!attributes) return E_POINTER;
  *attributes = nullptr;
  CriticalSectionGuard lock(&m_lock);
  if (!m_pDescriptor) return E_FAIL;
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> stream;
  HRESULT hr = m_pDescriptor->GetStreamDescriptorByIndex(streamIdentifier, &selected, &stream);
  if (FAILED(hr)) return hr;
  ComPtr<IMFMediaTypeHandler> handler;
  hr = stream->GetMediaTypeHandler(&handler);
  if (FAILED(hr)) return hr;
  ComPtr<IMFMediaType> type;
  hr = handler->GetCurrentMediaType(&type);
  if (FAILED(hr)) return hr;
  *attributes = type.Detach();
  return S_OK;
}

STDMETHODIMP OrvoSource::SetD3DManager(IUnknown*) { return S_OK; }

void OrvoSource::EndFeed() {
  CriticalSectionGuard lock(&m_lock);
  if (!m_feedEnded) m_feedEndedAt = GetTickCount();
  m_feedEnded = true;
  if (m_state == SourceStarted) endFeedNow();
}

void OrvoSource::endFeedNow() {
  // Not stopped: the pulling thread leaves at its next look at the state, and its answer from a
  // host callback in progress is dropped. Stop or Shutdown later join it, bounded as always.
  m_state = SourceStopping;
  endAllStreams();
  SetEvent(m_pullWake);  // an idle pulling thread leaves now rather than at its next look
}

DWORD OrvoSource::streamCount() {
  CriticalSectionGuard lock(&m_lock);
  return m_streamArray.GetCount();
}

ComPtr<OrvoStream> OrvoSource::streamAt(DWORD index) {
  CriticalSectionGuard lock(&m_lock);
  return index < m_streamArray.GetCount() ? m_streamArray[index] : nullptr;
}

OrvoStream* OrvoSource::FindStream(DWORD identifier) {
  unsigned long index = 0;
  if (FAILED(m_streamIndexById.Find(static_cast<unsigned char>(identifier & 0xFF), &index))) return nullptr;
  return index < m_streamArray.GetCount() ? m_streamArray[index].Get() : nullptr;
}

bool OrvoSource::hasPullingThread() {
  CriticalSectionGuard lock(&m_lock);
  return m_pullingThread != nullptr;
}

size_t OrvoSource::pullQueueLength() {
  CriticalSectionGuard lock(&m_lock);
  return m_pullQueue.size();
}

HRESULT OrvoSource::CheckOperation(OrvoSourceOp*) { return m_pRunningOp ? MF_E_NOTACCEPTING : S_OK; }

HRESULT OrvoSource::ExecuteOperation(OrvoSourceOp* op) {
  CriticalSectionGuard lock(&m_lock);
  if (m_state == SourceShutdown) return S_OK;
  HRESULT hr = S_OK;
  switch (op->op()) {
    case OrvoSourceOp::SourceOpStart:
      hr = DoStart(static_cast<OrvoStartOp*>(op));
      break;
    case OrvoSourceOp::SourceOpStop:
      hr = HaltStreams(op);
      break;
    case OrvoSourceOp::SourceOpPull:
      if (op->data().vt == VT_INT) {
        hr = queuePull(static_cast<DWORD>(op->data().intVal));
      } else {
        hr = E_FAIL;
      }
      break;
    case OrvoSourceOp::SourceOpStreamEnded:
      hr = EndOfStream(op);
      break;
    default:
      hr = E_UNEXPECTED;
      break;
  }
  if (LogIfFailed(hr, "OrvoSource::ExecuteOperation: operation %d", op->op()) && m_state != SourceShutdown) {
    m_events->QueueEventParamVar(MEError, GUID_NULL, hr, nullptr);
  }
  return hr;
}

HRESULT OrvoSource::MarkRunning(OrvoSourceOp* op) {
  if (m_pRunningOp) return E_FAIL;
  m_pRunningOp = op;
  return S_OK;
}

void OrvoSource::CompleteOperation(OrvoSourceOp* op) {
  if (!op || op != m_pRunningOp.Get()) return;
  m_pRunningOp.Reset();
  ScheduleProcessing();
}

HRESULT OrvoSource::EndOfStream(OrvoSourceOp* op) {
  HRESULT hr = MarkRunning(op);
  if (FAILED(hr)) return hr;
  if (m_streamsToEnd > 0 && --m_streamsToEnd == 0) {
    hr = m_events->QueueEventParamVar(MEEndOfPresentation, GUID_NULL, S_OK, nullptr);
  }
  CompleteOperation(op);
  return hr;
}

HRESULT OrvoSource::DoStart(OrvoStartOp* op) {
  if (!m_pullQueue.empty()) {
    ORVO_LOG_DEBUG("OrvoSource::DoStart: cleared %d pull requests", static_cast<int>(m_pullQueue.size()));
    m_pullQueue.clear();
  }
  for (DWORD i = 0; i < m_streamArray.GetCount(); ++i) {
    if (m_streamArray[i]) m_streamArray[i]->clearPullsOutstanding();
  }
  HRESULT hr = MarkRunning(op);
  if (FAILED(hr)) {
    m_events->QueueEventParamVar(MESourceStarted, GUID_NULL, hr, nullptr);
    return hr;
  }
  ComPtr<IMFPresentationDescriptor> descriptor;
  op->GetPresentationDescriptor(&descriptor);
  if (!descriptor) hr = MF_E_INVALIDREQUEST;
  if (SUCCEEDED(hr)) hr = ActivateStreams(descriptor.Get(), op->data());
  if (SUCCEEDED(hr)) {
    m_state = SourceStarted;
    hr = m_events->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &op->data());
  }
  if (SUCCEEDED(hr)) {
    if (m_feedEnded) {
      endFeedNow();
    } else {
      hr = startPullingThread();
    }
  } else {
    LogIfFailed(hr, "OrvoSource::DoStart:");
    m_events->QueueEventParamVar(MESourceStarted, GUID_NULL, hr, nullptr);
  }
  CompleteOperation(op);
  return hr;
}

HRESULT OrvoSource::ActivateStreams(IMFPresentationDescriptor* descriptor, const PROPVARIANT& position) {
  m_streamsToEnd = 0;
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < m_streamArray.GetCount() && SUCCEEDED(hr); ++i) {
    BOOL selected = FALSE;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    hr = descriptor->GetStreamDescriptorByIndex(i, &selected, &streamDescriptor);
    if (FAILED(hr)) break;
    DWORD identifier = 0;
    hr = streamDescriptor->GetStreamIdentifier(&identifier);
    if (FAILED(hr)) break;
    OrvoStream* stream = FindStream(identifier);
    if (!stream) {
      hr = E_INVALIDARG;
      break;
    }
    bool wasSelected = stream->selected();
    if (wasSelected != (selected != FALSE)) {
      stream->setSelected(selected != FALSE);
      if (!selected) stream->Deselect();
    }
    if (!selected) continue;
    ++m_streamsToEnd;
    hr = m_events->QueueEventParamUnk(wasSelected ? MEUpdatedStream : MENewStream, GUID_NULL, S_OK,
                                      static_cast<IMFMediaStream*>(stream));
    if (SUCCEEDED(hr)) hr = stream->Start(position);
  }
  return hr;
}

HRESULT OrvoSource::HaltStreams(OrvoSourceOp* op) {
  HRESULT hr = S_OK;
  if (op) hr = MarkRunning(op);
  if (SUCCEEDED(hr)) {
    m_state = SourceStopping;
    for (DWORD i = 0; i < m_streamArray.GetCount() && SUCCEEDED(hr); ++i) {
      OrvoStream* stream = m_streamArray[i].Get();
      if (!stream || !stream->selected()) continue;
      hr = stream->isShutdown() ? MF_E_SHUTDOWN : stream->Stop();
    }
    if (SUCCEEDED(hr)) {
      // The thread polls m_lock and leaves once it sees SourceStopping, so joining under the lock
      // waits at most for the host call in progress.
      joinPullingThread();
      m_state = SourceStopped;
    }
  }
  if (op) {
    m_events->QueueEventParamVar(MESourceStopped, GUID_NULL, hr, nullptr);
    CompleteOperation(op);
  }
  LogIfFailed(hr, "OrvoSource::HaltStreams:");
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
