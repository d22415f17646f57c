#include "render/ID3D11VideoDeviceWrapper.h"

#include "render/D3D11Forward.h"
#include "render/ID3D11DeviceWrapper.h"

namespace ORVO {
namespace MediaFoundation {

namespace {
std::atomic<LONG> g_liveVideoWrappers{0};
}  // namespace

LONG ID3D11VideoDeviceWrapper::LiveInstances() { return g_liveVideoWrappers.load(); }

ID3D11VideoDeviceWrapper::ID3D11VideoDeviceWrapper(ID3D11VideoDevice* inner, ID3D11DeviceWrapper* owner)
    : m_pInner(inner), m_pOwner(owner) {
  ++g_liveVideoWrappers;
}

ID3D11VideoDeviceWrapper::~ID3D11VideoDeviceWrapper() { --g_liveVideoWrappers; }

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) {
    return E_POINTER;
  }
  if (riid == __uuidof(ID3D11VideoDevice)) {
    AddRef();
    *ppv = static_cast<ID3D11VideoDevice*>(this);
    return S_OK;
  }
  if (m_pInner == nullptr) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  return m_pInner->QueryInterface(riid, ppv);
}

// The reference goes to the owning device wrapper, which passes it on to the real device: the
// video interface of a real device shares that device's count, and the wrapper that owns this
// object must outlive every reference to it.
ULONG STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::AddRef() {
  ++m_refCount;
  return m_pOwner->AddRef();
}

ULONG STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::Release() {
  // Count down before the owner's release: that release may destroy the owner and this object.
  --m_refCount;
  return m_pOwner->Release();
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateVideoDecoder(const D3D11_VIDEO_DECODER_DESC*,
                                                                       const D3D11_VIDEO_DECODER_CONFIG*,
                                                                       ID3D11VideoDecoder** ppDecoder) {
  // The whole point of wrapper mode: no hardware decoder on this device.
  if (ppDecoder != nullptr) {
    *ppDecoder = nullptr;
  }
  return E_FAIL;
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateVideoProcessor(ID3D11VideoProcessorEnumerator *pEnum, UINT RateConversionIndex, ID3D11VideoProcessor **ppVideoProcessor) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CreateVideoProcessor, pEnum, RateConversionIndex, ppVideoProcessor);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateAuthenticatedChannel(D3D11_AUTHENTICATED_CHANNEL_TYPE ChannelType, ID3D11AuthenticatedChannel **ppAuthenticatedChannel) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CreateAuthenticatedChannel, ChannelType, ppAuthenticatedChannel);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateCryptoSession(const GUID *pCryptoType, const GUID *pDecoderProfile, const GUID *pKeyExchangeType, ID3D11CryptoSession **ppCryptoSession) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CreateCryptoSession, pCryptoType, pDecoderProfile, pKeyExchangeType, ppCryptoSession);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateVideoDecoderOutputView(ID3D11Resource *pResource, const D3D11_VIDEO_DECODER_OUTPUT_VIEW_DESC *pDesc, ID3D11VideoDecoderOutputView **ppVDOVView) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CreateVideoDecoderOutputView, pResource, pDesc, ppVDOVView);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateVideoProcessorInputView(ID3D11Resource *pResource, ID3D11VideoProcessorEnumerator *pEnum, const D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC *pDesc, ID3D11VideoProcessorInputView **ppVPIView) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CreateVideoProcessorInputView, pResource, pEnum, pDesc, ppVPIView);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateVideoProcessorOutputView(ID3D11Resource *pResource, ID3D11VideoProcessorEnumerator *pEnum, const D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC *pDesc, ID3D11VideoProcessorOutputView **ppVPOView) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CreateVideoProcessorOutputView, pResource, pEnum, pDesc, ppVPOView);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CreateVideoProcessorEnumerator(const D3D11_VIDEO_PROCESSOR_CONTENT_DESC *pDesc, ID3D11VideoProcessorEnumerator **ppEnum) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CreateVideoProcessorEnumerator, pDesc, ppEnum);
}

UINT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::GetVideoDecoderProfileCount() {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::GetVideoDecoderProfileCount);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::GetVideoDecoderProfile(UINT Index, GUID *pDecoderProfile) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::GetVideoDecoderProfile, Index, pDecoderProfile);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CheckVideoDecoderFormat(const GUID *pDecoderProfile, DXGI_FORMAT Format, BOOL *pSupported) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CheckVideoDecoderFormat, pDecoderProfile, Format, pSupported);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::GetVideoDecoderConfigCount(const D3D11_VIDEO_DECODER_DESC *pDesc, UINT *pCount) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::GetVideoDecoderConfigCount, pDesc, pCount);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::GetVideoDecoderConfig(const D3D11_VIDEO_DECODER_DESC *pDesc, UINT Index, D3D11_VIDEO_DECODER_CONFIG *pConfig) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::GetVideoDecoderConfig, pDesc, Index, pConfig);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::GetContentProtectionCaps(const GUID *pCryptoType, const GUID *pDecoderProfile, D3D11_VIDEO_CONTENT_PROTECTION_CAPS *pCaps) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::GetContentProtectionCaps, pCryptoType, pDecoderProfile, pCaps);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::CheckCryptoKeyExchange(const GUID *pCryptoType, const GUID *pDecoderProfile, UINT Index, GUID *pKeyExchangeType) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::CheckCryptoKeyExchange, pCryptoType, pDecoderProfile, Index, pKeyExchangeType);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::SetPrivateData(REFGUID guid, UINT DataSize, const void *pData) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::SetPrivateData, guid, DataSize, pData);
}

HRESULT STDMETHODCALLTYPE ID3D11VideoDeviceWrapper::SetPrivateDataInterface(REFGUID guid, const IUnknown *pData) {
  return ForwardCall(m_pInner, &ID3D11VideoDevice::SetPrivateDataInterface, guid, pData);
}

}  // namespace MediaFoundation
}  // namespace ORVO
