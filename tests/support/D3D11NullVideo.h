#pragma once

// Do-nothing implementations of the Direct3D 11 video interfaces (every method returns E_NOTIMPL,
// zero or nothing), for test doubles to derive from and override the methods they act out.
// IUnknown is left to the derived double.

#include <d3d11.h>

namespace ORVO {
namespace Test {

class NullVideoContext : public ID3D11VideoContext {
 public:
  void STDMETHODCALLTYPE GetDevice(ID3D11Device **ppDevice) override { if (ppDevice != nullptr) *ppDevice = nullptr; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT *, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDecoderBuffer(ID3D11VideoDecoder *, D3D11_VIDEO_DECODER_BUFFER_TYPE, UINT *, void **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReleaseDecoderBuffer(ID3D11VideoDecoder *, D3D11_VIDEO_DECODER_BUFFER_TYPE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DecoderBeginFrame(ID3D11VideoDecoder *, ID3D11VideoDecoderOutputView *, UINT, const void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DecoderEndFrame(ID3D11VideoDecoder *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SubmitDecoderBuffers(ID3D11VideoDecoder *, UINT, const D3D11_VIDEO_DECODER_BUFFER_DESC *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DecoderExtension(ID3D11VideoDecoder *, const D3D11_VIDEO_DECODER_EXTENSION *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE VideoProcessorSetOutputTargetRect(ID3D11VideoProcessor *, BOOL, const RECT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputBackgroundColor(ID3D11VideoProcessor *, BOOL, const D3D11_VIDEO_COLOR *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputColorSpace(ID3D11VideoProcessor *, const D3D11_VIDEO_PROCESSOR_COLOR_SPACE *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputAlphaFillMode(ID3D11VideoProcessor *, D3D11_VIDEO_PROCESSOR_ALPHA_FILL_MODE, UINT) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputConstriction(ID3D11VideoProcessor *, BOOL, SIZE) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputStereoMode(ID3D11VideoProcessor *, BOOL) override {  }
  HRESULT STDMETHODCALLTYPE VideoProcessorSetOutputExtension(ID3D11VideoProcessor *, const GUID *, UINT, void *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE VideoProcessorGetOutputTargetRect(ID3D11VideoProcessor *, BOOL *, RECT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetOutputBackgroundColor(ID3D11VideoProcessor *, BOOL *, D3D11_VIDEO_COLOR *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetOutputColorSpace(ID3D11VideoProcessor *, D3D11_VIDEO_PROCESSOR_COLOR_SPACE *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetOutputAlphaFillMode(ID3D11VideoProcessor *, D3D11_VIDEO_PROCESSOR_ALPHA_FILL_MODE *, UINT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetOutputConstriction(ID3D11VideoProcessor *, BOOL *, SIZE *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetOutputStereoMode(ID3D11VideoProcessor *, BOOL *) override {  }
  HRESULT STDMETHODCALLTYPE VideoProcessorGetOutputExtension(ID3D11VideoProcessor *, const GUID *, UINT, void *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE VideoProcessorSetStreamFrameFormat(ID3D11VideoProcessor *, UINT, D3D11_VIDEO_FRAME_FORMAT) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamColorSpace(ID3D11VideoProcessor *, UINT, const D3D11_VIDEO_PROCESSOR_COLOR_SPACE *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamOutputRate(ID3D11VideoProcessor *, UINT, D3D11_VIDEO_PROCESSOR_OUTPUT_RATE, BOOL, const DXGI_RATIONAL *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamSourceRect(ID3D11VideoProcessor *, UINT, BOOL, const RECT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamDestRect(ID3D11VideoProcessor *, UINT, BOOL, const RECT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamAlpha(ID3D11VideoProcessor *, UINT, BOOL, float) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamPalette(ID3D11VideoProcessor *, UINT, UINT, const UINT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamPixelAspectRatio(ID3D11VideoProcessor *, UINT, BOOL, const DXGI_RATIONAL *, const DXGI_RATIONAL *) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamLumaKey(ID3D11VideoProcessor *, UINT, BOOL, float, float) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamStereoFormat(ID3D11VideoProcessor *, UINT, BOOL, D3D11_VIDEO_PROCESSOR_STEREO_FORMAT, BOOL, BOOL, D3D11_VIDEO_PROCESSOR_STEREO_FLIP_MODE, int) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamAutoProcessingMode(ID3D11VideoProcessor *, UINT, BOOL) override {  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamFilter(ID3D11VideoProcessor *, UINT, D3D11_VIDEO_PROCESSOR_FILTER, BOOL, int) override {  }
  HRESULT STDMETHODCALLTYPE VideoProcessorSetStreamExtension(ID3D11VideoProcessor *, UINT, const GUID *, UINT, void *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE VideoProcessorGetStreamFrameFormat(ID3D11VideoProcessor *, UINT, D3D11_VIDEO_FRAME_FORMAT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamColorSpace(ID3D11VideoProcessor *, UINT, D3D11_VIDEO_PROCESSOR_COLOR_SPACE *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamOutputRate(ID3D11VideoProcessor *, UINT, D3D11_VIDEO_PROCESSOR_OUTPUT_RATE *, BOOL *, DXGI_RATIONAL *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamSourceRect(ID3D11VideoProcessor *, UINT, BOOL *, RECT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamDestRect(ID3D11VideoProcessor *, UINT, BOOL *, RECT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamAlpha(ID3D11VideoProcessor *, UINT, BOOL *, float *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamPalette(ID3D11VideoProcessor *, UINT, UINT, UINT *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamPixelAspectRatio(ID3D11VideoProcessor *, UINT, BOOL *, DXGI_RATIONAL *, DXGI_RATIONAL *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamLumaKey(ID3D11VideoProcessor *, UINT, BOOL *, float *, float *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamStereoFormat(ID3D11VideoProcessor *, UINT, BOOL *, D3D11_VIDEO_PROCESSOR_STEREO_FORMAT *, BOOL *, BOOL *, D3D11_VIDEO_PROCESSOR_STEREO_FLIP_MODE *, int *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamAutoProcessingMode(ID3D11VideoProcessor *, UINT, BOOL *) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamFilter(ID3D11VideoProcessor *, UINT, D3D11_VIDEO_PROCESSOR_FILTER, BOOL *, int *) override {  }
  HRESULT STDMETHODCALLTYPE VideoProcessorGetStreamExtension(ID3D11VideoProcessor *, UINT, const GUID *, UINT, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VideoProcessorBlt(ID3D11VideoProcessor *, ID3D11VideoProcessorOutputView *, UINT, UINT, const D3D11_VIDEO_PROCESSOR_STREAM *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE NegotiateCryptoSessionKeyExchange(ID3D11CryptoSession *, UINT, void *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE EncryptionBlt(ID3D11CryptoSession *, ID3D11Texture2D *, ID3D11Texture2D *, UINT, void *) override {  }
  void STDMETHODCALLTYPE DecryptionBlt(ID3D11CryptoSession *, ID3D11Texture2D *, ID3D11Texture2D *, D3D11_ENCRYPTED_BLOCK_INFO *, UINT, const void *, UINT, void *) override {  }
  void STDMETHODCALLTYPE StartSessionKeyRefresh(ID3D11CryptoSession *, UINT, void *) override {  }
  void STDMETHODCALLTYPE FinishSessionKeyRefresh(ID3D11CryptoSession *) override {  }
  HRESULT STDMETHODCALLTYPE GetEncryptionBltKey(ID3D11CryptoSession *, UINT, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE NegotiateAuthenticatedChannelKeyExchange(ID3D11AuthenticatedChannel *, UINT, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryAuthenticatedChannel(ID3D11AuthenticatedChannel *, UINT, const void *, UINT, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ConfigureAuthenticatedChannel(ID3D11AuthenticatedChannel *, UINT, const void *, D3D11_AUTHENTICATED_CONFIGURE_OUTPUT *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE VideoProcessorSetStreamRotation(ID3D11VideoProcessor *, UINT, BOOL, D3D11_VIDEO_PROCESSOR_ROTATION) override {  }
  void STDMETHODCALLTYPE VideoProcessorGetStreamRotation(ID3D11VideoProcessor *, UINT, BOOL *, D3D11_VIDEO_PROCESSOR_ROTATION *) override {  }
};

class NullVideoProcessorEnumerator : public ID3D11VideoProcessorEnumerator {
 public:
  void STDMETHODCALLTYPE GetDevice(ID3D11Device **ppDevice) override { if (ppDevice != nullptr) *ppDevice = nullptr; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT *, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorContentDesc(D3D11_VIDEO_PROCESSOR_CONTENT_DESC *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CheckVideoProcessorFormat(DXGI_FORMAT, UINT *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorCaps(D3D11_VIDEO_PROCESSOR_CAPS *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorRateConversionCaps(UINT, D3D11_VIDEO_PROCESSOR_RATE_CONVERSION_CAPS *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorCustomRate(UINT, UINT, D3D11_VIDEO_PROCESSOR_CUSTOM_RATE *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorFilterRange(D3D11_VIDEO_PROCESSOR_FILTER, D3D11_VIDEO_PROCESSOR_FILTER_RANGE *) override { return E_NOTIMPL; }
};

class NullVideoProcessor : public ID3D11VideoProcessor {
 public:
  void STDMETHODCALLTYPE GetDevice(ID3D11Device **ppDevice) override { if (ppDevice != nullptr) *ppDevice = nullptr; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT *, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE GetContentDesc(D3D11_VIDEO_PROCESSOR_CONTENT_DESC *) override {  }
  void STDMETHODCALLTYPE GetRateConversionCaps(D3D11_VIDEO_PROCESSOR_RATE_CONVERSION_CAPS *) override {  }
};

class NullVideoProcessorInputView : public ID3D11VideoProcessorInputView {
 public:
  void STDMETHODCALLTYPE GetDevice(ID3D11Device **ppDevice) override { if (ppDevice != nullptr) *ppDevice = nullptr; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT *, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE GetResource(ID3D11Resource **) override {  }
  void STDMETHODCALLTYPE GetDesc(D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC *) override {  }
};

class NullVideoProcessorOutputView : public ID3D11VideoProcessorOutputView {
 public:
  void STDMETHODCALLTYPE GetDevice(ID3D11Device **ppDevice) override { if (ppDevice != nullptr) *ppDevice = nullptr; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT *, void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown *) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE GetResource(ID3D11Resource **) override {  }
  void STDMETHODCALLTYPE GetDesc(D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC *) override {  }
};

class NullVideoDevice : public ID3D11VideoDevice {
 public:
  HRESULT STDMETHODCALLTYPE CreateVideoDecoder(const D3D11_VIDEO_DECODER_DESC *, const D3D11_VIDEO_DECODER_CONFIG *, ID3D11VideoDecoder **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessor(ID3D11VideoProcessorEnumerator *, UINT, ID3D11VideoProcessor **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateAuthenticatedChannel(D3D11_AUTHENTICATED_CHANNEL_TYPE, ID3D11AuthenticatedChannel **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateCryptoSession(const GUID *, const GUID *, const GUID *, ID3D11CryptoSession **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateVideoDecoderOutputView(ID3D11Resource *, const D3D11_VIDEO_DECODER_OUTPUT_VIEW_DESC *, ID3D11VideoDecoderOutputView **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorInputView(ID3D11Resource *, ID3D11VideoProcessorEnumerator *, const D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC *, ID3D11VideoProcessorInputView **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorOutputView(ID3D11Resource *, ID3D11VideoProcessorEnumerator *, const D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC *, ID3D11VideoProcessorOutputView **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorEnumerator(const D3D11_VIDEO_PROCESSOR_CONTENT_DESC *, ID3D11VideoProcessorEnumerator **) override { return E_NOTIMPL; }
  UINT STDMETHODCALLTYPE GetVideoDecoderProfileCount() override { return 0; }
  HRESULT STDMETHODCALLTYPE GetVideoDecoderProfile(UINT, GUID *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CheckVideoDecoderFormat(const GUID *, DXGI_FORMAT, BOOL *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoDecoderConfigCount(const D3D11_VIDEO_DECODER_DESC *, UINT *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVideoDecoderConfig(const D3D11_VIDEO_DECODER_DESC *, UINT, D3D11_VIDEO_DECODER_CONFIG *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContentProtectionCaps(const GUID *, const GUID *, D3D11_VIDEO_CONTENT_PROTECTION_CAPS *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CheckCryptoKeyExchange(const GUID *, const GUID *, UINT, GUID *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void *) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown *) override { return E_NOTIMPL; }
};

}  // namespace Test
}  // namespace ORVO
