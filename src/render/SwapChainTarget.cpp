#include "render/SwapChainTarget.h"

#include <mfapi.h>
#include <mferror.h>

#include "log/Log.h"
#include "render/CompositionVisual.h"
#include "render/Dx11DeviceFactory.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

HRESULT SwapChainTarget::Update(IDXGIFactory2* factory, ID3D11Device* device, HWND hwnd, CompositionVisual* visual,
                                const RECT& target) {
  m_target = target;
  DXGI_SWAP_CHAIN_DESC1 desc = {};
  desc.Width = static_cast<UINT>(target.right);
  desc.Height = static_cast<UINT>(target.bottom);
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
  if (factory == nullptr || device == nullptr) {
    hr = MF_E_NOT_INITIALIZED;
    LogIfFailed(hr, "Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDXGIFactory2 != NULL", m_owner);
    return hr;
  }
  if (m_pSwapChain1) {
    hr = m_pSwapChain1->ResizeBuffers(4, desc.Width, desc.Height, DXGI_FORMAT_B8G8R8A8_UNORM, desc.Flags);
    LogIfFailed(hr, "Dx11Renderer::UpdateDXGISwapChain[%p]: m_pSwapChain1->ResizeBuffers", m_owner);
    return hr;
  }
  if (visual != nullptr) {
    ORVO_RETURN_IF_FAILED(factory->CreateSwapChainForComposition(device, &desc, nullptr, &m_pSwapChain1),
                          "Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDXGIFactory2->CreateSwapChainForComposition",
                          m_owner);
    return visual->SetContent(m_pSwapChain1.Get());
  }
  if (hwnd != nullptr) {
    ORVO_RETURN_IF_FAILED(factory->CreateSwapChainForHwnd(device, hwnd, &desc, nullptr, nullptr, &m_pSwapChain1),
                          "Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDXGIFactory2->CreateSwapChainForHwnd", m_owner);
    hr = S_OK;
    if (m_fullscreen) {
      hr = m_pSwapChain1->SetFullscreenState(TRUE, nullptr);
      LogIfFailed(hr, "Dx11Renderer::UpdateDXGISwapChain[%p]: m_pSwapChain1->SetFullscreenState", m_owner);
    }
    return hr;
  }
  hr = E_INVALIDARG;
  LogIfFailed(hr, "Dx11Renderer::UpdateDXGISwapChain[%p]: m_hwndVideo != 0", m_owner);
  return hr;
}

HRESULT SwapChainTarget::CreateRenderTargetSample(IMFSample** ppSample, const char* method, bool rightView) {
  *ppSample = nullptr;
  ComPtr<ID3D11Texture2D> backBuffer;
  HRESULT hr = m_pSwapChain1 ? m_pSwapChain1->GetBuffer(0, IID_PPV_ARGS(&backBuffer)) : E_POINTER;
  ORVO_RETURN_IF_FAILED(hr, "Dx11Renderer::%s[%p]: m_pSwapChain1->GetBuffer", method, m_owner);
  ComPtr<IMFSample> sample;
  ORVO_RETURN_IF_FAILED(MFCreateSample(&sample), "Dx11Renderer::%s[%p]: MFCreateSample", method, m_owner);
  ComPtr<IMFMediaBuffer> buffer;
  ORVO_RETURN_IF_FAILED(MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), backBuffer.Get(), 0, FALSE, &buffer),
                        "Dx11Renderer::%s[%p]: MFCreateDXGISurfaceBuffer#1", method, m_owner);
  ORVO_RETURN_IF_FAILED(sample->AddBuffer(buffer.Get()), "Dx11Renderer::%s[%p]: pRTSample->AddBuffer#1", method,
                        m_owner);
  if (rightView) {
    ComPtr<IMFMediaBuffer> right;
    ORVO_RETURN_IF_FAILED(MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), backBuffer.Get(), 1, FALSE, &right),
                          "Dx11Renderer::%s[%p]: MFCreateDXGISurfaceBuffer#2", method, m_owner);
    ORVO_RETURN_IF_FAILED(sample->AddBuffer(right.Get()), "Dx11Renderer::%s[%p]: pRTSample->AddBuffer#2", method,
                          m_owner);
  }
  *ppSample = sample.Detach();
  return S_OK;
}

HRESULT SwapChainTarget::CreateRenderTargetView(ID3D11Device* device, ID3D11RenderTargetView** ppView) {
  ComPtr<ID3D11Texture2D> backBuffer;
  ORVO_RETURN_IF_FAILED(m_pSwapChain1->GetBuffer(0, IID_PPV_ARGS(&backBuffer)),
                        "Dx11Renderer::ProcessFrame[%p]: m_pSwapChain1->GetBuffer", m_owner);
  ORVO_RETURN_IF_FAILED(device->CreateRenderTargetView(backBuffer.Get(), nullptr, ppView),
                        "Dx11Renderer::ProcessFrame[%p]: CreateRenderTargetView", m_owner);
  return S_OK;
}

HRESULT SwapChainTarget::Present() {
  const HRESULT hr = PresentThroughPlatform(m_pSwapChain1.Get());
  LogIfFailed(hr, "Dx11Renderer::PresentFrame[%p]: m_pSwapChain1->Present", m_owner);
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
