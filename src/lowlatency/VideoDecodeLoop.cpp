#include "lowlatency/VideoDecodeLoop.h"

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>

#include "common/ComAdopt.h"
#include "decoder/VideoDecoderClassFactory.h"
#include "log/Log.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/RandomAccessUnit.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

// What a source reader searches with: synchronous decoders, those registered in this process
// (the engine's factory) first.
constexpr UINT32 kDecoderSearch = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER;

HRESULT CreateDecoder(IMFMediaType* inputType, IMFTransform** decoder) {
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, GUID_NULL};
  ORVO_RETURN_IF_FAILED(inputType->GetGUID(MF_MT_SUBTYPE, &input.guidSubtype), "VideoDecodeLoop::open: MF_MT_SUBTYPE");
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  ORVO_RETURN_IF_FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, kDecoderSearch, &input, nullptr, &activates, &count),
                        "VideoDecodeLoop::open: MFTEnumEx");
  HRESULT hr = MF_E_TOPO_CODEC_NOT_FOUND;
  for (UINT32 i = 0; i < count; ++i) {
    if (FAILED(hr)) {
      hr = activates[i]->ActivateObject(IID_PPV_ARGS(decoder));
      LogIfFailed(hr, "VideoDecodeLoop::open: decoder %u creation", static_cast<unsigned>(i));
    }
    activates[i]->Release();
  }
  CoTaskMemFree(activates);
  return hr;
}

}  // namespace

VideoDecodeLoop::VideoDecodeLoop(int streamIndex) : m_streamIndex(streamIndex) {}

VideoDecodeLoop::~VideoDecodeLoop() {
  if (m_decoder) {
    m_decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    m_decoder->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, 0);
  }
}

GUID VideoDecodeLoop::currentSubtype() const {
  GUID subtype = GUID_NULL;
  if (m_outputType) m_outputType->GetGUID(MF_MT_SUBTYPE, &subtype);
  return subtype;
}

HRESULT VideoDecodeLoop::open(IMFMediaType* inputType, const std::vector<GUID>& subtypes,
                              IMFDXGIDeviceManager* manager) {
  m_inputType = inputType;
  m_subtypes = subtypes;
  m_manager = manager;
  MFGetAttributeSize(inputType, MF_MT_FRAME_SIZE, &m_visibleWidth, &m_visibleHeight);
  GUID subtype = GUID_NULL;
  m_hevc = SUCCEEDED(inputType->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_HEVC;
  return setUp();
}

HRESULT VideoDecodeLoop::renew() {
  ORVO_LOG_INFO("VideoDecodeLoop::renew: stream %d decoder failed, replacing it", m_streamIndex);
  if (m_decoder) m_decoder->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, 0);
  m_decoder.Reset();
  const HRESULT hr = setUp();
  m_typeChanged = SUCCEEDED(hr);
  return hr;
}

HRESULT VideoDecodeLoop::setUp() {
  IMFMediaType* inputType = m_inputType.Get();
  IMFDXGIDeviceManager* manager = m_manager.Get();
  const std::vector<GUID>& subtypes = m_subtypes;
  // The engine's factory, found first, looks for the subtype this thread recorded last.
  GUID compressed = GUID_NULL;
  if (SUCCEEDED(inputType->GetGUID(MF_MT_SUBTYPE, &compressed))) {
    MediaFoundation::VideoDecoderClassFactory::SetDecoderSubtype(compressed);
  }
  HRESULT hr = CreateDecoder(inputType, &m_decoder);
  if (FAILED(hr)) return hr;
  ComPtr<IMFAttributes> attributes;
  if (SUCCEEDED(m_decoder->GetAttributes(&attributes)) && attributes) {
    if (MFGetAttributeUINT32(attributes.Get(), MF_TRANSFORM_ASYNC, FALSE)) {
      // Asynchronous decoders answer through events; a source reader knows how to drive them.
      ORVO_LOG_DEBUG("VideoDecodeLoop::open: stream %d decoder is asynchronous", m_streamIndex);
      m_decoder.Reset();
      return MF_E_TRANSFORM_ASYNC_LOCKED;
    }
    // The engine's factory set this already; a decoder found without it is told the same.
    LogIfFailed(attributes->SetUINT32(MF_LOW_LATENCY, TRUE), "VideoDecodeLoop::open: SetUINT32(MF_LOW_LATENCY)");
  }
  if (manager) {
    // A decoder that refuses the device decodes into system memory, as it would in a reader.
    LogIfFailed(m_decoder->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager)),
                "VideoDecodeLoop::open: stream %d MFT_MESSAGE_SET_D3D_MANAGER", m_streamIndex);
  }
  ORVO_RETURN_IF_FAILED(m_decoder->SetInputType(0, inputType, 0), "VideoDecodeLoop::open: stream %d SetInputType",
                        m_streamIndex);
  hr = MF_E_INVALIDMEDIATYPE;
  for (const GUID& subtype : subtypes) {
    hr = setOutputType(subtype);
    if (SUCCEEDED(hr)) break;
  }
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("VideoDecodeLoop::open: stream %d decoder offers none of the %u subtypes asked for",
                   m_streamIndex, static_cast<unsigned>(subtypes.size()));
    return hr;
  }
  LogIfFailed(m_decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0),
              "VideoDecodeLoop::open: MFT_MESSAGE_NOTIFY_BEGIN_STREAMING");
  LogIfFailed(m_decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0),
              "VideoDecodeLoop::open: MFT_MESSAGE_NOTIFY_START_OF_STREAM");
  LogMediaType("VideoDecodeLoop::open: decoded media type %S", m_outputType.Get());
  return S_OK;
}

HRESULT VideoDecodeLoop::setOutputType(const GUID& subtype) {
  ComPtr<IMFMediaType> offered;
  for (DWORD i = 0; SUCCEEDED(m_decoder->GetOutputAvailableType(0, i, &offered)); ++i, offered.Reset()) {
    GUID offeredSubtype = GUID_NULL;
    if (FAILED(offered->GetGUID(MF_MT_SUBTYPE, &offeredSubtype)) || offeredSubtype != subtype) continue;
    HRESULT hr = m_decoder->SetOutputType(0, offered.Get(), 0);
    if (SUCCEEDED(hr)) hr = describeOutput(offered.Get());
    if (FAILED(hr)) return hr;
    readStreamInfo();
    return S_OK;
  }
  return MF_E_INVALIDMEDIATYPE;
}

HRESULT VideoDecodeLoop::describeOutput(IMFMediaType* decoderType) {
  ComPtr<IMFMediaType> type;
  ORVO_RETURN_IF_FAILED(MFCreateMediaType(&type), "VideoDecodeLoop: MFCreateMediaType");
  ORVO_RETURN_IF_FAILED(decoderType->CopyAllItems(type.Get()), "VideoDecodeLoop: CopyAllItems");
  UINT32 width = 0, height = 0;
  MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height);
  MFVideoArea aperture = {};
  UINT32 size = 0;
  const bool hasAperture = SUCCEEDED(type->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&aperture),
                                                   sizeof(aperture), &size));
  if (!hasAperture && (width != m_visibleWidth || height != m_visibleHeight) && PadsVisible(m_visibleWidth, width) &&
      PadsVisible(m_visibleHeight, height)) {
    aperture.Area.cx = static_cast<LONG>(m_visibleWidth);
    aperture.Area.cy = static_cast<LONG>(m_visibleHeight);
    LogIfFailed(type->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<const UINT8*>(&aperture),
                              sizeof(aperture)),
                "VideoDecodeLoop: SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE)");
  }
  m_outputType = type;
  return S_OK;
}

void VideoDecodeLoop::readStreamInfo() {
  if (LogIfFailed(m_decoder->GetOutputStreamInfo(0, &m_info), "VideoDecodeLoop: stream %d GetOutputStreamInfo",
                  m_streamIndex)) {
    m_info = {};
  }
  if (m_info.cbSize == 0 && !(m_info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES)) {
    // A decoder that does not say how big its frames are gets room for the frame in its type.
    UINT32 width = 0, height = 0, bytes = 0;
    MFGetAttributeSize(m_outputType.Get(), MF_MT_FRAME_SIZE, &width, &height);
    if (SUCCEEDED(MFCalculateImageSize(currentSubtype(), width, height, &bytes))) m_info.cbSize = bytes;
  }
}

HRESULT VideoDecodeLoop::renegotiate() {
  // The decoder met a new frame size: it offers types for it now; the subtype stays.
  const HRESULT hr = setOutputType(currentSubtype());
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("VideoDecodeLoop: stream %d output type after a stream change refused 0x%X", m_streamIndex,
                   static_cast<unsigned>(hr));
    return hr;
  }
  LogMediaType("VideoDecodeLoop: new decoded media type %S", m_outputType.Get());
  m_typeChanged = true;
  return S_OK;
}

HRESULT VideoDecodeLoop::decode(IMFSample* compressed, const FrameSink& sink) {
  remember(compressed);
  return feed(compressed, sink);
}

void VideoDecodeLoop::remember(IMFSample* compressed) {
  ComPtr<IMFMediaBuffer> buffer;
  BYTE* data = nullptr;
  DWORD length = 0;
  bool key = false;
  if (SUCCEEDED(compressed->ConvertToContiguousBuffer(&buffer)) && SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
    key = IsRandomAccessUnit(data, length, m_hevc);
    buffer->Unlock();
  }
  if (key) m_fromKeyFrame.clear();
  if (key || (!m_fromKeyFrame.empty() && m_fromKeyFrame.size() < kReplayLimit)) {
    m_fromKeyFrame.emplace_back(compressed);
  } else {
    m_fromKeyFrame.clear();
  }
}

HRESULT VideoDecodeLoop::renewAndReplay(const FrameSink& sink) {
  HRESULT hr = renew();
  if (FAILED(hr)) return hr;
  if (m_fromKeyFrame.empty()) return S_FALSE;
  const std::vector<ComPtr<IMFSample>> replay = m_fromKeyFrame;
  for (const ComPtr<IMFSample>& sample : replay) {
    hr = feed(sample.Get(), sink);
    if (FAILED(hr)) break;
  }
  if (FAILED(hr)) {
    m_fromKeyFrame.clear();
    renew();
  }
  return hr;
}

HRESULT VideoDecodeLoop::feed(IMFSample* compressed, const FrameSink& sink) {
  if (!m_decoder) return MF_E_NOT_INITIALIZED;
  HRESULT hr = m_decoder->ProcessInput(0, compressed, 0);
  if (hr == MF_E_NOTACCEPTING) {
    // It still holds frames: take them, then it takes the input.
    hr = pullFrames(sink);
    if (SUCCEEDED(hr)) hr = m_decoder->ProcessInput(0, compressed, 0);
  }
  ORVO_RETURN_IF_FAILED(hr, "VideoDecodeLoop::decode: stream %d ProcessInput", m_streamIndex);
  return pullFrames(sink);
}

HRESULT VideoDecodeLoop::drain(const FrameSink& sink) {
  if (!m_decoder) return MF_E_NOT_INITIALIZED;
  ORVO_RETURN_IF_FAILED(m_decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0),
                        "VideoDecodeLoop::drain: MFT_MESSAGE_NOTIFY_END_OF_STREAM");
  ORVO_RETURN_IF_FAILED(m_decoder->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0),
                        "VideoDecodeLoop::drain: MFT_MESSAGE_COMMAND_DRAIN");
  const HRESULT hr = pullFrames(sink);
  LogIfFailed(m_decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0),
              "VideoDecodeLoop::drain: MFT_MESSAGE_NOTIFY_START_OF_STREAM");
  return hr;
}

void VideoDecodeLoop::flush() {
  if (m_decoder) LogIfFailed(m_decoder->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0), "VideoDecodeLoop::flush");
}

HRESULT VideoDecodeLoop::pullFrames(const FrameSink& sink) {
  // One stream change per frame is what a decoder does; more in a row means it is stuck.
  int changes = 0;
  for (;;) {
    const bool provides = (m_info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
    ComPtr<IMFSample> frame;
    if (!provides) {
      const HRESULT acquired = m_pool.acquire(m_info.cbSize, &frame);
      if (FAILED(acquired)) return acquired;
    }
    MFT_OUTPUT_DATA_BUFFER output = {};
    output.pSample = frame.Get();
    DWORD status = 0;
    const HRESULT hr = m_decoder->ProcessOutput(0, 1, &output, &status);
    if (output.pEvents) output.pEvents->Release();
    if (provides && output.pSample) frame = AdoptRef(output.pSample);
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return S_OK;
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
      if (++changes > 2) return hr;
      const HRESULT renegotiated = renegotiate();
      if (FAILED(renegotiated)) return renegotiated;
      continue;
    }
    ORVO_RETURN_IF_FAILED(hr, "VideoDecodeLoop: stream %d ProcessOutput", m_streamIndex);
    if (!frame) return S_OK;  // success without a frame: nothing more to take now
    changes = 0;
    sink(frame.Get(), m_typeChanged);
    m_typeChanged = false;
  }
}

}  // namespace Media
}  // namespace ORVO
