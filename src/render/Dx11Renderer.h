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

namespace ORVO {
namespace MediaFoundation {

class CMonitorArray;
struct MonitorEntry;
class CompatibilityPresenter;

// Platform entry points the renderer's device set-up goes through. Tests replace them to act out
// machines this test bed is not (a GPU whose device has the video interface); hosts never do.
struct Dx11DevicePlatform {
  // Same contract as D3D11CreateDevice.
  HRESULT(WINAPI* createDevice)(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                                const D3D_FEATURE_LEVEL* levels, UINT levelCount, UINT sdkVersion,
                                ID3D11Device** device, D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context);
  // S_OK when the device offers ID3D11VideoDevice; the failure of that query otherwise.
  HRESULT (*checkVideoSupport)(ID3D11Device* device);
};

// The platform's own entry points.
Dx11DevicePlatform DefaultDx11DevicePlatform();
// Installs a replacement and returns the one it replaces, so a test can put it back.
Dx11DevicePlatform SetDx11DevicePlatform(const Dx11DevicePlatform& platform);

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
class Dx11Renderer : public IMFVideoDisplayControl, public IMFGetService {
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
  STDMETHODIMP GetNativeVideoSize(SIZE* pszVideo, SIZE* pszARVideo) override;
  STDMETHODIMP GetIdealVideoSize(SIZE* pszMin, SIZE* pszMax) override;
  STDMETHODIMP SetVideoPosition(const MFVideoNormalizedRect* pnrcSource, const LPRECT prcDest) override;
  STDMETHODIMP GetVideoPosition(MFVideoNormalizedRect* pnrcSource, LPRECT prcDest) override;
  STDMETHODIMP SetAspectRatioMode(DWORD dwAspectRatioMode) override;
  STDMETHODIMP GetAspectRatioMode(DWORD* pdwAspectRatioMode) override;
  STDMETHODIMP SetVideoWindow(HWND hwndVideo) override;
  STDMETHODIMP GetVideoWindow(HWND* phwndVideo) override;
  STDMETHODIMP RepaintVideo() override;
  STDMETHODIMP GetCurrentImage(BITMAPINFOHEADER* pBih, BYTE** pDib, DWORD* pcbDib, LONGLONG* pTimeStamp) override;
  STDMETHODIMP SetBorderColor(COLORREF Clr) override;
  STDMETHODIMP GetBorderColor(COLORREF* pClr) override;
  STDMETHODIMP SetRenderingPrefs(DWORD dwRenderFlags) override;
  STDMETHODIMP GetRenderingPrefs(DWORD* pdwRenderFlags) override;
  STDMETHODIMP SetFullscreen(BOOL fFullscreen) override;
  STDMETHODIMP GetFullscreen(BOOL* pfFullscreen) override;

  // IMFGetService: MR_VIDEO_RENDER_SERVICE, and MR_VIDEO_ACCELERATION_SERVICE for the DXGI device
  // manager and the sample allocator.
  STDMETHODIMP GetService(REFGUID guidService, REFIID riid, LPVOID* ppvObject) override;

  // Engine-facing operations.
  HRESULT SetCurrentMediaType(IMFMediaType* pMediaType);
  HRESULT SetVideoRect(const RECT* pRect);
  HRESULT ProcessFrame(IMFMediaType* pCurrentType, IMFSample* pSample, UINT* punInterlaceMode,
                       BOOL* pbDeviceChanged, BOOL* pbProcessAgain, IMFSample** ppOutputSample);
  HRESULT PresentFrame();
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
  HRESULT CreateDXGIManagerAndDevice(D3D_DRIVER_TYPE driverType);
  HRESULT createDevice(D3D_DRIVER_TYPE driverType);
  HRESULT CreateXVP();
  HRESULT CreateDCompDeviceAndVisual();
  HRESULT UpdateDXGISwapChain();
  HRESULT SetVideoMonitor(HWND hwnd);
  HRESULT GetVideoDisplayArea(IMFMediaType* pType, MFVideoArea* pArea);
  HRESULT applyMediaType(IMFMediaType* pType, bool setXVPInput);
  HRESULT ProcessFrameUsingXVP(IMFMediaType* pCurrentType, IMFSample* pSample, ID3D11Texture2D* pTexture,
                               const RECT& target, IMFSample** ppOutputSample, BOOL* pbInputUsed);
  // The Direct3D 11 video processor path, reached only with Options::useXVP off.
  HRESULT ProcessFrameUsingD3D11(ID3D11Texture2D* pTexture, ID3D11Texture2D* pEVTexture, UINT subresource,
                                 UINT evSubresource, const RECT& target, UINT interlaceMode,
                                 IMFSample** ppOutputSample);
  // Wraps a device so that Media Foundation cannot create a hardware decoder on it (wrapper mode).
  HRESULT wrapDevice(ID3D11Device* pInner, ID3D11Device** ppWrapper);
  HRESULT processFrameCompatible(IMFMediaType* pCurrentType, IMFMediaBuffer* pBuffer, const RECT& target);
  HRESULT SetXVPOutputMediaType(IMFMediaType* pType, const RECT& target);
  HRESULT createRenderTargetSample(IMFSample** ppSample, const char* method);
  void releaseCompositionVisual();
  bool isWindowTargetEmpty(RECT* target);

  std::atomic<ULONG> m_refCount{1};
  CRITICAL_SECTION m_lock;
  BOOL m_shutdown = FALSE;
  Microsoft::WRL::ComPtr<IDXGIFactory2> m_pDXGIFactory2;
  Microsoft::WRL::ComPtr<ID3D11Device> m_pD3D11Device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> m_pD3DImmediateContext;
  Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> m_pDXGIManager;
  Microsoft::WRL::ComPtr<IDXGIOutput1> m_pDXGIOutput1;
  Microsoft::WRL::ComPtr<IMFVideoSampleAllocatorEx> m_pSampleAllocator;
  HWND m_hwndVideo = nullptr;
  UINT m_resetToken = 0;
  UINT m_recreationPeriod = 0;
  BOOL m_useXVP = TRUE;
  BOOL m_useDComp = FALSE;
  UINT m_creationFlags = D3D11_CREATE_DEVICE_VIDEO_SUPPORT;
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> m_pDX11VideoDevice;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> m_pVideoProcessorEnum;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessor> m_pVideoProcessor;
  Microsoft::WRL::ComPtr<IDXGISwapChain1> m_pSwapChain1;
  UINT m_video3D = 0;
  BOOL m_stereoEnabled = FALSE;
  UINT m_video3DFormat = 0;
  BOOL m_fullscreen = FALSE;
  BOOL m_framePresented = TRUE;
  RECT m_displayArea = {};
  UINT m_frameWidth = 0;
  UINT m_frameHeight = 0;
  int m_displayWidth = 0;
  int m_displayHeight = 0;
  RECT m_sourceRect = {};
  RECT m_targetRect = {};
  Microsoft::WRL::ComPtr<IMFTransform> m_pXVP;
  Microsoft::WRL::ComPtr<IMFVideoProcessorControl> m_pXVPControl;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pCurrentMediaType;
  Microsoft::WRL::ComPtr<IDCompositionDevice> m_pDCompDevice;
  Microsoft::WRL::ComPtr<IDCompositionTarget> m_pDCompTarget;
  Microsoft::WRL::ComPtr<IDCompositionVisual> m_pRootVisual;
  bool m_videoRectSet = false;
  RECT m_videoRect = {};
  int m_appliedOffsetX = 0;
  int m_appliedOffsetY = 0;
  bool m_forceRecreation = false;
  CMonitorArray* m_pMonitors = nullptr;
  const MonitorEntry* m_pCurrentMonitor = nullptr;
  UINT m_currentMonitorIndex = 0;

  // Compatibility presentation (no ID3D11VideoDevice on this machine).
  bool m_compatibility = false;
  std::unique_ptr<CompatibilityPresenter> m_pCompatPresenter;
};

}  // namespace MediaFoundation
}  // namespace ORVO
