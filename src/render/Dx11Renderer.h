#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <dcomp.h>
#include <evr.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>

#include "render/CompositionVisual.h"
#include "render/DeviceRecreationPolicy.h"
#include "render/Dx11DeviceFactory.h"
#include "render/FrameFence.h"
#include "render/MonitorTracker.h"
#include "render/PictureGeometry.h"
#include "render/SwapChainTarget.h"
#include "render/VideoPathHost.h"

namespace ORVO {
namespace MediaFoundation {

class CompatibilityPresenter;
class D3D11VideoProcessorPath;
class SystemFrameUpload;
class VideoProcessorTransformPath;

// Video presenter of the low-latency engine: one per video stream, on the host's window. Owns a
// Direct3D 11 device shared with Media Foundation through a DXGI device manager, the video
// processor transform and a flip-model swap chain.
//
// Compatibility presentation: where no feature level yields a device with ID3D11VideoDevice (Wine,
// some drivers and virtual machines), the renderer still presents. It then keeps a plain device,
// hands no DXGI device manager to Media Foundation (decoders and converters work in system memory),
// accepts system-memory RGB32 samples in ProcessFrame, uploads them to a texture and draws them
// letterboxed with its own shaders. IsCompatibilityMode() and HasDXGIManager() tell the engine which.
//
// Threads: the owning stream calls SetVideoWindow and SetCurrentMediaType from its constructor,
// ProcessFrame and PresentFrame from its rendering thread, GetService from its pulling thread and
// Shutdown from its destructor. Every operation but the IUnknown ones and GetService holds the
// renderer's recursive lock for its whole run. Lock order: an engine's lock, then this renderer's
// lock, then the process-wide composition lock; never the reverse.
//
// The renderer keeps its COM surface, its lock and the dispatch of each frame; the device, the swap
// chain, the composition visual, the monitor check, the re-creation rule and the three ways of
// drawing a frame are objects of their own, which it drives under its lock.
class Dx11Renderer : public IMFVideoDisplayControl, public IMFGetService, private VideoPathHost {
 public:
  // Construction-time switches. No operation of the system changes them; tests and the
  // composition/Direct3D-path variants do.
  struct Options {
    UINT recreationPeriod = 0;  // frames between forced device re-creations; 0 = never
    BOOL useXVP = TRUE;         // video processor transform path (else the Direct3D 11 path)
    BOOL useDComp = FALSE;      // DirectComposition presentation instead of a window swap chain
  };

  Dx11Renderer();
  explicit Dx11Renderer(const Options& options);
  virtual ~Dx11Renderer();
  Dx11Renderer(const Dx11Renderer&) = delete;
  Dx11Renderer& operator=(const Dx11Renderer&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IMFVideoDisplayControl: only SetVideoWindow and the full-screen pair do anything.
  STDMETHODIMP GetNativeVideoSize(SIZE*, SIZE*) override { return E_NOTIMPL; }
  STDMETHODIMP GetIdealVideoSize(SIZE*, SIZE*) override { return E_NOTIMPL; }
  STDMETHODIMP SetVideoPosition(const MFVideoNormalizedRect*, const LPRECT) override { return E_NOTIMPL; }
  STDMETHODIMP GetVideoPosition(MFVideoNormalizedRect*, LPRECT) override { return E_NOTIMPL; }
  STDMETHODIMP SetAspectRatioMode(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetAspectRatioMode(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetVideoWindow(HWND hwndVideo) override;
  STDMETHODIMP GetVideoWindow(HWND*) override { return E_NOTIMPL; }
  STDMETHODIMP RepaintVideo() override { return E_NOTIMPL; }
  STDMETHODIMP GetCurrentImage(BITMAPINFOHEADER*, BYTE**, DWORD*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetBorderColor(COLORREF) override { return E_NOTIMPL; }
  STDMETHODIMP GetBorderColor(COLORREF*) override { return E_NOTIMPL; }
  STDMETHODIMP SetRenderingPrefs(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetRenderingPrefs(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetFullscreen(BOOL fFullscreen) override;
  STDMETHODIMP GetFullscreen(BOOL* pfFullscreen) override;

  // IMFGetService: MR_VIDEO_RENDER_SERVICE, and MR_VIDEO_ACCELERATION_SERVICE for the DXGI device
  // manager and the sample allocator.
  STDMETHODIMP GetService(REFGUID guidService, REFIID riid, LPVOID* ppvObject) override;

  // Engine-facing operations.
  HRESULT SetCurrentMediaType(IMFMediaType* pMediaType);
  HRESULT SetVideoRect(const RECT* pRect);
  // The part of the picture to show (a valid rectangle, see IsValidSourceRect); from the next frame.
  HRESULT SetSourceRect(const SourceRect& zoom);
  HRESULT ProcessFrame(IMFMediaType* pCurrentType, IMFSample* pSample, UINT* punInterlaceMode, BOOL* pbDeviceChanged,
                       BOOL* pbProcessAgain, IMFSample** ppOutputSample);
  // A device lost at Present (removed, reset, hung) is created anew at once, with the swap chain
  // and the drawing objects; the frame is lost and the failure returned. When that fails, each
  // later ProcessFrame tries again, at most every kDeviceRetryMs, and fails until one works.
  HRESULT PresentFrame();
  // S_OK while the renderer has a working device; after a device loss that re-creation has not
  // repaired yet, why the device was lost.
  HRESULT DeviceLoss();
  // Tries to create a lost device once more, now; answers DeviceLoss() afterwards.
  HRESULT RetryLostDevice();
  static constexpr ULONGLONG kDeviceRetryMs = 250;
  // The longest ProcessFrame waits for the device to finish the frame presented before; beyond
  // that it draws anyway. Three frame intervals at 30 fps.
  static constexpr DWORD kFrameFenceTimeoutMs = 100;
  // Always MF_E_SHUTDOWN; callers ignore it.
  HRESULT Shutdown();

  // The manager to hand to a source reader as MF_SOURCE_READER_D3D_MANAGER, with a reference added;
  // null (and E_NOINTERFACE) in compatibility presentation or before SetVideoWindow.
  HRESULT GetDXGIManager(IMFDXGIDeviceManager** ppManager);
  bool HasDXGIManager();
  // True once SetVideoWindow found no device with video support and fell back to a plain device.
  bool IsCompatibilityMode();

  // Placement inputs derived from the current media type, for diagnostics and tests.
  struct DisplayGeometry {
    RECT displayArea;  // the display aperture in frame pixels
    int displayWidth;  // picture size after the pixel aspect ratio
    int displayHeight;
    UINT frameWidth;
    UINT frameHeight;
  };
  DisplayGeometry GetDisplayGeometry();

  // The interface identifier under which GetService hands out the allocator bound to the device
  // manager but not initialised, for the caller to initialise itself.
  static const GUID kUninitializedAllocatorService;

 private:
  // CreateDXGIManagerAndDevice: the device and everything built on it.
  HRESULT createDevice(D3D_DRIVER_TYPE driverType);
  // The device was lost (reason): a new one with everything built on it, or m_deviceLoss set.
  HRESULT recoverDevice(HRESULT reason);
  // Compatibility presentation's drawing objects on the current device; method names the log line.
  HRESULT createCompatPresenter(const char* method);
  // The video device cannot process the stream (reason): present compatibly for good, logged once.
  HRESULT presentCompatiblyFromNowOn(HRESULT reason);
  // Drops the video processor objects of the active path; with device, the video device too.
  void discardVideoProcessor(bool device);
  HRESULT applyMediaType(IMFMediaType* pType, bool setXVPInput);
  // applyMediaType for a per-frame type whose frame size or identity differs from the current one.
  HRESULT followFrameType(IMFMediaType* pCurrentType, UINT32 width, UINT32 height);
  HRESULT processFrameCompatible(IMFMediaType* pCurrentType, IMFMediaBuffer* pBuffer, const RECT& target);
  HRESULT uploadSystemFrame(IMFMediaType* pCurrentType, IMFMediaBuffer* pBuffer, ID3D11Texture2D** ppTexture);
  HRESULT processFrameOnTexture(IMFMediaType* pCurrentType, IMFSample* pSample, IMFMediaBuffer* pBuffer,
                                IMFMediaBuffer* pEVBuffer, const RECT& target, UINT interlaceMode, BOOL* pbProcessAgain,
                                IMFSample** ppOutputSample);
  HRESULT createAllocator(bool initialise);
  bool isWindowTargetEmpty(RECT* target);

  // VideoPathHost, for the path that draws the frame.
  SIZE FrameSize() override;
  void SetFrameSize(UINT width, UINT height) override;
  BOOL StereoEnabled() override;
  void EnableStereo() override;
  bool HasSwapChain() override;
  void DiscardSwapChain() override;
  HRESULT UpdateSwapChain(const RECT& target) override;
  HRESULT CreateRenderTargetSample(IMFSample** ppSample, const char* method) override;
  HRESULT FindClosestMatchingMode(UINT width, UINT height, BOOL stereo) override;
  POINT VisualOffset() override;
  HRESULT SetVisualOffset(int x, int y) override;
  void ForceDeviceRecreation() override;

  std::atomic<ULONG> m_refCount{1};
  CRITICAL_SECTION m_lock;

  // Everything below is guarded by m_lock.
  BOOL m_shutdown = FALSE;
  const BOOL m_useDComp;
  HWND m_hwndVideo = nullptr;
  Dx11DeviceFactory m_device;
  CompositionVisual m_composition;
  SwapChainTarget m_swapChain;
  FrameFence m_frameFence;
  MonitorTracker m_monitors;
  DeviceRecreationPolicy m_recreation;
  HRESULT m_deviceLoss = S_OK;  // why the device was lost, until a new one works
  ULONGLONG m_lastRecoveryAttempt = 0;
  Microsoft::WRL::ComPtr<IMFVideoSampleAllocatorEx> m_pSampleAllocator;

  // One of the two paths, chosen by Options::useXVP; compatibility presentation replaces either.
  // SetVideoWindow trades the transform path for the Direct3D 11 one where the transform cannot
  // be built on the device.
  std::unique_ptr<VideoProcessorTransformPath> m_transformPath;
  std::unique_ptr<D3D11VideoProcessorPath> m_d3d11Path;
  // System-memory frames of the Direct3D 11 path, in a texture.
  std::unique_ptr<SystemFrameUpload> m_upload;
  std::unique_ptr<CompatibilityPresenter> m_pCompatPresenter;

  // The current media type and the placement inputs derived from it.
  Microsoft::WRL::ComPtr<IMFMediaType> m_pCurrentMediaType;
  PictureGeometry m_picture;
  bool m_videoRectSet = false;
  RECT m_videoRect = {};
  SourceRect m_zoom;
};

}  // namespace MediaFoundation
}  // namespace ORVO
