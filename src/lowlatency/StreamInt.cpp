#include "lowlatency/StreamInt.h"

#include <mfapi.h>
#include <mferror.h>
#include <evr.h>
#include <wmcodecdsp.h>

#include <sstream>

#include "common/Uri.h"
#include "common/Clock.h"
#include "common/ComAdopt.h"
#include "common/ComInit.h"
#include "common/Guids.h"
#include "common/Module.h"
#include "decoder/VideoDecoderClassFactory.h"
#include "log/Log.h"
#include "common/CriticalSectionGuard.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/RenderPacer.h"
#include "lowlatency/TimestampSynchronizer.h"
#include "render/Dx11Renderer.h"
#include "render/WasapiRenderer.h"
#include "source/OrvoSource.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

constexpr DWORD kAnyStream = 0xFFFFFFFE;  // MF_SOURCE_READER_ANY_STREAM
constexpr LONGLONG kBlackFrameDuration = 333333;
std::atomic<DxPlayer::StreamInt::PresentObserver> g_presentObserver{nullptr};

// Copies one item of the host's type onto another attribute store.
HRESULT CopyAttribute(IMFAttributes* from, IMFAttributes* to, REFGUID key) {
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT hr = from->GetItem(key, &value);
  if (SUCCEEDED(hr)) hr = to->SetItem(key, value);
  PropVariantClear(&value);
  return hr;
}

void LogMediaType(const char* format, IMFMediaType* type) {
  if (!GlobalLog() || GlobalLog()->level() < kLogDebug) return;
  const std::wstring text = DescribeMediaType(type);
  ORVO_LOG_DEBUG(format, text.c_str());
}

LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      PostQuitMessage(0);
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE) PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace

DxPlayer::StreamInt::StreamInt(DxPlayer* owner, int playerId, int streamIndex, int syncIndex, IMFMediaType* inputType,
                               HWND window, RequestDataCallback callback, const std::wstring& uri,
                               int audioDeviceValue, const std::wstring& audioDeviceId)
    : m_owner(owner),
      m_playerId(playerId),
      m_callback(callback),
      m_streamIndex(streamIndex),
      m_syncIndex(syncIndex),
      m_uri(uri),
      m_audioDeviceId(audioDeviceId),
      m_audioDeviceValue(audioDeviceValue),
      m_lastWaitReport(time(nullptr)) {
  InitializeCriticalSection(&m_lock);
  if (!inputType) return;
  m_pInputType = inputType;

  GUID major = GUID_NULL;
  HRESULT hr = m_pInputType->GetGUID(MF_MT_MAJOR_TYPE, &major);
  if (SUCCEEDED(hr)) hr = m_pInputType->GetGUID(MF_MT_SUBTYPE, &m_inputSubtype);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: pType->GetGUID(MF_MT_SUBTYPE) failed 0x%X", (unsigned)hr);
    return;
  }
  hr = MFCreateMediaType(&m_pDecodedType);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: MFCreateMediaType(m_pDecodedType) failed 0x%X", (unsigned)hr);
    return;
  }

  const Common::Uri parsed(Common::Uri::ToUtf8(m_uri.c_str()));
  m_renderingStrategy = Pacing::StrategyFromQueryValue(parsed.queryValue("renderingStrategy"));

  if (major == MFMediaType_Video) {
    setUpVideo(window);
  } else if (major == MFMediaType_Audio) {
    setUpAudio();
  }
}

DxPlayer::StreamInt::~StreamInt() {
  if (m_pMFColorConverter) {
    m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    m_pMFColorConverter.Reset();
  }
  if (m_pDx11Renderer) {
    m_pDx11Renderer->Shutdown();
    m_pDx11Renderer->Release();
    m_pDx11Renderer = nullptr;
  }
  if (m_pAllocator) {
    m_pAllocator->UninitializeSampleAllocator();
    m_pAllocator.Reset();
  }
  m_pMediaType.Reset();
  m_pAllocatorAttributes.Reset();
  m_pAudioRenderer.reset();
  if (m_hiddenWindow) DestroyWindow(m_hiddenWindow);
  if (!m_windowClassName.empty()) UnregisterClassW(m_windowClassName.c_str(), LibraryModule());
  // Stop normally released these; a stream that never ran still holds its source and reader.
  releaseReader();
  for (IMFSample* sample : m_queue) sample->Release();
  m_queue.clear();
  DeleteCriticalSection(&m_lock);
  m_pDecodedType.Reset();
  m_pInputType.Reset();
}

STDMETHODIMP DxPlayer::StreamInt::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFSourceReaderCallback)) {
    *ppv = static_cast<IMFSourceReaderCallback*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DxPlayer::StreamInt::AddRef() { return ++m_refCount; }

STDMETHODIMP_(ULONG) DxPlayer::StreamInt::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

GUID DxPlayer::StreamInt::decodedSubtype() const {
  GUID subtype = GUID_NULL;
  if (m_pDecodedType) m_pDecodedType->GetGUID(MF_MT_SUBTYPE, &subtype);
  return subtype;
}

// ---------------------------------------------------------------------------------------------
// Set-up

void DxPlayer::StreamInt::setUpVideo(HWND window) {
  m_decodedSubtypes = {MFVideoFormat_RGB32, MFVideoFormat_YUY2, MFVideoFormat_IYUV, MFVideoFormat_I420,
                       MFVideoFormat_YV12,  MFVideoFormat_NV12, MFVideoFormat_UYVY, MFVideoFormat_YVYU,
                       MFVideoFormat_RGB24};
  UINT32 width = 0, height = 0;
  if (SUCCEEDED(MFGetAttributeSize(m_pInputType.Get(), MF_MT_FRAME_SIZE, &width, &height)) &&
      (width > 1920 || height > 1080)) {
    // Beyond full HD a 4-byte format costs more than the decoder's own packed output.
    std::swap(m_decodedSubtypes[0], m_decodedSubtypes[1]);
  }

  m_pDx11Renderer = new (std::nothrow) MediaFoundation::Dx11Renderer();
  HRESULT hr = m_pDx11Renderer ? (window ? m_pDx11Renderer->SetVideoWindow(window) : E_INVALIDARG) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pDx11Renderer->SetVideoWindow failed 0x%X", (unsigned)hr);
    return;
  }

  hr = m_pDecodedType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pDecodedType->SetGUID(MF_MT_MAJOR_TYPE) failed 0x%X",
                   (unsigned)hr);
    return;
  }
  hr = CopyAttribute(m_pInputType.Get(), m_pDecodedType.Get(), MF_MT_FRAME_SIZE);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: CopyAttribute(MF_MT_FRAME_SIZE) failed 0x%X", (unsigned)hr);
    return;
  }
  hr = CopyAttribute(m_pInputType.Get(), m_pDecodedType.Get(), MF_MT_FRAME_RATE);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: CopyAttribute(MF_MT_FRAME_RATE) failed 0x%X", (unsigned)hr);
    return;
  }
  hr = CopyAttribute(m_pInputType.Get(), m_pDecodedType.Get(), MF_MT_PIXEL_ASPECT_RATIO);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: CopyAttribute(MF_MT_PIXEL_ASPECT_RATIO) failed 0x%X",
                   (unsigned)hr);
  }
  // A frame size no decoder or renderer can hold would only fail later, deep in a transform, or
  // make the black frame allocate gigabytes: refuse it here.
  if (FAILED(MFGetAttributeSize(m_pDecodedType.Get(), MF_MT_FRAME_SIZE, &width, &height)) || width == 0 ||
      height == 0 || width > 16384 || height > 16384) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: unsupported frame size %ux%u failed 0x%X", width, height,
                   (unsigned)MF_E_INVALIDMEDIATYPE);
    return;
  }

  hr = MFCreateMediaType(&m_pMediaType);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: MFCreateMediaType(&m_pMediaType) failed 0x%X", (unsigned)hr);
    return;
  }
  hr = m_pDecodedType->CopyAllItems(m_pMediaType.Get());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pDecodedType->CopyAllItems(m_pMediaType) failed 0x%X",
                   (unsigned)hr);
    return;
  }
  hr = m_pMediaType->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pMediaType->SetGUID(MF_MT_SUBTYPE) failed 0x%X", (unsigned)hr);
    return;
  }
  hr = m_pMediaType->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pMediaType->SetUINT32(MF_MT_INTERLACE_MODE) failed 0x%X",
                   (unsigned)hr);
  }

  if (FAILED(createReader())) return;

  UINT32 numerator = 0, denominator = 0;
  if (FAILED(MFGetAttributeRatio(m_pMediaType.Get(), MF_MT_FRAME_RATE, &numerator, &denominator))) {
    MFSetAttributeRatio(m_pMediaType.Get(), MF_MT_FRAME_RATE, 30, 1);
  }
  if (FAILED(MFGetAttributeRatio(m_pMediaType.Get(), MF_MT_PIXEL_ASPECT_RATIO, &numerator, &denominator))) {
    MFSetAttributeRatio(m_pMediaType.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  }
  LogMediaType("DxPlayer::StreamInt::StreamInt: media type %S", m_pMediaType.Get());

  hr = m_pDx11Renderer->SetCurrentMediaType(m_pMediaType.Get());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pDx11Renderer->SetCurrentMediaType failed 0x%X",
                   (unsigned)hr);
    return;
  }
  requestAllocator();

  width = height = 0;
  MFGetAttributeSize(m_pMediaType.Get(), MF_MT_FRAME_SIZE, &width, &height);
  m_frameBytes = width * height * 4;
  m_active = true;
}

HRESULT DxPlayer::StreamInt::openSource(DWORD streamIdentifier, const char* method) {
  // Every message of the two callers differs only in the method name.
  std::string prefix = std::string("DxPlayer::StreamInt::") + method + ": ";
  MediaFoundation::OrvoSource* source = nullptr;
  HRESULT hr = MediaFoundation::OrvoSource::CreateInstance(&source);
  if (FAILED(hr) || !source) {
    ORVO_LOG_DEBUG("%sOrvoSource::CreateInstance failed 0x%X", prefix.c_str(), (unsigned)hr);
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  m_pSource = source;
  m_pSource->m_lowLatency = 1;

  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[1] = {m_pInputType.Get()};
  hr = MFCreateStreamDescriptor(streamIdentifier, 1, types, &descriptor);
  ComPtr<IMFMediaTypeHandler> handler;
  if (SUCCEEDED(hr)) hr = descriptor->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(m_pInputType.Get());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("%sstream descriptor creation failed 0x%X", prefix.c_str(), (unsigned)hr);
    return hr;
  }
  std::vector<ComPtr<IMFStreamDescriptor>> descriptors{descriptor};
  hr = m_pSource->Open(m_playerId, L"orvo://low_latency_renderer", descriptors, m_callback);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("%spSource->Open failed 0x%X", prefix.c_str(), (unsigned)hr);
    return hr;
  }
  return S_OK;
}

HRESULT DxPlayer::StreamInt::createReader() {
  HRESULT hr = openSource(0, "createReader");
  if (FAILED(hr)) return hr;

  ComPtr<IMFAttributes> attributes;
  hr = MFCreateAttributes(&attributes, 4);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: MFCreateAttributes(&pAttributes) failed 0x%X", (unsigned)hr);
    return hr;
  }
  hr = attributes->SetUINT32(MF_LOW_LATENCY, 1);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: pAttributes->SetUINT32(MF_LOW_LATENCY) failed 0x%X",
                   (unsigned)hr);
  hr = attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 1);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: "
                   "pAttributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING) failed 0x%X",
                   (unsigned)hr);
  hr = attributes->SetUINT32(MF_READWRITE_DISABLE_CONVERTERS, 0);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: pAttributes->SetUINT32(MF_READWRITE_DISABLE_CONVERTERS) "
                   "failed 0x%X",
                   (unsigned)hr);
  hr = attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 1);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: "
                   "pAttributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS) failed 0x%X",
                   (unsigned)hr);
  ComPtr<IMFDXGIDeviceManager> manager;
  if (m_pDx11Renderer && m_pDx11Renderer->HasDXGIManager() &&
      SUCCEEDED(m_pDx11Renderer->GetDXGIManager(&manager)) && manager) {
    hr = attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, manager.Get());
    if (FAILED(hr))
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: pAttributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER) "
                     "failed 0x%X",
                     (unsigned)hr);
  }

  ComPtr<IMFMediaSource> source;
  hr = m_pSource->QueryInterface(IID_PPV_ARGS(&source));
  if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &m_pReader);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: MFCreateSourceReaderFromMediaSource failed 0x%X",
                   (unsigned)hr);
    return hr;
  }

  MediaFoundation::VideoDecoderClassFactory::SetDecoderSubtype(m_inputSubtype);

  hr = S_OK;
  bool accepted = false;
  while (!m_decodedSubtypes.empty()) {
    const GUID subtype = m_decodedSubtypes.front();
    m_decodedSubtypes.erase(m_decodedSubtypes.begin());
    hr = m_pDecodedType->SetGUID(MF_MT_SUBTYPE, subtype);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: m_pDecodedType->SetGUID(MF_MT_SUBTYPE) failed 0x%X",
                     (unsigned)hr);
      continue;
    }
    hr = m_pReader->SetCurrentMediaType(0, nullptr, m_pDecodedType.Get());
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: m_pReader->SetCurrentMediaType failed 0x%X", (unsigned)hr);
      continue;
    }
    LogMediaType("DxPlayer::StreamInt::createReader: incomplete decoded media type %S", m_pDecodedType.Get());
    ComPtr<IMFMediaType> actual;
    hr = m_pReader->GetCurrentMediaType(0, &actual);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: m_pReader->GetCurrentMediaType failed 0x%X", (unsigned)hr);
      return hr;
    }
    m_pDecodedType = actual;
    m_acceptedSubtype = subtype;
    LogMediaType("DxPlayer::StreamInt::createReader: actual decoded media type %S", m_pDecodedType.Get());
    accepted = true;
    break;
  }
  if (!accepted && FAILED(hr)) return hr;

  GUID decoded = GUID_NULL;
  m_pDecodedType->GetGUID(MF_MT_SUBTYPE, &decoded);
  if (decoded == MFVideoFormat_RGB32) {
    ComPtr<IMFMediaType> presentation;
    hr = MFCreateMediaType(&presentation);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: MFCreateMediaType(&m_pMediaType) failed 0x%X", (unsigned)hr);
      return hr;
    }
    hr = m_pDecodedType->CopyAllItems(presentation.Get());
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: m_pDecodedType->CopyAllItems(m_pMediaType) failed 0x%X",
                     (unsigned)hr);
      return hr;
    }
    setPresentationType(presentation.Get());
    return hr;
  }
  return createColourConverter();
}

HRESULT DxPlayer::StreamInt::createColourConverter() {
  ComPtr<IMFDXGIDeviceManager> manager;
  if (m_pDx11Renderer && m_pDx11Renderer->HasDXGIManager()) m_pDx11Renderer->GetDXGIManager(&manager);

  ComPtr<IUnknown> transformUnknown;
  HRESULT hr = CoCreateInstance(manager ? kCLSID_VideoProcessorMFT : CLSID_CColorConvertDMO, nullptr,
                                CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&transformUnknown));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: CoCreateInstance(CLSID_CResizerDMO) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = transformUnknown.As(&m_pMFColorConverter);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: spTransformUnk->QueryInterface failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }

  bool accelerated = false;
  if (manager) {
    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(m_pMFColorConverter->GetAttributes(&attributes)) && attributes &&
        MFGetAttributeUINT32(attributes.Get(), MF_SA_D3D11_AWARE, 0) != 0) {
      hr = m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager.Get()));
      if (SUCCEEDED(hr)) {
        accelerated = true;
      } else {
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER) "
                       "failed 0x%X",
                       (unsigned)hr);
      }
    }
  }
  if (accelerated) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: Using Direct3D accelerated color converter", this);
  } else {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: Using CPU color converter", this);
  }

  hr = m_pMFColorConverter->SetInputType(0, m_pDecodedType.Get(), 0);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->SetInputType failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = m_pMFColorConverter->SetOutputType(0, m_pMediaType.Get(), 0);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->SetOutputType failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  MFT_OUTPUT_STREAM_INFO info = {};
  hr = m_pMFColorConverter->GetOutputStreamInfo(0, &info);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->GetOutputStreamInfo failed 0x%X", this,
                   (unsigned)hr);
    info.dwFlags = 0;
  }
  m_outputStreamFlags = info.dwFlags;
  hr = m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: MFT_MESSAGE_COMMAND_FLUSH failed 0x%X", this, (unsigned)hr);
  hr = m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: MFT_MESSAGE_NOTIFY_BEGIN_STREAMING failed 0x%X", this,
                   (unsigned)hr);
  hr = m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: MFT_MESSAGE_NOTIFY_START_OF_STREAM failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  ComPtr<IMFMediaType> output;
  hr = m_pMFColorConverter->GetOutputCurrentType(0, &output);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt[%p]: m_pMFColorConverter->GetOutputCurrentType failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  setPresentationType(output.Get());
  return S_OK;
}

void DxPlayer::StreamInt::requestAllocator() {
  if (m_pAllocator) {
    m_pAllocator->UninitializeSampleAllocator();
    m_pAllocator.Reset();
  }
  // Without a DXGI device manager (compatibility presentation) frames stay in system memory; the
  // platform's allocator there hands out a fixed pool whose samples did not come back once the
  // renderer had drawn them, and the picture froze after 120 frames.
  if (!m_pDx11Renderer || !m_pDx11Renderer->HasDXGIManager()) return;
  ComPtr<IMFGetService> service;
  if (FAILED(m_pDx11Renderer->QueryInterface(IID_PPV_ARGS(&service)))) return;
  ComPtr<IMFVideoSampleAllocatorEx> allocator;
  if (FAILED(service->GetService(MR_VIDEO_ACCELERATION_SERVICE,
                                 MediaFoundation::Dx11Renderer::kUninitializedAllocatorService,
                                 reinterpret_cast<void**>(allocator.GetAddressOf()))) ||
      !allocator) {
    return;
  }
  m_pAllocatorAttributes.Reset();
  HRESULT hr = MFCreateAttributes(&m_pAllocatorAttributes, 3);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::requestAllocator: MFCreateAttributes failed 0x%X", (unsigned)hr);
    return;
  }
  hr = m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_BINDFLAGS, D3D11_BIND_SHADER_RESOURCE);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::requestAllocator: m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_BINDFLAGS) "
                   "failed 0x%X",
                   (unsigned)hr);
  hr = m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_USAGE, D3D11_USAGE_DEFAULT);
  if (FAILED(hr))
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::requestAllocator: m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_USAGE) "
                   "failed 0x%X",
                   (unsigned)hr);
  hr = m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_AWARE, 1);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::requestAllocator: m_pAllocatorAttributes->SetUINT32(MF_SA_D3D11_AWARE) "
                   "failed 0x%X",
                   (unsigned)hr);
    return;
  }
  hr = allocator->InitializeSampleAllocatorEx(2, 120, m_pAllocatorAttributes.Get(), m_pMediaType.Get());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::requestAllocator: InitializeSampleAllocatorEx failed 0x%X", (unsigned)hr);
    return;
  }
  m_pAllocator = allocator;
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::requestAllocator: using provided sample allocator");
}

void DxPlayer::StreamInt::setUpAudio() {
  if (FAILED(openSource(static_cast<DWORD>(m_streamIndex), "StreamInt"))) return;

  ComPtr<IMFAttributes> attributes;
  HRESULT hr = MFCreateAttributes(&attributes, 1);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: MFCreateAttributes(&pAttributes) failed 0x%X", (unsigned)hr);
    return;
  }
  hr = attributes->SetUINT32(MF_LOW_LATENCY, 1);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: pAttributes->SetUINT32(MF_LOW_LATENCY) failed 0x%X", (unsigned)hr);
    return;
  }
  ComPtr<IMFMediaSource> source;
  hr = m_pSource->QueryInterface(IID_PPV_ARGS(&source));
  if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &m_pReader);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: MFCreateSourceReaderFromMediaSource failed 0x%X", (unsigned)hr);
    return;
  }

  hr = m_pDecodedType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pDecodedType->SetGUID(MF_MT_MAJOR_TYPE) failed 0x%X",
                   (unsigned)hr);
    return;
  }
  bool accepted = false;
  for (const GUID& subtype : {MFAudioFormat_Float, MFAudioFormat_PCM}) {
    hr = m_pDecodedType->SetGUID(MF_MT_SUBTYPE, subtype);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pDecodedType->SetGUID(MF_MT_SUBTYPE) failed 0x%X",
                     (unsigned)hr);
      continue;
    }
    hr = m_pReader->SetCurrentMediaType(0, nullptr, m_pDecodedType.Get());
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pReader->SetCurrentMediaType failed 0x%X", (unsigned)hr);
      continue;
    }
    m_acceptedSubtype = subtype;
    accepted = true;
    break;
  }
  if (!accepted) return;

  ComPtr<IMFMediaType> actual;
  hr = m_pReader->GetCurrentMediaType(0, &actual);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pReader->GetCurrentMediaType failed 0x%X", (unsigned)hr);
    return;
  }
  m_pDecodedType = actual;
  m_pMediaType = actual;
  LogMediaType("DxPlayer::StreamInt::StreamInt: media type %S", m_pMediaType.Get());

  createHiddenWindow();

  m_pAudioRenderer.reset(new (std::nothrow) MediaFoundation::WasapiRenderer());
  hr = m_pAudioRenderer ? m_pAudioRenderer->Initialize(m_pMediaType.Get(), m_audioDeviceId) : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: m_pAudioRenderer->Initialize failed 0x%X", (unsigned)hr);
    m_pAudioRenderer.reset();
    return;
  }
  m_frameBytes = static_cast<uint32_t>(m_pAudioRenderer->decodedBufferBytes());
  m_active = true;
  m_isAudio = true;
}

void DxPlayer::StreamInt::createHiddenWindow() {
  std::wostringstream name;
  name << L"DirectSound Renderer 0x" << static_cast<const void*>(this);
  m_windowClassName = name.str();
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;
  windowClass.lpfnWndProc = HiddenWindowProc;
  windowClass.hInstance = LibraryModule();
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = m_windowClassName.c_str();
  if (!RegisterClassExW(&windowClass)) {
    m_windowClassName.clear();
    return;
  }
  m_hiddenWindow = CreateWindowExW(0, m_windowClassName.c_str(), L"DirectSound Renderer",
                                   WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 1, 1, nullptr, nullptr,
                                   LibraryModule(), nullptr);
}

void DxPlayer::StreamInt::releaseReader() {
  if (m_pSource) {
    m_pSource->Shutdown();
    m_pSource->Release();
    m_pSource = nullptr;
  }
  if (m_pReader) {
    m_pReader->Flush(0);
    m_pReader.Reset();
  }
}

DxPlayer::StreamInt::PresentObserver DxPlayer::StreamInt::SetPresentObserver(PresentObserver observer) {
  return g_presentObserver.exchange(observer);
}

// ---------------------------------------------------------------------------------------------
// Queue

size_t DxPlayer::StreamInt::queueLength() {
  CriticalSectionGuard guard(&m_lock);
  return m_queue.size();
}

int DxPlayer::StreamInt::trimQueueToNewest() {
  CriticalSectionGuard guard(&m_lock);
  int released = 0;
  while (m_queue.size() > 1) {
    m_queue.front()->Release();
    m_queue.pop_front();
    ++released;
  }
  return released;
}

void DxPlayer::StreamInt::setPresentationType(IMFMediaType* type) {
  // The rendering thread reads it under the same lock while a decoder re-creation replaces it.
  CriticalSectionGuard guard(&m_lock);
  m_pMediaType = type;
}

void DxPlayer::StreamInt::queueSample(IMFSample* sample) {
  CriticalSectionGuard guard(&m_lock);
  m_queue.push_back(sample);
}

// ---------------------------------------------------------------------------------------------
// Threads

void DxPlayer::StreamInt::start() {
  if (!m_active || running()) return;
  if (!m_pReader) {
    // Stop released source and reader; a new Play needs them again, with the decoded subtype that
    // worked before tried first.
    HRESULT hr = E_FAIL;
    if (m_isAudio) {
      hr = openSource(static_cast<DWORD>(m_streamIndex), "StreamInt");
      if (SUCCEEDED(hr)) {
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFAttributes> attributes;
        hr = MFCreateAttributes(&attributes, 1);
        if (SUCCEEDED(hr)) attributes->SetUINT32(MF_LOW_LATENCY, 1);
        if (SUCCEEDED(hr)) hr = m_pSource->QueryInterface(IID_PPV_ARGS(&source));
        if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &m_pReader);
        if (SUCCEEDED(hr)) hr = m_pReader->SetCurrentMediaType(0, nullptr, m_pDecodedType.Get());
      }
    } else {
      if (m_acceptedSubtype != GUID_NULL) m_decodedSubtypes.insert(m_decodedSubtypes.begin(), m_acceptedSubtype);
      if (m_pMFColorConverter) {
        m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
        m_pMFColorConverter.Reset();
      }
      hr = createReader();
    }
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::start: stream %d reader re-creation failed 0x%X", m_streamIndex,
                     (unsigned)hr);
      releaseReader();
      return;
    }
  }
  m_pullingThread.reset(new std::thread(&StreamInt::pullingRoutine, this));
  m_renderingThread.reset(new std::thread(&StreamInt::renderingRoutine, this));
}

void DxPlayer::StreamInt::stop() {
  if (m_pullingThread) {
    // The thread ends after its current ReadSample returns, that is, once the host delivers.
    m_pullingThread->join();
    m_pullingThread.reset();
  }
  // The rendering thread may be presenting its last frame right now: join it before the black
  // frame, or that frame lands on top of it.
  if (m_renderingThread) {
    m_renderingThread->join();
    m_renderingThread.reset();
  }
  if (m_active && !m_isAudio && m_pDx11Renderer) presentBlackFrame();
  releaseReader();
  CriticalSectionGuard guard(&m_lock);
  for (IMFSample* sample : m_queue) sample->Release();
  m_queue.clear();
}

void DxPlayer::StreamInt::presentBlackFrame() {
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
  ZeroMemory(data, maxLength);
  buffer->SetCurrentLength(maxLength);
  buffer->Unlock();
  const int64_t base = m_baseLocalTime;
  sample->SetSampleTime(base == kUnsetTime ? 0 : Pacing::SaturatingSub(elapsedTime(10000000), base));
  sample->SetSampleDuration(kBlackFrameDuration);
  UINT interlaceMode = MFVideoInterlace_Progressive;
  BOOL deviceChanged = FALSE, processAgain = FALSE;
  ComPtr<IMFSample> output;
  if (SUCCEEDED(m_pDx11Renderer->ProcessFrame(m_pMediaType.Get(), sample.Get(), &interlaceMode, &deviceChanged,
                                              &processAgain, &output))) {
    m_pDx11Renderer->PresentFrame();
  }
}

void DxPlayer::StreamInt::pullingRoutine() {
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d pulling thread started", m_streamIndex);
  InitializeComForThread();
  while (m_owner->state() == Started) {
    const int64_t passStart = elapsedTime(10000000);
    DWORD actualIndex = 0, flags = 0;
    LONGLONG timestamp = 0;
    ComPtr<IMFSample> sample;
    HRESULT hr = m_pReader->ReadSample(kAnyStream, 0, &actualIndex, &flags, &timestamp, &sample);
    if (hr == E_INVALIDARG) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::Start: ReadSample result E_INVALIDARG, re-creating decoder...");
      releaseReader();
      if (m_pMFColorConverter) {
        m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
        m_pMFColorConverter.Reset();
      }
      if (m_isAudio || FAILED(createReader())) break;
      continue;
    }
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::Start: ReadSample failed 0x%X", (unsigned)hr);
    }
    if (actualIndex != 0) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::pullingRoutine: stream %d unexpected stream index %d", m_streamIndex,
                     (int)actualIndex);
    }
    OnReadSample(hr, actualIndex, flags, timestamp, sample.Get());

    m_waitSum += elapsedTime(10000000) - passStart;
    ++m_waitCount;
    const time_t now = time(nullptr);
    if (now - m_lastWaitReport >= 10) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::pullingRoutine: stream %d average waiting time %lld", m_streamIndex,
                     static_cast<long long>(m_waitSum / m_waitCount));
      m_waitSum = m_waitCount = 0;
      m_lastWaitReport = now;
    }
    if ((flags & MF_SOURCE_READERF_ENDOFSTREAM) || (FAILED(hr) && !sample)) {
      // The host ended the stream (or the reader keeps failing): ReadSample would answer at once
      // forever, so pulling ends here instead of spinning until Stop.
      if (flags & MF_SOURCE_READERF_ENDOFSTREAM) {
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::pullingRoutine: stream %d end of stream", m_streamIndex);
        break;
      }
      Sleep(10);
    }
  }
  CoUninitialize();
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d pulling thread finished", m_streamIndex);
}

STDMETHODIMP DxPlayer::StreamInt::OnReadSample(HRESULT, DWORD, DWORD dwStreamFlags, LONGLONG llTimestamp,
                                               IMFSample* pSample) {
  if (m_owner->state() != Started || !pSample) return S_OK;
  IMFSample* output = nullptr;
  if (m_pMFColorConverter) {
    if (SUCCEEDED(convertSample(pSample, &output)) && output) queueSample(output);
  } else if (m_pAllocator) {
    if (SUCCEEDED(copyToAllocatorSample(pSample, dwStreamFlags, llTimestamp, &output)) && output) queueSample(output);
  } else {
    pSample->AddRef();
    queueSample(pSample);
  }
  return S_OK;
}

HRESULT DxPlayer::StreamInt::convertSample(IMFSample* sample, IMFSample** output) {
  *output = nullptr;
  // A converter that refuses input still holds a frame; one flush and a second try at most.
  for (int attempt = 0; attempt < 2; ++attempt) {
    HRESULT hr = m_pMFColorConverter->ProcessInput(0, sample, 0);
    bool refused = false;
    if (hr == MF_E_NOTACCEPTING) {
      refused = true;
    } else if (FAILED(hr)) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: m_pMFColorConverter->ProcessInput failed 0x%X", (unsigned)hr);
      return hr;
    }

    ComPtr<IMFSample> outSample;
    if (!(m_outputStreamFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES)) {
      if (m_pAllocator) {
        hr = m_pAllocator->AllocateSample(&outSample);
        if (FAILED(hr)) {
          ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: m_pAllocator->AllocateSample failed 0x%X", (unsigned)hr);
          return hr;
        }
      } else {
        hr = MFCreateSample(&outSample);
        if (FAILED(hr)) {
          ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: MFCreateSample failed 0x%X", (unsigned)hr);
          return hr;
        }
        ComPtr<IMFMediaBuffer> buffer;
        hr = MFCreateAlignedMemoryBuffer(m_frameBytes, MF_16_BYTE_ALIGNMENT, &buffer);
        if (FAILED(hr)) {
          ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: MFCreateAlignedMemoryBuffer failed 0x%X", (unsigned)hr);
          return hr;
        }
        hr = outSample->AddBuffer(buffer.Get());
        if (FAILED(hr)) {
          ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: pSample->AddBuffer failed 0x%X", (unsigned)hr);
          return hr;
        }
      }
    }

    MFT_OUTPUT_DATA_BUFFER outputBuffer = {};
    outputBuffer.dwStreamID = 0;
    outputBuffer.pSample = outSample.Get();
    DWORD status = 0;
    hr = m_pMFColorConverter->ProcessOutput(0, 1, &outputBuffer, &status);
    if (outputBuffer.pEvents) outputBuffer.pEvents->Release();
    if (m_outputStreamFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) outSample = AdoptRef(outputBuffer.pSample);
    if (SUCCEEDED(hr) && outSample) {
      *output = outSample.Detach();
      return S_OK;
    }
    if (hr != MF_E_TRANSFORM_NEED_MORE_INPUT && hr != E_INVALIDARG) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: m_pMFColorConverter->ProcessOutput failed 0x%X", (unsigned)hr);
    }
    if (!refused) return FAILED(hr) ? hr : E_FAIL;
    m_pMFColorConverter->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  }
  return MF_E_NOTACCEPTING;
}

HRESULT DxPlayer::StreamInt::copyToAllocatorSample(IMFSample* sample, DWORD streamFlags, LONGLONG timestamp,
                                                   IMFSample** output) {
  *output = nullptr;
  ComPtr<IMFSample> copy;
  HRESULT hr = m_pAllocator->AllocateSample(&copy);
  if (hr == MF_E_NOT_INITIALIZED) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: allocator has been re-created");
    requestAllocator();
    return hr;
  }
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: m_pAllocator->AllocateSample failed 0x%X", (unsigned)hr);
    return hr;
  }
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
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::OnReadSample: CopySample failed 0x%X", (unsigned)hr);
    return hr;
  }
  *output = copy.Detach();
  return S_OK;
}

void DxPlayer::StreamInt::renderingRoutine() {
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering thread started", m_streamIndex);
  InitializeComForThread();
  time_t lastQueueReport = time(nullptr);
  int64_t lastFlush = elapsedTime(10000000);
  RenderPacer pacer;
  TimestampSynchronizer* sync = m_owner->synchronizer();

  while (m_owner->state() == Started) {
    if (m_renderingStrategy == RenderingStrategy::LowLatency && Pacing::IsFlushDue(elapsedTime(10000000), lastFlush)) {
      m_owner->flush();
      lastFlush = elapsedTime(10000000);
    }

    IMFSample* sample = nullptr;
    size_t queued = 0;
    ComPtr<IMFMediaType> presentationType;
    {
      CriticalSectionGuard guard(&m_lock);
      if (m_queue.size() > 1 && !pacer.synchronised()) {
        // Before an agreement only the newest sample matters: that is where playback will start.
        while (m_queue.size() > 1) {
          m_queue.front()->Release();
          m_queue.pop_front();
        }
      }
      queued = m_queue.size();
      presentationType = m_pMediaType;
      if (!m_queue.empty()) {
        sample = m_queue.front();
        m_queue.pop_front();
      }
    }
    if (!sample) {
      Sleep(1);
      continue;
    }
    // The queue's reference moves into the holder.
    ComPtr<IMFSample> holder = AdoptRef(sample);

    LONGLONG sampleTime = 0;
    if (FAILED(sample->GetSampleTime(&sampleTime))) sampleTime = 0;
    int64_t startLocalTime = kUnsetTime;
    const int64_t agreed = sync ? sync->GetStartStreamTime(m_syncIndex, sampleTime, &startLocalTime) : kUnsetTime;
    const RenderPacer::Decision decision = pacer.onSample(sampleTime, agreed, startLocalTime, elapsedTime(10000000));
    m_baseLocalTime = pacer.baseLocalTime();
    if (decision.startTimeAdopted) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d playback start time resync", m_streamIndex);
    }
    if (decision.newAgreement) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d received base timestamp %lld current timestamp "
                     "%lld",
                     m_streamIndex, static_cast<long long>(pacer.baseTimestamp()),
                     static_cast<long long>(pacer.baseLocalTime()));
    }
    if (decision.step == RenderPacer::Step::Drop) continue;
    if (decision.step == RenderPacer::Step::TimestampGap) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d too big timestamp gap, last %lld current %lld "
                     "gap %lld, resynchronizing...",
                     m_streamIndex, static_cast<long long>(decision.last), static_cast<long long>(sampleTime),
                     static_cast<long long>(Pacing::SaturatingSub(sampleTime, decision.last)));
      sync->Reset();
      continue;
    }
    if (decision.step == RenderPacer::Step::PlaybackGap) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d too big playback gap, playback time %lld "
                     "presentation time %lld gap %lld, resynchronizing...",
                     m_streamIndex, static_cast<long long>(decision.playback),
                     static_cast<long long>(decision.presentation),
                     static_cast<long long>(Pacing::SaturatingSub(decision.playback, decision.presentation)));
      sync->Reset();
      continue;
    }

    bool frameReady = false;
    if (!m_isAudio && m_pDx11Renderer) {
      UINT interlaceMode = MFVideoInterlace_Progressive;
      BOOL deviceChanged = FALSE, processAgain = FALSE;
      ComPtr<IMFSample> output;
      const HRESULT hr = m_pDx11Renderer->ProcessFrame(presentationType.Get(), sample, &interlaceMode, &deviceChanged,
                                                       &processAgain, &output);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d ProcessFrame failed 0x%X", m_streamIndex,
                       (unsigned)hr);
      } else {
        frameReady = true;
      }
    }

    const int64_t playback = pacer.playbackAt(elapsedTime(10000000));
    // Audio goes to the endpoint a little ahead of its time: written exactly when due, the shared
    // buffer runs dry at the slightest jitter and the tone breaks up.
    const int64_t due = m_isAudio ? Pacing::SaturatingSub(decision.presentation, Pacing::kAudioLead)
                                  : decision.presentation;
    const int64_t waitMs = Pacing::WaitMilliseconds(due, playback);
    if (waitMs > 0) {
      // Waits in short slices so that Stop never waits for a frame scheduled far ahead.
      const int64_t wakeAt = elapsedTime(10000000) + waitMs * 10000;
      for (int64_t left = waitMs; left > 0 && m_owner->state() == Started;
           left = (wakeAt - elapsedTime(10000000)) / 10000) {
        Sleep(static_cast<DWORD>(std::min<int64_t>(left, 20)));
      }
    } else {
      const int64_t shift = Pacing::StartTimeShift(m_renderingStrategy, playback, due);
      if (shift > 0) {
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d big playback jitter %lld, resync local "
                       "playback time...",
                       m_streamIndex, static_cast<long long>(shift));
        sync->ShiftStartLocalTime(shift);
      }
    }

    if (frameReady) {
      const HRESULT hr = m_pDx11Renderer->PresentFrame();
      if (PresentObserver observer = g_presentObserver.load()) observer(m_streamIndex, sampleTime, elapsedTime(10000000));
      if (hr != S_OK) {
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d PresentFrame failed 0x%X", m_streamIndex,
                       (unsigned)hr);
      }
    }
    if (m_isAudio && m_pAudioRenderer) {
      const double volume = m_requestedVolume.load();
      if (Pacing::ShouldApplyLevel(m_appliedVolume, volume)) {
        m_appliedVolume = volume;
        m_pAudioRenderer->SetVolume(volume);
      }
      const double balance = m_requestedBalance.load();
      if (Pacing::ShouldApplyLevel(m_appliedBalance, balance)) {
        m_appliedBalance = balance;
        m_pAudioRenderer->SetBalance(balance);
      }
      const HRESULT hr = m_pAudioRenderer->Render(sample);
      if (hr != S_OK) {
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d sound render failed 0x%X", m_streamIndex,
                       (unsigned)hr);
      }
    }

    const time_t now = time(nullptr);
    if (now - lastQueueReport >= 10) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering queue size %d", m_streamIndex,
                     static_cast<int>(queued));
      lastQueueReport = now;
    }
    pacer.presented(sampleTime);
  }
  CoUninitialize();
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering thread finished", m_streamIndex);
}

}  // namespace Media
}  // namespace ORVO
