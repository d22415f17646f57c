#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <mfobjects.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

class CompositionVisual;

// The flip-model swap chain the renderer draws into: created for the host's window (or for the
// composition visual), resized to each new target area, handed out as render-target samples and
// views on its back buffer, presented, and switched to full screen. The renderer's lock serialises
// every call.
class SwapChainTarget {
 public:
  // owner: the renderer, for the address in log lines.
  explicit SwapChainTarget(const void* owner) : m_owner(owner) {}
  SwapChainTarget(const SwapChainTarget&) = delete;
  SwapChainTarget& operator=(const SwapChainTarget&) = delete;

  bool HasSwapChain() const { return m_pSwapChain1 != nullptr; }
  // Drops the swap chain; the next Update creates a new one.
  void Reset() { m_pSwapChain1.Reset(); }

  // Stereo output, once a video processor offered it, stays on for every later swap chain.
  BOOL stereo() const { return m_stereoEnabled; }
  void EnableStereo() { m_stereoEnabled = TRUE; }
  // Applies to swap chains created from now on.
  BOOL fullscreen() const { return m_fullscreen; }
  void SetFullscreen(BOOL fullscreen) { m_fullscreen = fullscreen; }

  // Creates the swap chain for target ({0, 0, width, height}) on hwnd, or for composition when
  // visual is given, or resizes the one there is. target() remembers the area asked for even when
  // this fails.
  HRESULT Update(IDXGIFactory2* factory, ID3D11Device* device, HWND hwnd, CompositionVisual* visual,
                 const RECT& target);
  const RECT& target() const { return m_target; }

  // A sample whose first buffer wraps back buffer 0, and a second one for the right view when
  // rightView is set. Failures are logged under "Dx11Renderer::<method>".
  HRESULT CreateRenderTargetSample(IMFSample** ppSample, const char* method, bool rightView);
  // A render-target view of back buffer 0 (compatibility presentation).
  HRESULT CreateRenderTargetView(ID3D11Device* device, ID3D11RenderTargetView** ppView);
  HRESULT Present();

 private:
  const void* m_owner;
  Microsoft::WRL::ComPtr<IDXGISwapChain1> m_pSwapChain1;
  RECT m_target = {};
  BOOL m_stereoEnabled = FALSE;
  BOOL m_fullscreen = FALSE;
};

}  // namespace MediaFoundation
}  // namespace ORVO
