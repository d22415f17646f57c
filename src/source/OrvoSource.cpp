#include "source/OrvoSource.h"

#include <mfapi.h>
#include <mferror.h>

#include <new>
#include <string>
#include <system_error>

#include "common/Clock.h"
#include "common/Guids.h"
#include "log/Log.h"
#include "source/BufferSizing.h"
#include "source/OrvoStream.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

// The pulling thread re-checks the state this often while the lock is busy or its FIFO is empty.
constexpr DWORD kPollMilliseconds = 1;
// A sample comes back empty: the host is asked again after this pause, so a host that keeps
// answering 0 without data costs a poll, not a spinning core.
constexpr DWORD kEmptySampleRetryMilliseconds = 1;

}  // namespace

OrvoSource::OrvoSource() : OpQueue<OrvoSourceOp>(m_lock) {
  InitializeCriticalSection(&m_lock);
  m_lastWaitReport = time(nullptr);
}

OrvoSource::~OrvoSource() {
  if (m_state != SourceShutdown) Shutdown();
  clearPendingOperations();
  if (m_events) m_events->Release();
  DeleteCriticalSection(&m_lock);
}

HRESULT OrvoSource::initialize() {
  HRESULT hr = MFCreateEventQueue(&m_events);
  if (FAILED(hr)) ORVO_LOG_DEBUG("OrvoSource::CreateInstance: MFCreateEventQueue failed 0x%X", static_cast<unsigned>(hr));
  return hr;
}

HRESULT OrvoSource::CreateInstance(OrvoSource** source) {
  if (!source) return E_POINTER;
  *source = nullptr;
  OrvoSource* created = new (std::nothrow) OrvoSource();
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->initialize();
  if (FAILED(hr)) {
    created->Release();
    return hr;
  }
  *source = created;
  return S_OK;
}

HRESULT OrvoSource::Open(int playerId, const wchar_t* uri,
                         const std::vector<ComPtr<IMFStreamDescriptor>>& descriptors, RequestDataCallback callback) {
  SourceLock lock(&m_lock);
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
  HRESULT hr = CreateStreams(descriptors);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("OrvoSource::Open: CreateStreams failed 0x%X", static_cast<unsigned>(hr));
    return hr;
  }
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
    DWORD index = m_streamArray.GetCount();
    OrvoStream* stream = nullptr;
    hr = OrvoStream::CreateInstance(this, index, key, descriptor.Get(), m_lowLatency != 0, &stream);
    if (FAILED(hr)) break;
    hr = m_streamArray.SetSize(index + 1);
    if (SUCCEEDED(hr)) {
      m_streamArray[index] = stream;  // the creation reference becomes the array's
      hr = m_streamIndexById.Insert(key, index);
    } else {
      stream->Release();
    }
    if (FAILED(hr)) break;
    all.push_back(descriptor.Get());
  }
  if (FAILED(hr)) return hr;

  hr = MFCreatePresentationDescriptor(static_cast<DWORD>(all.size()), all.data(), &m_pDescriptor);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("OrvoSource::CreateStreams: MFCreatePresentationDescriptor failed 0x%X", static_cast<unsigned>(hr));
    return hr;
  }
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
    SourceLock lock(&m_lock);
    if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
    queue = m_events;
  }
  return queue->GetEvent(flags, event);
}

STDMETHODIMP OrvoSource::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  SourceLock lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  return m_events->BeginGetEvent(callback, state);
}

STDMETHODIMP OrvoSource::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  SourceLock lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  return m_events->EndGetEvent(result, event);
}

STDMETHODIMP OrvoSource::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                    const PROPVARIANT* value) {
  SourceLock lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  return m_events->QueueEventParamVar(type, extendedType, status, value);
}

STDMETHODIMP OrvoSource::GetCharacteristics(DWORD* characteristics) {
  if (!characteristics) return E_POINTER;
  SourceLock lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  *characteristics = MFMEDIASOURCE_IS_LIVE;
  return S_OK;
}

STDMETHODIMP OrvoSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  SourceLock lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  if (m_state == SourceInvalid || m_state == SourceOpening || !m_pDescriptor) return MF_E_NOT_INITIALIZED;
  if (!descriptor) return E_POINTER;
  return m_pDescriptor->Clone(descriptor);
}

STDMETHODIMP OrvoSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                               const PROPVARIANT* position) {
  SourceLock lock(&m_lock);
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

  OrvoStartOp* op = nullptr;
  hr = OrvoStartOp::CreateStartOp(descriptor, position, &op);
  if (FAILED(hr)) return hr;
  hr = PostOperation(op);
  op->Release();
  return hr;
}

STDMETHODIMP OrvoSource::Stop() {
  SourceLock lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  if (m_state == SourceInvalid || m_state == SourceOpening) return MF_E_NOT_INITIALIZED;
  OrvoSourceOp* op = nullptr;
  HRESULT hr = OrvoSourceOp::CreateOp(OrvoSourceOp::SourceOpStop, &op);
  if (FAILED(hr)) return hr;
  hr = PostOperation(op);
  op->Release();
  return hr;
}

STDMETHODIMP OrvoSource::Pause() { return E_NOTIMPL; }

STDMETHODIMP OrvoSource::Shutdown() {
  SourceLock lock(&m_lock);
  if (m_state == SourceShutdown) return MF_E_SHUTDOWN;
  if (m_state != SourceStopped) HaltStreams(nullptr);
  // A stop that failed part-way leaves an ended thread behind; never leave it unjoined.
  joinPullingThread();
  for (DWORD i = 0; i < m_streamArray.GetCount(); ++i) {
    if (m_streamArray[i]) m_streamArray[i]->Shutdown();
  }
  if (m_events) m_events->Shutdown();
  for (DWORD i = 0; i < m_streamArray.GetCount(); ++i) {
    if (m_streamArray[i]) m_streamArray[i]->Release();
    m_streamArray[i] = nullptr;
  }
  m_streamArray.SetSize(0);
  m_streamIndexById.Clear();
  m_pullQueue.clear();
  if (m_pDescriptor) {
    m_pDescriptor->Release();
    m_pDescriptor = nullptr;
  }
  if (m_pRunningOp) {
    m_pRunningOp->Release();
    m_pRunningOp = nullptr;
  }
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
  SourceLock lock(&m_lock);
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

DWORD OrvoSource::streamCount() {
  SourceLock lock(&m_lock);
  return m_streamArray.GetCount();
}

OrvoStream* OrvoSource::streamAt(DWORD index) {
  SourceLock lock(&m_lock);
  if (index >= m_streamArray.GetCount() || !m_streamArray[index]) return nullptr;
  m_streamArray[index]->AddRef();
  return m_streamArray[index];
}

OrvoStream* OrvoSource::FindStream(DWORD identifier) {
  unsigned long index = 0;
  if (FAILED(m_streamIndexById.Find(static_cast<unsigned char>(identifier & 0xFF), &index))) return nullptr;
  return index < m_streamArray.GetCount() ? m_streamArray[index] : nullptr;
}

bool OrvoSource::hasPullingThread() {
  SourceLock lock(&m_lock);
  return m_pullingThread != nullptr;
}

size_t OrvoSource::pullQueueLength() {
  SourceLock lock(&m_lock);
  return m_pullQueue.size();
}

HRESULT OrvoSource::CheckOperation(OrvoSourceOp*) { return m_pRunningOp ? MF_E_NOTACCEPTING : S_OK; }

HRESULT OrvoSource::ExecuteOperation(OrvoSourceOp* op) {
  SourceLock lock(&m_lock);
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
        m_pullQueue.push_back(static_cast<DWORD>(op->data().intVal));
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
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("OrvoSource::ExecuteOperation: operation %d failed 0x%X", op->op(), static_cast<unsigned>(hr));
    if (m_state != SourceShutdown) m_events->QueueEventParamVar(MEError, GUID_NULL, hr, nullptr);
  }
  return hr;
}

HRESULT OrvoSource::MarkRunning(OrvoSourceOp* op) {
  if (m_pRunningOp) return E_FAIL;
  m_pRunningOp = op;
  op->AddRef();
  return S_OK;
}

void OrvoSource::CompleteOperation(OrvoSourceOp* op) {
  if (!op || op != m_pRunningOp) return;
  m_pRunningOp->Release();
  m_pRunningOp = nullptr;
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
    // An ended thread from an earlier start (host error, or a stop that failed part-way) cannot be
    // reused; replace it so this start has a live one.
    if (m_pullingThread && m_pullingThreadDone) joinPullingThread();
    if (!m_pullingThread) {
      try {
        m_pullingThreadDone = false;
        m_pullingThread.reset(new std::thread(&OrvoSource::pullingRoutine, this));
      } catch (const std::system_error&) {
        ORVO_LOG_DEBUG("OrvoSource::DoStart: pulling thread creation failed");
        m_pullingThread.reset();
        hr = E_OUTOFMEMORY;
        m_events->QueueEventParamVar(MEError, GUID_NULL, hr, nullptr);
      }
    }
  } else {
    ORVO_LOG_DEBUG("OrvoSource::DoStart: failed 0x%X", static_cast<unsigned>(hr));
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
      OrvoStream* stream = m_streamArray[i];
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
  if (FAILED(hr)) ORVO_LOG_DEBUG("OrvoSource::HaltStreams: failed 0x%X", static_cast<unsigned>(hr));
  return hr;
}

void OrvoSource::joinPullingThread() {
  if (!m_pullingThread) return;
  if (m_pullingThread->get_id() == std::this_thread::get_id()) {
    // The host stopped or closed the player from inside its callback: a thread cannot join itself.
    // It leaves by itself once the callback returns (the state is no longer started); until then
    // it keeps the source alive with a reference of its own.
    ORVO_LOG_DEBUG("OrvoSource::joinPullingThread[%p]: stopped from the pulling thread itself", static_cast<void*>(this));
    AddRef();
    m_releaseOnExit = true;
    m_pullingThread->detach();
  } else if (m_pullingThread->joinable()) {
    m_pullingThread->join();
  }
  m_pullingThread.reset();
}

bool OrvoSource::pollLock() {
  while (!TryEnterCriticalSection(&m_lock)) {
    if (m_state != SourceStarted) return false;
    Sleep(kPollMilliseconds);
  }
  if (m_state != SourceStarted) {
    LeaveCriticalSection(&m_lock);
    return false;
  }
  return true;
}

void OrvoSource::pullingRoutine() {
  ORVO_LOG_DEBUG("OrvoSource::pullingRoutine[%p]: pulling thread started", static_cast<void*>(this));
  if (!m_callback) {
    m_pullingThreadDone = true;
    return;
  }
  while (m_state == SourceStarted) {
    if (!pollLock()) break;
    bool have = !m_pullQueue.empty();
    DWORD index = 0;
    if (have) {
      index = m_pullQueue.front();
      m_pullQueue.pop_front();
      if (index < m_streamArray.GetCount() && m_streamArray[index]) m_streamArray[index]->pullTaken();
    }
    LeaveCriticalSection(&m_lock);
    if (!have) {
      Sleep(kPollMilliseconds);
      continue;
    }
    if (FAILED(requestData(index))) break;
  }
  ORVO_LOG_DEBUG("OrvoSource::pullingRoutine[%p]: pulling thread finished", static_cast<void*>(this));
  m_pullingThreadDone = true;
  if (m_releaseOnExit.exchange(false)) Release();  // may destroy the source: nothing may follow
}

void OrvoSource::endAllStreams() {
  for (DWORD i = 0; i < m_streamArray.GetCount(); ++i) {
    OrvoStream* stream = m_streamArray[i];
    if (stream && stream->selected() && !stream->isShutdown()) stream->End();
  }
}

HRESULT OrvoSource::requestData(DWORD index) {
  if (!pollLock()) return S_FALSE;
  DWORD count = m_streamArray.GetCount();
  if (index >= count || !m_streamArray[index]) {
    ORVO_LOG_DEBUG("OrvoSource::requestData: invalid stream index %d of %d streams", static_cast<int>(index),
                   static_cast<int>(count));
    LeaveCriticalSection(&m_lock);
    return E_FAIL;
  }
  int identifier = static_cast<int>(m_streamArray[index]->identifier());
  UINT32 bufferSize = m_streamArray[index]->bufferSize();
  LeaveCriticalSection(&m_lock);

  for (;;) {
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = MFCreateSample(&sample);
    if (SUCCEEDED(hr)) hr = MFCreateAlignedMemoryBuffer(bufferSize, MF_16_BYTE_ALIGNMENT, &buffer);
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
    if (FAILED(hr)) {
      // Without a sample the host can never be asked again: end the streams rather than leave the
      // pipeline waiting for data that will not come.
      ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d sample of %u bytes failed 0x%X, stopping playback...",
                     identifier, static_cast<unsigned>(bufferSize), static_cast<unsigned>(hr));
      if (!pollLock()) return S_OK;
      endAllStreams();
      LeaveCriticalSection(&m_lock);
      return hr;
    }

    int64_t startTime = elapsedTime(10000000);
    int result = m_callback(m_playerId, static_cast<unsigned char>(identifier), sample.Get(), 0);

    if (!pollLock()) return S_OK;  // stopping: the filled sample is dropped
    if (index >= m_streamArray.GetCount() || !m_streamArray[index]) {
      ORVO_LOG_DEBUG("OrvoSource::requestData: invalid stream index %d of %d streams", static_cast<int>(index),
                     static_cast<int>(m_streamArray.GetCount()));
      LeaveCriticalSection(&m_lock);
      return E_FAIL;
    }
    OrvoStream* stream = m_streamArray[index];

    if (result == ORVO_REQUEST_OK) {
      DWORD length = 0;
      buffer->GetCurrentLength(&length);
      if (length == 0) {
        // Nothing to decode: ask again for the same request instead of handing the pipeline an
        // empty sample (decoders reject them) or losing the request (the pipeline would wait).
        ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d returned an empty sample, asking again", identifier);
        LeaveCriticalSection(&m_lock);
        Sleep(kEmptySampleRetryMilliseconds);
        continue;
      }
      LONGLONG sampleTime = 0;
      if (FAILED(sample->GetSampleTime(&sampleTime)) && !stream->untimedSampleReported()) {
        // Delivered as it is: the pipeline decides what an untimed sample means. Logged once.
        ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d delivered a sample without a time", identifier);
        stream->setUntimedSampleReported();
      }
      hr = stream->AddSample(sample.Get());
      if (SUCCEEDED(hr)) {
        int64_t now = elapsedTime(10000000);
        m_waitSum += now - startTime;
        ++m_waitCount;
        time_t wallClock = time(nullptr);
        if (wallClock - m_lastWaitReport >= 10) {
          ORVO_LOG_DEBUG("OrvoSource::requestData[%p]: stream %d average waiting time %lld", static_cast<void*>(this),
                         identifier, static_cast<long long>(m_waitSum / m_waitCount));
          m_waitSum = 0;
          m_waitCount = 0;
          m_lastWaitReport = wallClock;
        }
      }
      LeaveCriticalSection(&m_lock);
      return hr;
    }

    if (result == ORVO_REQUEST_BUFFER_TOO_SMALL) {
      UINT32 needed = MFGetAttributeUINT32(sample.Get(), kNeededSizeKey, 0);
      ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d insufficient buffer size %d, need %d, updating stream info",
                     identifier, static_cast<int>(bufferSize), static_cast<int>(needed));
      UINT32 grown = 0;
      if (!BufferSizing::GrownBufferSize(bufferSize, needed, &grown)) {
        ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d cannot grow its buffer from %u to a need of %u bytes, "
                       "stopping playback...",
                       identifier, static_cast<unsigned>(bufferSize), static_cast<unsigned>(needed));
        endAllStreams();
        LeaveCriticalSection(&m_lock);
        return E_FAIL;
      }
      stream->setBufferSize(grown);
      bufferSize = grown;
      LeaveCriticalSection(&m_lock);
      continue;
    }

    ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d received error %d, stopping playback...", identifier, result);
    endAllStreams();
    LeaveCriticalSection(&m_lock);
    return E_FAIL;
  }
}

}  // namespace MediaFoundation
}  // namespace ORVO
