#include "render/VideoProcessorTransformPath.h"

#include <mfapi.h>
#include <mferror.h>

#include "common/Guids.h"
#include "log/Log.h"
#include "render/VideoGeometry.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

// MF_XVP_PLAYBACK_MODE {3C5D293F-AD67-4E29-AF12-CF3E238ACCE9}
const GUID kMF_XVP_PLAYBACK_MODE = {0x3c5d293f, 0xad67, 0x4e29, {0xaf, 0x12, 0xcf, 0x3e, 0x23, 0x8a, 0xcc, 0xe9}};
// MF_ENABLE_3DVIDEO_OUTPUT {BDAD7BCA-0E9F-4B10-AB16-26DE381B6293}
const GUID kMF_ENABLE_3DVIDEO_OUTPUT = {0xbdad7bca, 0x0e9f, 0x4b10, {0xab, 0x16, 0x26, 0xde, 0x38, 0x1b, 0x62, 0x93}};

HRESULT CopyAttribute(IMFAttributes* from, IMFAttributes* to, REFGUID key) {
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT hr = from->GetItem(key, &value);
  if (SUCCEEDED(hr)) hr = to->SetItem(key, value);
  PropVariantClear(&value);
  return hr;
}

}  // namespace

HRESULT VideoProcessorTransformPath::Create(IMFDXGIDeviceManager* manager) {
  m_pXVP.Reset();
  m_pXVPControl.Reset();
  ORVO_RETURN_IF_FAILED(
      CoCreateInstance(kCLSID_VideoProcessorMFT, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&m_pXVP)),
      "Dx11Renderer::CreateXVP[%p]: CoCreateInstance(CLSID_VideoProcessorMFT)", m_owner);
  ORVO_RETURN_IF_FAILED(m_pXVP->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager)),
                        "Dx11Renderer::CreateXVP[%p]: m_pXVP->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER)", m_owner);
  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(m_pXVP->GetAttributes(&attributes), "Dx11Renderer::CreateXVP[%p]: m_pXVP->GetAttributes",
                        m_owner);
  ORVO_RETURN_IF_FAILED(attributes->SetUINT32(kMF_XVP_PLAYBACK_MODE, 1),
                        "Dx11Renderer::CreateXVP[%p]: pAttributes->SetUINT32(MF_XVP_PLAYBACK_MODE)", m_owner);
  const HRESULT hr = m_pXVP.As(&m_pXVPControl);
  LogIfFailed(hr, "Dx11Renderer::CreateXVP[%p]: m_pXVP->QueryInterface(IMFVideoProcessorControl)", m_owner);
  return hr;
}

void VideoProcessorTransformPath::Release() {
  if (m_pXVP) m_pXVP->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  m_pXVP.Reset();
  m_pXVPControl.Reset();
}

void VideoProcessorTransformPath::Shutdown() {
  m_pXVPControl.Reset();
  m_pXVP.Reset();
  DiscardVideoDevice();
}

HRESULT VideoProcessorTransformPath::SetInputType(IMFMediaType* pType) {
  return m_pXVP ? m_pXVP->SetInputType(0, pType, 0) : S_OK;
}

void VideoProcessorTransformPath::DiscardVideoDevice() {
  DiscardProcessor();
  m_pDX11VideoDevice.Reset();
}

HRESULT VideoProcessorTransformPath::setOutputMediaType(IMFMediaType* pType, const RECT& target) {
  ComPtr<IMFMediaType> output;
  ORVO_RETURN_IF_FAILED(MFCreateMediaType(&output), "Dx11Renderer::SetXVPOutputMediaType[%p]: MFCreateMediaType",
                        m_owner);
  ORVO_RETURN_IF_FAILED(output->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video),
                        "Dx11Renderer::SetXVPOutputMediaType[%p]: pMTOutput->SetGUID(MF_MT_MAJOR_TYPE)", m_owner);
  ORVO_RETURN_IF_FAILED(output->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32),
                        "Dx11Renderer::SetXVPOutputMediaType[%p]: pMTOutput->SetGUID(MF_MT_SUBTYPE)", m_owner);
  ORVO_RETURN_IF_FAILED(
      MFSetAttributeSize(output.Get(), MF_MT_FRAME_SIZE, static_cast<UINT32>(target.right - target.left),
                         static_cast<UINT32>(target.bottom - target.top)),
      "Dx11Renderer::SetXVPOutputMediaType[%p]: MFSetAttributeSize(MF_MT_FRAME_SIZE)", m_owner);
  ORVO_RETURN_IF_FAILED(CopyAttribute(pType, output.Get(), MF_MT_FRAME_RATE),
                        "Dx11Renderer::SetXVPOutputMediaType[%p]: CopyAttribute(MF_MT_FRAME_RATE)", m_owner);
  ORVO_RETURN_IF_FAILED(CopyAttribute(pType, output.Get(), MF_MT_PIXEL_ASPECT_RATIO),
                        "Dx11Renderer::SetXVPOutputMediaType[%p]: CopyAttribute(MF_MT_PIXEL_ASPECT_RATIO)", m_owner);
  const HRESULT hr = m_pXVP->SetOutputType(0, output.Get(), 0);
  LogIfFailed(hr, "Dx11Renderer::SetXVPOutputMediaType[%p]: m_pXVP->SetOutputType", m_owner);
  return hr;
}

HRESULT VideoProcessorTransformPath::rebuild(const VideoPathFrame& frame, const D3D11_TEXTURE2D_DESC& textureDesc) {
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content = PlaybackContent(textureDesc.Width, textureDesc.Height);
  ORVO_RETURN_IF_FAILED(m_pDX11VideoDevice->CreateVideoProcessorEnumerator(&content, &m_pVideoProcessorEnum),
                        "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pDX11VideoDevice->CreateVideoProcessorEnumerator",
                        m_owner);
  if (frame.video3D == 0) return S_OK;

  D3D11_VIDEO_PROCESSOR_CAPS caps = {};
  ORVO_RETURN_IF_FAILED(m_pVideoProcessorEnum->GetVideoProcessorCaps(&caps),
                        "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pVideoProcessorEnum->GetVideoProcessorCaps",
                        m_owner);
  if (caps.FeatureCaps & D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_STEREO) m_host.EnableStereo();
  if (frame.fullscreen) {
    ORVO_RETURN_IF_FAILED(m_host.FindClosestMatchingMode(textureDesc.Width, textureDesc.Height, m_host.StereoEnabled()),
                          "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pDXGIOutput1->FindClosestMatchingMode1", m_owner);
  }
  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(m_pXVP->GetAttributes(&attributes),
                        "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->GetAttributes", m_owner);
  ORVO_RETURN_IF_FAILED(attributes->SetUINT32(kMF_ENABLE_3DVIDEO_OUTPUT, frame.format3D != 0 ? 1 : 0),
                        "Dx11Renderer::ProcessFrameUsingXVP[%p]: pAttributes->SetUINT32(MF_ENABLE_3DVIDEO_OUTPUT)",
                        m_owner);
  return S_OK;
}

HRESULT VideoProcessorTransformPath::reconfigure(IMFMediaType* pCurrentType, bool setOutputType,
                                                 bool destinationChanged, bool sourceChanged, const RECT& source) {
  ORVO_RETURN_IF_FAILED(
      m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0),
      "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING)", m_owner);
  if (setOutputType) {
    const HRESULT hr = setOutputMediaType(pCurrentType, m_targetRect);
    if (FAILED(hr)) return hr;
  }
  if (destinationChanged) {
    RECT whole = m_targetRect;
    ORVO_RETURN_IF_FAILED(m_pXVPControl->SetDestinationRectangle(&whole),
                          "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVPControl->SetDestinationRectangle", m_owner);
  }
  if (sourceChanged) {
    RECT sourceRect = source;
    ORVO_RETURN_IF_FAILED(m_pXVPControl->SetSourceRectangle(&sourceRect),
                          "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVPControl->SetSourceRectangle", m_owner);
  }
  ORVO_RETURN_IF_FAILED(
      m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0),
      "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING)", m_owner);
  return S_OK;
}

HRESULT VideoProcessorTransformPath::ProcessFrame(const VideoPathFrame& frame, IMFMediaType* pCurrentType,
                                                  IMFSample* pSample, IMFSample** ppOutputSample, BOOL* pbInputUsed) {
  *pbInputUsed = FALSE;
  if (!m_pDX11VideoDevice) {
    ORVO_RETURN_IF_FAILED(frame.device->QueryInterface(IID_PPV_ARGS(&m_pDX11VideoDevice)),
                          "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pD3D11Device->QueryInterface(ID3D11VideoDevice)",
                          m_owner);
  }
  // Only asked for: a context without the video interface cannot serve the transform either.
  ComPtr<ID3D11VideoContext> videoContext;
  ORVO_RETURN_IF_FAILED(
      frame.context->QueryInterface(IID_PPV_ARGS(&videoContext)),
      "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pD3DImmediateContext->QueryInterface(ID3D11VideoContext)", m_owner);

  RECT previousSource = m_sourceRect;
  const RECT previousDestination =
      LetterBoxDstRect(&previousSource, m_targetRect, frame.displayArea, frame.displayWidth, frame.displayHeight);
  m_targetRect = frame.target;

  D3D11_TEXTURE2D_DESC textureDesc = {};
  frame.texture->GetDesc(&textureDesc);
  const SIZE frameSize = m_host.FrameSize();
  bool rebuilt = false;
  if (NeedsProcessorRebuild(m_pVideoProcessorEnum != nullptr, m_host.HasSwapChain(), textureDesc.Width,
                            textureDesc.Height, static_cast<UINT>(frameSize.cx), static_cast<UINT>(frameSize.cy))) {
    m_pVideoProcessorEnum.Reset();
    m_host.DiscardSwapChain();
    m_host.SetFrameSize(textureDesc.Width, textureDesc.Height);
    rebuilt = true;
    const HRESULT hr = rebuild(frame, textureDesc);
    if (FAILED(hr)) return hr;
  }

  m_sourceRect = ZoomedDisplayRect(frame.zoom, frame.displayWidth, frame.displayHeight);
  RECT source = m_sourceRect;
  const RECT destination =
      LetterBoxDstRect(&source, m_targetRect, frame.displayArea, frame.displayWidth, frame.displayHeight);
  const TransformUpdate update =
      DecideTransformUpdate(rebuilt, m_host.HasSwapChain(), previousDestination, destination, previousSource, source);
  HRESULT hr = S_OK;
  if (update.updateSwapChain) {
    hr = m_host.UpdateSwapChain(m_targetRect);
    if (FAILED(hr)) return hr;
  }
  if (update.reconfigure) {
    // A rebuilt processor is given the source again: its frame pixels belong to the new size.
    hr = reconfigure(pCurrentType, update.setOutputType, update.destinationChanged, update.sourceChanged || rebuilt,
                     source);
    if (FAILED(hr)) return hr;
  }
  return process(pSample, ppOutputSample, pbInputUsed);
}

HRESULT VideoProcessorTransformPath::process(IMFSample* pSample, IMFSample** ppOutputSample, BOOL* pbInputUsed) {
  ComPtr<IMFSample> renderTarget;
  HRESULT hr = m_host.CreateRenderTargetSample(&renderTarget, "ProcessFrameUsingXVP");
  if (FAILED(hr)) return hr;

  MFT_OUTPUT_DATA_BUFFER output = {};
  output.dwStreamID = 0;
  output.pSample = renderTarget.Get();
  DWORD status = 0;
  hr = m_pXVP->ProcessOutput(0, 1, &output, &status);
  if (output.pEvents != nullptr) output.pEvents->Release();
  if (hr != MF_E_TRANSFORM_NEED_MORE_INPUT) {
    // The transform still held a frame: it is in the back buffer, the input waits for another call.
    LogIfFailed(hr, "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessOutput#1", m_owner);
    *pbInputUsed = FALSE;
    if (ppOutputSample != nullptr) *ppOutputSample = renderTarget.Detach();
    return hr;
  }
  ORVO_RETURN_IF_FAILED(m_pXVP->ProcessInput(0, pSample, 0),
                        "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessInput", m_owner);
  *pbInputUsed = TRUE;
  output = {};
  output.pSample = renderTarget.Get();
  hr = m_pXVP->ProcessOutput(0, 1, &output, &status);
  if (output.pEvents != nullptr) output.pEvents->Release();
  ORVO_RETURN_IF_FAILED(hr, "Dx11Renderer::ProcessFrameUsingXVP[%p]: m_pXVP->ProcessOutput#2", m_owner);
  if (ppOutputSample != nullptr) *ppOutputSample = renderTarget.Detach();
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
