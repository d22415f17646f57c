#include "render/Dx11DeviceFactory.h"

#include <d3d10.h>
#include <mfapi.h>

#include <atomic>

#include "common/ComAdopt.h"
#include "log/Log.h"
#include "render/DeviceRecreationPolicy.h"
#include "render/ID3D11DeviceWrapper.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

constexpr UINT kCreationFlags = D3D11_CREATE_DEVICE_VIDEO_SUPPORT;

HRESULT DefaultCheckVideoSupport(ID3D11Device* device) {
  ComPtr<ID3D11VideoDevice> video;
  return device->QueryInterface(IID_PPV_ARGS(&video));
}

HRESULT DefaultPresent(IDXGISwapChain1* swapChain) { return swapChain->Present(0, 0); }

Dx11DevicePlatform g_devicePlatform = DefaultDx11DevicePlatform();

const D3D_FEATURE_LEVEL kLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                     D3D_FEATURE_LEVEL_10_0, D3D_FEATURE_LEVEL_9_3,  D3D_FEATURE_LEVEL_9_2,
                                     D3D_FEATURE_LEVEL_9_1};
constexpr int kLevelCount = static_cast<int>(sizeof(kLevels) / sizeof(kLevels[0]));

// What the ladder found, for the whole process: the index of the first level that gave the video
// interface, kLadderFoundNone when none did, kLadderUnknown before the first climb. On a software
// rasteriser each failed level costs a device creation, and every player's Open paid for all of
// them again. An atomic rather than a lock: renderers climb under their own locks only.
constexpr int kLadderUnknown = -1;
constexpr int kLadderFoundNone = kLevelCount;
std::atomic<int> g_ladderResult{kLadderUnknown};

}  // namespace

Dx11DevicePlatform DefaultDx11DevicePlatform() {
  Dx11DevicePlatform platform;
  platform.createDevice = ::D3D11CreateDevice;
  platform.checkVideoSupport = DefaultCheckVideoSupport;
  platform.present = DefaultPresent;
  return platform;
}

HRESULT PresentThroughPlatform(IDXGISwapChain1* swapChain) {
  return g_devicePlatform.present ? g_devicePlatform.present(swapChain) : DefaultPresent(swapChain);
}

Dx11DevicePlatform SetDx11DevicePlatform(const Dx11DevicePlatform& platform) {
  Dx11DevicePlatform previous = g_devicePlatform;
  g_devicePlatform = platform;
  // Another platform is another machine: what the ladder found on the previous one does not hold.
  g_ladderResult = kLadderUnknown;
  return previous;
}

HRESULT Dx11DeviceFactory::climbLadder(D3D_DRIVER_TYPE driverType,
                                       Microsoft::WRL::ComPtr<ID3D11Device>* withoutVideo) {
  // The level that worked before goes first; should it fail now (a driver update, another
  // adapter), the others follow in order and the memory is corrected.
  const int remembered = g_ladderResult.load();
  if (remembered == kLadderFoundNone) {
    ORVO_LOG_DEBUG(
        "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: this process found no feature level with ID3D11VideoDevice "
        "before, not trying again",
        m_owner);
    return E_NOINTERFACE;
  }
  HRESULT hr = E_FAIL;
  for (int attempt = remembered >= 0 ? -1 : 0; attempt < kLevelCount; ++attempt) {
    const int i = attempt < 0 ? remembered : attempt;
    if (attempt >= 0 && i == remembered) continue;
    hr = g_devicePlatform.createDevice(nullptr, driverType, nullptr, kCreationFlags, &kLevels[i], 1, D3D11_SDK_VERSION,
                                       &m_pD3D11Device, nullptr, nullptr);
    if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: D3D11CreateDevice", m_owner)) {
      m_pD3D11Device.Reset();
      continue;
    }
    hr = g_devicePlatform.checkVideoSupport(m_pD3D11Device.Get());
    if (LogErrorIfFailed(
            hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pD3D11Device->QueryInterface(ID3D11VideoDevice)",
            m_owner)) {
      // The device exists, so the driver accepted the level and the video flag and still offers no
      // video device: that is the driver's property, not the level's, and every lower level would
      // answer the same. On a software rasteriser each of those creations costs a quarter of a
      // second of the first picture. The device itself is kept for compatibility presentation.
      *withoutVideo = std::move(m_pD3D11Device);
      ORVO_LOG_DEBUG(
          "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: the driver offers no ID3D11VideoDevice, not trying lower "
          "feature levels",
          m_owner);
      break;
    }
    g_ladderResult = i;
    return S_OK;
  }
  // Only a hardware ladder speaks for the machine; a test's other driver type does not, nor does
  // an adapter that is being removed or reset (a driver update): it may have video support again.
  if (driverType == D3D_DRIVER_TYPE_HARDWARE && !IsDeviceLoss(hr)) g_ladderResult = kLadderFoundNone;
  return hr;
}

HRESULT Dx11DeviceFactory::createDevice(D3D_DRIVER_TYPE driverType) {
  const UINT levelCount = static_cast<UINT>(kLevelCount);
  HRESULT hr = E_FAIL;

  if (static_cast<UINT>(driverType) == kDriverTypeWrapper && !m_compatibility) {
    ComPtr<ID3D11Device> real;
    hr = g_devicePlatform.createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, kCreationFlags, kLevels, levelCount,
                                       D3D11_SDK_VERSION, &real, nullptr, nullptr);
    if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: D3D11CreateDevice", m_owner)) return hr;
    ID3D11DeviceWrapper* wrapper = nullptr;
    hr = ID3D11DeviceWrapper::Create(real.Get(), &wrapper);
    if (SUCCEEDED(hr)) m_pD3D11Device = AdoptRef<ID3D11Device>(wrapper);
    if (FAILED(hr) || !m_pD3D11Device) {
      if (SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
      LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: NULL == m_pD3D11Device", m_owner);
    }
    return hr;
  }

  // Once a machine has shown that it has no video device, a re-creation (new monitor) goes
  // straight to the plain device: the ladder would only fail and log the same way again.
  ComPtr<ID3D11Device> withoutVideo;
  if (!m_compatibility) {
    hr = climbLadder(driverType, &withoutVideo);
    if (SUCCEEDED(hr)) return S_OK;
    // The adapter is being removed or reset: a plain device now would make this renderer present
    // compatibly for good, although the video device may well come back.
    if (IsDeviceLoss(hr)) return hr;
  }

  // No level gives a device with the video interface: present without it rather than leave the
  // host's window black.
  const HRESULT ladderResult = hr;
  if (!m_compatibility) {
    ORVO_LOG_ERROR(
        "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: no device with ID3D11VideoDevice, using "
        "compatibility presentation",
        m_owner);
  }
  // The climb's own device is the one a plain creation would give: the highest level the driver
  // accepts on the same adapter. It lacks only the BGRA flag, which matters to Direct2D alone;
  // B8G8R8A8 targets work without it. A second creation would cost as much as the first.
  if (withoutVideo && driverType == D3D_DRIVER_TYPE_HARDWARE) {
    m_pD3D11Device = std::move(withoutVideo);
    m_compatibility = true;
    return S_OK;
  }
  const UINT plainFlags = (kCreationFlags & ~D3D11_CREATE_DEVICE_VIDEO_SUPPORT) | D3D11_CREATE_DEVICE_BGRA_SUPPORT;
  hr = g_devicePlatform.createDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, plainFlags, kLevels, levelCount,
                                     D3D11_SDK_VERSION, &m_pD3D11Device, nullptr, nullptr);
  if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: D3D11CreateDevice(compatibility)", m_owner)) {
    m_pD3D11Device.Reset();
    return m_compatibility ? hr : ladderResult;
  }
  m_compatibility = true;
  return S_OK;
}

HRESULT Dx11DeviceFactory::Create(D3D_DRIVER_TYPE driverType) {
  ORVO_LOG_DEBUG("Dx11Renderer::CreateDXGIManagerAndDevice[%p]: re-initializing Direct3D device...", m_owner);
  m_pD3D11Device.Reset();
  HRESULT hr = createDevice(driverType);
  if (FAILED(hr)) return hr;

  m_pDXGIManager.Reset();
  if (!m_compatibility) {
    hr = MFCreateDXGIDeviceManager(&m_resetToken, &m_pDXGIManager);
    if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: MFCreateDXGIDeviceManager", m_owner)) {
      return hr;
    }
    hr = m_pDXGIManager->ResetDevice(m_pD3D11Device.Get(), m_resetToken);
    if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pDXGIManager->ResetDevice", m_owner)) {
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
  if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pD3DImmediateContext->QueryInterface",
                       m_owner)) {
    return hr;
  }
  multithread->SetMultithreadProtected(TRUE);
  return findAdapterAndOutput();
}

HRESULT Dx11DeviceFactory::findAdapterAndOutput() {
  ComPtr<IDXGIDevice1> dxgiDevice;
  HRESULT hr = m_pD3D11Device.As(&dxgiDevice);
  if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: m_pD3D11Device->QueryInterface", m_owner)) {
    return hr;
  }
  ComPtr<IDXGIAdapter> tempAdapter;
  hr = dxgiDevice->GetAdapter(&tempAdapter);
  if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pDXGIDev->GetAdapter", m_owner)) return hr;
  ComPtr<IDXGIAdapter1> adapter;
  hr = tempAdapter.As(&adapter);
  if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pTempAdapter->QueryInterface", m_owner)) {
    return hr;
  }
  m_pDXGIFactory2.Reset();
  hr = adapter->GetParent(IID_PPV_ARGS(&m_pDXGIFactory2));
  if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pAdapter->GetParent", m_owner)) return hr;
  m_pDXGIOutput1.Reset();
  m_pAdapter = adapter;
  return S_OK;
}

// Enumerated on first use, for a full-screen mode: DXVK's EnumOutputs divides by the monitor's
// refresh rate, which a virtual display (Xvfb) reports as 0, and playback in a window never needs
// the output.
IDXGIOutput1* Dx11DeviceFactory::output() {
  if (m_pDXGIOutput1 || !m_pAdapter) return m_pDXGIOutput1.Get();
  ComPtr<IDXGIOutput> output;
  HRESULT hr = m_pAdapter->EnumOutputs(0, &output);
  if (LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pAdapter->EnumOutputs", m_owner)) {
    return nullptr;
  }
  hr = output.As(&m_pDXGIOutput1);
  LogErrorIfFailed(hr, "Dx11Renderer::CreateDXGIManagerAndDevice[%p]: pDXGIOutput->QueryInterface", m_owner);
  return m_pDXGIOutput1.Get();
}

HRESULT Dx11DeviceFactory::FindClosestMatchingMode(UINT width, UINT height, BOOL stereo) {
  IDXGIOutput1* first = output();
  if (first == nullptr) return DXGI_ERROR_NOT_FOUND;
  DXGI_MODE_DESC1 wanted = {};
  wanted.Width = width;
  wanted.Height = height;
  wanted.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  wanted.Stereo = stereo;
  DXGI_MODE_DESC1 found = {};
  return first->FindClosestMatchingMode1(&wanted, &found, m_pD3D11Device.Get());
}

void Dx11DeviceFactory::Release() {
  m_pDXGIManager.Reset();
  m_pDXGIFactory2.Reset();
  m_pD3D11Device.Reset();
  m_pD3DImmediateContext.Reset();
  m_pDXGIOutput1.Reset();
  m_pAdapter.Reset();
}

}  // namespace MediaFoundation
}  // namespace ORVO
