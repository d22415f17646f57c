#pragma once

#include <d3d11.h>

#include <atomic>
#include <memory>

namespace ORVO {
namespace MediaFoundation {

class ID3D11VideoDeviceWrapper;

// A Direct3D 11 device that the renderer hands to the DXGI device manager in wrapper mode (device
// creation mode 5). Every device method reaches the real device unchanged; only its video interface
// differs (ID3D11VideoDeviceWrapper refuses CreateVideoDecoder). Interfaces other than ID3D11Device
// and ID3D11VideoDevice (the DXGI ones in particular) come from the real device itself.
//
// Objects created through the wrapper belong to the real device: their GetDevice reports the real
// device, not the wrapper.
//
// Threads: no locking of its own; the real device's immediate context is multithread-protected.
class ID3D11DeviceWrapper : public ID3D11Device {
 public:
  // Wraps device, taking a reference of its own; the caller keeps (and later releases) its own.
  // The video interface is queried from the device; a device without one gets a wrapper whose
  // QueryInterface refuses ID3D11VideoDevice, as the device itself does.
  static HRESULT Create(ID3D11Device* device, ID3D11DeviceWrapper** ppWrapper);
  // Seam for tests: wraps device but uses videoDevice (which may be null) as its video interface.
  // videoDevice must live as long as device.
  static HRESULT CreateWithVideoDevice(ID3D11Device* device, ID3D11VideoDevice* videoDevice,
                                       ID3D11DeviceWrapper** ppWrapper);

  // Whether device is a wrapper (asked through a private interface identifier, so that any device
  // pointer, whatever implements it, can be asked).
  static bool IsWrapper(ID3D11Device* device);
  // Whether two device pointers are the same device by COM identity: a wrapper and the device it
  // wraps are the same device (textures created through the wrapper report the real device).
  static bool IsSameDevice(ID3D11Device* a, ID3D11Device* b);

  ID3D11DeviceWrapper(const ID3D11DeviceWrapper&) = delete;
  ID3D11DeviceWrapper& operator=(const ID3D11DeviceWrapper&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateBuffer(const D3D11_BUFFER_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Buffer **ppBuffer) override;
  HRESULT STDMETHODCALLTYPE CreateTexture1D(const D3D11_TEXTURE1D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture1D **ppTexture1D) override;
  HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture2D **ppTexture2D) override;
  HRESULT STDMETHODCALLTYPE CreateTexture3D(const D3D11_TEXTURE3D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture3D **ppTexture3D) override;
  HRESULT STDMETHODCALLTYPE CreateShaderResourceView(ID3D11Resource *pResource, const D3D11_SHADER_RESOURCE_VIEW_DESC *pDesc, ID3D11ShaderResourceView **ppSRView) override;
  HRESULT STDMETHODCALLTYPE CreateUnorderedAccessView(ID3D11Resource *pResource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *pDesc, ID3D11UnorderedAccessView **ppUAView) override;
  HRESULT STDMETHODCALLTYPE CreateRenderTargetView(ID3D11Resource *pResource, const D3D11_RENDER_TARGET_VIEW_DESC *pDesc, ID3D11RenderTargetView **ppRTView) override;
  HRESULT STDMETHODCALLTYPE CreateDepthStencilView(ID3D11Resource *pResource, const D3D11_DEPTH_STENCIL_VIEW_DESC *pDesc, ID3D11DepthStencilView **ppDepthStencilView) override;
  HRESULT STDMETHODCALLTYPE CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *pInputElementDescs, UINT NumElements, const void *pShaderBytecodeWithInputSignature, SIZE_T BytecodeLength, ID3D11InputLayout **ppInputLayout) override;
  HRESULT STDMETHODCALLTYPE CreateVertexShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11VertexShader **ppVertexShader) override;
  HRESULT STDMETHODCALLTYPE CreateGeometryShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11GeometryShader **ppGeometryShader) override;
  HRESULT STDMETHODCALLTYPE CreateGeometryShaderWithStreamOutput(const void *pShaderBytecode, SIZE_T BytecodeLength, const D3D11_SO_DECLARATION_ENTRY *pSODeclaration, UINT NumEntries, const UINT *pBufferStrides, UINT NumStrides, UINT RasterizedStream, ID3D11ClassLinkage *pClassLinkage, ID3D11GeometryShader **ppGeometryShader) override;
  HRESULT STDMETHODCALLTYPE CreatePixelShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11PixelShader **ppPixelShader) override;
  HRESULT STDMETHODCALLTYPE CreateHullShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11HullShader **ppHullShader) override;
  HRESULT STDMETHODCALLTYPE CreateDomainShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11DomainShader **ppDomainShader) override;
  HRESULT STDMETHODCALLTYPE CreateComputeShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11ComputeShader **ppComputeShader) override;
  HRESULT STDMETHODCALLTYPE CreateClassLinkage(ID3D11ClassLinkage **ppLinkage) override;
  HRESULT STDMETHODCALLTYPE CreateBlendState(const D3D11_BLEND_DESC *pBlendStateDesc, ID3D11BlendState **ppBlendState) override;
  HRESULT STDMETHODCALLTYPE CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *pDepthStencilDesc, ID3D11DepthStencilState **ppDepthStencilState) override;
  HRESULT STDMETHODCALLTYPE CreateRasterizerState(const D3D11_RASTERIZER_DESC *pRasterizerDesc, ID3D11RasterizerState **ppRasterizerState) override;
  HRESULT STDMETHODCALLTYPE CreateSamplerState(const D3D11_SAMPLER_DESC *pSamplerDesc, ID3D11SamplerState **ppSamplerState) override;
  HRESULT STDMETHODCALLTYPE CreateQuery(const D3D11_QUERY_DESC *pQueryDesc, ID3D11Query **ppQuery) override;
  HRESULT STDMETHODCALLTYPE CreatePredicate(const D3D11_QUERY_DESC *pPredicateDesc, ID3D11Predicate **ppPredicate) override;
  HRESULT STDMETHODCALLTYPE CreateCounter(const D3D11_COUNTER_DESC *pCounterDesc, ID3D11Counter **ppCounter) override;
  HRESULT STDMETHODCALLTYPE CreateDeferredContext(UINT ContextFlags, ID3D11DeviceContext **ppDeferredContext) override;
  HRESULT STDMETHODCALLTYPE OpenSharedResource(HANDLE hResource, REFIID ReturnedInterface, void **ppResource) override;
  HRESULT STDMETHODCALLTYPE CheckFormatSupport(DXGI_FORMAT Format, UINT *pFormatSupport) override;
  HRESULT STDMETHODCALLTYPE CheckMultisampleQualityLevels(DXGI_FORMAT Format, UINT SampleCount, UINT *pNumQualityLevels) override;
  void STDMETHODCALLTYPE CheckCounterInfo(D3D11_COUNTER_INFO *pCounterInfo) override;
  HRESULT STDMETHODCALLTYPE CheckCounter(const D3D11_COUNTER_DESC *pDesc, D3D11_COUNTER_TYPE *pType, UINT *pActiveCounters, LPSTR szName, UINT *pNameLength, LPSTR szUnits, UINT *pUnitsLength, LPSTR szDescription, UINT *pDescriptionLength) override;
  HRESULT STDMETHODCALLTYPE CheckFeatureSupport(D3D11_FEATURE Feature, void *pFeatureSupportData, UINT FeatureSupportDataSize) override;
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT *pDataSize, void *pData) override;
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void *pData) override;
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown *pData) override;
  D3D_FEATURE_LEVEL STDMETHODCALLTYPE GetFeatureLevel() override;
  UINT STDMETHODCALLTYPE GetCreationFlags() override;
  HRESULT STDMETHODCALLTYPE GetDeviceRemovedReason() override;
  void STDMETHODCALLTYPE GetImmediateContext(ID3D11DeviceContext **ppImmediateContext) override;
  HRESULT STDMETHODCALLTYPE SetExceptionMode(UINT RaiseFlags) override;
  UINT STDMETHODCALLTYPE GetExceptionMode() override;

  virtual ~ID3D11DeviceWrapper();

  ID3D11Device* inner() const { return m_pInner; }
  ID3D11VideoDeviceWrapper* videoWrapper() const { return m_pVideoWrapper.get(); }
  LONG referenceCount() const { return m_refCount.load(); }
  // Wrappers alive in the process; lets tests prove that the last release frees them.
  static LONG LiveInstances();

 private:
  explicit ID3D11DeviceWrapper(ID3D11Device* device);

  ID3D11Device* m_pInner;
  std::atomic<LONG> m_refCount{1};
  // Shares this wrapper's reference count (its references are ours), so it is owned, not counted.
  std::unique_ptr<ID3D11VideoDeviceWrapper> m_pVideoWrapper;
};

}  // namespace MediaFoundation
}  // namespace ORVO
