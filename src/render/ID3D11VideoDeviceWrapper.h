#pragma once

#include <d3d11.h>

#include <atomic>

namespace ORVO {
namespace MediaFoundation {

class ID3D11DeviceWrapper;

// The video interface of the wrapper device: behaves like the real ID3D11VideoDevice except that it
// refuses CreateVideoDecoder, so a Media Foundation component handed the wrapper can still build
// video processors and views but never a hardware decoder on this device.
//
// Lifetime: owned by its ID3D11DeviceWrapper and destroyed with it, never by its own Release. Its
// references are counted here and also passed on to the owning wrapper, so a component that keeps
// only the video interface keeps the whole wrapper (and the real device) alive.
class ID3D11VideoDeviceWrapper : public ID3D11VideoDevice {
 public:
  // inner may be null (a device without video support); it is held without a reference of its
  // own: the real device behind owner keeps it alive.
  ID3D11VideoDeviceWrapper(ID3D11VideoDevice* inner, ID3D11DeviceWrapper* owner);
  ID3D11VideoDeviceWrapper(const ID3D11VideoDeviceWrapper&) = delete;
  ID3D11VideoDeviceWrapper& operator=(const ID3D11VideoDeviceWrapper&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateVideoDecoder(const D3D11_VIDEO_DECODER_DESC *pVideoDesc, const D3D11_VIDEO_DECODER_CONFIG *pConfig, ID3D11VideoDecoder **ppDecoder) override;
  HRESULT STDMETHODCALLTYPE CreateVideoProcessor(ID3D11VideoProcessorEnumerator *pEnum, UINT RateConversionIndex, ID3D11VideoProcessor **ppVideoProcessor) override;
  HRESULT STDMETHODCALLTYPE CreateAuthenticatedChannel(D3D11_AUTHENTICATED_CHANNEL_TYPE ChannelType, ID3D11AuthenticatedChannel **ppAuthenticatedChannel) override;
  HRESULT STDMETHODCALLTYPE CreateCryptoSession(const GUID *pCryptoType, const GUID *pDecoderProfile, const GUID *pKeyExchangeType, ID3D11CryptoSession **ppCryptoSession) override;
  HRESULT STDMETHODCALLTYPE CreateVideoDecoderOutputView(ID3D11Resource *pResource, const D3D11_VIDEO_DECODER_OUTPUT_VIEW_DESC *pDesc, ID3D11VideoDecoderOutputView **ppVDOVView) override;
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorInputView(ID3D11Resource *pResource, ID3D11VideoProcessorEnumerator *pEnum, const D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC *pDesc, ID3D11VideoProcessorInputView **ppVPIView) override;
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorOutputView(ID3D11Resource *pResource, ID3D11VideoProcessorEnumerator *pEnum, const D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC *pDesc, ID3D11VideoProcessorOutputView **ppVPOView) override;
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorEnumerator(const D3D11_VIDEO_PROCESSOR_CONTENT_DESC *pDesc, ID3D11VideoProcessorEnumerator **ppEnum) override;
  UINT STDMETHODCALLTYPE GetVideoDecoderProfileCount() override;
  HRESULT STDMETHODCALLTYPE GetVideoDecoderProfile(UINT Index, GUID *pDecoderProfile) override;
  HRESULT STDMETHODCALLTYPE CheckVideoDecoderFormat(const GUID *pDecoderProfile, DXGI_FORMAT Format, BOOL *pSupported) override;
  HRESULT STDMETHODCALLTYPE GetVideoDecoderConfigCount(const D3D11_VIDEO_DECODER_DESC *pDesc, UINT *pCount) override;
  HRESULT STDMETHODCALLTYPE GetVideoDecoderConfig(const D3D11_VIDEO_DECODER_DESC *pDesc, UINT Index, D3D11_VIDEO_DECODER_CONFIG *pConfig) override;
  HRESULT STDMETHODCALLTYPE GetContentProtectionCaps(const GUID *pCryptoType, const GUID *pDecoderProfile, D3D11_VIDEO_CONTENT_PROTECTION_CAPS *pCaps) override;
  HRESULT STDMETHODCALLTYPE CheckCryptoKeyExchange(const GUID *pCryptoType, const GUID *pDecoderProfile, UINT Index, GUID *pKeyExchangeType) override;
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID guid, UINT DataSize, const void *pData) override;
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID guid, const IUnknown *pData) override;

  virtual ~ID3D11VideoDeviceWrapper();

  ID3D11VideoDevice* inner() const { return m_pInner; }
  // References handed out through this interface and not yet released.
  LONG referenceCount() const { return m_refCount.load(); }
  // Wrappers alive in the process; lets tests prove that the last release frees them.
  static LONG LiveInstances();

 private:
  ID3D11VideoDevice* m_pInner;
  std::atomic<LONG> m_refCount{0};
  ID3D11DeviceWrapper* m_pOwner;
};

}  // namespace MediaFoundation
}  // namespace ORVO
