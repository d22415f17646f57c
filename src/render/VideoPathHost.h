#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>

#include "common/SourceRect.h"

namespace ORVO {
namespace MediaFoundation {

// What a video processor path (the transform or the Direct3D 11 one) needs from the renderer that
// owns the frame size, the swap chain and the composition visual. Dx11Renderer implements it; tests
// replace it. Called under the renderer's lock.
class VideoPathHost {
 public:
  virtual ~VideoPathHost() = default;

  // The frame size the processor objects were built for; the media type shares it.
  virtual SIZE FrameSize() = 0;
  virtual void SetFrameSize(UINT width, UINT height) = 0;

  // Stereo output, enabled once a processor offers it; swap chains are created for it from then on.
  virtual BOOL StereoEnabled() = 0;
  virtual void EnableStereo() = 0;

  virtual bool HasSwapChain() = 0;
  virtual void DiscardSwapChain() = 0;
  // Creates or resizes the swap chain for target ({0, 0, width, height}). Logs its own failures.
  virtual HRESULT UpdateSwapChain(const RECT& target) = 0;
  // A sample whose first buffer wraps back buffer 0 (a second buffer for the right view in
  // stereo). Logs its own failures under "Dx11Renderer::<method>".
  virtual HRESULT CreateRenderTargetSample(IMFSample** ppSample, const char* method) = 0;
  // FindClosestMatchingMode1 on the output for a full-screen mode of this size.
  virtual HRESULT FindClosestMatchingMode(UINT width, UINT height, BOOL stereo) = 0;

  // The offset the composition visual was last moved to, and moving it (committed).
  virtual POINT VisualOffset() = 0;
  virtual HRESULT SetVisualOffset(int x, int y) = 0;

  // The next frame re-creates the device.
  virtual void ForceDeviceRecreation() = 0;
};

// What both video processor paths ask the enumerator for: playback of a texture of this size,
// unscaled; field order is what the processor gets when the frame says nothing else.
inline D3D11_VIDEO_PROCESSOR_CONTENT_DESC PlaybackContent(UINT width, UINT height) {
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content = {};
  content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST;
  content.InputWidth = width;
  content.InputHeight = height;
  content.OutputWidth = width;
  content.OutputHeight = height;
  content.Usage = D3D11_VIDEO_USAGE_PLAYBACK_NORMAL;
  return content;
}

// One frame and the renderer settings it is processed with.
struct VideoPathFrame {
  IUnknown* device = nullptr;   // queried for ID3D11VideoDevice when the path holds none
  IUnknown* context = nullptr;  // the immediate context, queried for ID3D11VideoContext
  ID3D11Texture2D* texture = nullptr;
  ID3D11Texture2D* evTexture = nullptr;  // second view of multi-view 3D, or null
  UINT subresource = 0;
  UINT evSubresource = 0;
  RECT target = {};        // {0, 0, width, height} of the render target area
  UINT interlaceMode = 2;  // MFVideoInterlaceMode
  UINT video3D = 0;        // MF_MT_VIDEO_3D
  UINT format3D = 0;       // MFVideo3DFormat
  BOOL fullscreen = FALSE;
  RECT displayArea = {};  // display aperture in frame pixels
  int displayWidth = 0;
  int displayHeight = 0;
  SourceRect zoom;        // the part of the picture shown
  BOOL composition = FALSE;
  bool videoRectSet = false;
  RECT videoRect = {};
};

}  // namespace MediaFoundation
}  // namespace ORVO
