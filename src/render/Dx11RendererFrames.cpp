// Dx11Renderer's per-frame half: ProcessFrame dispatches each frame to the path that draws it
// (a video processor on the renderer's device, or compatibility presentation of system-memory
// frames) and PresentFrame shows it. The rest of the class, in Dx11Renderer.cpp, owns the device,
// the media type and the COM surface.
#include "render/Dx11Renderer.h"

#include <mferror.h>

#include "common/CriticalSectionGuard.h"
#include "log/Log.h"
#include "render/CompatibilityPresenter.h"
#include "render/D3D11VideoProcessorPath.h"
#include "render/ID3D11DeviceWrapper.h"
#include "render/SystemFrameUpload.h"
#include "render/VideoGeometry.h"
#include "render/VideoProcessorTransformPath.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

// --- Frames -----------------------------------------------------------------------------------

HRESULT Dx11Renderer::ProcessFrame(IMFMediaType* pCurrentType, IMFSample* pSample, UINT* punInterlaceMode,
                                   BOOL* pbDeviceChanged, BOOL* pbProcessAgain, IMFSample** ppOutputSample) {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  HRESULT hr;
  if (punInterlaceMode == nullptr || pCurrentType == nullptr || pSample == nullptr || pbDeviceChanged == nullptr ||
      pbProcessAgain == nullptr) {
    hr = E_POINTER;
    LogIfFailed(hr,
                "Dx11Renderer::ProcessFrame[%p]: punInterlaceMode == NULL || pCurrentType == NULL || pSample == NULL "
                "|| pbDeviceChanged == NULL || pbProcessAgain == NULL",
                this);
    return hr;
  }
  if (ppOutputSample != nullptr) *ppOutputSample = nullptr;
  *pbProcessAgain = FALSE;
  *pbDeviceChanged = FALSE;

  ComPtr<IMFMediaBuffer> buffer, evBuffer;
  hr = m_picture.FrameBuffers(pSample, &buffer, &evBuffer);
  if (FAILED(hr)) return hr;

  if (FAILED(m_deviceLoss)) {
    // A lost device that could not be created again: another try now and then, not every frame.
    if (GetTickCount64() - m_lastRecoveryAttempt < kDeviceRetryMs) return m_deviceLoss;
    if (FAILED(recoverDevice(m_deviceLoss))) return m_deviceLoss;
    *pbDeviceChanged = TRUE;
  }
  hr = m_monitors.Update(m_hwndVideo);
  if (FAILED(hr)) return hr;
  const bool monitorChanged = hr == S_FALSE;
  UINT driverType = 0;
  if (m_recreation.Check(m_device.device() != nullptr, monitorChanged, &driverType) != RecreationReason::None) {
    hr = createDevice(static_cast<D3D_DRIVER_TYPE>(driverType));
    if (LogIfFailed(hr, "Dx11Renderer::ProcessFrame[%p]: CreateDXGIManagerAndDevice", this)) {
      // A half-built device must not be kept: the trigger (a monitor change) will not repeat, so
      // the next frame tries again.
      m_recreation.Force();
      m_swapChain.Reset();
      return hr;
    }
    *pbDeviceChanged = TRUE;
    discardVideoProcessor(true);
    m_swapChain.Reset();
    m_recreation.Recreated();
  }
  if (m_device.device() != nullptr) m_recreation.CountFrame();
  m_frameFence.Wait(m_device.context(), kFrameFenceTimeoutMs);

  RECT target;
  if (isWindowTargetEmpty(&target)) return S_OK;

  *punInterlaceMode = PictureGeometry::SampleInterlaceMode(pCurrentType, pSample, *punInterlaceMode);

  if (!m_device.compatibility()) {
    hr = processFrameOnTexture(pCurrentType, pSample, buffer.Get(), evBuffer.Get(), target, *punInterlaceMode,
                               pbProcessAgain, ppOutputSample);
    // A driver that offers the video device but no processor for this stream: this frame and the
    // following ones are drawn compatibly, on the same device.
    if (FAILED(hr) && m_d3d11Path && m_d3d11Path->processorUnavailable()) {
      hr = presentCompatiblyFromNowOn(hr);
      if (FAILED(hr)) return hr;
    }
  }
  if (m_device.compatibility()) {
    if (!m_device.device() || !m_device.context() || !m_pCompatPresenter) return MF_E_NOT_INITIALIZED;
    hr = processFrameCompatible(pCurrentType, buffer.Get(), target);
    if (SUCCEEDED(hr) && ppOutputSample != nullptr) hr = CreateRenderTargetSample(ppOutputSample, "ProcessFrame");
  }
  // The device went away while drawing (a swap chain or texture refused with the loss): this
  // frame is lost, the next one draws on a new device.
  if (IsDeviceLoss(hr) && SUCCEEDED(recoverDevice(hr))) *pbDeviceChanged = TRUE;
  return hr;
}

HRESULT Dx11Renderer::processFrameOnTexture(IMFMediaType* pCurrentType, IMFSample* pSample, IMFMediaBuffer* pBuffer,
                                            IMFMediaBuffer* pEVBuffer, const RECT& target, UINT interlaceMode,
                                            BOOL* pbProcessAgain, IMFSample** ppOutputSample) {
  ComPtr<IMFDXGIBuffer> dxgiBuffer;
  ComPtr<ID3D11Texture2D> texture;
  VideoPathFrame frame;
  if (m_d3d11Path && FAILED(pBuffer->QueryInterface(IID_PPV_ARGS(&dxgiBuffer)))) {
    const HRESULT hr = uploadSystemFrame(pCurrentType, pBuffer, &texture);
    if (FAILED(hr)) return hr;
  } else {
    ORVO_RETURN_IF_FAILED(pBuffer->QueryInterface(IID_PPV_ARGS(&dxgiBuffer)),
                          "Dx11Renderer::ProcessFrame[%p]: pBuffer->QueryInterface(IMFDXGIBuffer)", this);
    ORVO_RETURN_IF_FAILED(dxgiBuffer->GetResource(IID_PPV_ARGS(&texture)),
                          "Dx11Renderer::ProcessFrame[%p]: pDXGIBuffer->GetResource(ID3D11Texture2D)", this);
    ORVO_RETURN_IF_FAILED(dxgiBuffer->GetSubresourceIndex(&frame.subresource),
                          "Dx11Renderer::ProcessFrame[%p]: pDXGIBuffer->GetSubresourceIndex", this);
  }
  ComPtr<ID3D11Texture2D> evTexture;
  if (m_picture.video3D() != 0 && m_picture.format3D() == MFVideo3DSampleFormat_MultiView && pEVBuffer != nullptr) {
    ComPtr<IMFDXGIBuffer> evDxgiBuffer;
    ORVO_RETURN_IF_FAILED(pEVBuffer->QueryInterface(IID_PPV_ARGS(&evDxgiBuffer)),
                          "Dx11Renderer::ProcessFrame[%p]: pEVBuffer->QueryInterface(IMFDXGIBuffer)", this);
    ORVO_RETURN_IF_FAILED(evDxgiBuffer->GetResource(IID_PPV_ARGS(&evTexture)),
                          "Dx11Renderer::ProcessFrame[%p]: pEVDXGIBuffer->GetResource(ID3D11Texture2D)", this);
    ORVO_RETURN_IF_FAILED(evDxgiBuffer->GetSubresourceIndex(&frame.evSubresource),
                          "Dx11Renderer::ProcessFrame[%p]: pEVDXGIBuffer->GetSubresourceIndex", this);
  }
  ComPtr<ID3D11Device> textureDevice;
  texture->GetDevice(&textureDevice);
  // COM identity, so that textures of the real device count as ours in wrapper mode.
  if (!ID3D11DeviceWrapper::IsSameDevice(textureDevice.Get(), m_device.device())) return S_OK;

  frame.device = m_device.device();
  frame.context = m_device.context();
  frame.texture = texture.Get();
  frame.evTexture = evTexture.Get();
  frame.target = target;
  frame.interlaceMode = interlaceMode;
  frame.video3D = m_picture.video3D();
  frame.format3D = m_picture.format3D();
  frame.fullscreen = m_swapChain.fullscreen();
  frame.displayArea = m_picture.displayArea();
  frame.displayWidth = m_picture.displayWidth();
  frame.displayHeight = m_picture.displayHeight();
  frame.zoom = m_zoom;
  frame.composition = m_useDComp;
  frame.videoRectSet = m_videoRectSet;
  frame.videoRect = m_videoRect;

  if (m_transformPath) {
    BOOL inputUsed = TRUE;
    const HRESULT hr = m_transformPath->ProcessFrame(frame, pCurrentType, pSample, ppOutputSample, &inputUsed);
    if (SUCCEEDED(hr) && !inputUsed) *pbProcessAgain = TRUE;
    return hr;
  }
  ComPtr<IMFSample> output;
  const HRESULT hr = m_d3d11Path->ProcessFrame(frame, ppOutputSample != nullptr ? output.GetAddressOf() : nullptr);
  if (SUCCEEDED(hr) && output) {
    // The render-target sample carries the decoded sample's timing.
    LONGLONG value = 0;
    if (SUCCEEDED(pSample->GetSampleDuration(&value))) output->SetSampleDuration(value);
    if (SUCCEEDED(pSample->GetSampleTime(&value))) output->SetSampleTime(value);
    DWORD flags = 0;
    if (SUCCEEDED(pSample->GetSampleFlags(&flags))) output->SetSampleFlags(flags);
    *ppOutputSample = output.Detach();
  }
  return hr;
}

HRESULT Dx11Renderer::uploadSystemFrame(IMFMediaType* pCurrentType, IMFMediaBuffer* pBuffer,
                                        ID3D11Texture2D** ppTexture) {
  UINT32 width = 0, height = 0;
  MFGetAttributeSize(pCurrentType, MF_MT_FRAME_SIZE, &width, &height);
  const HRESULT hr = followFrameType(pCurrentType, width, height);
  if (FAILED(hr)) return hr;
  return m_upload->Upload(m_device.device(), m_device.context(), pCurrentType, pBuffer, ppTexture);
}

HRESULT Dx11Renderer::processFrameCompatible(IMFMediaType* pCurrentType, IMFMediaBuffer* pBuffer, const RECT& target) {
  UINT32 width = 0, height = 0;
  HRESULT hr = m_pCompatPresenter->CheckFrameType(pCurrentType, &width, &height);
  if (FAILED(hr)) return hr;
  hr = followFrameType(pCurrentType, width, height);
  if (FAILED(hr)) return hr;
  if (!m_picture.HasDisplayArea()) {
    hr = MF_E_INVALIDMEDIATYPE;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: display area of %ux%u failed 0x%X", this, width, height,
                   (unsigned)hr);
    return hr;
  }
  hr = m_pCompatPresenter->UploadBuffer(m_device.context(), pCurrentType, pBuffer, width, height);
  if (FAILED(hr)) return hr;

  RECT source = ZoomedDisplayRect(m_zoom, m_picture.displayWidth(), m_picture.displayHeight());
  const RECT destination = LetterBoxDstRect(&source, target, m_picture.displayArea(), m_picture.displayWidth(),
                                            m_picture.displayHeight());
  if (!m_swapChain.HasSwapChain() || !RectEquals(target, m_swapChain.target())) {
    hr = UpdateSwapChain(target);
    if (FAILED(hr)) return hr;
  }
  ComPtr<ID3D11RenderTargetView> view;
  hr = m_swapChain.CreateRenderTargetView(m_device.device(), &view);
  if (FAILED(hr)) return hr;
  return m_pCompatPresenter->Draw(m_device.context(), view.Get(), source, destination);
}

HRESULT Dx11Renderer::PresentFrame() {
  CriticalSectionGuard guard(&m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  if (!m_swapChain.HasSwapChain()) return S_OK;
  RECT target;
  if (isWindowTargetEmpty(&target)) return S_OK;
  const HRESULT hr = m_swapChain.Present();
  if (SUCCEEDED(hr)) m_frameFence.Mark(m_device.device(), m_device.context());
  if (IsDeviceLoss(hr)) recoverDevice(hr);
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
