#include "render/CompositionVisual.h"

#include "common/CriticalSectionGuard.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

struct CompositionShared {
  CRITICAL_SECTION lock;
  ComPtr<IDCompositionDevice> device;
  ComPtr<IDCompositionTarget> target;
  ComPtr<IDCompositionVisual> rootVisual;
  UINT visualCount = 0;
  CompositionShared() { InitializeCriticalSection(&lock); }
  void Reset() {
    rootVisual.Reset();
    target.Reset();
    device.Reset();
  }
};

// Never destroyed: releasing composition objects while the process exits (under the loader lock,
// with dcomp.dll maybe gone) is worse than leaving them to the process's end.
CompositionShared& Composition() {
  static CompositionShared* shared = new CompositionShared();
  return *shared;
}

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

}  // namespace

HRESULT CompositionVisual::Create(ID3D11Device* device, HWND hwnd, const RECT* videoRect) {
  Release();

  CompositionShared& shared = Composition();
  CriticalSectionGuard compositionGuard(&shared.lock);
  HRESULT hr = S_OK;
  if (!shared.device) {
    DCompositionCreateDeviceFn create = LoadDCompositionCreateDevice();
    if (create == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    ComPtr<IDXGIDevice> dxgiDevice;
    hr = device->QueryInterface(IID_PPV_ARGS(&dxgiDevice));
    if (FAILED(hr)) return hr;
    hr =
        create(dxgiDevice.Get(), __uuidof(IDCompositionDevice), reinterpret_cast<void**>(shared.device.GetAddressOf()));
    if (FAILED(hr)) return hr;
    hr = shared.device->CreateTargetForHwnd(hwnd, TRUE, &shared.target);
    if (SUCCEEDED(hr)) hr = shared.device->CreateVisual(&shared.rootVisual);
    if (SUCCEEDED(hr)) hr = shared.target->SetRoot(shared.rootVisual.Get());
    if (FAILED(hr)) {
      shared.Reset();
      return hr;
    }
  }
  m_pDCompDevice = shared.device;
  hr = m_pDCompDevice->CreateVisual(&m_pRootVisual);
  if (FAILED(hr)) return hr;
  hr = shared.rootVisual->AddVisual(m_pRootVisual.Get(), TRUE, nullptr);
  if (FAILED(hr)) {
    m_pRootVisual.Reset();
    return hr;
  }
  if (videoRect != nullptr) {
    m_offset = {videoRect->left, videoRect->top};
    m_pRootVisual->SetOffsetX(static_cast<float>(videoRect->left));
    m_pRootVisual->SetOffsetY(static_cast<float>(videoRect->top));
  }
  ++shared.visualCount;
  return S_OK;
}

void CompositionVisual::Release() {
  m_pDCompDevice.Reset();
  CompositionShared& shared = Composition();
  if (!m_pRootVisual) return;
  CriticalSectionGuard compositionGuard(&shared.lock);
  if (shared.rootVisual) {
    shared.rootVisual->RemoveVisual(m_pRootVisual.Get());
    m_pRootVisual.Reset();
    if (shared.visualCount > 0 && --shared.visualCount == 0) shared.Reset();
  } else {
    m_pRootVisual.Reset();
  }
}

HRESULT CompositionVisual::SetContent(IUnknown* content) {
  HRESULT hr = m_pRootVisual ? m_pRootVisual->SetContent(content) : E_POINTER;
  ORVO_RETURN_IF_FAILED(hr, "Dx11Renderer::UpdateDXGISwapChain[%p]: m_pRootVisual->SetContent", m_owner);
  hr = m_pDCompDevice->Commit();
  LogIfFailed(hr, "Dx11Renderer::UpdateDXGISwapChain[%p]: m_pDCompDevice->Commit", m_owner);
  return hr;
}

HRESULT CompositionVisual::MoveTo(int x, int y) {
  m_offset = {x, y};
  if (!m_pRootVisual || !m_pDCompDevice) return S_OK;
  HRESULT hr = m_pRootVisual->SetOffsetX(static_cast<float>(x));
  if (SUCCEEDED(hr)) hr = m_pRootVisual->SetOffsetY(static_cast<float>(y));
  if (SUCCEEDED(hr)) hr = m_pDCompDevice->Commit();
  LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pRootVisual offset", m_owner);
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
