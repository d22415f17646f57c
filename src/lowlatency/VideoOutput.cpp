#include "lowlatency/VideoOutput.h"

#include <mfapi.h>
#include <mferror.h>
#include <mfreadwrite.h>
#include <evr.h>
#include <wmcodecdsp.h>

#include <algorithm>
#include <cstring>

#include "common/Clock.h"
#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "common/MediaTypeChecks.h"
#include "common/Guids.h"
#include "decoder/VideoDecoderClassFactory.h"
#include "log/Log.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/PacingRules.h"
#include "render/CompatibilityPresenter.h"
#include "render/Dx11Renderer.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

constexpr LONGLONG kBlackFrameDuration = 333333;
std::atomic<VideoOutput::PresentObserver> g_presentObserver{nullptr};

// Copies one item of the host's type onto another attribute store.
HRESULT CopyAttribute(IMFAttributes* from, IMFAttributes* to, REFGUID key) {
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT hr = from->GetItem(key, &value);
  if (SUCCEEDED(hr)) hr = to->SetItem(key, value);
  PropVariantClear(&value);
  return hr;
}

bool IsPlanar420(REFGUID subtype) {
  return subtype == MFVideoFormat_NV12 || subtype == MFVideoFormat_I420 || subtype == MFVideoFormat_IYUV ||
         subtype == MFVideoFormat_YV12;
}

// A black picture in the presentation format. Zeroed YUV would be green: black is luma 16 (0 at
// full range) with neutral chroma 128. The 4:2:0 luma plane comes first, width x height bytes.
void FillBlack(IMFMediaType* type, BYTE* data, DWORD length, UINT32 width, UINT32 height) {
  GUID subtype = GUID_NULL;
  type->GetGUID(MF_MT_SUBTYPE, &subtype);
  const BYTE luma =
      MFGetAttributeUINT32(type, MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_Unknown) == MFNominalRange_0_255 ? 0 : 16;
  if (subtype == MFVideoFormat_YUY2) {
    for (DWORD i = 0; i + 1 < length; i += 2) {
      data[i] = luma;
      data[i + 1] = 128;
    }
  } else if (IsPlanar420(subtype)) {
    const DWORD lumaBytes = static_cast<DWORD>(std::min<ULONGLONG>(length, static_cast<ULONGLONG>(width) * height));
    memset(data, luma, lumaBytes);
    memset(data + lumaBytes, 128, length - lumaBytes);
  } else {
    ZeroMemory(data, length);
  }
}

}  // namespace

VideoOutput::PresentObserver VideoOutput::SetPresentObserver(PresentObserver observer) {
  return g_presentObserver.exchange(observer);
}

VideoOutput::VideoOutput(int streamIndex, HWND window) : m_streamIndex(streamIndex), m_window(window) {
  InitializeCriticalSection(&m_typeLock);
}

VideoOutput::~VideoOutput() {
  m_snapshot.Forget();  // its frames belong to the allocator and device shut down below
  resetConversion();
  if (m_pRenderer) m_pRenderer->Shutdown();
  if (m_pAllocator) m_pAllocator->UninitializeSampleAllocator();
  DeleteCriticalSection(&m_typeLock);
}

std::vector<GUID> VideoOutput::decodedSubtypes(IMFMediaType* inputType) const {
  if (m_pRenderer && m_pRenderer->IsCompatibilityMode()) {
    // The renderer converts YUV while drawing: NV12 is the smallest upload (12 bits a pixel).
    // RGB32 and the packed formats it cannot draw are left for the colour converter.
    return {MFVideoFormat_NV12, MFVideoFormat_YUY2, MFVideoFormat_I420, MFVideoFormat_IYUV, MFVideoFormat_YV12,
            MFVideoFormat_RGB32, MFVideoFormat_UYVY, MFVideoFormat_YVYU, MFVideoFormat_RGB24};
  }
  std::vector<GUID> subtypes = {MFVideoFormat_RGB32, MFVideoFormat_YUY2, MFVideoFormat_IYUV,
                                MFVideoFormat_I420,  MFVideoFormat_YV12, MFVideoFormat_NV12,
                                MFVideoFormat_UYVY,  MFVideoFormat_YVYU, MFVideoFormat_RGB24};
  UINT32 width = 0, height = 0;
  if (SUCCEEDED(MFGetAttributeSize(inputType, MF_MT_FRAME_SIZE, &width, &height)) && (width > 1920 || height > 1080)) {
    // Beyond full HD a 4-byte format costs more than the decoder's own packed output.
    std::swap(subtypes[0], subtypes[1]);
  }
  return subtypes;
}

HRESULT VideoOutput::describe(IMFMediaType* inputType, IMFMediaType* decodedType) {
  inputType->GetGUID(MF_MT_SUBTYPE, &m_inputSubtype);
  m_pRenderer = AdoptRef(new (std::nothrow) MediaFoundation::Dx11Renderer());
  HRESULT hr = m_pRenderer ? (m_window ? m_pRenderer->SetVideoWindow(m_window) : E_INVALIDARG) : E_OUTOFMEMORY;
  if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt: m_pDx11Renderer->SetVideoWindow")) return hr;

  ORVO_RETURN_IF_FAILED(decodedType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video),
                        "DxPlayer::StreamInt::StreamInt: m_pDecodedType->SetGUID(MF_MT_MAJOR_TYPE)");
  ORVO_RETURN_IF_FAILED(CopyAttribute(inputType, decodedType, MF_MT_FRAME_SIZE),
                        "DxPlayer::StreamInt::StreamInt: CopyAttribute(MF_MT_FRAME_SIZE)");
  ORVO_RETURN_IF_FAILED(CopyAttribute(inputType, decodedType, MF_MT_FRAME_RATE),
                        "DxPlayer::StreamInt::StreamInt: CopyAttribute(MF_MT_FRAME_RATE)");
  LogIfFailed(CopyAttribute(inputType, decodedType, MF_MT_PIXEL_ASPECT_RATIO),
              "DxPlayer::StreamInt::StreamInt: CopyAttribute(MF_MT_PIXEL_ASPECT_RATIO)");
  // A frame size no decoder or renderer can hold would only fail later, deep in a transform, or
  // make the black frame allocate gigabytes: refuse it here.
  UINT32 width = 0, height = 0;
  if (FAILED(MFGetAttributeSize(decodedType, MF_MT_FRAME_SIZE, &width, &height)) || width == 0 || height == 0 ||
      width > 16384 || height > 16384) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: unsupported frame size %ux%u failed 0x%X", width, height,
                   (unsigned)MF_E_INVALIDMEDIATYPE);
    return MF_E_INVALIDMEDIATYPE;
  }
  UINT32 rateNumerator = 0, rateDenominator = 0;
  if (HasZeroTermFrameRate(decodedType, &rateNumerator, &rateDenominator)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: unsupported frame rate %u/%u failed 0x%X", rateNumerator,
                   rateDenominator, (unsigned)MF_E_INVALIDMEDIATYPE);
    return MF_E_INVALIDMEDIATYPE;
  }

  // The presentation type starts as RGB32 at the decoded size; the converter's output (or the
  // decoded type itself when the renderer draws it) replaces it once the reader settled.
  ComPtr<IMFMediaType> presentation;
  ORVO_RETURN_IF_FAILED(MFCreateMediaType(&presentation),
                        "DxPlayer::StreamInt::StreamInt: MFCreateMediaType(&m_pMediaType)");
  ORVO_RETURN_IF_FAILED(decodedType->CopyAllItems(presentation.Get()),
                        "DxPlayer::StreamInt::StreamInt: m_pDecodedType->CopyAllItems(m_pMediaType)");
  ORVO_RETURN_IF_FAILED(presentation->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32),
                        "DxPlayer::StreamInt::StreamInt: m_pMediaType->SetGUID(MF_MT_SUBTYPE)");
  LogIfFailed(presentation->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive),
              "DxPlayer::StreamInt::StreamInt: m_pMediaType->SetUINT32(MF_MT_INTERLACE_MODE)");
  // The converter's output type, kept apart: the presentation type is read on other threads.
  ORVO_RETURN_IF_FAILED(MFCreateMediaType(&m_pConvertedType),
                        "DxPlayer::StreamInt::StreamInt: MFCreateMediaType(&m_pConvertedType)");
  ORVO_RETURN_IF_FAILED(presentation->CopyAllItems(m_pConvertedType.Get()),
                        "DxPlayer::StreamInt::StreamInt: CopyAllItems(m_pConvertedType)");
  setPresentationType(presentation.Get());
  return S_OK;
}

void VideoOutput::configureReader(IMFAttributes* attributes) {
  // The decoder factory answers the reader's decoder search while the reader is being made; it
  // must know which compressed subtype this stream carries by then.
  MediaFoundation::VideoDecoderClassFactory::SetDecoderSubtype(m_inputSubtype);
  LogIfFailed(attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 1),
              "DxPlayer::StreamInt::createReader: "
              "pAttributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING)");
  LogIfFailed(attributes->SetUINT32(MF_READWRITE_DISABLE_CONVERTERS, 0),
              "DxPlayer::StreamInt::createReader: pAttributes->SetUINT32(MF_READWRITE_DISABLE_CONVERTERS)");
  LogIfFailed(attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 1),
              "DxPlayer::StreamInt::createReader: "
              "pAttributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS)");
  ComPtr<IMFDXGIDeviceManager> manager = decoderDeviceManager();
  if (manager && LogIfFailed(attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, manager.Get()),
                             "DxPlayer::StreamInt::createReader: pAttributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER)")) {
    m_pReaderManager.Reset();
  }
}

ComPtr<IMFDXGIDeviceManager> VideoOutput::decoderDeviceManager() {
  // Test seam: Wine's decoder given a device manager on a Direct3D 11 with video support delivers
  // all-zero frames. The test bed decodes into system memory there; hosts never set this.
  const bool decoderWithoutDevice = GetEnvironmentVariableW(L"ORVO_TEST_DECODER_WITHOUT_DEVICE", nullptr, 0) > 0;
  ComPtr<IMFDXGIDeviceManager> manager;
  m_pReaderManager.Reset();
  if (!decoderWithoutDevice && m_pRenderer && m_pRenderer->HasDXGIManager() &&
      SUCCEEDED(m_pRenderer->GetDXGIManager(&manager)) && manager) {
    m_pReaderManager = manager;
  }
  return m_pReaderManager;
}

void VideoOutput::setSourceRect(const SourceRect& zoom) {
  if (m_pRenderer) m_pRenderer->SetSourceRect(zoom);
}

bool VideoOutput::compatibilityPresentation() const { return m_pRenderer && m_pRenderer->IsCompatibilityMode(); }

bool VideoOutput::readerOutdated() const {
  // A device re-created after a removal comes with a manager of its own; a decoder still on the
  // old one writes textures of a device that is gone, which the renderer cannot draw. While the
  // renderer has no device yet, the reader waits for it.
  if (!m_pReaderManager) return false;
  ComPtr<IMFDXGIDeviceManager> current;
  return SUCCEEDED(m_pRenderer->GetDXGIManager(&current)) && current.Get() != m_pReaderManager.Get();
}

HRESULT VideoOutput::onDecodedType(IMFMediaType* decoded) {
  GUID subtype = GUID_NULL;
  decoded->GetGUID(MF_MT_SUBTYPE, &subtype);
  const bool drawnAsIs = subtype == MFVideoFormat_RGB32 || (m_pRenderer && m_pRenderer->IsCompatibilityMode() &&
                                                           MediaFoundation::CompatibilityPresenter::TakesSubtype(subtype));
  if (!drawnAsIs) return createColourConverter(decoded);
  ComPtr<IMFMediaType> presentation;
  ORVO_RETURN_IF_FAILED(MFCreateMediaType(&presentation),
                        "DxPlayer::StreamInt::createReader: MFCreateMediaType(&m_pMediaType)");
  ORVO_RETURN_IF_FAILED(decoded->CopyAllItems(presentation.Get()),
                        "DxPlayer::StreamInt::createReader: m_pDecodedType->CopyAllItems(m_pMediaType)");
  setPresentationType(presentation.Get());
  return S_OK;
}

void VideoOutput::resetConversion() {
  m_convertedFrames.clear();
  if (!m_pColorConverter) return;
  m_pColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
  m_pColorConverter.Reset();
}

HRESULT VideoOutput::createColourConverter(IMFMediaType* decoded) {
  ComPtr<IMFDXGIDeviceManager> manager;
  if (m_pRenderer && m_pRenderer->HasDXGIManager()) m_pRenderer->GetDXGIManager(&manager);

  ComPtr<IUnknown> transformUnknown;
  HRESULT hr = CoCreateInstance(manager ? kCLSID_VideoProcessorMFT : CLSID_CColorConvertDMO, nullptr,
                                CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&transformUnknown));
  if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt[%p]: CoCreateInstance(CLSID_CResizerDMO)", this)) return hr;
  hr = transformUnknown.As(&m_pColorConverter);
  if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt[%p]: spTransformUnk->QueryInterface", this)) return hr;

  bool accelerated = false;
  if (manager) {
    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(m_pColorConverter->GetAttributes(&attributes)) && attributes &&
        MFGetAttributeUINT32(attributes.Get(), MF_SA_D3D11_AWARE, 0) != 0) {
      hr = m_pColorConverter->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager.Get()));
      accelerated = !LogIfFailed(
          hr, "DxPlayer::StreamInt::StreamInt: m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER)");
    }
  }
  if (accelerated) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: Using Direct3D accelerated color converter", this);
  } else {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: Using CPU color converter", this);
  }

  ORVO_RETURN_IF_FAILED(m_pColorConverter->SetInputType(0, decoded, 0),
                        "DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->SetInputType", this);
  ORVO_RETURN_IF_FAILED(m_pColorConverter->SetOutputType(0, m_pConvertedType.Get(), 0),
                        "DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->SetOutputType", this);
  MFT_OUTPUT_STREAM_INFO info = {};
  if (LogIfFailed(m_pColorConverter->GetOutputStreamInfo(0, &info),
                  "DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->GetOutputStreamInfo", this)) {
    info.dwFlags = 0;
  }
  m_outputStreamFlags = info.dwFlags;
  LogIfFailed(m_pColorConverter->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0),
              "DxPlayer::StreamInt::StreamInt[%p]: MFT_MESSAGE_COMMAND_FLUSH", this);
  LogIfFailed(m_pColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0),
              "DxPlayer::StreamInt::StreamInt[%p]: MFT_MESSAGE_NOTIFY_BEGIN_STREAMING", this);
  ORVO_RETURN_IF_FAILED(m_pColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0),
                        "DxPlayer::StreamInt::StreamInt[%p]: MFT_MESSAGE_NOTIFY_START_OF_STREAM", this);
  ComPtr<IMFMediaType> output;
  ORVO_RETURN_IF_FAILED(m_pColorConverter->GetOutputCurrentType(0, &output),
                        "DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->GetOutputCurrentType", this);
  setPresentationType(output.Get());
  return S_OK;
}

HRESULT VideoOutput::open() { return applyPresentationType(); }

HRESULT VideoOutput::onCurrentTypeChanged(IMFSourceReader* reader) {
  if (reader == nullptr) return E_POINTER;
  if (!m_pConvertedType) return MF_E_NOT_INITIALIZED;  // describe() failed: the stream is inactive
  ComPtr<IMFMediaType> decoded;
  ORVO_RETURN_IF_FAILED(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &decoded),
                        "VideoOutput::onCurrentTypeChanged[%p]: GetCurrentMediaType", this);
  return onDecodedTypeChanged(decoded.Get());
}

HRESULT VideoOutput::onDecodedTypeChanged(IMFMediaType* decoded) {
  if (decoded == nullptr) return E_POINTER;
  if (!m_pConvertedType) return MF_E_NOT_INITIALIZED;
  LogMediaType("VideoOutput::onCurrentTypeChanged: new decoded media type %S", decoded);
  // A converter, if one is still needed, is made again for the new frame size and aperture.
  ComPtr<IMFMediaType> converted;
  ORVO_RETURN_IF_FAILED(MFCreateMediaType(&converted), "VideoOutput::onCurrentTypeChanged[%p]: MFCreateMediaType",
                        this);
  ORVO_RETURN_IF_FAILED(m_pConvertedType->CopyAllItems(converted.Get()),
                        "VideoOutput::onCurrentTypeChanged[%p]: CopyAllItems", this);
  ORVO_RETURN_IF_FAILED(CopyAttribute(decoded, converted.Get(), MF_MT_FRAME_SIZE),
                        "VideoOutput::onCurrentTypeChanged[%p]: CopyAttribute(MF_MT_FRAME_SIZE)", this);
  for (const GUID& key : {MF_MT_MINIMUM_DISPLAY_APERTURE, MF_MT_PIXEL_ASPECT_RATIO}) {
    if (FAILED(CopyAttribute(decoded, converted.Get(), key))) converted->DeleteItem(key);
  }
  m_pConvertedType = converted;
  resetConversion();
  const HRESULT hr = onDecodedType(decoded);
  if (FAILED(hr)) return hr;
  return applyPresentationType();
}

HRESULT VideoOutput::applyPresentationType() {
  ComPtr<IMFMediaType> type = presentationType();
  UINT32 numerator = 0, denominator = 0;
  if (FAILED(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator))) {
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
  }
  if (FAILED(MFGetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, &numerator, &denominator))) {
    MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  }
  LogMediaType("DxPlayer::StreamInt::StreamInt: media type %S", type.Get());

  ORVO_RETURN_IF_FAILED(m_pRenderer->SetCurrentMediaType(type.Get()),
                        "DxPlayer::StreamInt::StreamInt: m_pDx11Renderer->SetCurrentMediaType");
  requestAllocator();

  UINT32 width = 0, height = 0;
  MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height);
  GUID subtype = GUID_NULL;
  type->GetGUID(MF_MT_SUBTYPE, &subtype);
  UINT32 bytes = 0;
  if (FAILED(MFCalculateImageSize(subtype, width, height, &bytes)) || bytes == 0) bytes = width * height * 4;
  m_frameBytes = bytes;
  return S_OK;
}

void VideoOutput::requestAllocator() {
  if (m_pAllocator) {
    m_pAllocator->UninitializeSampleAllocator();
    m_pAllocator.Reset();
  }
  // Without a DXGI device manager (compatibility presentation) frames stay in system memory; the
  // platform's allocator there hands out a fixed pool whose samples did not come back once the
  // renderer had drawn them, and the picture froze after 120 frames.
  if (!m_pRenderer || !m_pRenderer->HasDXGIManager()) return;
  ComPtr<IMFGetService> service;
  if (FAILED(m_pRenderer->QueryInterface(IID_PPV_ARGS(&service)))) return;
  ComPtr<IMFVideoSampleAllocatorEx> allocator;
  if (FAILED(service->GetService(MR_VIDEO_ACCELERATION_SERVICE,
                                 MediaFoundation::Dx11Renderer::kUninitializedAllocatorService,
                                 reinterpret_cast<void**>(allocator.GetAddressOf()))) ||
      !allocator) {
    return;
  }
  m_pAllocatorAttributes.Reset();
  if (LogIfFailed(MFCreateAttributes(&m_pAllocatorAttributes, 3),
                  "DxPlayer::StreamInt::requestAllocator: MFCreateAttributes")) {
    return;
  }
  LogIfFailed(m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_BINDFLAGS, D3D11_BIND_SHADER_RESOURCE),
              "DxPlayer::StreamInt::requestAllocator: m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_BINDFLAGS)");
  LogIfFailed(m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_USAGE, D3D11_USAGE_DEFAULT),
              "DxPlayer::StreamInt::requestAllocator: m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_USAGE)");
  if (LogIfFailed(m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_AWARE, 1),
                  "DxPlayer::StreamInt::requestAllocator: m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_AWARE)")) {
    return;
  }
  if (LogIfFailed(allocator->InitializeSampleAllocatorEx(2, 120, m_pAllocatorAttributes.Get(), presentationType().Get()),
                  "DxPlayer::StreamInt::requestAllocator: InitializeSampleAllocatorEx")) {
    return;
  }
  m_pAllocator = allocator;
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::requestAllocator: using provided sample allocator");
}

void VideoOutput::setPresentationType(IMFMediaType* type) {
  CriticalSectionGuard guard(&m_typeLock);
  m_pMediaType = type;
  ++m_typeGeneration;
}

ComPtr<IMFMediaType> VideoOutput::presentationType() const { return presentationType(nullptr); }

ComPtr<IMFMediaType> VideoOutput::presentationType(uint32_t* generation) const {
  CriticalSectionGuard guard(&m_typeLock);
  if (generation != nullptr) *generation = m_typeGeneration;
  return m_pMediaType;
}

HRESULT VideoOutput::prepare(IMFSample* decoded, DWORD streamFlags, LONGLONG timestamp, IMFSample** output) {
  *output = nullptr;
  uint32_t generation = 0;
  presentationType(&generation);
  HRESULT hr = S_OK;
  if (m_pColorConverter) {
    hr = convertSample(decoded, output);
  } else if (m_pAllocator) {
    hr = copyToAllocatorSample(decoded, streamFlags, timestamp, output);
  } else {
    decoded->AddRef();
    *output = decoded;
  }
  if (SUCCEEDED(hr) && *output != nullptr) (*output)->SetUINT32(kSamplePresentationGeneration, generation);
  return hr;
}

HRESULT VideoOutput::convertSample(IMFSample* sample, IMFSample** output) {
  // A converter that refuses input still holds a frame; one flush and a second try at most.
  for (int attempt = 0; attempt < 2; ++attempt) {
    HRESULT hr = m_pColorConverter->ProcessInput(0, sample, 0);
    const bool refused = hr == MF_E_NOTACCEPTING;
    if (!refused && LogIfFailed(hr, "DxPlayer::StreamInt::OnReadSample: m_pMFColorConverter->ProcessInput")) return hr;

    ComPtr<IMFSample> outSample;
    if (!(m_outputStreamFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES)) {
      HRESULT allocated = m_pAllocator ? m_pAllocator->AllocateSample(&outSample) : S_OK;
      if (allocated == MF_E_NOT_INITIALIZED) {
        // The renderer made a new device (the old one was removed, or a monitor changed) and its
        // allocator went with the old one: ask for the new device's.
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: allocator has been re-created");
        requestAllocator();
        allocated = m_pAllocator ? m_pAllocator->AllocateSample(&outSample) : S_OK;
      }
      if (m_pAllocator) {
        ORVO_RETURN_IF_FAILED(allocated, "DxPlayer::StreamInt::OnReadSample: m_pAllocator->AllocateSample");
      } else {
        hr = m_convertedFrames.acquire(m_frameBytes.load(), &outSample);
        if (FAILED(hr)) return hr;
      }
    }

    MFT_OUTPUT_DATA_BUFFER outputBuffer = {};
    outputBuffer.dwStreamID = 0;
    outputBuffer.pSample = outSample.Get();
    DWORD status = 0;
    hr = m_pColorConverter->ProcessOutput(0, 1, &outputBuffer, &status);
    if (outputBuffer.pEvents) outputBuffer.pEvents->Release();
    if (m_outputStreamFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) outSample = AdoptRef(outputBuffer.pSample);
    if (SUCCEEDED(hr) && outSample) {
      *output = outSample.Detach();
      return S_OK;
    }
    if (hr != MF_E_TRANSFORM_NEED_MORE_INPUT && hr != E_INVALIDARG) {
      LogIfFailed(hr, "DxPlayer::StreamInt::OnReadSample: m_pMFColorConverter->ProcessOutput");
    }
    if (!refused) return FAILED(hr) ? hr : E_FAIL;
    m_pColorConverter->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  }
  return MF_E_NOTACCEPTING;
}

HRESULT VideoOutput::copyToAllocatorSample(IMFSample* sample, DWORD streamFlags, LONGLONG timestamp,
                                           IMFSample** output) {
  ComPtr<IMFSample> copy;
  HRESULT hr = m_pAllocator->AllocateSample(&copy);
  if (hr == MF_E_NOT_INITIALIZED) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: allocator has been re-created");
    requestAllocator();
    return hr;
  }
  if (LogIfFailed(hr, "DxPlayer::StreamInt::OnReadSample: m_pAllocator->AllocateSample")) return hr;
  ComPtr<IMFMediaBuffer> from, to;
  hr = sample->GetBufferByIndex(0, &from);
  if (SUCCEEDED(hr)) hr = copy->GetBufferByIndex(0, &to);
  BYTE *source = nullptr, *target = nullptr;
  DWORD sourceLength = 0, targetMax = 0, targetLength = 0;
  if (SUCCEEDED(hr)) hr = from->Lock(&source, nullptr, &sourceLength);
  if (SUCCEEDED(hr)) {
    hr = to->Lock(&target, &targetMax, &targetLength);
    if (SUCCEEDED(hr)) {
      // The allocator's buffers come with their full length current; copy what both hold.
      const DWORD length = std::min(sourceLength, targetLength ? targetLength : targetMax);
      memcpy(target, source, length);
      to->SetCurrentLength(length);
      to->Unlock();
    }
    from->Unlock();
  }
  LONGLONG duration = 0;
  if (SUCCEEDED(hr)) hr = copy->SetSampleTime(timestamp);
  if (SUCCEEDED(hr) && SUCCEEDED(sample->GetSampleDuration(&duration)) && duration > 0)
    hr = copy->SetSampleDuration(duration);
  if (SUCCEEDED(hr)) hr = copy->SetSampleFlags(streamFlags);
  if (SUCCEEDED(hr)) hr = sample->CopyAllItems(copy.Get());
  if (LogIfFailed(hr, "DxPlayer::StreamInt::OnReadSample: CopySample")) return hr;
  *output = copy.Detach();
  return S_OK;
}

bool VideoOutput::process(IMFSample* sample) {
  if (FAILED(m_failure.load())) return false;
  uint32_t generation = 0;
  ComPtr<IMFMediaType> type = presentationType(&generation);
  if (MFGetAttributeUINT32(sample, kSamplePresentationGeneration, generation) != generation) {
    // Prepared before the decoded type changed: its buffer has the old frame's size and layout.
    m_frameReady = false;
    return false;
  }
  UINT interlaceMode = MFVideoInterlace_Progressive;
  BOOL deviceChanged = FALSE, processAgain = FALSE;
  ComPtr<IMFSample> output;
  const HRESULT hr =
      m_pRenderer->ProcessFrame(type.Get(), sample, &interlaceMode, &deviceChanged, &processAgain, &output);
  m_frameReady = !LogIfFailed(hr, "DxPlayer::StreamInt::renderingRoutine: stream %d ProcessFrame", m_streamIndex);
  if (m_frameReady) m_snapshot.Drawn(sample, type.Get());
  if (!m_frameReady) checkDevice();
  return m_frameReady && SUCCEEDED(m_failure.load());
}

void VideoOutput::present(IMFSample*, int64_t sampleTime) {
  if (!m_frameReady || FAILED(m_failure.load())) return;
  m_frameReady = false;
  const HRESULT hr = m_pRenderer->PresentFrame();
  if (hr == S_OK) m_snapshot.Presented();
  if (PresentObserver observer = g_presentObserver.load()) observer(m_streamIndex, sampleTime, elapsedTime(10000000));
  if (hr != S_OK) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d PresentFrame failed 0x%X", m_streamIndex,
                   (unsigned)hr);
  }
  checkDevice();
}

void VideoOutput::checkDevice() {
  const HRESULT loss = m_pRenderer->DeviceLoss();
  if (SUCCEEDED(loss)) {
    m_recovery.recovered();
    return;
  }
  const ULONGLONG now = GetTickCount64();
  m_recovery.lost(now);
  if (!m_recovery.exhausted(now)) return;
  ORVO_LOG_ERROR("DxPlayer::StreamInt::renderingRoutine: stream %d no video device for %llu ms (0x%X), giving up",
                 m_streamIndex, static_cast<unsigned long long>(kRecoveryBoundMs), (unsigned)loss);
  m_failure = loss;
  notifyFailure();
}

HRESULT VideoOutput::restart() {
  if (SUCCEEDED(m_failure.load())) return S_OK;
  const HRESULT hr = m_pRenderer->RetryLostDevice();
  if (FAILED(hr)) return hr;
  ORVO_LOG_INFO("DxPlayer::Play: stream %d video device re-created", m_streamIndex);
  m_recovery.recovered();
  m_failure = S_OK;
  return S_OK;
}

void VideoOutput::stopped(int64_t baseLocalTime) {
  // Without a device there is nothing to draw black on, and trying to make one would hold Stop up.
  if (m_pRenderer && SUCCEEDED(m_failure.load())) presentBlackFrame(baseLocalTime);
}

void VideoOutput::presentBlackFrame(int64_t baseLocalTime) {
  if (m_frameBytes == 0) return;
  ComPtr<IMFSample> sample;
  if (!m_pAllocator || FAILED(m_pAllocator->AllocateSample(&sample))) {
    sample.Reset();
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(MFCreateSample(&sample)) ||
        FAILED(MFCreateAlignedMemoryBuffer(m_frameBytes, MF_16_BYTE_ALIGNMENT, &buffer)) ||
        FAILED(sample->AddBuffer(buffer.Get()))) {
      return;
    }
  }
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return;
  BYTE* data = nullptr;
  DWORD maxLength = 0;
  if (FAILED(buffer->Lock(&data, &maxLength, nullptr))) return;
  ComPtr<IMFMediaType> type = presentationType();
  UINT32 width = 0, height = 0;
  MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height);
  FillBlack(type.Get(), data, maxLength, width, height);
  buffer->SetCurrentLength(maxLength);
  buffer->Unlock();
  sample->SetSampleTime(baseLocalTime == kUnsetTime ? 0
                                                    : Pacing::SaturatingSub(elapsedTime(10000000), baseLocalTime));
  sample->SetSampleDuration(kBlackFrameDuration);
  UINT interlaceMode = MFVideoInterlace_Progressive;
  BOOL deviceChanged = FALSE, processAgain = FALSE;
  ComPtr<IMFSample> output;
  if (SUCCEEDED(m_pRenderer->ProcessFrame(type.Get(), sample.Get(), &interlaceMode, &deviceChanged, &processAgain,
                                          &output)) &&
      m_pRenderer->PresentFrame() == S_OK) {
    m_snapshot.Drawn(sample.Get(), type.Get());  // what the window shows after Stop
    m_snapshot.Presented();
  }
}

}  // namespace Media
}  // namespace ORVO
