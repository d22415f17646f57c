#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include "render/VideoPathHost.h"

namespace ORVO {
namespace MediaFoundation {

// The renderer's default path: Media Foundation's video processor transform, on the DXGI device
// manager, converts and scales each decoded texture into the swap chain's back buffer, letterboxed
// by source and destination rectangles. Runs under the renderer's lock; log lines carry the
// renderer's address and method names.
class VideoProcessorTransformPath {
 public:
  VideoProcessorTransformPath(const void* owner, VideoPathHost& host) : m_owner(owner), m_host(host) {}
  VideoProcessorTransformPath(const VideoProcessorTransformPath&) = delete;
  VideoProcessorTransformPath& operator=(const VideoProcessorTransformPath&) = delete;

  // Creates the transform on manager (CreateXVP).
  HRESULT Create(IMFDXGIDeviceManager* manager);
  bool created() const { return m_pXVP != nullptr; }
  // Flushes and drops the transform (the device it worked on is gone).
  void Release();
  // Drops every object without flushing.
  void Shutdown();
  // The transform's input type; S_OK without doing anything while there is no transform.
  HRESULT SetInputType(IMFMediaType* pType);

  // ProcessFrameUsingXVP. *pbInputUsed is FALSE when the transform still held a frame: that frame
  // is in the back buffer and the sample has to be given again.
  HRESULT ProcessFrame(const VideoPathFrame& frame, IMFMediaType* pCurrentType, IMFSample* pSample,
                       IMFSample** ppOutputSample, BOOL* pbInputUsed);

  // The next frame builds a new enumerator (new media type, full screen).
  void DiscardProcessor() { m_pVideoProcessorEnum.Reset(); }
  // ... and queries the device for the video interface again (new device).
  void DiscardVideoDevice();

 private:
  HRESULT rebuild(const VideoPathFrame& frame, const D3D11_TEXTURE2D_DESC& textureDesc);
  HRESULT setOutputMediaType(IMFMediaType* pType, const RECT& target);
  HRESULT reconfigure(IMFMediaType* pCurrentType, bool setOutputType, bool destinationChanged, bool sourceChanged,
                      const RECT& source);
  HRESULT process(IMFSample* pSample, IMFSample** ppOutputSample, BOOL* pbInputUsed);

  const void* m_owner;
  VideoPathHost& m_host;
  Microsoft::WRL::ComPtr<IMFTransform> m_pXVP;
  Microsoft::WRL::ComPtr<IMFVideoProcessorControl> m_pXVPControl;
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> m_pDX11VideoDevice;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> m_pVideoProcessorEnum;
  RECT m_sourceRect = {};
  RECT m_targetRect = {};
};

}  // namespace MediaFoundation
}  // namespace ORVO
