#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dcomp.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// One renderer's visual in the process-wide DirectComposition tree. Every renderer of the process
// shares one composition device, one target and one root visual (created for the first renderer's
// window, released with the last visual); each adds a child visual of its own, which shows its swap
// chain at the offset of its video rectangle. Lock order: the renderer's lock, then the composition
// lock, which guards only the shared objects and the visual count.
class CompositionVisual {
 public:
  // owner: the renderer, for the address in log lines.
  explicit CompositionVisual(const void* owner) : m_owner(owner) {}
  // A renderer released without Shutdown must still leave the shared tree.
  ~CompositionVisual() { Release(); }
  CompositionVisual(const CompositionVisual&) = delete;
  CompositionVisual& operator=(const CompositionVisual&) = delete;

  // Replaces this renderer's visual with a new one on device (the shared tree is created on first
  // use, for hwnd). With videoRect set, the visual starts at its offset.
  HRESULT Create(ID3D11Device* device, HWND hwnd, const RECT* videoRect);
  // Leaves the shared tree; the last visual to leave releases it.
  void Release();

  // Shows content (a swap chain for composition) in this visual and commits.
  HRESULT SetContent(IUnknown* content);
  // The offset the visual was last moved to.
  POINT offset() const { return m_offset; }
  // Records the offset and, once the visual exists, moves it there and commits. Before that the
  // visual takes the offset when it is created.
  HRESULT MoveTo(int x, int y);

 private:
  const void* m_owner;
  Microsoft::WRL::ComPtr<IDCompositionDevice> m_pDCompDevice;
  Microsoft::WRL::ComPtr<IDCompositionVisual> m_pRootVisual;
  POINT m_offset = {0, 0};
};

}  // namespace MediaFoundation
}  // namespace ORVO
