#include "render/ID3D11DeviceWrapper.h"

#include <wrl/client.h>

#include <new>

#include "render/D3D11Forward.h"
#include "render/ID3D11VideoDeviceWrapper.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {
std::atomic<LONG> g_liveDeviceWrappers{0};

// Private interface identifier under which a wrapper answers with itself; no other object knows
// it. {6F1B7C52-3D0A-4E8B-9C41-2A7E5D8F0B63}
constexpr GUID kIID_DeviceWrapper = {0x6f1b7c52, 0x3d0a, 0x4e8b, {0x9c, 0x41, 0x2a, 0x7e, 0x5d, 0x8f, 0x0b, 0x63}};
}  // namespace

LONG ID3D11DeviceWrapper::LiveInstances() { return g_liveDeviceWrappers.load(); }

HRESULT ID3D11DeviceWrapper::Create(ID3D11Device* device, ID3D11DeviceWrapper** ppWrapper) {
  if (device == nullptr || ppWrapper == nullptr) {
    return E_POINTER;
  }
  // The queried reference is dropped at once: the video interface lives as long as the device.
  ComPtr<ID3D11VideoDevice> videoDevice;
  device->QueryInterface(IID_PPV_ARGS(&videoDevice));
  return CreateWithVideoDevice(device, videoDevice.Get(), ppWrapper);
}

HRESULT ID3D11DeviceWrapper::CreateWithVideoDevice(ID3D11Device* device, ID3D11VideoDevice* videoDevice,
                                                   ID3D11DeviceWrapper** ppWrapper) {
  if (device == nullptr || ppWrapper == nullptr) {
    return E_POINTER;
  }
  *ppWrapper = nullptr;
  ID3D11DeviceWrapper* wrapper = new (std::nothrow) ID3D11DeviceWrapper(device);
  if (wrapper == nullptr) {
    return E_OUTOFMEMORY;
  }
  wrapper->m_pVideoWrapper.reset(new (std::nothrow) ID3D11VideoDeviceWrapper(videoDevice, wrapper));
  if (wrapper->m_pVideoWrapper == nullptr) {
    wrapper->Release();
    return E_OUTOFMEMORY;
  }
  *ppWrapper = wrapper;
  return S_OK;
}

bool ID3D11DeviceWrapper::IsWrapper(ID3D11Device* device) {
  if (device == nullptr) {
    return false;
  }
  void* self = nullptr;
  if (FAILED(device->QueryInterface(kIID_DeviceWrapper, &self)) || self == nullptr) {
    return false;
  }
  static_cast<ID3D11Device*>(self)->Release();
  return true;
}

bool ID3D11DeviceWrapper::IsSameDevice(ID3D11Device* a, ID3D11Device* b) {
  if (a == b) {
    return true;
  }
  if (a == nullptr || b == nullptr) {
    return false;
  }
  // The wrapper forwards IUnknown to the real device, so both answer with the same identity.
  ComPtr<IUnknown> identityA;
  ComPtr<IUnknown> identityB;
  if (FAILED(a->QueryInterface(IID_PPV_ARGS(&identityA))) || FAILED(b->QueryInterface(IID_PPV_ARGS(&identityB)))) {
    return false;
  }
  return identityA.Get() == identityB.Get();
}

ID3D11DeviceWrapper::ID3D11DeviceWrapper(ID3D11Device* device) : m_pInner(device) {
  m_pInner->AddRef();
  ++g_liveDeviceWrappers;
}

ID3D11DeviceWrapper::~ID3D11DeviceWrapper() {
  m_pVideoWrapper.reset();
  --g_liveDeviceWrappers;
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) {
    return E_POINTER;
  }
  if (riid == __uuidof(ID3D11VideoDevice)) {
    // A device without video support keeps refusing the interface: handing out a wrapper around
    // nothing would crash the first caller that uses it.
    if (m_pVideoWrapper == nullptr || m_pVideoWrapper->inner() == nullptr) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    m_pVideoWrapper->AddRef();
    *ppv = static_cast<ID3D11VideoDevice*>(m_pVideoWrapper.get());
    return S_OK;
  }
  if (riid == __uuidof(ID3D11Device) || riid == kIID_DeviceWrapper) {
    AddRef();
    *ppv = static_cast<ID3D11Device*>(this);
    return S_OK;
  }
  return m_pInner->QueryInterface(riid, ppv);
}

// Each wrapper reference holds one reference of the real device, so the real device is released
// exactly once per wrapper reference and for the last time together with the wrapper.
ULONG STDMETHODCALLTYPE ID3D11DeviceWrapper::AddRef() {
  ++m_refCount;
  return m_pInner->AddRef();
}

ULONG STDMETHODCALLTYPE ID3D11DeviceWrapper::Release() {
  const ULONG inner = m_pInner->Release();
  if (--m_refCount == 0) {
    delete this;
  }
  return inner;
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateBuffer(const D3D11_BUFFER_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Buffer **ppBuffer) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateBuffer, pDesc, pInitialData, ppBuffer);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateTexture1D(const D3D11_TEXTURE1D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture1D **ppTexture1D) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateTexture1D, pDesc, pInitialData, ppTexture1D);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateTexture2D(const D3D11_TEXTURE2D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture2D **ppTexture2D) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateTexture2D, pDesc, pInitialData, ppTexture2D);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateTexture3D(const D3D11_TEXTURE3D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture3D **ppTexture3D) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateTexture3D, pDesc, pInitialData, ppTexture3D);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateShaderResourceView(ID3D11Resource *pResource, const D3D11_SHADER_RESOURCE_VIEW_DESC *pDesc, ID3D11ShaderResourceView **ppSRView) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateShaderResourceView, pResource, pDesc, ppSRView);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateUnorderedAccessView(ID3D11Resource *pResource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *pDesc, ID3D11UnorderedAccessView **ppUAView) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateUnorderedAccessView, pResource, pDesc, ppUAView);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateRenderTargetView(ID3D11Resource *pResource, const D3D11_RENDER_TARGET_VIEW_DESC *pDesc, ID3D11RenderTargetView **ppRTView) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateRenderTargetView, pResource, pDesc, ppRTView);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateDepthStencilView(ID3D11Resource *pResource, const D3D11_DEPTH_STENCIL_VIEW_DESC *pDesc, ID3D11DepthStencilView **ppDepthStencilView) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateDepthStencilView, pResource, pDesc, ppDepthStencilView);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *pInputElementDescs, UINT NumElements, const void *pShaderBytecodeWithInputSignature, SIZE_T BytecodeLength, ID3D11InputLayout **ppInputLayout) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateInputLayout, pInputElementDescs, NumElements, pShaderBytecodeWithInputSignature, BytecodeLength, ppInputLayout);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateVertexShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11VertexShader **ppVertexShader) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateVertexShader, pShaderBytecode, BytecodeLength, pClassLinkage, ppVertexShader);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateGeometryShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11GeometryShader **ppGeometryShader) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateGeometryShader, pShaderBytecode, BytecodeLength, pClassLinkage, ppGeometryShader);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateGeometryShaderWithStreamOutput(const void *pShaderBytecode, SIZE_T BytecodeLength, const D3D11_SO_DECLARATION_ENTRY *pSODeclaration, UINT NumEntries, const UINT *pBufferStrides, UINT NumStrides, UINT RasterizedStream, ID3D11ClassLinkage *pClassLinkage, ID3D11GeometryShader **ppGeometryShader) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateGeometryShaderWithStreamOutput, pShaderBytecode, BytecodeLength, pSODeclaration, NumEntries, pBufferStrides, NumStrides, RasterizedStream, pClassLinkage, ppGeometryShader);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreatePixelShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11PixelShader **ppPixelShader) {
  return ForwardCall(m_pInner, &ID3D11Device::CreatePixelShader, pShaderBytecode, BytecodeLength, pClassLinkage, ppPixelShader);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateHullShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11HullShader **ppHullShader) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateHullShader, pShaderBytecode, BytecodeLength, pClassLinkage, ppHullShader);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateDomainShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11DomainShader **ppDomainShader) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateDomainShader, pShaderBytecode, BytecodeLength, pClassLinkage, ppDomainShader);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateComputeShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11ComputeShader **ppComputeShader) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateComputeShader, pShaderBytecode, BytecodeLength, pClassLinkage, ppComputeShader);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateClassLinkage(ID3D11ClassLinkage **ppLinkage) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateClassLinkage, ppLinkage);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateBlendState(const D3D11_BLEND_DESC *pBlendStateDesc, ID3D11BlendState **ppBlendState) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateBlendState, pBlendStateDesc, ppBlendState);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *pDepthStencilDesc, ID3D11DepthStencilState **ppDepthStencilState) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateDepthStencilState, pDepthStencilDesc, ppDepthStencilState);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateRasterizerState(const D3D11_RASTERIZER_DESC *pRasterizerDesc, ID3D11RasterizerState **ppRasterizerState) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateRasterizerState, pRasterizerDesc, ppRasterizerState);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateSamplerState(const D3D11_SAMPLER_DESC *pSamplerDesc, ID3D11SamplerState **ppSamplerState) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateSamplerState, pSamplerDesc, ppSamplerState);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateQuery(const D3D11_QUERY_DESC *pQueryDesc, ID3D11Query **ppQuery) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateQuery, pQueryDesc, ppQuery);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreatePredicate(const D3D11_QUERY_DESC *pPredicateDesc, ID3D11Predicate **ppPredicate) {
  return ForwardCall(m_pInner, &ID3D11Device::CreatePredicate, pPredicateDesc, ppPredicate);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateCounter(const D3D11_COUNTER_DESC *pCounterDesc, ID3D11Counter **ppCounter) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateCounter, pCounterDesc, ppCounter);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CreateDeferredContext(UINT ContextFlags, ID3D11DeviceContext **ppDeferredContext) {
  return ForwardCall(m_pInner, &ID3D11Device::CreateDeferredContext, ContextFlags, ppDeferredContext);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::OpenSharedResource(HANDLE hResource, REFIID ReturnedInterface, void **ppResource) {
  return ForwardCall(m_pInner, &ID3D11Device::OpenSharedResource, hResource, ReturnedInterface, ppResource);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CheckFormatSupport(DXGI_FORMAT Format, UINT *pFormatSupport) {
  return ForwardCall(m_pInner, &ID3D11Device::CheckFormatSupport, Format, pFormatSupport);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CheckMultisampleQualityLevels(DXGI_FORMAT Format, UINT SampleCount, UINT *pNumQualityLevels) {
  return ForwardCall(m_pInner, &ID3D11Device::CheckMultisampleQualityLevels, Format, SampleCount, pNumQualityLevels);
}

void STDMETHODCALLTYPE ID3D11DeviceWrapper::CheckCounterInfo(D3D11_COUNTER_INFO *pCounterInfo) {
  return ForwardCall(m_pInner, &ID3D11Device::CheckCounterInfo, pCounterInfo);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CheckCounter(const D3D11_COUNTER_DESC *pDesc, D3D11_COUNTER_TYPE *pType, UINT *pActiveCounters, LPSTR szName, UINT *pNameLength, LPSTR szUnits, UINT *pUnitsLength, LPSTR szDescription, UINT *pDescriptionLength) {
  return ForwardCall(m_pInner, &ID3D11Device::CheckCounter, pDesc, pType, pActiveCounters, szName, pNameLength, szUnits, pUnitsLength, szDescription, pDescriptionLength);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::CheckFeatureSupport(D3D11_FEATURE Feature, void *pFeatureSupportData, UINT FeatureSupportDataSize) {
  return ForwardCall(m_pInner, &ID3D11Device::CheckFeatureSupport, Feature, pFeatureSupportData, FeatureSupportDataSize);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::GetPrivateData(REFGUID guid, UINT *pDataSize, void *pData) {
  return ForwardCall(m_pInner, &ID3D11Device::GetPrivateData, guid, pDataSize, pData);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::SetPrivateData(REFGUID guid, UINT DataSize, const void *pData) {
  return ForwardCall(m_pInner, &ID3D11Device::SetPrivateData, guid, DataSize, pData);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::SetPrivateDataInterface(REFGUID guid, const IUnknown *pData) {
  return ForwardCall(m_pInner, &ID3D11Device::SetPrivateDataInterface, guid, pData);
}

D3D_FEATURE_LEVEL STDMETHODCALLTYPE ID3D11DeviceWrapper::GetFeatureLevel() {
  return ForwardCall(m_pInner, &ID3D11Device::GetFeatureLevel);
}

UINT STDMETHODCALLTYPE ID3D11DeviceWrapper::GetCreationFlags() {
  return ForwardCall(m_pInner, &ID3D11Device::GetCreationFlags);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::GetDeviceRemovedReason() {
  return ForwardCall(m_pInner, &ID3D11Device::GetDeviceRemovedReason);
}

void STDMETHODCALLTYPE ID3D11DeviceWrapper::GetImmediateContext(ID3D11DeviceContext **ppImmediateContext) {
  return ForwardCall(m_pInner, &ID3D11Device::GetImmediateContext, ppImmediateContext);
}

HRESULT STDMETHODCALLTYPE ID3D11DeviceWrapper::SetExceptionMode(UINT RaiseFlags) {
  return ForwardCall(m_pInner, &ID3D11Device::SetExceptionMode, RaiseFlags);
}

UINT STDMETHODCALLTYPE ID3D11DeviceWrapper::GetExceptionMode() {
  return ForwardCall(m_pInner, &ID3D11Device::GetExceptionMode);
}

}  // namespace MediaFoundation
}  // namespace ORVO
