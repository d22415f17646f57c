#include "render/D3D11VideoProcessorPath.h"

#include <mfapi.h>
#include <mferror.h>

#include "log/Log.h"
#include "render/VideoGeometry.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

// MFVideo3DFormat values the path distinguishes.
constexpr UINT k3DFormatMultiView = 1;
constexpr UINT k3DFormatPackedLeftRight = 2;
constexpr UINT k3DFormatPackedTopBottom = 3;

// D3D11_VIDEO_PROCESSOR_COLOR_SPACE with only YCbCr_xvYCC set (the value 8) for the stream and the
// output alike.
D3D11_VIDEO_PROCESSOR_COLOR_SPACE PathColorSpace() {
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE colorSpace = {};
  colorSpace.YCbCr_xvYCC = 1;
  return colorSpace;
}

}  // namespace

D3D11_VIDEO_FRAME_FORMAT D3D11VideoProcessorPath::FrameFormatForInterlaceMode(UINT interlaceMode) {
  switch (interlaceMode) {
    case MFVideoInterlace_FieldInterleavedUpperFirst:
    case MFVideoInterlace_FieldSingleUpper:
    case MFVideoInterlace_MixedInterlaceOrProgressive:
      return D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST;
    case MFVideoInterlace_FieldInterleavedLowerFirst:
    case MFVideoInterlace_FieldSingleLower:
      return D3D11_VIDEO_FRAME_FORMAT_INTERLACED_BOTTOM_FIELD_FIRST;
    default:
      return D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  }
}

D3D11_VIDEO_PROCESSOR_STEREO_FORMAT D3D11VideoProcessorPath::StereoFormatFor3DFormat(UINT format3D) {
  switch (format3D) {
    case k3DFormatPackedLeftRight:
      return D3D11_VIDEO_PROCESSOR_STEREO_FORMAT_HORIZONTAL;
    case k3DFormatPackedTopBottom:
      return D3D11_VIDEO_PROCESSOR_STEREO_FORMAT_VERTICAL;
    default:
      return D3D11_VIDEO_PROCESSOR_STEREO_FORMAT_SEPARATE;
  }
}

HRESULT D3D11VideoProcessorPath::FindBOBProcessorIndex(const void* owner, ID3D11VideoProcessorEnumerator* enumerator,
                                                       UINT* pIndex) {
  D3D11_VIDEO_PROCESSOR_CAPS caps = {};
  HRESULT hr = enumerator->GetVideoProcessorCaps(&caps);
  if (LogIfFailed(hr, "Dx11Renderer::FindBOBProcessorIndex[%p]: m_pVideoProcessorEnum->GetVideoProcessorCaps", owner))
    return hr;
  for (UINT i = 0; i < caps.RateConversionCapsCount; ++i) {
    D3D11_VIDEO_PROCESSOR_RATE_CONVERSION_CAPS rateCaps = {};
    hr = enumerator->GetVideoProcessorRateConversionCaps(i, &rateCaps);
    if (LogIfFailed(
            hr, "Dx11Renderer::FindBOBProcessorIndex[%p]: m_pVideoProcessorEnum->GetVideoProcessorRateConversionCaps",
            owner))
      return hr;
    if ((rateCaps.ProcessorCaps & D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BOB) != 0) {
      *pIndex = i;
      return S_OK;
    }
  }
  hr = E_FAIL;
  LogIfFailed(hr, "Dx11Renderer::FindBOBProcessorIndex[%p]:", owner);
  return hr;
}

void D3D11VideoProcessorPath::DiscardProcessor() {
  m_pVideoProcessor.Reset();
  m_pVideoProcessorEnum.Reset();
}

void D3D11VideoProcessorPath::DiscardVideoDevice() {
  DiscardProcessor();
  m_pDX11VideoDevice.Reset();
  m_processorUnavailable = false;
}

HRESULT D3D11VideoProcessorPath::ProcessFrame(const VideoPathFrame& frame, IMFSample** ppOutputSample) {
  const HRESULT hr = process(frame, ppOutputSample);
  // A composition swap chain that the video processor cannot draw into usually means a lost or
  // changed device; the next ProcessFrame re-creates it.
  if (FAILED(hr) && frame.composition) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingD3D11[%p]: processing failed 0x%X, force 3D device re-creation",
                   m_owner, (unsigned)hr);
    m_host.ForceDeviceRecreation();
  }
  return hr;
}

HRESULT D3D11VideoProcessorPath::ensureProcessor(const VideoPathFrame& frame) {
  D3D11_TEXTURE2D_DESC textureDesc = {};
  frame.texture->GetDesc(&textureDesc);
  const SIZE frameSize = m_host.FrameSize();
  const bool interlaced = FrameFormatForInterlaceMode(frame.interlaceMode) != D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  if (m_pVideoProcessorEnum && m_pVideoProcessor && textureDesc.Width == static_cast<UINT>(frameSize.cx) &&
      textureDesc.Height == static_cast<UINT>(frameSize.cy) && (m_bobProcessor || !interlaced)) {
    return S_OK;
  }
  DiscardProcessor();
  m_host.SetFrameSize(textureDesc.Width, textureDesc.Height);

  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content = PlaybackContent(textureDesc.Width, textureDesc.Height);
  HRESULT hr = m_pDX11VideoDevice->CreateVideoProcessorEnumerator(&content, &m_pVideoProcessorEnum);
  if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pDX11VideoDevice->CreateVideoProcessorEnumerator",
                  m_owner)) {
    m_processorUnavailable = true;
    return hr;
  }

  // A driver that cannot answer (DXVK's stub returns E_NOTIMPL) is taken at its word that it can
  // draw into the swap chain's format; only a driver that answers no is refused.
  UINT formatFlags = 0;
  hr = m_pVideoProcessorEnum->CheckVideoProcessorFormat(DXGI_FORMAT_B8G8R8A8_UNORM, &formatFlags);
  if (SUCCEEDED(hr) && (formatFlags & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT) == 0) {
    hr = MF_E_UNSUPPORTED_D3D_TYPE;
    ORVO_LOG_DEBUG(
        "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pVideoProcessorEnum->CheckVideoProcessorFormat failed 0x%X",
        m_owner, (unsigned)hr);
    m_processorUnavailable = true;
    return hr;
  }

  // BOB matters for interlaced input only: progressive input takes processor 0 where the caps
  // cannot be read or no processor offers BOB, rather than failing every frame.
  UINT index = 0;
  hr = FindBOBProcessorIndex(m_owner, m_pVideoProcessorEnum.Get(), &index);
  m_bobProcessor = SUCCEEDED(hr);
  if (FAILED(hr)) {
    if (FrameFormatForInterlaceMode(frame.interlaceMode) != D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE) return hr;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingD3D11[%p]: no BOB processor, using processor 0 for progressive input",
                   m_owner);
    index = 0;
  }
  hr = m_pDX11VideoDevice->CreateVideoProcessor(m_pVideoProcessorEnum.Get(), index, &m_pVideoProcessor);
  if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pDX11VideoDevice->CreateVideoProcessor", m_owner)) {
    m_processorUnavailable = true;
    return hr;
  }
  ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingD3D11[%p]: video processor %u created for %ux%u", m_owner, index,
                 textureDesc.Width, textureDesc.Height);

  if (frame.video3D != 0) {
    D3D11_VIDEO_PROCESSOR_CAPS caps = {};
    hr = m_pVideoProcessorEnum->GetVideoProcessorCaps(&caps);
    if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pVideoProcessorEnum->GetVideoProcessorCaps",
                    m_owner))
      return hr;
    if ((caps.FeatureCaps & D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_STEREO) != 0) {
      m_host.EnableStereo();
    }
    if (frame.fullscreen) {
      hr = m_host.FindClosestMatchingMode(textureDesc.Width, textureDesc.Height, m_host.StereoEnabled());
      if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pDXGIOutput1->FindClosestMatchingMode1",
                      m_owner))
        return hr;
    }
  }
  return S_OK;
}

HRESULT D3D11VideoProcessorPath::process(const VideoPathFrame& frame, IMFSample** ppOutputSample) {
  if (ppOutputSample != nullptr) {
    *ppOutputSample = nullptr;
  }
  if (frame.texture == nullptr || frame.device == nullptr || frame.context == nullptr) {
    const HRESULT hr = E_POINTER;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrameUsingD3D11[%p]: no texture, device or context failed 0x%X", m_owner,
                   (unsigned)hr);
    return hr;
  }

  HRESULT hr = S_OK;
  if (!m_pDX11VideoDevice) {
    hr = frame.device->QueryInterface(IID_PPV_ARGS(&m_pDX11VideoDevice));
    if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pD3D11Device->QueryInterface(ID3D11VideoDevice)",
                    m_owner))
      return hr;
  }
  RECT previousSource = m_sourceRect;
  const RECT previousDestination =
      LetterBoxDstRect(&previousSource, m_targetRect, frame.displayArea, frame.displayWidth, frame.displayHeight);
  m_targetRect = frame.target;

  hr = ensureProcessor(frame);
  if (FAILED(hr)) {
    return hr;
  }
  m_sourceRect = ZoomedDisplayRect(frame.zoom, frame.displayWidth, frame.displayHeight);
  ComPtr<ID3D11VideoContext> videoContext;
  hr = frame.context->QueryInterface(IID_PPV_ARGS(&videoContext));
  if (LogIfFailed(
          hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pD3DImmediateContext->QueryInterface(ID3D11VideoContext)",
          m_owner)) {
    m_processorUnavailable = true;
    return hr;
  }

  if (frame.composition && frame.videoRectSet) {
    const POINT applied = m_host.VisualOffset();
    if (frame.videoRect.left != applied.x || frame.videoRect.top != applied.y) {
      hr = m_host.SetVisualOffset(frame.videoRect.left, frame.videoRect.top);
      if (FAILED(hr)) return hr;
    }
  }

  RECT source = m_sourceRect;
  const RECT destination =
      LetterBoxDstRect(&source, frame.target, frame.displayArea, frame.displayWidth, frame.displayHeight);
  if (!m_host.HasSwapChain() || !RectEquals(destination, previousDestination)) {
    hr = m_host.UpdateSwapChain(frame.target);
    if (FAILED(hr)) {
      return hr;
    }
  }

  ComPtr<IMFSample> renderTarget;
  hr = m_host.CreateRenderTargetSample(&renderTarget, "ProcessFrameUsingD3D11");
  if (FAILED(hr)) {
    return hr;
  }
  // The back buffer is the resource behind the render-target sample's first buffer.
  ComPtr<ID3D11Texture2D> backBuffer;
  {
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFDXGIBuffer> dxgiBuffer;
    hr = renderTarget->GetBufferByIndex(0, &buffer);
    if (SUCCEEDED(hr)) hr = buffer.As(&dxgiBuffer);
    if (SUCCEEDED(hr)) hr = dxgiBuffer->GetResource(IID_PPV_ARGS(&backBuffer));
    if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pSwapChain1->GetBuffer", m_owner)) return hr;
  }

  D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC outputDesc = {};
  if (frame.video3D != 0 && m_host.StereoEnabled()) {
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2DARRAY;
    outputDesc.Texture2DArray.MipSlice = 0;
    outputDesc.Texture2DArray.FirstArraySlice = 0;
    outputDesc.Texture2DArray.ArraySize = frame.format3D != 0 ? 2 : 0;
  } else {
    outputDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    outputDesc.Texture2D.MipSlice = 0;
  }
  ComPtr<ID3D11VideoProcessorOutputView> outputView;
  hr = m_pDX11VideoDevice->CreateVideoProcessorOutputView(backBuffer.Get(), m_pVideoProcessorEnum.Get(), &outputDesc,
                                                          &outputView);
  if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pDX11VideoDevice->CreateVideoProcessorOutputView",
                  m_owner))
    return hr;

  D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC inputDesc = {};
  inputDesc.FourCC = 0;
  inputDesc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
  inputDesc.Texture2D.MipSlice = 0;
  inputDesc.Texture2D.ArraySlice = frame.subresource;
  ComPtr<ID3D11VideoProcessorInputView> inputView;
  hr = m_pDX11VideoDevice->CreateVideoProcessorInputView(frame.texture, m_pVideoProcessorEnum.Get(), &inputDesc,
                                                         &inputView);
  if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pDX11VideoDevice->CreateVideoProcessorInputView#1",
                  m_owner))
    return hr;
  ComPtr<ID3D11VideoProcessorInputView> evInputView;
  if (frame.video3D != 0 && frame.format3D == k3DFormatMultiView && frame.evTexture != nullptr) {
    inputDesc.Texture2D.ArraySlice = frame.evSubresource;
    hr = m_pDX11VideoDevice->CreateVideoProcessorInputView(frame.evTexture, m_pVideoProcessorEnum.Get(), &inputDesc,
                                                           &evInputView);
    if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: m_pDX11VideoDevice->CreateVideoProcessorInputView#2",
                    m_owner))
      return hr;
  }

  ID3D11VideoProcessor* processor = m_pVideoProcessor.Get();
  videoContext->VideoProcessorSetStreamFrameFormat(processor, 0, FrameFormatForInterlaceMode(frame.interlaceMode));
  videoContext->VideoProcessorSetStreamOutputRate(processor, 0, D3D11_VIDEO_PROCESSOR_OUTPUT_RATE_NORMAL, TRUE,
                                                  nullptr);
  videoContext->VideoProcessorSetStreamSourceRect(processor, 0, TRUE, &source);
  videoContext->VideoProcessorSetStreamDestRect(processor, 0, TRUE, &destination);
  videoContext->VideoProcessorSetOutputTargetRect(processor, TRUE, &frame.target);
  const D3D11_VIDEO_PROCESSOR_COLOR_SPACE colorSpace = PathColorSpace();
  videoContext->VideoProcessorSetStreamColorSpace(processor, 0, &colorSpace);
  videoContext->VideoProcessorSetOutputColorSpace(processor, &colorSpace);
  D3D11_VIDEO_COLOR black = {};
  black.RGBA.R = 0.0f;
  black.RGBA.G = 0.0f;
  black.RGBA.B = 0.0f;
  black.RGBA.A = 1.0f;
  videoContext->VideoProcessorSetOutputBackgroundColor(processor, FALSE, &black);
  if (frame.video3D != 0) {
    videoContext->VideoProcessorSetOutputStereoMode(processor, m_host.StereoEnabled());
    videoContext->VideoProcessorSetStreamStereoFormat(processor, 0, m_host.StereoEnabled(),
                                                      StereoFormatFor3DFormat(frame.format3D), TRUE, TRUE,
                                                      D3D11_VIDEO_PROCESSOR_STEREO_FLIP_NONE, 0);
  }

  D3D11_VIDEO_PROCESSOR_STREAM stream = {};
  stream.Enable = TRUE;
  stream.OutputIndex = 0;
  stream.InputFrameOrField = 0;
  stream.PastFrames = 0;
  stream.FutureFrames = 0;
  stream.pInputSurface = inputView.Get();
  stream.pInputSurfaceRight = evInputView.Get();
  hr = videoContext->VideoProcessorBlt(processor, outputView.Get(), 0, 1, &stream);
  if (LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingD3D11[%p]: pVideoContext->VideoProcessorBlt", m_owner)) return hr;
  if (ppOutputSample != nullptr) {
    *ppOutputSample = renderTarget.Detach();
  }
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
