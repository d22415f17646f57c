#pragma once

// Forwarding probes: doubles of ID3D11Device and ID3D11VideoDevice whose every method records its
// name and the bytes of its arguments, and answers with a value derived from its name. Calling a
// method once through a wrapper and once directly on the probe with the same arguments must leave
// two equal records and give equal results if the wrapper forwards that method unchanged.

#include <d3d11.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace ORVO {
namespace Test {

struct ProbeCall {
  std::string method;
  std::vector<unsigned char> argumentBytes;
  bool operator==(const ProbeCall& other) const {
    return method == other.method && argumentBytes == other.argumentBytes;
  }
};

// The answer a probe gives for a method: distinct per method name, of the method's result type.
template <class R>
R ProbeResult(const char* method) {
  uint32_t hash = 2166136261u;
  for (const char* p = method; *p != 0; ++p) {
    hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
  }
  if constexpr (std::is_void_v<R>) {
    return;
  } else {
    return static_cast<R>(hash | 1u);
  }
}

class ProbeRecorder {
 public:
  std::vector<ProbeCall> calls;
  std::atomic<LONG> refCount{1};

 protected:
  template <class R, class... Args>
  R record(const char* method, const Args&... args) {
    ProbeCall call;
    call.method = method;
    (append(call.argumentBytes, args), ...);
    calls.push_back(call);
    return ProbeResult<R>(method);
  }

 private:
  template <class T>
  static void append(std::vector<unsigned char>& bytes, const T& value) {
    const unsigned char* begin = reinterpret_cast<const unsigned char*>(&value);
    bytes.insert(bytes.end(), begin, begin + sizeof(T));
  }
};

class ProbeD3D11Device : public ID3D11Device, public ProbeRecorder {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return record<HRESULT>("QueryInterface", riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount; }
  ULONG STDMETHODCALLTYPE Release() override { return --refCount; }
  HRESULT STDMETHODCALLTYPE CreateBuffer(const D3D11_BUFFER_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Buffer **ppBuffer) override {
    return record<HRESULT>("CreateBuffer", pDesc, pInitialData, ppBuffer);
  }
  HRESULT STDMETHODCALLTYPE CreateTexture1D(const D3D11_TEXTURE1D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture1D **ppTexture1D) override {
    return record<HRESULT>("CreateTexture1D", pDesc, pInitialData, ppTexture1D);
  }
  HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture2D **ppTexture2D) override {
    return record<HRESULT>("CreateTexture2D", pDesc, pInitialData, ppTexture2D);
  }
  HRESULT STDMETHODCALLTYPE CreateTexture3D(const D3D11_TEXTURE3D_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData, ID3D11Texture3D **ppTexture3D) override {
    return record<HRESULT>("CreateTexture3D", pDesc, pInitialData, ppTexture3D);
  }
  HRESULT STDMETHODCALLTYPE CreateShaderResourceView(ID3D11Resource *pResource, const D3D11_SHADER_RESOURCE_VIEW_DESC *pDesc, ID3D11ShaderResourceView **ppSRView) override {
    return record<HRESULT>("CreateShaderResourceView", pResource, pDesc, ppSRView);
  }
  HRESULT STDMETHODCALLTYPE CreateUnorderedAccessView(ID3D11Resource *pResource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *pDesc, ID3D11UnorderedAccessView **ppUAView) override {
    return record<HRESULT>("CreateUnorderedAccessView", pResource, pDesc, ppUAView);
  }
  HRESULT STDMETHODCALLTYPE CreateRenderTargetView(ID3D11Resource *pResource, const D3D11_RENDER_TARGET_VIEW_DESC *pDesc, ID3D11RenderTargetView **ppRTView) override {
    return record<HRESULT>("CreateRenderTargetView", pResource, pDesc, ppRTView);
  }
  HRESULT STDMETHODCALLTYPE CreateDepthStencilView(ID3D11Resource *pResource, const D3D11_DEPTH_STENCIL_VIEW_DESC *pDesc, ID3D11DepthStencilView **ppDepthStencilView) override {
    return record<HRESULT>("CreateDepthStencilView", pResource, pDesc, ppDepthStencilView);
  }
  HRESULT STDMETHODCALLTYPE CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *pInputElementDescs, UINT NumElements, const void *pShaderBytecodeWithInputSignature, SIZE_T BytecodeLength, ID3D11InputLayout **ppInputLayout) override {
    return record<HRESULT>("CreateInputLayout", pInputElementDescs, NumElements, pShaderBytecodeWithInputSignature, BytecodeLength, ppInputLayout);
  }
  HRESULT STDMETHODCALLTYPE CreateVertexShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11VertexShader **ppVertexShader) override {
    return record<HRESULT>("CreateVertexShader", pShaderBytecode, BytecodeLength, pClassLinkage, ppVertexShader);
  }
  HRESULT STDMETHODCALLTYPE CreateGeometryShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11GeometryShader **ppGeometryShader) override {
    return record<HRESULT>("CreateGeometryShader", pShaderBytecode, BytecodeLength, pClassLinkage, ppGeometryShader);
  }
  HRESULT STDMETHODCALLTYPE CreateGeometryShaderWithStreamOutput(const void *pShaderBytecode, SIZE_T BytecodeLength, const D3D11_SO_DECLARATION_ENTRY *pSODeclaration, UINT NumEntries, const UINT *pBufferStrides, UINT NumStrides, UINT RasterizedStream, ID3D11ClassLinkage *pClassLinkage, ID3D11GeometryShader **ppGeometryShader) override {
    return record<HRESULT>("CreateGeometryShaderWithStreamOutput", pShaderBytecode, BytecodeLength, pSODeclaration, NumEntries, pBufferStrides, NumStrides, RasterizedStream, pClassLinkage, ppGeometryShader);
  }
  HRESULT STDMETHODCALLTYPE CreatePixelShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11PixelShader **ppPixelShader) override {
    return record<HRESULT>("CreatePixelShader", pShaderBytecode, BytecodeLength, pClassLinkage, ppPixelShader);
  }
  HRESULT STDMETHODCALLTYPE CreateHullShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11HullShader **ppHullShader) override {
    return record<HRESULT>("CreateHullShader", pShaderBytecode, BytecodeLength, pClassLinkage, ppHullShader);
  }
  HRESULT STDMETHODCALLTYPE CreateDomainShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11DomainShader **ppDomainShader) override {
    return record<HRESULT>("CreateDomainShader", pShaderBytecode, BytecodeLength, pClassLinkage, ppDomainShader);
  }
  HRESULT STDMETHODCALLTYPE CreateComputeShader(const void *pShaderBytecode, SIZE_T BytecodeLength, ID3D11ClassLinkage *pClassLinkage, ID3D11ComputeShader **ppComputeShader) override {
    return record<HRESULT>("CreateComputeShader", pShaderBytecode, BytecodeLength, pClassLinkage, ppComputeShader);
  }
  HRESULT STDMETHODCALLTYPE CreateClassLinkage(ID3D11ClassLinkage **ppLinkage) override {
    return record<HRESULT>("CreateClassLinkage", ppLinkage);
  }
  HRESULT STDMETHODCALLTYPE CreateBlendState(const D3D11_BLEND_DESC *pBlendStateDesc, ID3D11BlendState **ppBlendState) override {
    return record<HRESULT>("CreateBlendState", pBlendStateDesc, ppBlendState);
  }
  HRESULT STDMETHODCALLTYPE CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *pDepthStencilDesc, ID3D11DepthStencilState **ppDepthStencilState) override {
    return record<HRESULT>("CreateDepthStencilState", pDepthStencilDesc, ppDepthStencilState);
  }
  HRESULT STDMETHODCALLTYPE CreateRasterizerState(const D3D11_RASTERIZER_DESC *pRasterizerDesc, ID3D11RasterizerState **ppRasterizerState) override {
    return record<HRESULT>("CreateRasterizerState", pRasterizerDesc, ppRasterizerState);
  }
  HRESULT STDMETHODCALLTYPE CreateSamplerState(const D3D11_SAMPLER_DESC *pSamplerDesc, ID3D11SamplerState **ppSamplerState) override {
    return record<HRESULT>("CreateSamplerState", pSamplerDesc, ppSamplerState);
  }
  HRESULT STDMETHODCALLTYPE CreateQuery(const D3D11_QUERY_DESC *pQueryDesc, ID3D11Query **ppQuery) override {
    return record<HRESULT>("CreateQuery", pQueryDesc, ppQuery);
  }
  HRESULT STDMETHODCALLTYPE CreatePredicate(const D3D11_QUERY_DESC *pPredicateDesc, ID3D11Predicate **ppPredicate) override {
    return record<HRESULT>("CreatePredicate", pPredicateDesc, ppPredicate);
  }
  HRESULT STDMETHODCALLTYPE CreateCounter(const D3D11_COUNTER_DESC *pCounterDesc, ID3D11Counter **ppCounter) override {
    return record<HRESULT>("CreateCounter", pCounterDesc, ppCounter);
  }
  HRESULT STDMETHODCALLTYPE CreateDeferredContext(UINT ContextFlags, ID3D11DeviceContext **ppDeferredContext) override {
    return record<HRESULT>("CreateDeferredContext", ContextFlags, ppDeferredContext);
  }
  HRESULT STDMETHODCALLTYPE OpenSharedResource(HANDLE hResource, REFIID ReturnedInterface, void **ppResource) override {
    return record<HRESULT>("OpenSharedResource", hResource, ReturnedInterface, ppResource);
  }
  HRESULT STDMETHODCALLTYPE CheckFormatSupport(DXGI_FORMAT Format, UINT *pFormatSupport) override {
    return record<HRESULT>("CheckFormatSupport", Format, pFormatSupport);
  }
  HRESULT STDMETHODCALLTYPE CheckMultisampleQualityLevels(DXGI_FORMAT Format, UINT SampleCount, UINT *pNumQualityLevels) override {
    return record<HRESULT>("CheckMultisampleQualityLevels", Format, SampleCount, pNumQualityLevels);
  }
  void STDMETHODCALLTYPE CheckCounterInfo(D3D11_COUNTER_INFO *pCounterInfo) override {
    return record<void>("CheckCounterInfo", pCounterInfo);
  }
  HRESULT STDMETHODCALLTYPE CheckCounter(const D3D11_COUNTER_DESC *pDesc, D3D11_COUNTER_TYPE *pType, UINT *pActiveCounters, LPSTR szName, UINT *pNameLength, LPSTR szUnits, UINT *pUnitsLength, LPSTR szDescription, UINT *pDescriptionLength) override {
    return record<HRESULT>("CheckCounter", pDesc, pType, pActiveCounters, szName, pNameLength, szUnits, pUnitsLength, szDescription, pDescriptionLength);
  }
  HRESULT STDMETHODCALLTYPE CheckFeatureSupport(D3D11_FEATURE Feature, void *pFeatureSupportData, UINT FeatureSupportDataSize) override {
    return record<HRESULT>("CheckFeatureSupport", Feature, pFeatureSupportData, FeatureSupportDataSize);
  }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID guid, UINT *pDataSize, void *pData) override {
    return record<HRESULT>("GetPrivateData", guid, pDataSize, pData);
  }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void *pData) override {
    return record<HRESULT>("SetPrivateData", guid, DataSize, pData);
  }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown *pData) override {
    return record<HRESULT>("SetPrivateDataInterface", guid, pData);
  }
  D3D_FEATURE_LEVEL STDMETHODCALLTYPE GetFeatureLevel() override {
    return record<D3D_FEATURE_LEVEL>("GetFeatureLevel");
  }
  UINT STDMETHODCALLTYPE GetCreationFlags() override {
    return record<UINT>("GetCreationFlags");
  }
  HRESULT STDMETHODCALLTYPE GetDeviceRemovedReason() override {
    return record<HRESULT>("GetDeviceRemovedReason");
  }
  void STDMETHODCALLTYPE GetImmediateContext(ID3D11DeviceContext **ppImmediateContext) override {
    return record<void>("GetImmediateContext", ppImmediateContext);
  }
  HRESULT STDMETHODCALLTYPE SetExceptionMode(UINT RaiseFlags) override {
    return record<HRESULT>("SetExceptionMode", RaiseFlags);
  }
  UINT STDMETHODCALLTYPE GetExceptionMode() override {
    return record<UINT>("GetExceptionMode");
  }
};

class ProbeVideoDevice : public ID3D11VideoDevice, public ProbeRecorder {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return record<HRESULT>("QueryInterface", riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refCount; }
  ULONG STDMETHODCALLTYPE Release() override { return --refCount; }
  HRESULT STDMETHODCALLTYPE CreateVideoDecoder(const D3D11_VIDEO_DECODER_DESC *pVideoDesc, const D3D11_VIDEO_DECODER_CONFIG *pConfig, ID3D11VideoDecoder **ppDecoder) override {
    return record<HRESULT>("CreateVideoDecoder", pVideoDesc, pConfig, ppDecoder);
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessor(ID3D11VideoProcessorEnumerator *pEnum, UINT RateConversionIndex, ID3D11VideoProcessor **ppVideoProcessor) override {
    return record<HRESULT>("CreateVideoProcessor", pEnum, RateConversionIndex, ppVideoProcessor);
  }
  HRESULT STDMETHODCALLTYPE CreateAuthenticatedChannel(D3D11_AUTHENTICATED_CHANNEL_TYPE ChannelType, ID3D11AuthenticatedChannel **ppAuthenticatedChannel) override {
    return record<HRESULT>("CreateAuthenticatedChannel", ChannelType, ppAuthenticatedChannel);
  }
  HRESULT STDMETHODCALLTYPE CreateCryptoSession(const GUID *pCryptoType, const GUID *pDecoderProfile, const GUID *pKeyExchangeType, ID3D11CryptoSession **ppCryptoSession) override {
    return record<HRESULT>("CreateCryptoSession", pCryptoType, pDecoderProfile, pKeyExchangeType, ppCryptoSession);
  }
  HRESULT STDMETHODCALLTYPE CreateVideoDecoderOutputView(ID3D11Resource *pResource, const D3D11_VIDEO_DECODER_OUTPUT_VIEW_DESC *pDesc, ID3D11VideoDecoderOutputView **ppVDOVView) override {
    return record<HRESULT>("CreateVideoDecoderOutputView", pResource, pDesc, ppVDOVView);
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorInputView(ID3D11Resource *pResource, ID3D11VideoProcessorEnumerator *pEnum, const D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC *pDesc, ID3D11VideoProcessorInputView **ppVPIView) override {
    return record<HRESULT>("CreateVideoProcessorInputView", pResource, pEnum, pDesc, ppVPIView);
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorOutputView(ID3D11Resource *pResource, ID3D11VideoProcessorEnumerator *pEnum, const D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC *pDesc, ID3D11VideoProcessorOutputView **ppVPOView) override {
    return record<HRESULT>("CreateVideoProcessorOutputView", pResource, pEnum, pDesc, ppVPOView);
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorEnumerator(const D3D11_VIDEO_PROCESSOR_CONTENT_DESC *pDesc, ID3D11VideoProcessorEnumerator **ppEnum) override {
    return record<HRESULT>("CreateVideoProcessorEnumerator", pDesc, ppEnum);
  }
  UINT STDMETHODCALLTYPE GetVideoDecoderProfileCount() override {
    return record<UINT>("GetVideoDecoderProfileCount");
  }
  HRESULT STDMETHODCALLTYPE GetVideoDecoderProfile(UINT Index, GUID *pDecoderProfile) override {
    return record<HRESULT>("GetVideoDecoderProfile", Index, pDecoderProfile);
  }
  HRESULT STDMETHODCALLTYPE CheckVideoDecoderFormat(const GUID *pDecoderProfile, DXGI_FORMAT Format, BOOL *pSupported) override {
    return record<HRESULT>("CheckVideoDecoderFormat", pDecoderProfile, Format, pSupported);
  }
  HRESULT STDMETHODCALLTYPE GetVideoDecoderConfigCount(const D3D11_VIDEO_DECODER_DESC *pDesc, UINT *pCount) override {
    return record<HRESULT>("GetVideoDecoderConfigCount", pDesc, pCount);
  }
  HRESULT STDMETHODCALLTYPE GetVideoDecoderConfig(const D3D11_VIDEO_DECODER_DESC *pDesc, UINT Index, D3D11_VIDEO_DECODER_CONFIG *pConfig) override {
    return record<HRESULT>("GetVideoDecoderConfig", pDesc, Index, pConfig);
  }
  HRESULT STDMETHODCALLTYPE GetContentProtectionCaps(const GUID *pCryptoType, const GUID *pDecoderProfile, D3D11_VIDEO_CONTENT_PROTECTION_CAPS *pCaps) override {
    return record<HRESULT>("GetContentProtectionCaps", pCryptoType, pDecoderProfile, pCaps);
  }
  HRESULT STDMETHODCALLTYPE CheckCryptoKeyExchange(const GUID *pCryptoType, const GUID *pDecoderProfile, UINT Index, GUID *pKeyExchangeType) override {
    return record<HRESULT>("CheckCryptoKeyExchange", pCryptoType, pDecoderProfile, Index, pKeyExchangeType);
  }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void *pData) override {
    return record<HRESULT>("SetPrivateData", guid, DataSize, pData);
  }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown *pData) override {
    return record<HRESULT>("SetPrivateDataInterface", guid, pData);
  }
};

}  // namespace Test
}  // namespace ORVO
