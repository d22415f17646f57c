#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// What the Direct3D 11 video processor path needs from the renderer that owns the swap chain and
// the composition visual. Dx11Renderer implements it; tests replace it.
class D3D11VideoPathHost {
 public:
  virtual ~D3D11VideoPathHost() = default;
  virtual bool HasSwapChain() = 0;
  // Creates or resizes the swap chain for the path's current target rectangle and stereo flag
  // (already stored in the shared state). Logs its own failures.
  virtual HRESULT UpdateSwapChain() = 0;
  // A sample whose first buffer wraps back buffer 0 (a second buffer for the right view in
  // stereo). Logs its own failures under the path's name.
  virtual HRESULT CreateRenderTargetSample(IMFSample** ppSample) = 0;
  // FindClosestMatchingMode1 on the output for a full-screen mode of this size.
  virtual HRESULT FindClosestMatchingMode(UINT width, UINT height, BOOL stereo) = 0;
  // Moves the renderer's composition visual and commits.
  virtual HRESULT SetVisualOffset(int x, int y) = 0;
};

// Renderer members the path reads and updates in place, bound to the renderer's own fields so that
// its other operations (full screen, new media type, device re-creation) see and discard the same
// objects.
struct D3D11VideoPathState {
  Microsoft::WRL::ComPtr<ID3D11VideoDevice>& videoDevice;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator>& enumerator;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessor>& processor;
  RECT& sourceRect;
  RECT& targetRect;
  UINT& frameWidth;
  UINT& frameHeight;
  BOOL& stereoEnabled;
  BOOL& framePresented;
  int& appliedOffsetX;
  int& appliedOffsetY;
  bool& forceRecreation;
};

// One frame and the renderer settings it is processed with.
struct D3D11VideoFrame {
  IUnknown* device = nullptr;   // queried for ID3D11VideoDevice when the state holds none
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
  BOOL composition = FALSE;
  bool videoRectSet = false;
  RECT videoRect = {};
};

// The Direct3D 11 video processor path of Dx11Renderer: BOB deinterlacing, explicit source,
// destination and target rectangles, a black background and stereoscopic output, drawn with
// VideoProcessorBlt into the swap chain's back buffer. Runs under the renderer's lock; log lines
// carry the renderer's address and method names.
class D3D11VideoProcessorPath {
 public:
  D3D11VideoProcessorPath(const void* owner, D3D11VideoPathState& state, D3D11VideoPathHost& host)
      : m_owner(owner), m_state(state), m_host(host) {}

  // ProcessFrameUsingD3D11: ppOutputSample (optional) receives the render-target sample.
  HRESULT ProcessFrame(const D3D11VideoFrame& frame, IMFSample** ppOutputSample);

  // The first rate-conversion index of the enumerator whose processor offers BOB deinterlacing.
  HRESULT FindBOBProcessorIndex(UINT* pIndex);

  // The frame format the processor is told for an MFVideoInterlaceMode.
  static D3D11_VIDEO_FRAME_FORMAT FrameFormatForInterlaceMode(UINT interlaceMode);
  // The stream stereo format for an MFVideo3DFormat.
  static D3D11_VIDEO_PROCESSOR_STEREO_FORMAT StereoFormatFor3DFormat(UINT format3D);

 private:
  HRESULT process(const D3D11VideoFrame& frame, IMFSample** ppOutputSample);
  HRESULT ensureProcessor(const D3D11VideoFrame& frame);

  const void* m_owner;
  D3D11VideoPathState& m_state;
  D3D11VideoPathHost& m_host;
};

}  // namespace MediaFoundation
}  // namespace ORVO
