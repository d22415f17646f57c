#include "render/Dx11Renderer.h"

#include <mferror.h>

#include <new>

#include "common/CriticalSectionGuard.h"
#include "common/Guids.h"
#include "log/Log.h"
#include "render/CompatibilityPresenter.h"
#include "render/D3D11VideoProcessorPath.h"
#include "render/ID3D11DeviceWrapper.h"
#include "render/SystemFrameUpload.h"
#include "render/VideoProcessorTransformPath.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

// {437DDFE8-FD42-4A83-B8D2-CC35D59F9948}
const GUID Dx11Renderer::kUninitializedAllocatorService = {
    0x437ddfe8, 0xfd42, 0x4a83, {0xb8, 0xd2, 0xcc, 0x35, 0xd5, 0x9f, 0x99, 0x48}};

Dx11Renderer::Dx11Renderer() : Dx11Renderer(Options()) {}

Dx11Renderer::Dx11Renderer(const Options& options)
    : m_useDComp(options.useDComp),
      m_device(this),
      m_composition(this),
      m_swapChain(this),
      m_monitors(this),
      m_recreation(options.recreationPeriod),
      m_upload(new SystemFrameUpload(this)),
      m_picture(this) {
  InitializeCriticalSection(&m_lock);
  if (options.useXVP) {
    m_transformPath.reset(new VideoProcessorTransformPath(this, *this));
  } else {
    m_d3d11Path.reset(new D3D11VideoProcessorPath(this, *this));
  }
}

// Members release their objects; the composition visual leaves the shared tree on its own.
Dx11Renderer::~Dx11Renderer() { DeleteCriticalSection(&m_lock); }

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

STDMETHODIMP Dx11Renderer::SetVideoWindow(HWND hwndVideo) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (!IsWindow(hwndVideo)) return E_INVALIDARG;

  HRESULT hr = m_monitors.Reset();
  if (SUCCEEDED(hr)) hr = m_monitors.Update(hwndVideo);
  if (FAILED(hr)) return hr;
  m_hwndVideo = hwndVideo;

  ORVO_RETURN_IF_FAILED(createDevice(D3D_DRIVER_TYPE_HARDWARE),
                        "Dx11Renderer::SetVideoWindow[%p]: CreateDXGIManagerAndDevice", this);
  // A second call brings a new device and maybe a new window: nothing of the old ones may be
  // drawn into again.
  discardVideoProcessor(true);
  m_swapChain.Reset();
  // Compatibility presentation has no device manager for the transform to work on.
  if (!m_transformPath || m_device.compatibility()) return S_OK;
  hr = m_transformPath->Create(m_device.manager());
  if (SUCCEEDED(hr)) return S_OK;
  // The device has the video interface but the platform's transform cannot be built or driven on
  // it (Wine's lacks IMFVideoProcessorControl): the Direct3D 11 path draws on the same device.
  ORVO_LOG_INFO(
      "Dx11Renderer::SetVideoWindow[%p]: video processor transform unusable (0x%X), presenting through the Direct3D "
      "11 video processor",
      this, (unsigned)hr);
  m_transformPath.reset();
  m_d3d11Path.reset(new D3D11VideoProcessorPath(this, *this));
  return S_OK;
}

STDMETHODIMP Dx11Renderer::SetFullscreen(BOOL fFullscreen) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  m_swapChain.SetFullscreen(fFullscreen);
  discardVideoProcessor(true);
  return S_OK;
}

STDMETHODIMP Dx11Renderer::GetFullscreen(BOOL* pfFullscreen) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (pfFullscreen == nullptr) return E_POINTER;
  *pfFullscreen = m_swapChain.fullscreen();
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
    IMFDXGIDeviceManager* manager = m_device.manager();
    if (manager == nullptr) return E_NOINTERFACE;
    manager->AddRef();
    *ppvObject = manager;
    return S_OK;
  }
  const bool initialise = riid == __uuidof(IMFVideoSampleAllocatorEx);
  if (!initialise && riid != kUninitializedAllocatorService) return E_NOINTERFACE;

  if (!m_pSampleAllocator) {
    const HRESULT hr = createAllocator(initialise);
    if (FAILED(hr)) {
      m_pSampleAllocator.Reset();
      return hr;
    }
  }
  *ppvObject = m_pSampleAllocator.Get();
  m_pSampleAllocator->AddRef();
  return S_OK;
}

HRESULT Dx11Renderer::createAllocator(bool initialise) {
  ORVO_RETURN_IF_FAILED(MFCreateVideoSampleAllocatorEx(IID_PPV_ARGS(&m_pSampleAllocator)),
                        "Dx11Renderer::GetService[%p]: MFCreateVideoSampleAllocatorEx", this);
  IMFDXGIDeviceManager* manager = m_device.manager();
  if (manager == nullptr) return S_OK;
  ORVO_RETURN_IF_FAILED(m_pSampleAllocator->SetDirectXManager(manager),
                        "Dx11Renderer::GetService[%p]: SetDirectXManager", this);
  if (!initialise) return S_OK;
  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(MFCreateAttributes(&attributes, 3), "Dx11Renderer::GetService[%p]: MFCreateAttributes", this);
  LogIfFailed(attributes->SetUINT32(MF_SA_D3D11_BINDFLAGS, D3D11_BIND_SHADER_RESOURCE),
              "Dx11Renderer::GetService[%p]: pMFAttributes2->SetUINT32(MF_SA_D3D11_BINDFLAGS)", this);
  LogIfFailed(attributes->SetUINT32(MF_SA_D3D11_USAGE, D3D11_USAGE_DEFAULT),
              "Dx11Renderer::GetService[%p]: pMFAttributes2->SetUINT32(MF_SA_D3D11_USAGE)", this);
  ORVO_RETURN_IF_FAILED(attributes->SetUINT32(MF_SA_D3D11_AWARE, 1),
                        "Dx11Renderer::GetService[%p]: pMFAttributes2->SetUINT32(MF_SA_D3D11_AWARE)", this);
  const HRESULT hr = m_pCurrentMediaType ? m_pSampleAllocator->InitializeSampleAllocatorEx(2, 16, attributes.Get(),
                                                                                           m_pCurrentMediaType.Get())
                                         : E_FAIL;
  LogIfFailed(hr, "Dx11Renderer::GetService[%p]: InitializeSampleAllocatorEx", this);
  return hr;
}

// --- Engine-facing state queries --------------------------------------------------------------

HRESULT Dx11Renderer::GetDXGIManager(IMFDXGIDeviceManager** ppManager) {
  if (ppManager == nullptr) return E_POINTER;
  CriticalSectionGuard guard(&m_lock);
  *ppManager = m_device.manager();
  if (*ppManager == nullptr) return E_NOINTERFACE;
  (*ppManager)->AddRef();
  return S_OK;
}

bool Dx11Renderer::HasDXGIManager() {
  CriticalSectionGuard guard(&m_lock);
  return m_device.manager() != nullptr;
}

bool Dx11Renderer::IsCompatibilityMode() {
  CriticalSectionGuard guard(&m_lock);
  return m_device.compatibility();
}

Dx11Renderer::DisplayGeometry Dx11Renderer::GetDisplayGeometry() {
  CriticalSectionGuard guard(&m_lock);
  return DisplayGeometry{m_picture.displayArea(), m_picture.displayWidth(), m_picture.displayHeight(),
                         m_picture.frameWidth(), m_picture.frameHeight()};
}

// --- Device -----------------------------------------------------------------------------------

HRESULT Dx11Renderer::createDevice(D3D_DRIVER_TYPE driverType) {
  m_frameFence.Release();
  HRESULT hr = m_device.Create(driverType);
  if (FAILED(hr)) return hr;
  if (m_useDComp) {
    hr = m_composition.Create(m_device.device(), m_hwndVideo, m_videoRectSet ? &m_videoRect : nullptr);
    if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: CreateDCompDeviceAndVisual", this)) {
      return hr;
    }
  }
  if (m_pSampleAllocator) {
    m_pSampleAllocator->UninitializeSampleAllocator();
    m_pSampleAllocator.Reset();
  }
  if (m_transformPath && m_transformPath->created()) {
    m_transformPath->Release();
    if (!m_device.compatibility()) {
      hr = m_transformPath->Create(m_device.manager());
      if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: CreateXVP", this)) return hr;
      if (m_pCurrentMediaType) {
        hr = m_transformPath->SetInputType(m_pCurrentMediaType.Get());
        if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pXVP->SetInputType", this)) {
          return hr;
        }
      }
    }
  }
  if (m_device.compatibility()) {
    hr = createCompatPresenter("CreateDXGIManagerAndDevice");
    if (FAILED(hr)) return hr;
  }
  ORVO_LOG_DEBUG("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: Direct3D device successfully re-initialized", this);
  m_recreation.Satisfied();
  m_deviceLoss = S_OK;
  return S_OK;
}

HRESULT Dx11Renderer::createCompatPresenter(const char* method) {
  m_pCompatPresenter.reset(new (std::nothrow) CompatibilityPresenter(this));
  if (!m_pCompatPresenter) return E_OUTOFMEMORY;
  const HRESULT hr = m_pCompatPresenter->Initialize(m_device.device());
  if (LogErrorIfFailed(hr, "Dx11Renderer::%s[%p]: CompatibilityPresenter::Initialize", method, this)) {
    m_pCompatPresenter.reset();
  }
  return hr;
}

HRESULT Dx11Renderer::presentCompatiblyFromNowOn(HRESULT reason) {
  // Logged once: from here on every frame of this renderer takes the compatibility branch.
  ORVO_LOG_ERROR(
      "Dx11Renderer::ProcessFrame[%p]: the video device cannot process this stream (0x%X), using compatibility "
      "presentation",
      this, (unsigned)reason);
  discardVideoProcessor(true);
  m_swapChain.Reset();
  m_device.PresentCompatibly();
  return createCompatPresenter("ProcessFrame");
}

HRESULT Dx11Renderer::recoverDevice(HRESULT reason) {
  if (SUCCEEDED(m_deviceLoss)) {
    const HRESULT removed = m_device.device() ? m_device.device()->GetDeviceRemovedReason() : S_OK;
    ORVO_LOG_ERROR("Dx11Renderer::RecoverDevice[%p]: device lost 0x%X (removed reason 0x%X), re-creating", this,
                   (unsigned)reason, (unsigned)removed);
    m_deviceLoss = reason;
  }
  m_lastRecoveryAttempt = GetTickCount64();
  // Nothing made on the lost device can be drawn with again; the next frame builds it all anew.
  discardVideoProcessor(true);
  m_swapChain.Reset();
  // m_deviceLoss stays set until a device is made (createDevice clears it).
  const HRESULT hr = createDevice(D3D_DRIVER_TYPE_HARDWARE);
  if (LogIfFailed(hr, "Dx11Renderer::RecoverDevice[%p]: CreateDXGIManagerAndDevice", this)) return hr;
  m_recreation.Recreated();
  ORVO_LOG_INFO("Dx11Renderer::RecoverDevice[%p]: device re-created", this);
  return S_OK;
}

HRESULT Dx11Renderer::DeviceLoss() {
  CriticalSectionGuard guard(&m_lock);
  return m_deviceLoss;
}

HRESULT Dx11Renderer::RetryLostDevice() {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (FAILED(m_deviceLoss)) recoverDevice(m_deviceLoss);
  return m_deviceLoss;
}

void Dx11Renderer::discardVideoProcessor(bool device) {
  if (m_transformPath) {
    if (device) {
      m_transformPath->DiscardVideoDevice();
    } else {
      m_transformPath->DiscardProcessor();
    }
  }
  if (m_d3d11Path) {
    if (device) {
      m_d3d11Path->DiscardVideoDevice();
    } else {
      m_d3d11Path->DiscardProcessor();
    }
  }
}

// --- Media type -------------------------------------------------------------------------------

HRESULT Dx11Renderer::applyMediaType(IMFMediaType* pType, bool setXVPInput) {
  bool resized = false;
  const HRESULT hr = m_picture.Apply(pType, &resized);
  // GetVideoDisplayArea: a new frame size invalidates the processor objects and the swap chain.
  if (resized) {
    discardVideoProcessor(false);
    m_swapChain.Reset();
  }
  if (FAILED(hr)) return hr;
  if (setXVPInput && m_transformPath) {
    ORVO_RETURN_IF_FAILED(m_transformPath->SetInputType(pType),
                          "Dx11Renderer::SetCurrentMediaType[%p]: m_pXVP->SetInputType", this);
  }
  m_pCurrentMediaType = pType;
  return S_OK;
}

HRESULT Dx11Renderer::followFrameType(IMFMediaType* pCurrentType, UINT32 width, UINT32 height) {
  // The frame size lives in the type the engine passes with each frame; follow it when it changed
  // without a SetCurrentMediaType.
  if (m_picture.Matches(pCurrentType, m_pCurrentMediaType.Get(), width, height)) return S_OK;
  return applyMediaType(pCurrentType, false);
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

HRESULT Dx11Renderer::SetSourceRect(const SourceRect& zoom) {
  if (!IsValidSourceRect(zoom)) return E_INVALIDARG;
  CriticalSectionGuard guard(&m_lock);
  m_zoom = zoom;
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

HRESULT Dx11Renderer::Shutdown() {
  CriticalSectionGuard guard(&m_lock);
  ORVO_LOG_DEBUG("Dx11Renderer::Shutdown[%p]: shutdown called", this);
  m_shutdown = TRUE;
  m_frameFence.Release();
  m_pCompatPresenter.reset();
  m_upload->Release();
  m_device.Release();
  if (m_pSampleAllocator) {
    m_pSampleAllocator->UninitializeSampleAllocator();
    m_pSampleAllocator.Reset();
  }
  if (m_transformPath) m_transformPath->Shutdown();
  discardVideoProcessor(true);
  m_swapChain.Reset();
  m_pCurrentMediaType.Reset();
  m_composition.Release();
  return MF_E_SHUTDOWN;
}

// --- VideoPathHost ----------------------------------------------------------------------------

SIZE Dx11Renderer::FrameSize() {
  return SIZE{static_cast<LONG>(m_picture.frameWidth()), static_cast<LONG>(m_picture.frameHeight())};
}

void Dx11Renderer::SetFrameSize(UINT width, UINT height) {
  m_picture.SetFrameSize(width, height);
}

BOOL Dx11Renderer::StereoEnabled() { return m_swapChain.stereo(); }
void Dx11Renderer::EnableStereo() { m_swapChain.EnableStereo(); }
bool Dx11Renderer::HasSwapChain() { return m_swapChain.HasSwapChain(); }
void Dx11Renderer::DiscardSwapChain() { m_swapChain.Reset(); }

HRESULT Dx11Renderer::UpdateSwapChain(const RECT& target) {
  return m_swapChain.Update(m_device.dxgiFactory(), m_device.device(), m_hwndVideo,
                            m_useDComp ? &m_composition : nullptr, target);
}

HRESULT Dx11Renderer::CreateRenderTargetSample(IMFSample** ppSample, const char* method) {
  const bool rightView = m_picture.stereo() && !m_device.compatibility();
  return m_swapChain.CreateRenderTargetSample(ppSample, method, rightView);
}

HRESULT Dx11Renderer::FindClosestMatchingMode(UINT width, UINT height, BOOL stereo) {
  return m_device.FindClosestMatchingMode(width, height, stereo);
}

POINT Dx11Renderer::VisualOffset() { return m_composition.offset(); }
HRESULT Dx11Renderer::SetVisualOffset(int x, int y) { return m_composition.MoveTo(x, y); }
void Dx11Renderer::ForceDeviceRecreation() { m_recreation.Force(); }

}  // namespace MediaFoundation
}  // namespace ORVO
