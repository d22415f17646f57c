#include "source/OrvoStream.h"

#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <new>

#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "log/Log.h"
#include "source/BufferSizing.h"
#include "source/OrvoSource.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

OrvoStream::OrvoStream(OrvoSource* source, DWORD index, DWORD identifier, IMFStreamDescriptor* descriptor,
                       bool lowLatency)
    : m_pSource(source),
      m_index(index),
      m_identifier(identifier),
      m_pStreamDescriptor(descriptor),
      m_bufferSize(BufferSizing::kDefaultBufferSize),
      m_samplesAhead(lowLatency ? BufferSizing::kLowLatencySamplesAhead : BufferSizing::kDefaultSamplesAhead),
      m_directPulls(lowLatency) {}

OrvoStream::~OrvoStream() = default;

HRESULT OrvoStream::CreateInstance(OrvoSource* source, DWORD index, DWORD identifier,
                                   IMFStreamDescriptor* descriptor, bool lowLatency, OrvoStream** stream) {
  if (!source || !stream) return E_POINTER;
  *stream = nullptr;
  ComPtr<OrvoStream> created =
      AdoptRef(new (std::nothrow) OrvoStream(source, index, identifier, descriptor, lowLatency));
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->initialize(lowLatency);
  if (SUCCEEDED(hr)) *stream = created.Detach();
  return hr;
}

HRESULT OrvoStream::initialize(bool lowLatency) {
  ORVO_RETURN_IF_FAILED(MFCreateEventQueue(&m_events), "OrvoStream::initialize: MFCreateEventQueue");
  sizeFromMediaType(lowLatency);
  return S_OK;
}

void OrvoStream::sizeFromMediaType(bool lowLatency) {
  if (!m_pStreamDescriptor) return;
  ComPtr<IMFMediaTypeHandler> handler;
  ComPtr<IMFMediaType> type;
  GUID major = GUID_NULL;
  if (FAILED(m_pStreamDescriptor->GetMediaTypeHandler(&handler)) || FAILED(handler->GetCurrentMediaType(&type)) ||
      FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major))) {
    return;  // defaults
  }
  if (major == MFMediaType_Video) {
    UINT64 frameSize = 0;
    if (FAILED(type->GetUINT64(MF_MT_FRAME_SIZE, &frameSize))) frameSize = 0;
    m_bufferSize = BufferSizing::VideoBufferSize(static_cast<UINT32>(frameSize >> 32),
                                                 static_cast<UINT32>(frameSize & 0xFFFFFFFF));
    if (!lowLatency) {
      UINT64 rate = 0;
      if (type->GetUINT64(MF_MT_FRAME_RATE, &rate) == S_OK && static_cast<UINT32>(rate) != 0) {
        m_samplesAhead = BufferSizing::VideoSamplesAhead(static_cast<UINT32>(rate >> 32), static_cast<UINT32>(rate));
      }
    }
  } else if (major == MFMediaType_Audio) {
    m_bufferSize = BufferSizing::AudioBufferSize(MFGetAttributeUINT32(type.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0));
  }
}

STDMETHODIMP OrvoStream::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFMediaStream) || iid == __uuidof(IMFMediaEventGenerator)) {
    *object = static_cast<IMFMediaStream*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP OrvoStream::GetEvent(DWORD flags, IMFMediaEvent** event) {
  ComPtr<IMFMediaEventQueue> queue;
  {
    CriticalSectionGuard lock(&m_pSource->m_lock);
    if (isShutdown()) return MF_E_SHUTDOWN;
    queue = m_events;
  }
  // A blocking wait must not hold the source's lock.
  return queue->GetEvent(flags, event);
}

STDMETHODIMP OrvoStream::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  CriticalSectionGuard lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_events->BeginGetEvent(callback, state);
}

STDMETHODIMP OrvoStream::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  CriticalSectionGuard lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_events->EndGetEvent(result, event);
}

STDMETHODIMP OrvoStream::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                    const PROPVARIANT* value) {
  CriticalSectionGuard lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_events->QueueEventParamVar(type, extendedType, status, value);
}

STDMETHODIMP OrvoStream::GetMediaSource(IMFMediaSource** source) {
  if (!source) return E_POINTER;
  CriticalSectionGuard lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_pSource->QueryInterface(IID_PPV_ARGS(source));
}

STDMETHODIMP OrvoStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) {
  if (!descriptor) return E_POINTER;
  CriticalSectionGuard lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  if (!m_pStreamDescriptor) return E_UNEXPECTED;
  return m_pStreamDescriptor.CopyTo(descriptor);
}

STDMETHODIMP OrvoStream::RequestSample(IUnknown* token) {
  CriticalSectionGuard lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  HRESULT hr = S_OK;
  if (m_state == OrvoSource::SourceStopped || !m_selected) {
    hr = MF_E_INVALIDREQUEST;
  } else if (!m_endOfStream || !m_samples.empty()) {
    hr = m_tokens.InsertBack(token);
    if (SUCCEEDED(hr)) PumpSamples();
  } else {
    hr = MF_E_END_OF_STREAM;
  }
  if (LogIfFailed(hr, "OrvoStream::RequestSample: stream %u", static_cast<unsigned>(m_identifier))) reportError(hr);
  return hr;
}

HRESULT OrvoStream::Start(const PROPVARIANT& position) {
  if (isShutdown()) return MF_E_SHUTDOWN;
  ORVO_RETURN_IF_FAILED(m_events->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, &position),
                        "OrvoStream::Start: QueueEventParamVar(MEStreamStarted)");
  m_state = OrvoSource::SourceStarted;
  return PumpSamples();
}

HRESULT OrvoStream::Stop() {
  if (isShutdown()) return MF_E_SHUTDOWN;
  dropQueues();
  m_state = OrvoSource::SourceStopped;
  m_endOfStream = 0;
  const HRESULT hr = m_events->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
  LogIfFailed(hr, "OrvoStream::Stop: QueueEventParamVar(MEStreamStopped)");
  return hr;
}

void OrvoStream::Deselect() { dropQueues(); }

HRESULT OrvoStream::AddSample(IMFSample* sample) {
  if (isShutdown()) return MF_E_SHUTDOWN;
  const HRESULT hr = m_samples.InsertBack(sample);
  if (FAILED(hr)) return hr;
  return PumpSamples();
}

HRESULT OrvoStream::End() {
  if (isShutdown()) return MF_E_SHUTDOWN;
  m_samples.Clear();
  m_endOfStream = 1;
  return PumpSamples();
}

void OrvoStream::Shutdown() {
  if (isShutdown()) return;
  m_state = OrvoSource::SourceShutdown;
  if (m_events) m_events->Shutdown();
  dropQueues();
  m_pStreamDescriptor.Reset();
  m_events.Reset();
}

void OrvoStream::dropQueues() {
  m_samples.Clear();
  m_tokens.Clear();
}

HRESULT OrvoStream::postToSource(int kind) {
  ComPtr<OrvoSourceOp> op;
  const HRESULT hr = kind == OrvoSourceOp::SourceOpPull
                         ? OrvoSourceOp::CreatePullOp(static_cast<int>(m_index), op.GetAddressOf())
                         : OrvoSourceOp::CreateOp(kind, op.GetAddressOf());
  return SUCCEEDED(hr) ? m_pSource->PostOperation(op.Get()) : hr;
}

void OrvoStream::reportError(HRESULT status) {
  if (isShutdown() || !m_pSource->m_events) return;
  m_pSource->m_events->QueueEventParamVar(MEError, GUID_NULL, status, nullptr);
}

HRESULT OrvoStream::PumpSamples() {
  if (m_state != OrvoSource::SourceStarted) return S_OK;
  HRESULT hr = S_OK;
  while (SUCCEEDED(hr) && !m_samples.empty() && !m_tokens.empty()) {
    ComPtr<IMFSample> sample;
    ComPtr<IUnknown> token;
    hr = m_samples.RemoveFront(sample.GetAddressOf());
    if (SUCCEEDED(hr)) hr = m_tokens.RemoveFront(token.GetAddressOf());
    if (SUCCEEDED(hr) && token) hr = sample->SetUnknown(MFSampleExtension_Token, token.Get());
    if (SUCCEEDED(hr)) hr = m_events->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample.Get());
  }

  if (SUCCEEDED(hr)) {
    if (m_samples.empty() && m_endOfStream) {
      hr = m_events->QueueEventParamVar(MEEndOfStream, GUID_NULL, S_OK, nullptr);
      if (SUCCEEDED(hr)) hr = postToSource(OrvoSourceOp::SourceOpStreamEnded);
    } else {
      // Queued samples and requests still waiting in the source's FIFO both count towards the
      // read-ahead, so a stream never has more than m_samplesAhead on the way. A low-latency
      // stream's single request goes to the pulling thread at once, so that the host is asked for
      // the next sample while the pipeline decodes this one; through the work queue it would wait
      // for that decoding. Deeper read-ahead covers the work queue's delay by itself.
      while (SUCCEEDED(hr) && m_selected && !m_endOfStream &&
             m_samples.GetCount() + m_pullsOutstanding < m_samplesAhead) {
        hr = m_directPulls ? m_pSource->queuePull(m_index) : postToSource(OrvoSourceOp::SourceOpPull);
        if (SUCCEEDED(hr)) ++m_pullsOutstanding;
      }
    }
  }

  if (LogIfFailed(hr, "OrvoStream::PumpSamples: stream %u", static_cast<unsigned>(m_identifier))) reportError(hr);
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
