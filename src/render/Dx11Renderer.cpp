#include "render/Dx11Renderer.h"

#include <d3d10.h>
#include <mferror.h>

#include <new>

#include "common/Guids.h"
#include "log/Log.h"
#include "render/CMonitorArray.h"
#include "render/CompatibilityPresenter.h"
#include "render/VideoGeometry.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

// {437DDFE8-FD42-4A83-B8D2-CC35D59F9948}
const GUID Dx11Renderer::kUninitializedAllocatorService = {
    0x437ddfe8, 0xfd42, 0x4a83, {0xb8, 0xd2, 0xcc, 0x35, 0xd5, 0x9f, 0x99, 0x48}};

namespace {

// MF_XVP_PLAYBACK_MODE {3C5D293F-AD67-4E29-AF12-CF3E238ACCE9}
const GUID kMF_XVP_PLAYBACK_MODE = {0x3c5d293f, 0xad67, 0x4e29, {0xaf, 0x12, 0xcf, 0x3e, 0x23, 0x8a, 0xcc, 0xe9}};
// MF_ENABLE_3DVIDEO_OUTPUT {BDAD7BCA-0E9F-4B10-AB16-26DE381B6293}
const GUID kMF_ENABLE_3DVIDEO_OUTPUT = {0xbdad7bca, 0x0e9f, 0x4b10, {0xab, 0x16, 0x26, 0xde, 0x38, 0x1b, 0x62, 0x93}};

constexpr UINT kDriverTypeWrapper = 5;

class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION* lock) : m_lock(lock) { EnterCriticalSection(m_lock); }
  ~CriticalSectionGuard() { LeaveCriticalSection(m_lock); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CRITICAL_SECTION* m_lock;
};

HRESULT DefaultCheckVideoSupport(ID3D11Device* device) {
  ComPtr<ID3D11VideoDevice> video;
  return device->QueryInterface(IID_PPV_ARGS(&video));
}

Dx11DevicePlatform g_devicePlatform = DefaultDx11DevicePlatform();

// Process-wide state shared by every renderer. The composition lock is taken inside a renderer's
// lock and guards the shared composition objects and the visual count only.
struct CompositionShared {
  CRITICAL_SECTION lock;
  IDCompositionDevice* device = nullptr;
  IDCompositionTarget* target = nullptr;
  IDCompositionVisual* rootVisual = nullptr;
  UINT visualCount = 0;
  CompositionShared() { InitializeCriticalSection(&lock); }
};

CompositionShared& Composition() {
  static CompositionShared shared;
  return shared;
}

// The creation mode and frame counter are process-wide and deliberately unlocked; atomics keep the
// unsynchronised access well defined.
std::atomic<UINT> g_deviceCreationMode{1};
std::atomic<UINT> g_frameCounter{0};

// DirectComposition is loaded on first use so that the library loads where dcomp.dll is absent.
typedef HRESULT(WINAPI* DCompositionCreateDeviceFn)(IDXGIDevice*, REFIID, void**);
DCompositionCreateDeviceFn LoadDCompositionCreateDevice() {
  static DCompositionCreateDeviceFn fn = [] {
    HMODULE module = LoadLibraryW(L"dcomp.dll");
    if (module == nullptr) return static_cast<DCompositionCreateDeviceFn>(nullptr);
    return reinterpret_cast<DCompositionCreateDeviceFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DCompositionCreateDevice")));
  }();
  return fn;
}

template <typename T>
void SafeRelease(T*& p) {
  if (p != nullptr) {
    p->Release();
    p = nullptr;
  }
}

}  // namespace

Dx11DevicePlatform DefaultDx11DevicePlatform() {
  Dx11DevicePlatform platform;
  platform.createDevice = ::D3D11CreateDevice;
  platform.checkVideoSupport = DefaultCheckVideoSupport;
  return platform;
}

Dx11DevicePlatform SetDx11DevicePlatform(const Dx11DevicePlatform& platform) {
  Dx11DevicePlatform previous = g_devicePlatform;
  g_devicePlatform = platform;
  return previous;
}

Dx11Renderer::Dx11Renderer() : Dx11Renderer(Options()) {}

Dx11Renderer::Dx11Renderer(const Options& options)
    : m_recreationPeriod(options.recreationPeriod), m_useXVP(options.useXVP), m_useDComp(options.useDComp) {
  InitializeCriticalSection(&m_lock);
}

Dx11Renderer::~Dx11Renderer() {
  // A renderer released without Shutdown must still leave the shared composition tree.
  releaseCompositionVisual();
  delete m_pMonitors;
  m_pMonitors = nullptr;
  DeleteCriticalSection(&m_lock);
}

// --- IUnknown ---------------------------------------------------------------------------------

STDMETHODIMP Dx11Renderer::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFVideoDisplayControl)) {
    *ppv = static_cast<IMFVideoDisplayControl*>(this);
  } else if (riid == __uuidof(IMFGetService)) {
    *ppv = static_cast<IMFGetService*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) Dx11Renderer::AddRef() { return ++m_refCount; }

STDMETHODIMP_(ULONG) Dx11Renderer::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

// --- IMFVideoDisplayControl -------------------------------------------------------------------

STDMETHODIMP Dx11Renderer::GetNativeVideoSize(SIZE*, SIZE*) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::GetIdealVideoSize(SIZE*, SIZE*) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::SetVideoPosition(const MFVideoNormalizedRect*, const LPRECT) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::GetVideoPosition(MFVideoNormalizedRect*, LPRECT) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::SetAspectRatioMode(DWORD) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::GetAspectRatioMode(DWORD*) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::GetVideoWindow(HWND*) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::RepaintVideo() { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::GetCurrentImage(BITMAPINFOHEADER*, BYTE**, DWORD*, LONGLONG*) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::SetBorderColor(COLORREF) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::GetBorderColor(COLORREF*) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::SetRenderingPrefs(DWORD) { return E_NOTIMPL; }
STDMETHODIMP Dx11Renderer::GetRenderingPrefs(DWORD*) { return E_NOTIMPL; }

STDMETHODIMP Dx11Renderer::SetVideoWindow(HWND hwndVideo) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (!IsWindow(hwndVideo)) return E_INVALIDARG;

  delete m_pMonitors;
  m_pCurrentMonitor = nullptr;
  m_pMonitors = new (std::nothrow) CMonitorArray();
  if (m_pMonitors == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = SetVideoMonitor(hwndVideo);
  if (FAILED(hr)) return hr;
  m_hwndVideo = hwndVideo;

  hr = CreateDXGIManagerAndDevice(D3D_DRIVER_TYPE_HARDWARE);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetVideoWindow[%p]: CreateDXGIManagerAndDevice failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  // A second call brings a new device and maybe a new window: nothing of the old ones may be
  // drawn into again.
  m_pDX11VideoDevice.Reset();
  m_pVideoProcessorEnum.Reset();
  m_pVideoProcessor.Reset();
  m_pSwapChain1.Reset();
  // Compatibility presentation has no device manager for the transform to work on.
  if (m_useXVP && !m_compatibility) return CreateXVP();
  return S_OK;
}

STDMETHODIMP Dx11Renderer::SetFullscreen(BOOL fFullscreen) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  m_fullscreen = fFullscreen;
  m_pDX11VideoDevice.Reset();
  m_pVideoProcessorEnum.Reset();
  m_pVideoProcessor.Reset();
  return S_OK;
}

STDMETHODIMP Dx11Renderer::GetFullscreen(BOOL* pfFullscreen) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (pfFullscreen == nullptr) return E_POINTER;
  *pfFullscreen = m_fullscreen;
  return S_OK;
}

// --- IMFGetService ----------------------------------------------------------------------------

STDMETHODIMP Dx11Renderer::GetService(REFGUID guidService, REFIID riid, LPVOID* ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (guidService == ORVO::kMR_VIDEO_RENDER_SERVICE) return QueryInterface(riid, ppvObject);
  if (guidService != ORVO::kMR_VIDEO_ACCELERATION_SERVICE) return MF_E_UNSUPPORTED_SERVICE;

  // The pulling thread asks while the rendering thread may re-create the device: the members
  // read here need the renderer's lock, although COM callers expect GetService to be cheap.
  CriticalSectionGuard guard(&m_lock);
  if (riid == __uuidof(IMFDXGIDeviceManager)) {
    if (!m_pDXGIManager) return E_NOINTERFACE;
    *ppvObject = m_pDXGIManager.Get();
    m_pDXGIManager->AddRef();
    return S_OK;
  }
  const bool initialise = riid == __uuidof(IMFVideoSampleAllocatorEx);
  if (!initialise && riid != kUninitializedAllocatorService) return E_NOINTERFACE;

  if (m_pSampleAllocator) {
    *ppvObject = m_pSampleAllocator.Get();
    m_pSampleAllocator->AddRef();
    return S_OK;
  }
  HRESULT hr = MFCreateVideoSampleAllocatorEx(IID_PPV_ARGS(&m_pSampleAllocator));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: MFCreateVideoSampleAllocatorEx failed 0x%X", this, (unsigned)hr);
    m_pSampleAllocator.Reset();
    return hr;
  }
  if (m_pDXGIManager) {
    hr = m_pSampleAllocator->SetDirectXManager(m_pDXGIManager.Get());
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: SetDirectXManager failed 0x%X", this, (unsigned)hr);
    }
    if (SUCCEEDED(hr) && initialise) {
      ComPtr<IMFAttributes> attributes;
      hr = MFCreateAttributes(&attributes, 3);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: MFCreateAttributes failed 0x%X", this, (unsigned)hr);
      } else {
        HRESULT hrSet = attributes->SetUINT32(MF_SA_D3D11_BINDFLAGS, D3D11_BIND_SHADER_RESOURCE);
        if (FAILED(hrSet)) {
          ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: pMFAttributes2->SetUINT32(MF_SA_D3D11_BINDFLAGS) failed 0x%X",
                         this, (unsigned)hrSet);
        }
        hrSet = attributes->SetUINT32(MF_SA_D3D11_USAGE, D3D11_USAGE_DEFAULT);
        if (FAILED(hrSet)) {
          ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: pMFAttributes2->SetUINT32(MF_SA_D3D11_USAGE) failed 0x%X",
                         this, (unsigned)hrSet);
        }
        hr = attributes->SetUINT32(MF_SA_D3D11_AWARE, 1);
        if (FAILED(hr)) {
          ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: pMFAttributes2->SetUINT32(MF_SA_D3D11_AWARE) failed 0x%X",
                         this, (unsigned)hr);
        } else if (!m_pCurrentMediaType) {
          hr = E_FAIL;
          ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: InitializeSampleAllocatorEx failed 0x%X", this, (unsigned)hr);
        } else {
          hr = m_pSampleAllocator->InitializeSampleAllocatorEx(2, 16, attributes.Get(), m_pCurrentMediaType.Get());
          if (FAILED(hr)) {
            ORVO_LOG_DEBUG("Dx11Renderer::GetService[%p]: InitializeSampleAllocatorEx failed 0x%X", this,
                           (unsigned)hr);
          }
        }
      }
    }
  }
  if (FAILED(hr)) {
    m_pSampleAllocator.Reset();
    return hr;
  }
  *ppvObject = m_pSampleAllocator.Get();
  m_pSampleAllocator->AddRef();
  return S_OK;
}

// --- Engine-facing state queries --------------------------------------------------------------

HRESULT Dx11Renderer::GetDXGIManager(IMFDXGIDeviceManager** ppManager) {
  if (ppManager == nullptr) return E_POINTER;
  CriticalSectionGuard guard(&m_lock);
  *ppManager = m_pDXGIManager.Get();
  if (*ppManager == nullptr) return E_NOINTERFACE;
  (*ppManager)->AddRef();
  return S_OK;
}

bool Dx11Renderer::HasDXGIManager() {
  CriticalSectionGuard guard(&m_lock);
  return m_pDXGIManager != nullptr;
}

bool Dx11Renderer::IsCompatibilityMode() {
  CriticalSectionGuard guard(&m_lock);
  return m_compatibility;
}

Dx11Renderer::DisplayGeometry Dx11Renderer::GetDisplayGeometry() {
  CriticalSectionGuard guard(&m_lock);
  return DisplayGeometry{m_displayArea, m_displayWidth, m_displayHeight, m_frameWidth, m_frameHeight};
}

// --- Device -----------------------------------------------------------------------------------

HRESULT Dx11Renderer::createDevice(D3D_DRIVER_TYPE driverType) {
  static const D3D_FEATURE_LEVEL kLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                              D3D_FEATURE_LEVEL_10_0, D3D_FEATURE_LEVEL_9_3,  D3D_FEATURE_LEVEL_9_2,
                                              D3D_FEATURE_LEVEL_9_1};
  const UINT levelCount = static_cast<UINT>(sizeof(kLevels) / sizeof(kLevels[0]));
  HRESULT hr = E_FAIL;

  if (static_cast<UINT>(driverType) == kDriverTypeWrapper && !m_compatibility) {
    ComPtr<ID3D11Device> real;
    hr = g_devicePlatform.createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, m_creationFlags, kLevels, levelCount,
                                       D3D11_SDK_VERSION, &real, nullptr, nullptr);
    if (FAILED(hr)) {
      ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: D3D11CreateDevice failed 0x%X", this, (unsigned)hr);
      return hr;
    }
    hr = wrapDevice(real.Get(), &m_pD3D11Device);
    if (FAILED(hr) || !m_pD3D11Device) {
      if (SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
      ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: NULL == m_pD3D11Device failed 0x%X", this,
                     (unsigned)hr);
    }
    return hr;
  }

  // Once a machine has shown that it has no video device, a re-creation (new monitor) goes
  // straight to the plain device: the ladder would only fail and log the same way again.
  if (!m_compatibility) {
    for (UINT i = 0; i < levelCount; ++i) {
      hr = g_devicePlatform.createDevice(nullptr, driverType, nullptr, m_creationFlags, &kLevels[i], 1,
                                         D3D11_SDK_VERSION, &m_pD3D11Device, nullptr, nullptr);
      if (FAILED(hr)) {
        ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: D3D11CreateDevice failed 0x%X", this,
                       (unsigned)hr);
        m_pD3D11Device.Reset();
        continue;
      }
      hr = g_devicePlatform.checkVideoSupport(m_pD3D11Device.Get());
      if (FAILED(hr)) {
        ORVO_LOG_ERROR(
            "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pD3D11Device->QueryInterface(ID3D11VideoDevice) failed 0x%X",
            this, (unsigned)hr);
        m_pD3D11Device.Reset();
        continue;
      }
      return S_OK;
    }
  }

  // No level gives a device with the video interface: present without it rather than leave the
  // host's window black.
  const HRESULT ladderResult = hr;
  if (!m_compatibility) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: no device with ID3D11VideoDevice, using "
                   "compatibility presentation",
                   this);
  }
  const UINT plainFlags = (m_creationFlags & ~D3D11_CREATE_DEVICE_VIDEO_SUPPORT) | D3D11_CREATE_DEVICE_BGRA_SUPPORT;
  hr = g_devicePlatform.createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, plainFlags, kLevels, levelCount,
                                     D3D11_SDK_VERSION, &m_pD3D11Device, nullptr, nullptr);
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: D3D11CreateDevice(compatibility) failed 0x%X", this,
                   (unsigned)hr);
    m_pD3D11Device.Reset();
    return m_compatibility ? hr : ladderResult;
  }
  m_compatibility = true;
  return S_OK;
}

HRESULT Dx11Renderer::wrapDevice(ID3D11Device* pInner, ID3D11Device** ppWrapper) {
  // Wrapper mode is reached only through periodic re-creation, which the defaults switch off;
  // until the wrapper exists the renderer reports that it cannot enter that mode.
  (void)pInner;
  *ppWrapper = nullptr;
  return E_NOTIMPL;
}

HRESULT Dx11Renderer::CreateDXGIManagerAndDevice(D3D_DRIVER_TYPE driverType) {
  ORVO_LOG_DEBUG("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: re-initializing Direct3D device...", this);
  m_pD3D11Device.Reset();
  HRESULT hr = createDevice(driverType);
  if (FAILED(hr)) return hr;

  m_pDXGIManager.Reset();
  if (!m_compatibility) {
    hr = MFCreateDXGIDeviceManager(&m_resetToken, &m_pDXGIManager);
    if (FAILED(hr)) {
      ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: MFCreateDXGIDeviceManager failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
    hr = m_pDXGIManager->ResetDevice(m_pD3D11Device.Get(), m_resetToken);
    if (FAILED(hr)) {
      ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pDXGIManager->ResetDevice failed 0x%X", this,
                     (unsigned)hr);
      m_pDXGIManager.Reset();
      return hr;
    }
  }

  if (m_pD3DImmediateContext) {
    m_pD3DImmediateContext->ClearState();
    m_pD3DImmediateContext->Flush();
    m_pD3DImmediateContext.Reset();
  }
  m_pD3D11Device->GetImmediateContext(&m_pD3DImmediateContext);

  ComPtr<ID3D10Multithread> multithread;
  hr = m_pD3DImmediateContext.As(&multithread);
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pD3DImmediateContext->QueryInterface failed 0x%X",
                   this, (unsigned)hr);
    return hr;
  }
  multithread->SetMultithreadProtected(TRUE);

  ComPtr<IDXGIDevice1> dxgiDevice;
  hr = m_pD3D11Device.As(&dxgiDevice);
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pD3D11Device->QueryInterface failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  ComPtr<IDXGIAdapter> tempAdapter;
  hr = dxgiDevice->GetAdapter(&tempAdapter);
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pDXGIDev->GetAdapter failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  ComPtr<IDXGIAdapter1> adapter;
  hr = tempAdapter.As(&adapter);
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pTempAdapter->QueryInterface failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  m_pDXGIFactory2.Reset();
  hr = adapter->GetParent(IID_PPV_ARGS(&m_pDXGIFactory2));
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pAdapter->GetParent failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  m_pDXGIOutput1.Reset();
  ComPtr<IDXGIOutput> output;
  hr = adapter->EnumOutputs(0, &output);
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pAdapter->EnumOutputs failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = output.As(&m_pDXGIOutput1);
  if (FAILED(hr)) {
    ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pDXGIOutput->QueryInterface failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  if (m_useDComp) {
    hr = CreateDCompDeviceAndVisual();
    if (FAILED(hr)) {
      ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: CreateDCompDeviceAndVisual failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
  }
  if (m_pSampleAllocator) {
    m_pSampleAllocator->UninitializeSampleAllocator();
    m_pSampleAllocator.Reset();
  }
  if (m_pXVP) {
    m_pXVP->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
    m_pXVP.Reset();
    m_pXVPControl.Reset();
    if (m_useXVP && !m_compatibility) {
      hr = CreateXVP();
      if (FAILED(hr)) {
        ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: CreateXVP failed 0x%X", this, (unsigned)hr);
        return hr;
      }
      if (m_pCurrentMediaType) {
        hr = m_pXVP->SetInputType(0, m_pCurrentMediaType.Get(), 0);
        if (FAILED(hr)) {
          ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pXVP->SetInputType failed 0x%X", this,
                         (unsigned)hr);
          return hr;
        }
      }
    }
  }
  if (m_compatibility) {
    m_pCompatPresenter.reset(new (std::nothrow) CompatibilityPresenter());
    if (!m_pCompatPresenter) return E_OUTOFMEMORY;
    hr = m_pCompatPresenter->Initialize(m_pD3D11Device.Get());
    if (FAILED(hr)) {
      ORVO_LOG_ERROR("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: CompatibilityPresenter::Initialize failed 0x%X",
                     this, (unsigned)hr);
      m_pCompatPresenter.reset();
      return hr;
    }
  }
  ORVO_LOG_DEBUG("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: Direct3D device successfully re-initialized", this);
  m_forceRecreation = false;
  return S_OK;
}

HRESULT Dx11Renderer::CreateXVP() {
  m_pXVP.Reset();
  m_pXVPControl.Reset();
  HRESULT hr = CoCreateInstance(kCLSID_VideoProcessorMFT, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&m_pXVP));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::CreateXVP[%p]: CoCreateInstance(CLSID_VideoProcessorMFT) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = m_pXVP->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(m_pDXGIManager.Get()));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::CreateXVP[%p]: m_pXVP->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  ComPtr<IMFAttributes> attributes;
  hr = m_pXVP->GetAttributes(&attributes);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::CreateXVP[%p]: m_pXVP->GetAttributes failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  hr = attributes->SetUINT32(kMF_XVP_PLAYBACK_MODE, 1);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::CreateXVP[%p]: pAttributes->SetUINT32(MF_XVP_PLAYBACK_MODE) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = m_pXVP.As(&m_pXVPControl);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::CreateXVP[%p]: m_pXVP->QueryInterface(IMFVideoProcessorControl) failed 0x%X", this,
                   (unsigned)hr);
  }
  return hr;
}

HRESULT Dx11Renderer::CreateDCompDeviceAndVisual() {
  m_pDCompDevice.Reset();
  m_pDCompTarget.Reset();
  releaseCompositionVisual();

  CompositionShared& shared = Composition();
  CriticalSectionGuard compositionGuard(&shared.lock);
  HRESULT hr = S_OK;
  if (shared.device == nullptr) {
    DCompositionCreateDeviceFn create = LoadDCompositionCreateDevice();
    if (create == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    ComPtr<IDXGIDevice> dxgiDevice;
    hr = m_pD3D11Device.As(&dxgiDevice);
    if (FAILED(hr)) return hr;
    hr = create(dxgiDevice.Get(), __uuidof(IDCompositionDevice), reinterpret_cast<void**>(&shared.device));
    if (FAILED(hr)) return hr;
    hr = shared.device->CreateTargetForHwnd(m_hwndVideo, TRUE, &shared.target);
    if (SUCCEEDED(hr)) hr = shared.device->CreateVisual(&shared.rootVisual);
    if (SUCCEEDED(hr)) hr = shared.target->SetRoot(shared.rootVisual);
    if (FAILED(hr)) {
      SafeRelease(shared.rootVisual);
      SafeRelease(shared.target);
      SafeRelease(shared.device);
      return hr;
    }
  }
  m_pDCompDevice = shared.device;
  m_pDCompTarget = shared.target;
  hr = m_pDCompDevice->CreateVisual(&m_pRootVisual);
  if (FAILED(hr)) return hr;
  hr = shared.rootVisual->AddVisual(m_pRootVisual.Get(), TRUE, nullptr);
  if (FAILED(hr)) {
    m_pRootVisual.Reset();
    return hr;
  }
  if (m_videoRectSet) {
    m_appliedOffsetX = m_videoRect.left;
    m_appliedOffsetY = m_videoRect.top;
    m_pRootVisual->SetOffsetX(static_cast<float>(m_videoRect.left));
    m_pRootVisual->SetOffsetY(static_cast<float>(m_videoRect.top));
  }
  ++shared.visualCount;
  return S_OK;
}

void Dx11Renderer::releaseCompositionVisual() {
  CompositionShared& shared = Composition();
  if (!m_pRootVisual) return;
  CriticalSectionGuard compositionGuard(&shared.lock);
  if (shared.rootVisual != nullptr) {
    shared.rootVisual->RemoveVisual(m_pRootVisual.Get());
    m_pRootVisual.Reset();
    if (shared.visualCount > 0 && --shared.visualCount == 0) {
      SafeRelease(shared.rootVisual);
      SafeRelease(shared.target);
      SafeRelease(shared.device);
    }
  } else {
    m_pRootVisual.Reset();
  }
}

HRESULT Dx11Renderer::UpdateDXGISwapChain() {
  DXGI_SWAP_CHAIN_DESC1 desc = {};
  desc.Width = static_cast<UINT>(m_targetRect.right);
  desc.Height = static_cast<UINT>(m_targetRect.bottom);
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.Stereo = m_stereoEnabled;
  desc.SampleDesc.Count = 1;
  desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT | DXGI_USAGE_BACK_BUFFER;
  desc.BufferCount = 4;
  desc.Scaling = DXGI_SCALING_STRETCH;
  desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL;
  desc.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
  desc.Flags = m_stereoEnabled ? DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH : 0;

  HRESULT hr;
  if (!m_pDXGIFactory2 || !m_pD3D11Device) {
    hr = MF_E_NOT_INITIALIZED;
    ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDXGIFactory2 != NULL failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  if (m_pSwapChain1) {
    hr = m_pSwapChain1->ResizeBuffers(4, desc.Width, desc.Height, DXGI_FORMAT_B8G8R8A8_UNORM, desc.Flags);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_pSwapChain1->ResizeBuffers failed 0x%X", this,
                     (unsigned)hr);
    }
    return hr;
  }
  if (m_useDComp) {
    hr = m_pDXGIFactory2->CreateSwapChainForComposition(m_pD3D11Device.Get(), &desc, nullptr, &m_pSwapChain1);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDXGIFactory2->CreateSwapChainForComposition failed 0x%X",
                     this, (unsigned)hr);
      return hr;
    }
    hr = m_pRootVisual ? m_pRootVisual->SetContent(m_pSwapChain1.Get()) : E_POINTER;
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_pRootVisual->SetContent failed 0x%X", this, (unsigned)hr);
      return hr;
    }
    hr = m_pDCompDevice->Commit();
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDCompDevice->Commit failed 0x%X", this, (unsigned)hr);
    }
    return hr;
  }
  if (m_hwndVideo != nullptr) {
    hr = m_pDXGIFactory2->CreateSwapChainForHwnd(m_pD3D11Device.Get(), m_hwndVideo, &desc, nullptr, nullptr,
                                                 &m_pSwapChain1);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDXGIFactory2->CreateSwapChainForHwnd failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
    if (m_fullscreen) {
      hr = m_pSwapChain1->SetFullscreenState(TRUE, nullptr);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_pSwapChain1->SetFullscreenState failed 0x%X", this,
                       (unsigned)hr);
      }
    }
    return hr;
  }
  hr = E_INVALIDARG;
  ORVO_LOG_DEBUG("Dx11Renderer::UpdateDXGISwapChain[%p]: m_hwndVideo != 0 failed 0x%X", this, (unsigned)hr);
  return hr;
}

// --- Monitor ----------------------------------------------------------------------------------

HRESULT Dx11Renderer::SetVideoMonitor(HWND hwnd) {
  CriticalSectionGuard guard(&m_lock);
  HRESULT hr;
  if (m_pMonitors == nullptr) {
    hr = E_UNEXPECTED;
    ORVO_LOG_DEBUG("Dx11Renderer::SetVideoMonitor[%p]: !m_pMonitors failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  HMONITOR monitor = CurrentDisplayApi().monitorFromWindow(hwnd, MONITOR_DEFAULTTONULL);
  if (monitor == nullptr) {
    hr = E_POINTER;
    ORVO_LOG_DEBUG("Dx11Renderer::SetVideoMonitor[%p]: NULL != hMon failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  m_pMonitors->TerminateDisplaySystem();
  m_pCurrentMonitor = nullptr;
  hr = m_pMonitors->InitializeDisplaySystem(hwnd);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetVideoMonitor[%p]: m_pMonitors->InitializeDisplaySystem failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  const MonitorEntry* entry = m_pMonitors->FindMonitor(monitor);
  if (entry == nullptr || entry->index == m_currentMonitorIndex) return hr;

  UINT position = 0;
  HRESULT hrMatch = m_pMonitors->MatchGUID(entry->index, &position);
  if (FAILED(hrMatch)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetMonitor[%p]: m_pMonitors->MatchGUID#1 failed 0x%X", this, (unsigned)hrMatch);
    return hrMatch;
  }
  if (hrMatch != S_OK) {
    hr = E_INVALIDARG;
    ORVO_LOG_DEBUG("Dx11Renderer::SetMonitor[%p]: m_pMonitors->MatchGUID#2 failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  m_pCurrentMonitor = &m_pMonitors->entry(position);
  m_currentMonitorIndex = entry->index;
  return S_FALSE;
}

// --- Media type -------------------------------------------------------------------------------

HRESULT Dx11Renderer::GetVideoDisplayArea(IMFMediaType* pType, MFVideoArea* pArea) {
  UINT32 width = 0, height = 0;
  HRESULT hr = MFGetAttributeSize(pType, MF_MT_FRAME_SIZE, &width, &height);
  if (FAILED(hr)) return hr;
  if (width != m_frameWidth || height != m_frameHeight) {
    m_pVideoProcessorEnum.Reset();
    m_pVideoProcessor.Reset();
    m_pSwapChain1.Reset();
    m_frameWidth = width;
    m_frameHeight = height;
  }
  const GUID* apertures[3];
  int count = 0;
  if (MFGetAttributeUINT32(pType, MF_MT_PAN_SCAN_ENABLED, 0) != 0) apertures[count++] = &MF_MT_PAN_SCAN_APERTURE;
  apertures[count++] = &MF_MT_MINIMUM_DISPLAY_APERTURE;
  apertures[count++] = &MF_MT_GEOMETRIC_APERTURE;
  for (int i = 0; i < count; ++i) {
    MFVideoArea area = {};
    UINT32 size = 0;
    hr = pType->GetBlob(*apertures[i], reinterpret_cast<UINT8*>(&area), sizeof(area), &size);
    if (hr == MF_E_ATTRIBUTENOTFOUND) continue;
    // A shorter blob "succeeds" and would leave part of the area unset.
    if (SUCCEEDED(hr) && size != sizeof(area)) hr = MF_E_INVALIDMEDIATYPE;
    if (SUCCEEDED(hr)) *pArea = area;
    return hr;
  }
  *pArea = {};
  pArea->Area.cx = static_cast<LONG>(width);
  pArea->Area.cy = static_cast<LONG>(height);
  return S_OK;
}

HRESULT Dx11Renderer::applyMediaType(IMFMediaType* pType, bool setXVPInput) {
  ComPtr<IMFAttributes> attributes;
  HRESULT hr = pType->QueryInterface(IID_PPV_ARGS(&attributes));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetCurrentMediaType[%p]: pMediaType->QueryInterface(IMFAttributes) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  UINT32 video3D = 0;
  if (SUCCEEDED(attributes->GetUINT32(MF_MT_VIDEO_3D, &video3D))) {
    UINT32 format = 0;
    hr = attributes->GetUINT32(MF_MT_VIDEO_3D_FORMAT, &format);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::SetCurrentMediaType[%p]: GetUINT32(MF_MT_VIDEO_3D_FORMAT) failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
    m_video3D = video3D;
    m_video3DFormat = format;
  }
  m_displayArea = {};
  UINT32 parNumerator = 1, parDenominator = 1;
  if (FAILED(MFGetAttributeRatio(pType, MF_MT_PIXEL_ASPECT_RATIO, &parNumerator, &parDenominator))) {
    parNumerator = parDenominator = 1;
  }
  MFVideoArea area = {};
  hr = GetVideoDisplayArea(pType, &area);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetCurrentMediaType[%p]: GetVideoDisplayArea failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  m_displayArea = AreaToRect(area);
  DisplaySize size = ComputeDisplaySize(static_cast<UINT>(area.Area.cx), static_cast<UINT>(area.Area.cy), parNumerator,
                                        parDenominator);
  m_displayWidth = size.width;
  m_displayHeight = size.height;
  if (setXVPInput && m_useXVP && m_pXVP) {
    hr = m_pXVP->SetInputType(0, pType, 0);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::SetCurrentMediaType[%p]: m_pXVP->SetInputType failed 0x%X", this, (unsigned)hr);
      return hr;
    }
  }
  m_pCurrentMediaType = pType;
  return S_OK;
}

HRESULT Dx11Renderer::SetCurrentMediaType(IMFMediaType* pMediaType) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (pMediaType == nullptr) return E_POINTER;
  return applyMediaType(pMediaType, true);
}

HRESULT Dx11Renderer::SetVideoRect(const RECT* pRect) {
  CriticalSectionGuard guard(&m_lock);
  if (pRect == nullptr) return S_OK;
  m_videoRectSet = true;
  m_videoRect = *pRect;
  return S_OK;
}

bool Dx11Renderer::isWindowTargetEmpty(RECT* target) {
  if (m_videoRectSet) {
    *target = {0, 0, m_videoRect.right - m_videoRect.left, m_videoRect.bottom - m_videoRect.top};
  } else if (!GetClientRect(m_hwndVideo, target)) {
    *target = {};
  }
  return target->right - target->left < 1 || target->bottom - target->top < 1;
}

// --- Frames -----------------------------------------------------------------------------------

HRESULT Dx11Renderer::ProcessFrame(IMFMediaType* pCurrentType, IMFSample* pSample, UINT* punInterlaceMode,
                                   BOOL* pbDeviceChanged, BOOL* pbProcessAgain, IMFSample** ppOutputSample) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  HRESULT hr;
  if (punInterlaceMode == nullptr || pCurrentType == nullptr || pSample == nullptr || pbDeviceChanged == nullptr ||
      pbProcessAgain == nullptr) {
    hr = E_POINTER;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: punInterlaceMode == NULL || pCurrentType == NULL || pSample == NULL "
                   "|| pbDeviceChanged == NULL || pbProcessAgain == NULL failed 0x%X",
                   this, (unsigned)hr);
    return hr;
  }
  if (ppOutputSample != nullptr) *ppOutputSample = nullptr;
  *pbProcessAgain = FALSE;
  *pbDeviceChanged = FALSE;

  DWORD bufferCount = 0;
  hr = pSample->GetBufferCount(&bufferCount);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferCount failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  ComPtr<IMFMediaBuffer> buffer, evBuffer;
  if (bufferCount == 1) {
    hr = pSample->GetBufferByIndex(0, &buffer);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferByIndex#1 failed 0x%X", this, (unsigned)hr);
      return hr;
    }
  } else if (bufferCount == 2 && m_video3D != 0 && m_video3DFormat != 0) {
    hr = pSample->GetBufferByIndex(0, &buffer);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferByIndex#2 failed 0x%X", this, (unsigned)hr);
      return hr;
    }
    hr = pSample->GetBufferByIndex(1, &evBuffer);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pSample->GetBufferByIndex#3 failed 0x%X", this, (unsigned)hr);
      return hr;
    }
  } else {
    hr = pSample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pSample->ConvertToContiguousBuffer failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
  }

  hr = SetVideoMonitor(m_hwndVideo);
  if (FAILED(hr)) return hr;
  const bool monitorChanged = hr == S_FALSE;
  hr = S_OK;

  const RecreationReason reason = DeviceRecreationReason(m_pD3D11Device != nullptr, monitorChanged, m_forceRecreation,
                                                         m_recreationPeriod, g_frameCounter.load());
  if (reason != RecreationReason::None) {
    const UINT mode = NextDeviceCreationMode(reason, g_deviceCreationMode.load());
    g_deviceCreationMode = mode;
    hr = CreateDXGIManagerAndDevice(static_cast<D3D_DRIVER_TYPE>(mode));
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: CreateDXGIManagerAndDevice failed 0x%X", this, (unsigned)hr);
      // A half-built device must not be kept: the trigger (a monitor change) will not repeat, so
      // the next frame tries again.
      m_forceRecreation = true;
      m_pSwapChain1.Reset();
      return hr;
    }
    *pbDeviceChanged = TRUE;
    m_pDX11VideoDevice.Reset();
    m_pVideoProcessorEnum.Reset();
    m_pVideoProcessor.Reset();
    m_pSwapChain1.Reset();
    g_frameCounter = 0;
  }
  if (m_pD3D11Device) ++g_frameCounter;

  RECT target;
  if (isWindowTargetEmpty(&target)) return S_OK;

  if (MFGetAttributeUINT32(pCurrentType, MF_MT_INTERLACE_MODE, 0) == MFVideoInterlace_MixedInterlaceOrProgressive) {
    if (MFGetAttributeUINT32(pSample, MFSampleExtension_Interlaced, 0) == 0) {
      *punInterlaceMode = MFVideoInterlace_Progressive;
    } else if (MFGetAttributeUINT32(pSample, MFSampleExtension_BottomFieldFirst, 0) != 0) {
      *punInterlaceMode = MFVideoInterlace_FieldInterleavedLowerFirst;
    } else {
      *punInterlaceMode = MFVideoInterlace_FieldInterleavedUpperFirst;
    }
  }

  if (m_compatibility) {
    if (!m_pD3D11Device || !m_pD3DImmediateContext || !m_pCompatPresenter) return MF_E_NOT_INITIALIZED;
    hr = processFrameCompatible(pCurrentType, buffer.Get(), target);
    if (SUCCEEDED(hr) && ppOutputSample != nullptr) hr = createRenderTargetSample(ppOutputSample, "ProcessFrame");
    return hr;
  }

  ComPtr<IMFDXGIBuffer> dxgiBuffer;
  hr = buffer.As(&dxgiBuffer);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pBuffer->QueryInterface(IMFDXGIBuffer) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  ComPtr<ID3D11Texture2D> texture;
  hr = dxgiBuffer->GetResource(IID_PPV_ARGS(&texture));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pDXGIBuffer->GetResource(ID3D11Texture2D) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  UINT subresource = 0;
  hr = dxgiBuffer->GetSubresourceIndex(&subresource);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pDXGIBuffer->GetSubresourceIndex failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  ComPtr<ID3D11Texture2D> evTexture;
  UINT evSubresource = 0;
  if (m_video3D != 0 && m_video3DFormat == MFVideo3DSampleFormat_MultiView && evBuffer) {
    ComPtr<IMFDXGIBuffer> evDxgiBuffer;
    hr = evBuffer.As(&evDxgiBuffer);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pEVBuffer->QueryInterface(IMFDXGIBuffer) failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
    hr = evDxgiBuffer->GetResource(IID_PPV_ARGS(&evTexture));
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pEVDXGIBuffer->GetResource(ID3D11Texture2D) failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
    hr = evDxgiBuffer->GetSubresourceIndex(&evSubresource);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pEVDXGIBuffer->GetSubresourceIndex failed 0x%X", this,
                     (unsigned)hr);
      return hr;
    }
  }
  ComPtr<ID3D11Device> textureDevice;
  texture->GetDevice(&textureDevice);
  if (textureDevice.Get() != m_pD3D11Device.Get()) return hr;

  if (m_useXVP) {
    BOOL inputUsed = TRUE;
    hr = ProcessFrameUsingXVP(pCurrentType, pSample, texture.Get(), target, ppOutputSample, &inputUsed);
    if (SUCCEEDED(hr) && !inputUsed) *pbProcessAgain = TRUE;
    return hr;
  }
  ComPtr<IMFSample> output;
  IMFSample** ppPathOutput = ppOutputSample != nullptr ? output.GetAddressOf() : nullptr;
  hr = ProcessFrameUsingD3D11(texture.Get(), evTexture.Get(), subresource, evSubresource, target, *punInterlaceMode,
                              ppPathOutput);
  if (SUCCEEDED(hr) && output) {
    LONGLONG value = 0;
    if (SUCCEEDED(pSample->GetSampleDuration(&value))) output->SetSampleDuration(value);
    if (SUCCEEDED(pSample->GetSampleTime(&value))) output->SetSampleTime(value);
    DWORD flags = 0;
    if (SUCCEEDED(pSample->GetSampleFlags(&flags))) output->SetSampleFlags(flags);
    *ppOutputSample = output.Detach();
  }
  return hr;
}

HRESULT Dx11Renderer::processFrameCompatible(IMFMediaType* pCurrentType, IMFMediaBuffer* pBuffer, const RECT& target) {
  GUID subtype = GUID_NULL;
  pCurrentType->GetGUID(MF_MT_SUBTYPE, &subtype);
  HRESULT hr;
  if (subtype != MFVideoFormat_RGB32 && subtype != MFVideoFormat_ARGB32) {
    hr = MF_E_INVALIDMEDIATYPE;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: compatibility presentation takes RGB32 only, failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  UINT32 width = 0, height = 0;
  hr = MFGetAttributeSize(pCurrentType, MF_MT_FRAME_SIZE, &width, &height);
  if (FAILED(hr) || width == 0 || height == 0) {
    if (SUCCEEDED(hr)) hr = MF_E_INVALIDMEDIATYPE;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: MFGetAttributeSize(MF_MT_FRAME_SIZE) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  // The frame size lives in the type the engine passes with each frame; follow it when it changed
  // without a SetCurrentMediaType.
  if (width != m_frameWidth || height != m_frameHeight || m_pCurrentMediaType.Get() != pCurrentType) {
    hr = applyMediaType(pCurrentType, false);
    if (FAILED(hr)) return hr;
  }
  if (m_displayWidth <= 0 || m_displayHeight <= 0 || m_displayArea.right <= m_displayArea.left ||
      m_displayArea.bottom <= m_displayArea.top) {
    hr = MF_E_INVALIDMEDIATYPE;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: display area of %ux%u failed 0x%X", this, width, height,
                   (unsigned)hr);
    return hr;
  }

  // Lock the pixels: a 2-D buffer knows its own pitch; a plain one follows the type's stride.
  const BYTE* firstRow = nullptr;
  LONG pitch = 0;
  ComPtr<IMF2DBuffer> buffer2D;
  BYTE* data = nullptr;
  bool locked2D = false;
  if (SUCCEEDED(pBuffer->QueryInterface(IID_PPV_ARGS(&buffer2D))) && SUCCEEDED(buffer2D->Lock2D(&data, &pitch))) {
    locked2D = true;
    firstRow = data;
    if (static_cast<ULONG>(pitch < 0 ? -pitch : pitch) < width * 4) {
      buffer2D->Unlock2D();
      hr = MF_E_BUFFERTOOSMALL;
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pitch %ld below width %u failed 0x%X", this, (long)pitch, width,
                     (unsigned)hr);
      return hr;
    }
  } else {
    DWORD maxLength = 0, length = 0;
    hr = pBuffer->Lock(&data, &maxLength, &length);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pBuffer->Lock failed 0x%X", this, (unsigned)hr);
      return hr;
    }
    LONG stride = static_cast<LONG>(width * 4);
    UINT32 typeStride = 0;
    if (SUCCEEDED(pCurrentType->GetUINT32(MF_MT_DEFAULT_STRIDE, &typeStride))) {
      LONG signedStride = static_cast<LONG>(static_cast<INT32>(typeStride));
      LONG magnitude = signedStride < 0 ? -signedStride : signedStride;
      if (magnitude >= stride) stride = signedStride;
    }
    const ULONGLONG rowBytes = static_cast<ULONGLONG>(stride < 0 ? -stride : stride);
    const ULONGLONG needed = rowBytes * (height - 1) + static_cast<ULONGLONG>(width) * 4;
    if (length < needed) {
      pBuffer->Unlock();
      hr = MF_E_BUFFERTOOSMALL;
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: buffer of %lu bytes for %ux%u failed 0x%X", this,
                     (unsigned long)length, width, height, (unsigned)hr);
      return hr;
    }
    firstRow = stride < 0 ? data + rowBytes * (height - 1) : data;
    pitch = stride;
  }
  hr = m_pCompatPresenter->Upload(m_pD3DImmediateContext.Get(), firstRow, pitch, width, height);
  if (locked2D) {
    buffer2D->Unlock2D();
  } else {
    pBuffer->Unlock();
  }
  if (FAILED(hr)) return hr;

  m_sourceRect = {0, 0, m_displayWidth, m_displayHeight};
  RECT source = m_sourceRect;
  const RECT destination = LetterBoxDstRect(&source, target, m_displayArea, m_displayWidth, m_displayHeight);
  const bool targetChanged = !RectEquals(target, m_targetRect);
  m_targetRect = target;
  if (!m_pSwapChain1 || targetChanged) {
    hr = UpdateDXGISwapChain();
    if (FAILED(hr)) return hr;
  }
  ComPtr<ID3D11Texture2D> backBuffer;
  hr = m_pSwapChain1->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: m_pSwapChain1->GetBuffer failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  ComPtr<ID3D11RenderTargetView> view;
  hr = m_pD3D11Device->CreateRenderTargetView(backBuffer.Get(), nullptr, &view);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: CreateRenderTargetView failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  m_framePresented = FALSE;
  return m_pCompatPresenter->Draw(m_pD3DImmediateContext.Get(), view.Get(), source, destination);
}

HRESULT Dx11Renderer::createRenderTargetSample(IMFSample** ppSample, const char* method) {
  *ppSample = nullptr;
  ComPtr<ID3D11Texture2D> backBuffer;
  HRESULT hr = m_pSwapChain1 ? m_pSwapChain1->GetBuffer(0, IID_PPV_ARGS(&backBuffer)) : E_POINTER;
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::%s[%p]: m_pSwapChain1->GetBuffer failed 0x%X", method, this, (unsigned)hr);
    return hr;
  }
  ComPtr<IMFSample> sample;
  hr = MFCreateSample(&sample);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::%s[%p]: MFCreateSample failed 0x%X", method, this, (unsigned)hr);
    return hr;
  }
  ComPtr<IMFMediaBuffer> buffer;
  hr = MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), backBuffer.Get(), 0, FALSE, &buffer);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::%s[%p]: MFCreateDXGISurfaceBuffer#1 failed 0x%X", method, this, (unsigned)hr);
    return hr;
  }
  hr = sample->AddBuffer(buffer.Get());
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::%s[%p]: pRTSample->AddBuffer#1 failed 0x%X", method, this, (unsigned)hr);
    return hr;
  }
  if (m_video3D != 0 && m_video3DFormat != 0 && !m_compatibility) {
    ComPtr<IMFMediaBuffer> right;
    hr = MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), backBuffer.Get(), 1, FALSE, &right);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::%s[%p]: MFCreateDXGISurfaceBuffer#2 failed 0x%X", method, this, (unsigned)hr);
      return hr;
    }
    hr = sample->AddBuffer(right.Get());
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::%s[%p]: pRTSample->AddBuffer#2 failed 0x%X", method, this, (unsigned)hr);
      return hr;
    }
  }
  *ppSample = sample.Detach();
  return S_OK;
}

HRESULT Dx11Renderer::SetXVPOutputMediaType(IMFMediaType* pType, const RECT& target) {
  ComPtr<IMFMediaType> output;
  HRESULT hr = MFCreateMediaType(&output);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetXVPOutputMediaType[%p]: MFCreateMediaType failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  hr = output->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetXVPOutputMediaType[%p]: pMTOutput->SetGUID(MF_MT_MAJOR_TYPE) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = output->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetXVPOutputMediaType[%p]: pMTOutput->SetGUID(MF_MT_SUBTYPE) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = MFSetAttributeSize(output.Get(), MF_MT_FRAME_SIZE, static_cast<UINT32>(target.right - target.left),
                          static_cast<UINT32>(target.bottom - target.top));
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetXVPOutputMediaType[%p]: MFSetAttributeSize(MF_MT_FRAME_SIZE) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  PROPVARIANT value;
  PropVariantInit(&value);
  hr = pType->GetItem(MF_MT_FRAME_RATE, &value);
  if (SUCCEEDED(hr)) hr = output->SetItem(MF_MT_FRAME_RATE, value);
  PropVariantClear(&value);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetXVPOutputMediaType[%p]: CopyAttribute(MF_MT_FRAME_RATE) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = pType->GetItem(MF_MT_PIXEL_ASPECT_RATIO, &value);
  if (SUCCEEDED(hr)) hr = output->SetItem(MF_MT_PIXEL_ASPECT_RATIO, value);
  PropVariantClear(&value);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetXVPOutputMediaType[%p]: CopyAttribute(MF_MT_PIXEL_ASPECT_RATIO) failed 0x%X", this,
                   (unsigned)hr);
    return hr;
  }
  hr = m_pXVP->SetOutputType(0, output.Get(), 0);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::SetXVPOutputMediaType[%p]: m_pXVP->SetOutputType failed 0x%X", this, (unsigned)hr);
  }
  return hr;
}

HRESULT Dx11Renderer::ProcessFrameUsingXVP(IMFMediaType* pCurrentType, IMFSample* pSample, ID3D11Texture2D* pTexture,
                                           const RECT& target, IMFSample** ppOutputSample, BOOL* pbInputUsed) {
  *pbInputUsed = FALSE;
  HRESULT hr = S_OK;
  if (!m_pDX11VideoDevice) {
    hr = m_pD3D11Device.As(&m_pDX11VideoDevice);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pD3D11Device->QueryInterface(ID3D11VideoDevice) failed "
                     "0x%X",
                     this, (unsigned)hr);
      return hr;
    }
  }
  ComPtr<ID3D11VideoContext> videoContext;
  hr = m_pD3DImmediateContext.As(&videoContext);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG(
        "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pD3DImmediateContext->QueryInterface(ID3D11VideoContext) failed 0x%X",
        this, (unsigned)hr);
    return hr;
  }

  RECT previousSource = m_sourceRect;
  const RECT previousDestination =
      LetterBoxDstRect(&previousSource, m_targetRect, m_displayArea, m_displayWidth, m_displayHeight);
  m_targetRect = target;

  D3D11_TEXTURE2D_DESC textureDesc = {};
  pTexture->GetDesc(&textureDesc);
  bool rebuilt = false;
  if (NeedsProcessorRebuild(m_pVideoProcessorEnum != nullptr, m_pSwapChain1 != nullptr, textureDesc.Width,
                            textureDesc.Height, m_frameWidth, m_frameHeight)) {
    m_pVideoProcessorEnum.Reset();
    m_pSwapChain1.Reset();
    m_frameWidth = textureDesc.Width;
    m_frameHeight = textureDesc.Height;
    rebuilt = true;

    D3D11_VIDEO_PROCESSOR_CONTENT_DESC content = {};
    content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST;
    content.InputWidth = textureDesc.Width;
    content.InputHeight = textureDesc.Height;
    content.OutputWidth = textureDesc.Width;
    content.OutputHeight = textureDesc.Height;
    content.Usage = D3D11_VIDEO_USAGE_PLAYBACK_NORMAL;
    hr = m_pDX11VideoDevice->CreateVideoProcessorEnumerator(&content, &m_pVideoProcessorEnum);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pDX11VideoDevice->CreateVideoProcessorEnumerator failed "
                     "0x%X",
                     this, (unsigned)hr);
      return hr;
    }
    m_sourceRect = {0, 0, m_displayWidth, m_displayHeight};
    if (m_video3D != 0) {
      D3D11_VIDEO_PROCESSOR_CAPS caps = {};
      hr = m_pVideoProcessorEnum->GetVideoProcessorCaps(&caps);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pVideoProcessorEnum->GetVideoProcessorCaps failed 0x%X",
                       this, (unsigned)hr);
        return hr;
      }
      if (caps.FeatureCaps & D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_STEREO) m_stereoEnabled = TRUE;
      if (m_fullscreen) {
        DXGI_MODE_DESC1 wanted = {};
        wanted.Width = textureDesc.Width;
        wanted.Height = textureDesc.Height;
        wanted.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        wanted.Stereo = m_stereoEnabled;
        DXGI_MODE_DESC1 found = {};
        hr = m_pDXGIOutput1->FindClosestMatchingMode1(&wanted, &found, m_pD3D11Device.Get());
        if (FAILED(hr)) {
          ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pDXGIOutput1->FindClosestMatchingMode1 failed 0x%X",
                         this, (unsigned)hr);
          return hr;
        }
      }
      ComPtr<IMFAttributes> attributes;
      hr = m_pXVP->GetAttributes(&attributes);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->GetAttributes failed 0x%X", this, (unsigned)hr);
        return hr;
      }
      hr = attributes->SetUINT32(kMF_ENABLE_3DVIDEO_OUTPUT, m_video3DFormat != 0 ? 1 : 0);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: pAttributes->SetUINT32(MF_ENABLE_3DVIDEO_OUTPUT) failed "
                       "0x%X",
                       this, (unsigned)hr);
        return hr;
      }
    }
  }

  RECT source = m_sourceRect;
  const RECT destination = LetterBoxDstRect(&source, m_targetRect, m_displayArea, m_displayWidth, m_displayHeight);
  const TransformUpdate update =
      DecideTransformUpdate(rebuilt, m_pSwapChain1 != nullptr, previousDestination, destination, previousSource, source);
  const bool destinationChanged = update.destinationChanged;
  const bool sourceChanged = update.sourceChanged;
  if (update.updateSwapChain) {
    hr = UpdateDXGISwapChain();
    if (FAILED(hr)) return hr;
  }
  if (update.reconfigure) {
    hr = m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING) "
                     "failed 0x%X",
                     this, (unsigned)hr);
      return hr;
    }
    if (update.setOutputType) {
      hr = SetXVPOutputMediaType(pCurrentType, m_targetRect);
      if (FAILED(hr)) return hr;
    }
    if (destinationChanged) {
      RECT whole = m_targetRect;
      hr = m_pXVPControl->SetDestinationRectangle(&whole);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVPControl->SetDestinationRectangle failed 0x%X",
                       this, (unsigned)hr);
        return hr;
      }
    }
    if (sourceChanged) {
      hr = m_pXVPControl->SetSourceRectangle(&source);
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVPControl->SetSourceRectangle failed 0x%X", this,
                       (unsigned)hr);
        return hr;
      }
    }
    hr = m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING) "
                     "failed 0x%X",
                     this, (unsigned)hr);
      return hr;
    }
  }
  m_framePresented = FALSE;

  ComPtr<IMFSample> renderTarget;
  hr = createRenderTargetSample(&renderTarget, "ProcessFrameUsingXVP");
  if (FAILED(hr)) return hr;

  MFT_OUTPUT_DATA_BUFFER output = {};
  output.dwStreamID = 0;
  output.pSample = renderTarget.Get();
  DWORD status = 0;
  hr = m_pXVP->ProcessOutput(0, 1, &output, &status);
  if (output.pEvents != nullptr) output.pEvents->Release();
  if (hr != MF_E_TRANSFORM_NEED_MORE_INPUT) {
    // The transform still held a frame: it is in the back buffer, the input waits for another call.
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessOutput#1 failed 0x%X", this, (unsigned)hr);
    }
    *pbInputUsed = FALSE;
    if (ppOutputSample != nullptr) *ppOutputSample = renderTarget.Detach();
    return hr;
  }
  hr = m_pXVP->ProcessInput(0, pSample, 0);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessInput failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  *pbInputUsed = TRUE;
  output = {};
  output.pSample = renderTarget.Get();
  hr = m_pXVP->ProcessOutput(0, 1, &output, &status);
  if (output.pEvents != nullptr) output.pEvents->Release();
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessOutput#2 failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  if (ppOutputSample != nullptr) *ppOutputSample = renderTarget.Detach();
  return hr;
}

HRESULT Dx11Renderer::ProcessFrameUsingD3D11(ID3D11Texture2D*, ID3D11Texture2D*, UINT, UINT, const RECT&, UINT,
                                             IMFSample**) {
  // Reached only with Options::useXVP off; the Direct3D 11 video processor path is not built yet.
  HRESULT hr = E_NOTIMPL;
  ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingD3D11[%p]: processing failed 0x%X", this, (unsigned)hr);
  return hr;
}

HRESULT Dx11Renderer::PresentFrame() {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (!m_pSwapChain1) return S_OK;
  RECT target;
  if (isWindowTargetEmpty(&target)) return S_OK;
  HRESULT hr = m_pSwapChain1->Present(0, 0);
  if (SUCCEEDED(hr)) {
    m_framePresented = TRUE;
  } else {
    ORVO_LOG_DEBUG("Dx11Renderer::PresentFrame[%p]: m_pSwapChain1->Present failed 0x%X", this, (unsigned)hr);
  }
  return hr;
}

HRESULT Dx11Renderer::Shutdown() {
  CriticalSectionGuard guard(&m_lock);
  ORVO_LOG_DEBUG("Dx11Renderer::Shutdown[%p]: shutdown called", this);
  m_shutdown = TRUE;
  m_pDXGIManager.Reset();
  m_pDXGIFactory2.Reset();
  m_pCompatPresenter.reset();
  m_pD3D11Device.Reset();
  m_pD3DImmediateContext.Reset();
  m_pDXGIOutput1.Reset();
  if (m_pSampleAllocator) {
    m_pSampleAllocator->UninitializeSampleAllocator();
    m_pSampleAllocator.Reset();
  }
  m_pXVPControl.Reset();
  m_pXVP.Reset();
  m_pDX11VideoDevice.Reset();
  m_pVideoProcessor.Reset();
  m_pVideoProcessorEnum.Reset();
  m_pSwapChain1.Reset();
  m_pCurrentMediaType.Reset();
  m_pDCompDevice.Reset();
  m_pDCompTarget.Reset();
  releaseCompositionVisual();
  return MF_E_SHUTDOWN;
}

}  // namespace MediaFoundation
}  // namespace ORVO
