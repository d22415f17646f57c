#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <mfidl.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// Platform entry points the renderer's device set-up goes through. Tests replace them to act out
// machines this test bed is not (a GPU whose device has the video interface); hosts never do.
struct Dx11DevicePlatform {
  // Same contract as D3D11CreateDevice.
  HRESULT(WINAPI* createDevice)
  (IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags, const D3D_FEATURE_LEVEL* levels,
   UINT levelCount, UINT sdkVersion, ID3D11Device** device, D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context);
  // S_OK when the device offers ID3D11VideoDevice; the failure of that query otherwise.
  HRESULT (*checkVideoSupport)(ID3D11Device* device);
  // Same contract as swapChain->Present(0, 0); null presents through the swap chain itself. Lets a
  // test act out a device removed under the player (a driver update, a GPU reset).
  HRESULT (*present)(IDXGISwapChain1* swapChain);
};

// The platform's own entry points.
Dx11DevicePlatform DefaultDx11DevicePlatform();
// Installs a replacement and returns the one it replaces, so a test can put it back. Also forgets
// what the feature-level ladder found in this process.
Dx11DevicePlatform SetDx11DevicePlatform(const Dx11DevicePlatform& platform);
// Presents swapChain through the installed platform.
HRESULT PresentThroughPlatform(IDXGISwapChain1* swapChain);

// The renderer's Direct3D 11 device and what hangs off it: the feature-level ladder for a device
// with the video interface, the plain-device fallback of compatibility presentation, wrapper mode,
// the DXGI device manager shared with Media Foundation, the multithread-protected immediate context,
// and the adapter's DXGI factory and first output. The renderer's lock serialises every call. What
// the ladder found is remembered for the process, so later renderers start at the level that worked
// or go straight to the plain device.
class Dx11DeviceFactory {
 public:
  // Driver type that asks for wrapper mode: a real hardware device behind ID3D11DeviceWrapper.
  static constexpr UINT kDriverTypeWrapper = 5;

  // owner: the renderer, for the address in log lines.
  explicit Dx11DeviceFactory(const void* owner) : m_owner(owner) {}
  Dx11DeviceFactory(const Dx11DeviceFactory&) = delete;
  Dx11DeviceFactory& operator=(const Dx11DeviceFactory&) = delete;

  // Replaces the device and everything derived from it. Once a machine has shown that it has no
  // video device, compatibility() stays true and every later call builds a plain device.
  HRESULT Create(D3D_DRIVER_TYPE driverType);
  // Drops every object (Shutdown).
  void Release();

  ID3D11Device* device() const { return m_pD3D11Device.Get(); }
  ID3D11DeviceContext* context() const { return m_pD3DImmediateContext.Get(); }
  // Null in compatibility presentation.
  IMFDXGIDeviceManager* manager() const { return m_pDXGIManager.Get(); }
  IDXGIFactory2* dxgiFactory() const { return m_pDXGIFactory2.Get(); }
  // The adapter's first output, enumerated on first use; null when it has none.
  IDXGIOutput1* output();
  // FindClosestMatchingMode1 on that output for a full-screen BGRA mode of this size.
  HRESULT FindClosestMatchingMode(UINT width, UINT height, BOOL stereo);
  bool compatibility() const { return m_compatibility; }
  // The device has the video interface but cannot process the stream: it stays and presents
  // compatibly (with its device manager, which a decoder may already write into); later
  // re-creations build plain devices.
  void PresentCompatibly() { m_compatibility = true; }

 private:
  HRESULT createDevice(D3D_DRIVER_TYPE driverType);
  // The feature levels for a device with the video interface, the remembered one first. A device
  // the driver created without that interface ends the climb and is handed out in withoutVideo.
  HRESULT climbLadder(D3D_DRIVER_TYPE driverType, Microsoft::WRL::ComPtr<ID3D11Device>* withoutVideo);
  HRESULT findAdapterAndOutput();

  const void* m_owner;
  Microsoft::WRL::ComPtr<ID3D11Device> m_pD3D11Device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> m_pD3DImmediateContext;
  Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> m_pDXGIManager;
  Microsoft::WRL::ComPtr<IDXGIFactory2> m_pDXGIFactory2;
  Microsoft::WRL::ComPtr<IDXGIAdapter1> m_pAdapter;
  Microsoft::WRL::ComPtr<IDXGIOutput1> m_pDXGIOutput1;
  UINT m_resetToken = 0;
  bool m_compatibility = false;
};

}  // namespace MediaFoundation
}  // namespace ORVO
