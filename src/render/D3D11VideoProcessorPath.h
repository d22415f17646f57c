#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include "render/VideoPathHost.h"

namespace ORVO {
namespace MediaFoundation {

// The Direct3D 11 video processor path of Dx11Renderer: BOB deinterlacing, explicit source,
// destination and target rectangles, a black background and stereoscopic output, drawn with
// VideoProcessorBlt into the swap chain's back buffer. Holds the video device, enumerator and
// processor until the size changes or the renderer discards them. Runs under the renderer's lock;
// log lines carry the renderer's address and method names.
class D3D11VideoProcessorPath {
 public:
  D3D11VideoProcessorPath(const void* owner, VideoPathHost& host) : m_owner(owner), m_host(host) {}
  D3D11VideoProcessorPath(const D3D11VideoProcessorPath&) = delete;
  D3D11VideoProcessorPath& operator=(const D3D11VideoProcessorPath&) = delete;

  // ProcessFrameUsingD3D11: ppOutputSample (optional) receives the render-target sample.
  HRESULT ProcessFrame(const VideoPathFrame& frame, IMFSample** ppOutputSample);

  // The next frame builds a new enumerator and processor (new media type, full screen).
  void DiscardProcessor();
  // ... and queries the device for the video interface again (new device).
  void DiscardVideoDevice();

  // The first rate-conversion index of the enumerator whose processor offers BOB deinterlacing.
  // owner: the renderer, for log lines.
  static HRESULT FindBOBProcessorIndex(const void* owner, ID3D11VideoProcessorEnumerator* enumerator, UINT* pIndex);

  // True once the device's video interface could not give a processor for the stream (no
  // enumerator, no processor, an output format it refuses, no video context): basic and remote
  // display drivers expose ID3D11VideoDevice and still answer so. The renderer then presents
  // compatibly. Cleared with the video device.
  bool processorUnavailable() const { return m_processorUnavailable; }

  // What the path holds, for tests.
  ID3D11VideoDevice* videoDevice() const { return m_pDX11VideoDevice.Get(); }
  ID3D11VideoProcessorEnumerator* enumerator() const { return m_pVideoProcessorEnum.Get(); }
  ID3D11VideoProcessor* processor() const { return m_pVideoProcessor.Get(); }
  const RECT& sourceRect() const { return m_sourceRect; }

  // The frame format the processor is told for an MFVideoInterlaceMode.
  static D3D11_VIDEO_FRAME_FORMAT FrameFormatForInterlaceMode(UINT interlaceMode);
  // The stream stereo format for an MFVideo3DFormat.
  static D3D11_VIDEO_PROCESSOR_STEREO_FORMAT StereoFormatFor3DFormat(UINT format3D);

 private:
  HRESULT process(const VideoPathFrame& frame, IMFSample** ppOutputSample);
  HRESULT ensureProcessor(const VideoPathFrame& frame);

  const void* m_owner;
  VideoPathHost& m_host;
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> m_pDX11VideoDevice;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> m_pVideoProcessorEnum;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessor> m_pVideoProcessor;
  // False when the processor was taken for progressive input without BOB: interlaced input then
  // asks for a BOB processor again.
  bool m_bobProcessor = false;
  bool m_processorUnavailable = false;
  RECT m_sourceRect = {};
  RECT m_targetRect = {};
};

}  // namespace MediaFoundation
}  // namespace ORVO
