#include "lowlatency/StreamReader.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <utility>

#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "log/Log.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/VideoOutput.h"
#include "source/OrvoSource.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

StreamReader::StreamReader(int playerId, int streamIndex, DWORD sourceStreamId, IMFMediaType* inputType,
                           ComPtr<IMFMediaType> decodedType, std::vector<GUID> decodedSubtypes,
                           RequestDataCallback callback, StreamOutput* output, VideoOutput* video,
                           std::shared_ptr<StreamStatistics> statistics)
    : m_playerId(playerId),
      m_streamIndex(streamIndex),
      m_sourceStreamId(sourceStreamId),
      m_pInputType(inputType),
      m_pDecodedType(std::move(decodedType)),
      m_decodedSubtypes(std::move(decodedSubtypes)),
      m_callback(callback),
      m_output(output),
      m_video(video),
      m_statistics(std::move(statistics)) {
  InitializeCriticalSection(&m_lock);
}

StreamReader::~StreamReader() {
  release();
  DeleteCriticalSection(&m_lock);
}

void StreamReader::endFeed() {
  if (ComPtr<MediaFoundation::OrvoSource> source = currentSource()) source->EndFeed();
}

HRESULT StreamReader::openSource() {
  MediaFoundation::OrvoSource* source = nullptr;
  HRESULT hr = MediaFoundation::OrvoSource::CreateInstance(&source);
  if (FAILED(hr) || !source) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: OrvoSource::CreateInstance failed 0x%X", (unsigned)hr);
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  source->m_lowLatency = 1;
  source->setFeedObserver(m_statistics);
  {
    CriticalSectionGuard guard(&m_lock);
    m_pSource = AdoptRef(source);
  }

  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[1] = {m_pInputType.Get()};
  hr = MFCreateStreamDescriptor(m_sourceStreamId, 1, types, &descriptor);
  ComPtr<IMFMediaTypeHandler> handler;
  if (SUCCEEDED(hr)) hr = descriptor->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(m_pInputType.Get());
  ORVO_RETURN_IF_FAILED(hr, "DxPlayer::StreamInt::createReader: stream descriptor creation");
  std::vector<ComPtr<IMFStreamDescriptor>> descriptors{descriptor};
  ORVO_RETURN_IF_FAILED(m_pSource->Open(m_playerId, L"orvo://low_latency_renderer", descriptors, m_callback),
                        "DxPlayer::StreamInt::createReader: pSource->Open");
  return S_OK;
}

std::vector<GUID> StreamReader::subtypeCandidates() const {
  std::vector<GUID> candidates = m_decodedSubtypes;
  if (m_acceptedSubtype != GUID_NULL) {
    candidates.erase(std::remove(candidates.begin(), candidates.end(), m_acceptedSubtype), candidates.end());
    candidates.insert(candidates.begin(), m_acceptedSubtype);
  }
  return candidates;
}

HRESULT StreamReader::createCompressedReader(bool* decoderRefused) {
  *decoderRefused = false;
  HRESULT hr = openSource();
  if (FAILED(hr)) return hr;
  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(MFCreateAttributes(&attributes, 1),
                        "DxPlayer::StreamInt::createCompressedReader: MFCreateAttributes");
  LogIfFailed(attributes->SetUINT32(MF_LOW_LATENCY, 1),
              "DxPlayer::StreamInt::createCompressedReader: SetUINT32(MF_LOW_LATENCY)");
  ComPtr<IMFMediaSource> source;
  hr = currentSource()->QueryInterface(IID_PPV_ARGS(&source));
  // Left at the source's own type, the reader loads no decoder and hands the samples over as fed.
  if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &m_pReader);
  ORVO_RETURN_IF_FAILED(hr, "DxPlayer::StreamInt::createCompressedReader: MFCreateSourceReaderFromMediaSource");

  std::unique_ptr<VideoDecodeLoop> loop(new VideoDecodeLoop(m_streamIndex));
  hr = loop->open(m_pInputType.Get(), subtypeCandidates(), m_video->decoderDeviceManager().Get());
  if (FAILED(hr)) {
    *decoderRefused = true;
    return hr;
  }
  m_pDecodedType = loop->currentType();
  m_acceptedSubtype = loop->currentSubtype();
  m_decodeLoop = std::move(loop);
  return m_output->onDecodedType(m_pDecodedType.Get());
}

HRESULT StreamReader::create() {
  // Only without a video device: there the reader hands out a fresh, zeroed frame buffer per frame,
  // while with one its decoder already decodes into pooled textures and its video processor
  // converts them on the device, which a CPU converter behind our own decoder could not match.
  if (m_video && m_directDecoding && m_video->compatibilityPresentation()) {
    bool decoderRefused = false;
    HRESULT hr = createCompressedReader(&decoderRefused);
    if (SUCCEEDED(hr) || !decoderRefused) return hr;
    ORVO_LOG_INFO("DxPlayer::StreamInt::createReader: stream %d decoder cannot be driven directly (0x%X), the source "
                  "reader decodes instead",
                  m_streamIndex, static_cast<unsigned>(hr));
    m_directDecoding = false;
    release();
    m_output->resetConversion();
  }
  HRESULT hr = openSource();
  if (FAILED(hr)) return hr;

  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(MFCreateAttributes(&attributes, 4),
                        "DxPlayer::StreamInt::createReader: MFCreateAttributes(&pAttributes)");
  LogIfFailed(attributes->SetUINT32(MF_LOW_LATENCY, 1),
              "DxPlayer::StreamInt::createReader: pAttributes->SetUINT32(MF_LOW_LATENCY)");
  m_output->configureReader(attributes.Get());

  ComPtr<IMFMediaSource> source;
  hr = currentSource()->QueryInterface(IID_PPV_ARGS(&source));
  if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &m_pReader);
  ORVO_RETURN_IF_FAILED(hr, "DxPlayer::StreamInt::createReader: MFCreateSourceReaderFromMediaSource");

  // Every reader walks the same list, the subtype that worked last time first.
  hr = MF_E_INVALIDMEDIATYPE;
  for (const GUID& subtype : subtypeCandidates()) {
    hr = m_pDecodedType->SetGUID(MF_MT_SUBTYPE, subtype);
    if (LogIfFailed(hr, "DxPlayer::StreamInt::createReader: m_pDecodedType->SetGUID(MF_MT_SUBTYPE)")) continue;
    hr = m_pReader->SetCurrentMediaType(0, nullptr, m_pDecodedType.Get());
    if (LogIfFailed(hr, "DxPlayer::StreamInt::createReader: m_pReader->SetCurrentMediaType")) continue;
    LogMediaType("DxPlayer::StreamInt::createReader: incomplete decoded media type %S", m_pDecodedType.Get());
    ComPtr<IMFMediaType> actual;
    ORVO_RETURN_IF_FAILED(m_pReader->GetCurrentMediaType(0, &actual),
                          "DxPlayer::StreamInt::createReader: m_pReader->GetCurrentMediaType");
    m_pDecodedType = actual;
    m_acceptedSubtype = subtype;
    LogMediaType("DxPlayer::StreamInt::createReader: actual decoded media type %S", m_pDecodedType.Get());
    return m_output->onDecodedType(m_pDecodedType.Get());
  }
  return hr;
}

ComPtr<MediaFoundation::OrvoSource> StreamReader::currentSource() {
  CriticalSectionGuard guard(&m_lock);
  return m_pSource;
}

void StreamReader::release() {
  ComPtr<MediaFoundation::OrvoSource> source;
  {
    CriticalSectionGuard guard(&m_lock);
    source.Swap(m_pSource);
  }
  if (source) source->Shutdown();
  if (m_decodeLoop) {
    // Nothing the decoder still holds belongs to the next session, which gets a decoder of its own.
    m_decodeLoop->flush();
    m_decodeLoop.reset();
  }
  if (m_pReader) {
    m_pReader->Flush(0);
    m_pReader.Reset();
  }
}

}  // namespace Media
}  // namespace ORVO
