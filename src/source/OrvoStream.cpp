#include "source/OrvoStream.h"

#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <new>

#include "log/Log.h"
#include "source/BufferSizing.h"
#include "source/OrvoSource.h"
#include "source/SourceLock.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

OrvoStream::OrvoStream(OrvoSource* source, DWORD index, DWORD identifier, IMFStreamDescriptor* descriptor,
                       bool lowLatency)
    : m_pSource(source),
      m_index(index),
      m_identifier(identifier),
      m_lowLatency(lowLatency),
      m_pStreamDescriptor(descriptor),
      m_bufferSize(BufferSizing::kDefaultBufferSize),
      m_samplesAhead(lowLatency ? BufferSizing::kLowLatencySamplesAhead : BufferSizing::kDefaultSamplesAhead) {
  m_pSource->AddRef();
  if (m_pStreamDescriptor) m_pStreamDescriptor->AddRef();
}

OrvoStream::~OrvoStream() {
  m_samples.Clear();
  m_tokens.Clear();
  if (m_events) m_events->Release();
  if (m_pStreamDescriptor) m_pStreamDescriptor->Release();
  m_pSource->Release();
}

HRESULT OrvoStream::CreateInstance(OrvoSource* source, DWORD index, DWORD identifier,
                                   IMFStreamDescriptor* descriptor, bool lowLatency, OrvoStream** stream) {
  if (!source || !stream) return E_POINTER;
  *stream = nullptr;
  OrvoStream* created = new (std::nothrow) OrvoStream(source, index, identifier, descriptor, lowLatency);
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->initialize();
  if (FAILED(hr)) {
    created->Release();
    return hr;
  }
  *stream = created;
  return S_OK;
}

HRESULT OrvoStream::initialize() {
  HRESULT hr = MFCreateEventQueue(&m_events);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("OrvoStream::initialize: MFCreateEventQueue failed 0x%X", static_cast<unsigned>(hr));
    return hr;
  }
  sizeFromMediaType();
  return S_OK;
}

void OrvoStream::sizeFromMediaType() {
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
    if (!m_lowLatency) {
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
    SourceLock lock(&m_pSource->m_lock);
    if (isShutdown()) return MF_E_SHUTDOWN;
    queue = m_events;
  }
  // A blocking wait must not hold the source's lock.
  return queue->GetEvent(flags, event);
}

STDMETHODIMP OrvoStream::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  SourceLock lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_events->BeginGetEvent(callback, state);
}

STDMETHODIMP OrvoStream::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  SourceLock lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_events->EndGetEvent(result, event);
}

STDMETHODIMP OrvoStream::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                    const PROPVARIANT* value) {
  SourceLock lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_events->QueueEventParamVar(type, extendedType, status, value);
}

STDMETHODIMP OrvoStream::GetMediaSource(IMFMediaSource** source) {
  if (!source) return E_POINTER;
  SourceLock lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  return m_pSource->QueryInterface(IID_PPV_ARGS(source));
}

STDMETHODIMP OrvoStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) {
  if (!descriptor) return E_POINTER;
  SourceLock lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  if (!m_pStreamDescriptor) return E_UNEXPECTED;
  *descriptor = m_pStreamDescriptor;
  m_pStreamDescriptor->AddRef();
  return S_OK;
}

STDMETHODIMP OrvoStream::RequestSample(IUnknown* token) {
  SourceLock lock(&m_pSource->m_lock);
  if (isShutdown()) return MF_E_SHUTDOWN;
  HRESULT hr = S_OK;
  if (m_state == SourceStopped || !m_selected) {
    hr = MF_E_INVALIDREQUEST;
  } else if (!m_endOfStream || !m_samples.empty()) {
    hr = m_tokens.InsertBack(token);
    if (SUCCEEDED(hr)) PumpSamples();
  } else {
    hr = MF_E_END_OF_STREAM;
  }
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("OrvoStream::RequestSample: stream %u failed 0x%X", static_cast<unsigned>(m_identifier),
                   static_cast<unsigned>(hr));
    reportError(hr);
  }
  return hr;
}

HRESULT OrvoStream::Start(const PROPVARIANT& position) {
  if (isShutdown()) return MF_E_SHUTDOWN;
  HRESULT hr = m_events->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, &position);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("OrvoStream::Start: QueueEventParamVar(MEStreamStarted) failed 0x%X", static_cast<unsigned>(hr));
    return hr;
  }
  m_state = SourceStarted;
  return PumpSamples();
}

HRESULT OrvoStream::Stop() {
  if (isShutdown()) return MF_E_SHUTDOWN;
  dropQueues();
  m_state = SourceStopped;
  m_endOfStream = 0;
  HRESULT hr = m_events->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
  if (FAILED(hr)) ORVO_LOG_DEBUG("OrvoStream::Stop: QueueEventParamVar(MEStreamStopped) failed 0x%X", static_cast<unsigned>(hr));
  return hr;
}

void OrvoStream::Deselect() { dropQueues(); }

HRESULT OrvoStream::AddSample(IMFSample* sample) {
  if (isShutdown()) return MF_E_SHUTDOWN;
  HRESULT hr = m_samples.InsertBack(sample);
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
  m_state = SourceShutdown;
  if (m_events) {
    m_events->Shutdown();
  }
  dropQueues();
  if (m_pStreamDescriptor) {
    m_pStreamDescriptor->Release();
    m_pStreamDescriptor = nullptr;
  }
  if (m_events) {
    m_events->Release();
    m_events = nullptr;
  }
}

void OrvoStream::dropQueues() {
  m_samples.Clear();
  m_tokens.Clear();
}

void OrvoStream::reportError(HRESULT status) {
  if (isShutdown() || !m_pSource->m_events) return;
  m_pSource->m_events->QueueEventParamVar(MEError, GUID_NULL, status, nullptr);
}

HRESULT OrvoStream::PumpSamples() {
  if (m_state != SourceStarted) return S_OK;
  HRESULT hr = S_OK;
  while (SUCCEEDED(hr) && !m_samples.empty() && !m_tokens.empty()) {
    IMFSample* sample = nullptr;
    IUnknown* token = nullptr;
    hr = m_samples.RemoveFront(&sample);
    if (SUCCEEDED(hr)) hr = m_tokens.RemoveFront(&token);
    if (SUCCEEDED(hr) && token) hr = sample->SetUnknown(MFSampleExtension_Token, token);
    if (SUCCEEDED(hr)) {
      PROPVARIANT value;
      PropVariantInit(&value);
      value.vt = VT_UNKNOWN;
      value.punkVal = sample;
      hr = m_events->QueueEventParamVar(MEMediaSample, GUID_NULL, S_OK, &value);
    }
    if (token) token->Release();
    if (sample) sample->Release();
  }

  if (SUCCEEDED(hr)) {
    if (m_samples.empty() && m_endOfStream) {
      hr = m_events->QueueEventParamVar(MEEndOfStream, GUID_NULL, S_OK, nullptr);
      if (SUCCEEDED(hr)) {
        OrvoSourceOp* op = nullptr;
        hr = OrvoSourceOp::CreateOp(OrvoSourceOp::SourceOpStreamEnded, &op);
        if (SUCCEEDED(hr)) {
          hr = m_pSource->PostOperation(op);
          op->Release();
        }
      }
    } else {
      // Queued samples and requests still waiting in the source's FIFO both count towards the
      // read-ahead, so a stream never has more than m_samplesAhead on the way.
      while (SUCCEEDED(hr) && m_selected && !m_endOfStream &&
             m_samples.GetCount() + m_pullsOutstanding < m_samplesAhead) {
        OrvoSourceOp* op = nullptr;
        hr = OrvoSourceOp::CreatePullOp(static_cast<int>(m_index), &op);
        if (SUCCEEDED(hr)) {
          hr = m_pSource->PostOperation(op);
          op->Release();
        }
        if (SUCCEEDED(hr)) ++m_pullsOutstanding;
      }
    }
  }

  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("OrvoStream::PumpSamples: stream %u failed 0x%X", static_cast<unsigned>(m_identifier),
                   static_cast<unsigned>(hr));
    reportError(hr);
  }
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
