// Dx11Renderer's Direct3D 11 video processor path and wrapper mode. Kept apart from
// Dx11Renderer.cpp because both are thin bindings of the renderer's members to
// D3D11VideoProcessorPath and ID3D11DeviceWrapper, which hold the logic.

#include "render/Dx11Renderer.h"

#include <mferror.h>

#include "log/Log.h"
#include "render/D3D11VideoProcessorPath.h"
#include "render/ID3D11DeviceWrapper.h"

namespace ORVO {
namespace MediaFoundation {

HRESULT Dx11Renderer::wrapDevice(ID3D11Device* pInner, ID3D11Device** ppWrapper) {
  *ppWrapper = nullptr;
  ID3D11DeviceWrapper* wrapper = nullptr;
  const HRESULT hr = ID3D11DeviceWrapper::Create(pInner, &wrapper);
  if (FAILED(hr)) {
    return hr;
  }
  *ppWrapper = wrapper;
  return S_OK;
}

HRESULT Dx11Renderer::ProcessFrameUsingD3D11(ID3D11Texture2D* pTexture, ID3D11Texture2D* pEVTexture, UINT subresource,
                                             UINT evSubresource, const RECT& target, UINT interlaceMode,
                                             IMFSample** ppOutputSample) {
  // The renderer's swap chain, output and composition visual as the path sees them. Runs under the
  // renderer's lock, like the path itself.
  class Host : public D3D11VideoPathHost {
   public:
    explicit Host(Dx11Renderer* renderer) : m_renderer(renderer) {}
    bool HasSwapChain() override { return m_renderer->m_pSwapChain1 != nullptr; }
    HRESULT UpdateSwapChain() override { return m_renderer->UpdateDXGISwapChain(); }
    HRESULT CreateRenderTargetSample(IMFSample** ppSample) override {
      return m_renderer->createRenderTargetSample(ppSample, "ProcessFrameUsingD3D11");
    }
    HRESULT FindClosestMatchingMode(UINT width, UINT height, BOOL stereo) override {
      if (!m_renderer->m_pDXGIOutput1) {
        return DXGI_ERROR_NOT_FOUND;
      }
      DXGI_MODE_DESC1 wanted = {};
      wanted.Width = width;
      wanted.Height = height;
      wanted.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
      wanted.Stereo = stereo;
      DXGI_MODE_DESC1 found = {};
      return m_renderer->m_pDXGIOutput1->FindClosestMatchingMode1(&wanted, &found, m_renderer->m_pD3D11Device.Get());
    }
    HRESULT SetVisualOffset(int x, int y) override {
      if (!m_renderer->m_pRootVisual || !m_renderer->m_pDCompDevice) {
        return S_OK;  // no composition objects yet: they take the offset when they are created
      }
      HRESULT hr = m_renderer->m_pRootVisual->SetOffsetX(static_cast<float>(x));
      if (SUCCEEDED(hr)) hr = m_renderer->m_pRootVisual->SetOffsetY(static_cast<float>(y));
      if (SUCCEEDED(hr)) hr = m_renderer->m_pDCompDevice->Commit();
      if (FAILED(hr)) {
        ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pRootVisual offset failed 0x%X", m_renderer,
                       (unsigned)hr);
      }
      return hr;
    }

   private:
    Dx11Renderer* m_renderer;
  };

  Host host(this);
  D3D11VideoPathState state{m_pDX11VideoDevice, m_pVideoProcessorEnum, m_pVideoProcessor, m_sourceRect,
                            m_targetRect,       m_frameWidth,          m_frameHeight,     m_stereoEnabled,
                            m_framePresented,   m_appliedOffsetX,      m_appliedOffsetY,  m_forceRecreation};
  D3D11VideoFrame frame;
  frame.device = m_pD3D11Device.Get();
  frame.context = m_pD3DImmediateContext.Get();
  frame.texture = pTexture;
  frame.evTexture = pEVTexture;
  frame.subresource = subresource;
  frame.evSubresource = evSubresource;
  frame.target = target;
  frame.interlaceMode = interlaceMode;
  frame.video3D = m_video3D;
  frame.format3D = m_video3DFormat;
  frame.fullscreen = m_fullscreen;
  frame.displayArea = m_displayArea;
  frame.displayWidth = m_displayWidth;
  frame.displayHeight = m_displayHeight;
  frame.composition = m_useDComp;
  frame.videoRectSet = m_videoRectSet;
  frame.videoRect = m_videoRect;
  D3D11VideoProcessorPath path(this, state, host);
  return path.ProcessFrame(frame, ppOutputSample);
}

}  // namespace MediaFoundation
}  // namespace ORVO
