#include <gtest/gtest.h>

#include <d3d11.h>
#include <mferror.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "D3D11VideoDoubles.h"
#include "FakeDisplay.h"
#include "LogFile.h"
#include "RenderTestFrames.h"
#include "Screenshot.h"
#include "TestWindow.h"
#include "Waiting.h"
#include "common/Guids.h"
#include "log/Log.h"
#include "render/Dx11Renderer.h"
#include "render/ID3D11DeviceWrapper.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::Dx11DevicePlatform;
using ORVO::MediaFoundation::Dx11Renderer;
using orvo_test::FakeDisplay;
using orvo_test::TestWindow;

namespace {

// Records every device request and can pretend that devices have the video interface, which no
// device has under Wine: the only way to reach the device-manager paths here.
struct DeviceRecorder {
  struct Call {
    UINT flags;
    UINT levelCount;
    D3D_FEATURE_LEVEL firstLevel;
    D3D_DRIVER_TYPE driverType;
  };
  static inline std::vector<Call> calls;
  static inline bool pretendVideo = false;
  // Fail video-flagged requests at once, as a driver without video support may: each real device
  // costs about a second on the test bed's software rasteriser.
  static inline bool refuseVideoFlag = true;
  static inline bool failAll = false;
  // A level refused with the video flag, as DXVK refuses 11_1.
  static inline D3D_FEATURE_LEVEL refuseLevel = static_cast<D3D_FEATURE_LEVEL>(0);

  static HRESULT WINAPI Create(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                               const D3D_FEATURE_LEVEL* levels, UINT levelCount, UINT sdkVersion, ID3D11Device** device,
                               D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context) {
    calls.push_back({flags, levelCount, levelCount > 0 ? levels[0] : D3D_FEATURE_LEVEL_9_1, driverType});
    if (failAll) return DXGI_ERROR_UNSUPPORTED;
    if ((flags & D3D11_CREATE_DEVICE_VIDEO_SUPPORT) && levelCount == 1 && levels[0] == refuseLevel) return E_INVALIDARG;
    if (refuseVideoFlag && !pretendVideo && (flags & D3D11_CREATE_DEVICE_VIDEO_SUPPORT)) return E_INVALIDARG;
    if (!pretendVideo) {
      return D3D11CreateDevice(adapter, driverType, software, flags, levels, levelCount, sdkVersion, device, level,
                               context);
    }
    // A device that claims video support and refuses ID3D11VideoDevice, whatever the test bed's own
    // Direct3D 11 offers (Wine 10's has the interface, Wine 8's has not).
    ComPtr<ID3D11Device> real;
    HRESULT hr = D3D11CreateDevice(adapter, driverType, software, flags, levels, levelCount, sdkVersion, &real, level,
                                   context);
    if (FAILED(hr)) return hr;
    ORVO::MediaFoundation::ID3D11DeviceWrapper* wrapper = nullptr;
    hr = ORVO::MediaFoundation::ID3D11DeviceWrapper::CreateWithVideoDevice(real.Get(), nullptr, &wrapper);
    *device = wrapper;
    return hr;
  }
  // A device without the video interface unless pretending: these tests act out machines, and
  // the test bed's own Direct3D 11 may or may not offer one (Wine 10's does, without processors).
  static HRESULT CheckVideo(ID3D11Device*) { return pretendVideo ? S_OK : E_NOINTERFACE; }
  static int ladderCalls() {
    int n = 0;
    for (const Call& c : calls) n += (c.flags & D3D11_CREATE_DEVICE_VIDEO_SUPPORT) ? 1 : 0;
    return n;
  }
};

class Dx11RendererTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    // The renderer's own account of each step, beside the test program, for failure analysis.
    if (ORVO::GlobalLog() == nullptr) {
      ORVO::SetGlobalLog(new ORVO::Log);
      ORVO::GlobalLog()->Reconfigure(4, L"unit_render.log");
    }
  }
  static void TearDownTestSuite() { MFShutdown(); }

  void SetUp() override {
    DeviceRecorder::calls.clear();
    DeviceRecorder::pretendVideo = false;
    DeviceRecorder::refuseVideoFlag = true;
    DeviceRecorder::failAll = false;
    DeviceRecorder::refuseLevel = static_cast<D3D_FEATURE_LEVEL>(0);
    Dx11DevicePlatform recorder = {&DeviceRecorder::Create, &DeviceRecorder::CheckVideo, nullptr};
    m_previous = ORVO::MediaFoundation::SetDx11DevicePlatform(recorder);
  }
  void TearDown() override { ORVO::MediaFoundation::SetDx11DevicePlatform(m_previous); }

  // A renderer that owns one reference; shut down and released at the end of the test.
  struct RendererHolder {
    Dx11Renderer* renderer;
    explicit RendererHolder(Dx11Renderer* r) : renderer(r) {}
    ~RendererHolder() {
      renderer->Shutdown();
      renderer->Release();
    }
    Dx11Renderer* operator->() const { return renderer; }
  };

  HRESULT Process(Dx11Renderer* renderer, IMFMediaType* type, IMFSample* sample, BOOL* deviceChanged,
                  UINT* interlace = nullptr) {
    UINT mode = MFVideoInterlace_Progressive;
    BOOL again = TRUE;
    BOOL changed = FALSE;
    HRESULT hr = renderer->ProcessFrame(type, sample, interlace ? interlace : &mode, &changed, &again, nullptr);
    if (deviceChanged) *deviceChanged = changed;
    return hr;
  }

  Dx11DevicePlatform m_previous;
};

}  // namespace

TEST_F(Dx11RendererTest, ComSurfaceAnswersItsTwoInterfaces) {
  RendererHolder r(new Dx11Renderer());
  ComPtr<IUnknown> unknown;
  ComPtr<IMFVideoDisplayControl> display;
  ComPtr<IMFGetService> service;
  EXPECT_EQ(S_OK, r->QueryInterface(IID_PPV_ARGS(&unknown)));
  EXPECT_EQ(S_OK, r->QueryInterface(IID_PPV_ARGS(&display)));
  EXPECT_EQ(S_OK, r->QueryInterface(IID_PPV_ARGS(&service)));
  EXPECT_EQ(static_cast<IUnknown*>(static_cast<IMFVideoDisplayControl*>(r.renderer)), unknown.Get());
  EXPECT_EQ(static_cast<IMFGetService*>(r.renderer), service.Get());
  ComPtr<IMFMediaType> wrong;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, r->QueryInterface(__uuidof(IMFMediaType), &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, r->QueryInterface(__uuidof(IUnknown), nullptr));
  SIZE size;
  EXPECT_EQ(E_NOTIMPL, r->GetNativeVideoSize(&size, &size));
  EXPECT_EQ(E_NOTIMPL, r->RepaintVideo());
  // Through the service interface too.
  ComPtr<IMFVideoDisplayControl> viaService;
  EXPECT_EQ(S_OK, service->GetService(ORVO::kMR_VIDEO_RENDER_SERVICE, IID_PPV_ARGS(&viaService)));
  EXPECT_EQ(display.Get(), viaService.Get());
  EXPECT_EQ(MF_E_UNSUPPORTED_SERVICE, service->GetService(ORVO::kMR_BUFFER_SERVICE, IID_PPV_ARGS(&viaService)));
}

TEST_F(Dx11RendererTest, NotAWindowCreatesNothing) {
  RendererHolder r(new Dx11Renderer());
  EXPECT_EQ(E_INVALIDARG, r->SetVideoWindow(reinterpret_cast<HWND>(0x1234)));
  EXPECT_EQ(E_INVALIDARG, r->SetVideoWindow(nullptr));
  EXPECT_TRUE(DeviceRecorder::calls.empty());
  EXPECT_FALSE(r->HasDXGIManager());
  ComPtr<IMFDXGIDeviceManager> manager;
  EXPECT_EQ(E_NOINTERFACE, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&manager)));
}

TEST_F(Dx11RendererTest, WithoutVideoDeviceClimbsOnlyWhileLevelsAreRefusedThenPresentsCompatibly) {
  // A driver that refuses the video flag at every level: each level once, in the specified order,
  // then one plain device with every level.
  TestWindow window(320, 240);
  {
    RendererHolder r(new Dx11Renderer());
    ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
    EXPECT_TRUE(r->IsCompatibilityMode());
    EXPECT_FALSE(r->HasDXGIManager());
    ComPtr<IMFDXGIDeviceManager> manager;
    EXPECT_EQ(E_NOINTERFACE, r->GetDXGIManager(&manager));
    EXPECT_EQ(E_NOINTERFACE, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&manager)));
  }
  const D3D_FEATURE_LEVEL order[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                     D3D_FEATURE_LEVEL_10_0, D3D_FEATURE_LEVEL_9_3,  D3D_FEATURE_LEVEL_9_2,
                                     D3D_FEATURE_LEVEL_9_1};
  ASSERT_EQ(8u, DeviceRecorder::calls.size());
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(order[i], DeviceRecorder::calls[i].firstLevel) << i;
    EXPECT_EQ(1u, DeviceRecorder::calls[i].levelCount);
    EXPECT_EQ(static_cast<UINT>(D3D11_CREATE_DEVICE_VIDEO_SUPPORT), DeviceRecorder::calls[i].flags);
    EXPECT_EQ(D3D_DRIVER_TYPE_HARDWARE, DeviceRecorder::calls[i].driverType);
  }
  EXPECT_EQ(0u, DeviceRecorder::calls[7].flags & D3D11_CREATE_DEVICE_VIDEO_SUPPORT);
  EXPECT_EQ(7u, DeviceRecorder::calls[7].levelCount);

  // The process remembers: the next player goes straight to the plain device.
  DeviceRecorder::calls.clear();
  {
    RendererHolder second(new Dx11Renderer());
    ASSERT_EQ(S_OK, second->SetVideoWindow(window.hwnd()));
    EXPECT_TRUE(second->IsCompatibilityMode());
  }
  ASSERT_EQ(1u, DeviceRecorder::calls.size());
  EXPECT_EQ(7u, DeviceRecorder::calls[0].levelCount);

  // The machine itself (Wine's wined3d) accepts the flag and creates real devices that lack the
  // video interface: the first such device ends the climb and is the one that presents.
  ORVO::MediaFoundation::SetDx11DevicePlatform({&DeviceRecorder::Create, &DeviceRecorder::CheckVideo, nullptr});
  DeviceRecorder::refuseVideoFlag = false;
  DeviceRecorder::calls.clear();
  RendererHolder third(new Dx11Renderer());
  ASSERT_EQ(S_OK, third->SetVideoWindow(window.hwnd()));
  EXPECT_TRUE(third->IsCompatibilityMode());
  ASSERT_EQ(1u, DeviceRecorder::calls.size());
  EXPECT_EQ(D3D_FEATURE_LEVEL_11_1, DeviceRecorder::calls[0].firstLevel);
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(32, 32);
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(32, 32, 16, 16);
  BOOL changed = FALSE;
  EXPECT_EQ(S_OK, Process(third.renderer, type.Get(), frame.Get(), &changed));
  EXPECT_EQ(S_OK, third->PresentFrame());
}

TEST_F(Dx11RendererTest, LaterPlayersStartAtTheLevelThatGaveTheVideoDeviceAndDrawWithoutTheTransform) {
  // DXVK's pattern: 11_1 refused, 11_0 gives the video interface; Wine's video processor transform
  // then cannot be driven on it, so the renderer draws with the Direct3D 11 video processor.
  DeviceRecorder::pretendVideo = true;
  DeviceRecorder::refuseLevel = D3D_FEATURE_LEVEL_11_1;
  TestWindow window(160, 120);
  RendererHolder first(new Dx11Renderer());
  ASSERT_EQ(S_OK, first->SetVideoWindow(window.hwnd()));
  EXPECT_FALSE(first->IsCompatibilityMode());
  EXPECT_EQ(2, DeviceRecorder::ladderCalls());

  DeviceRecorder::calls.clear();
  RendererHolder second(new Dx11Renderer());
  ASSERT_EQ(S_OK, second->SetVideoWindow(window.hwnd()));
  ASSERT_EQ(1, DeviceRecorder::ladderCalls());
  EXPECT_EQ(D3D_FEATURE_LEVEL_11_0, DeviceRecorder::calls[0].firstLevel);
  // The seam's device has no real video interface: frames fail on the path, not at set-up.
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(64, 48);
  ASSERT_EQ(S_OK, second->SetCurrentMediaType(type.Get()));
  ComPtr<IMFSample> memory = orvo_test::QuadrantSample(64, 48, 32, 24);
  EXPECT_EQ(E_NOINTERFACE, Process(second.renderer, type.Get(), memory.Get(), nullptr));
}

TEST_F(Dx11RendererTest, CompatibilityAllocatorComesWithoutDeviceManager) {
  TestWindow window(320, 240);
  RendererHolder r(new Dx11Renderer());
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(orvo_test::Rgb32Type(64, 48).Get()));
  ComPtr<IMFVideoSampleAllocatorEx> first, second;
  ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, Dx11Renderer::kUninitializedAllocatorService,
                                reinterpret_cast<void**>(first.GetAddressOf())));
  // Not initialised: the engine initialises it itself, and then gets system-memory samples.
  ComPtr<IMFSample> sample;
  EXPECT_TRUE(FAILED(first->AllocateSample(&sample)));
  ASSERT_EQ(S_OK, first->InitializeSampleAllocator(2, orvo_test::Rgb32Type(64, 48).Get()));
  ASSERT_EQ(S_OK, first->AllocateSample(&sample));
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(S_OK, sample->GetBufferByIndex(0, &buffer));
  ComPtr<IMFDXGIBuffer> dxgi;
  EXPECT_EQ(E_NOINTERFACE, buffer.As(&dxgi));
  ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&second)));
  EXPECT_EQ(first.Get(), second.Get());
}

TEST_F(Dx11RendererTest, AllocatorServiceRulesWithDeviceManager) {
  DeviceRecorder::pretendVideo = true;
  TestWindow window(320, 240);
  Dx11Renderer::Options options;
  options.useXVP = FALSE;  // Wine's video processor transform cannot take a Direct3D manager
  {
    RendererHolder r(new Dx11Renderer(options));
    ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
    EXPECT_FALSE(r->IsCompatibilityMode());
    ASSERT_TRUE(r->HasDXGIManager());
    EXPECT_EQ(1u, DeviceRecorder::calls.size());  // the first level succeeded

    ComPtr<IMFDXGIDeviceManager> manager, viaService;
    ASSERT_EQ(S_OK, r->GetDXGIManager(&manager));
    ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&viaService)));
    EXPECT_EQ(manager.Get(), viaService.Get());

    // Asked for the real interface without a current media type: initialisation fails with E_FAIL
    // and nothing is kept.
    ComPtr<IMFVideoSampleAllocatorEx> allocator;
    EXPECT_EQ(E_FAIL, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&allocator)));
    EXPECT_EQ(nullptr, allocator.Get());

    // With a type: initialised as Direct3D 11 shader resources on the renderer's device.
    ASSERT_EQ(S_OK, r->SetCurrentMediaType(orvo_test::Rgb32Type(64, 48).Get()));
    ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&allocator)));
    ComPtr<IMFSample> sample;
    ASSERT_EQ(S_OK, allocator->AllocateSample(&sample));
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(S_OK, sample->GetBufferByIndex(0, &buffer));
    ComPtr<IMFDXGIBuffer> dxgi;
    ASSERT_EQ(S_OK, buffer.As(&dxgi));
    ComPtr<ID3D11Texture2D> texture;
    ASSERT_EQ(S_OK, dxgi->GetResource(IID_PPV_ARGS(&texture)));
    D3D11_TEXTURE2D_DESC desc = {};
    texture->GetDesc(&desc);
    EXPECT_EQ(64u, desc.Width);
    EXPECT_NE(0u, desc.BindFlags & D3D11_BIND_SHADER_RESOURCE);

    // Same object on later calls, whichever identifier asks.
    ComPtr<IMFVideoSampleAllocatorEx> again;
    ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, Dx11Renderer::kUninitializedAllocatorService,
                                  reinterpret_cast<void**>(again.GetAddressOf())));
    EXPECT_EQ(allocator.Get(), again.Get());
    ComPtr<IMFMediaType> other;
    EXPECT_EQ(E_NOINTERFACE, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&other)));
    sample.Reset();
  }
  {
    // The engine's identifier: bound to the manager but left uninitialised, even with a type.
    RendererHolder r(new Dx11Renderer(options));
    ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
    ASSERT_EQ(S_OK, r->SetCurrentMediaType(orvo_test::Rgb32Type(64, 48).Get()));
    ComPtr<IMFVideoSampleAllocatorEx> allocator;
    ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, Dx11Renderer::kUninitializedAllocatorService,
                                  reinterpret_cast<void**>(allocator.GetAddressOf())));
    ComPtr<IMFSample> sample;
    EXPECT_EQ(MF_E_NOT_INITIALIZED, allocator->AllocateSample(&sample));
    ComPtr<IMFVideoSampleAllocatorEx> again;
    ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&again)));
    EXPECT_EQ(allocator.Get(), again.Get());
    EXPECT_EQ(MF_E_NOT_INITIALIZED, again->AllocateSample(&sample));
  }
}

TEST_F(Dx11RendererTest, MonitorChangeRecreatesDeviceAndDropsOldTextures) {
  DeviceRecorder::pretendVideo = true;
  FakeDisplay display;
  display.addMonitor(L"\\\\.\\DISPLAY1", 1280, 720, 60);
  display.addMonitor(L"\\\\.\\DISPLAY2", 1280, 720, 60);
  display.putWindowOn(0);
  TestWindow window(320, 240);
  Dx11Renderer::Options options;
  options.useXVP = FALSE;
  RendererHolder r(new Dx11Renderer(options));
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(64, 48);
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(type.Get()));
  ComPtr<IMFVideoSampleAllocatorEx> allocator;
  ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&allocator)));
  ComPtr<IMFSample> texture;
  ASSERT_EQ(S_OK, allocator->AllocateSample(&texture));
  ComPtr<IMFDXGIDeviceManager> before;
  ASSERT_EQ(S_OK, r->GetDXGIManager(&before));
  const size_t devicesBefore = DeviceRecorder::calls.size();

  BOOL changed = TRUE;
  Process(r.renderer, type.Get(), texture.Get(), &changed);
  EXPECT_FALSE(changed);
  EXPECT_EQ(devicesBefore, DeviceRecorder::calls.size());

  display.putWindowOn(1);
  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), texture.Get(), &changed));  // old device: skipped
  EXPECT_TRUE(changed);
  EXPECT_EQ(devicesBefore + 1, DeviceRecorder::calls.size());
  ComPtr<IMFDXGIDeviceManager> after;
  ASSERT_EQ(S_OK, r->GetDXGIManager(&after));
  EXPECT_NE(before.Get(), after.Get());
  ComPtr<IMFVideoSampleAllocatorEx> newAllocator;
  ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&newAllocator)));
  EXPECT_NE(allocator.Get(), newAllocator.Get());

  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), texture.Get(), &changed));
  EXPECT_FALSE(changed);
  display.putWindowOn(0);  // and back
  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), texture.Get(), &changed));
  EXPECT_TRUE(changed);

  // A window that no monitor holds drops the frame with E_POINTER and re-creates nothing.
  display.putWindowOn(-1);
  const size_t devices = DeviceRecorder::calls.size();
  EXPECT_EQ(E_POINTER, Process(r.renderer, type.Get(), texture.Get(), &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(devices, DeviceRecorder::calls.size());
}

TEST_F(Dx11RendererTest, WindowOnSecondMonitorRecreatesOnFirstFrameOnly) {
  FakeDisplay display;
  display.addMonitor(L"\\\\.\\DISPLAY1", 1280, 720, 60);
  display.addMonitor(L"\\\\.\\DISPLAY2", 1280, 720, 60);
  display.putWindowOn(1);
  TestWindow window(160, 120);
  RendererHolder r(new Dx11Renderer());
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  ASSERT_TRUE(r->IsCompatibilityMode());
  const int ladder = DeviceRecorder::ladderCalls();
  const size_t devices = DeviceRecorder::calls.size();
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(32, 32);
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(32, 32, 16, 16);
  BOOL changed = FALSE;
  // SetVideoWindow already noted monitor 1, so the first frame does not re-create.
  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), &changed));
  EXPECT_FALSE(changed);
  display.putWindowOn(0);
  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), &changed));
  EXPECT_TRUE(changed);
  // Compatibility presentation re-creates its plain device without walking the ladder again.
  EXPECT_EQ(ladder, DeviceRecorder::ladderCalls());
  EXPECT_EQ(devices + 1, DeviceRecorder::calls.size());
  EXPECT_TRUE(r->IsCompatibilityMode());
}

TEST_F(Dx11RendererTest, ShutdownRefusesEverythingAfterwards) {
  TestWindow window(160, 120);
  Dx11Renderer* renderer = new Dx11Renderer();
  ASSERT_EQ(S_OK, renderer->SetVideoWindow(window.hwnd()));
  EXPECT_EQ(MF_E_SHUTDOWN, renderer->Shutdown());
  EXPECT_EQ(MF_E_SHUTDOWN, renderer->Shutdown());
  EXPECT_EQ(MF_E_SHUTDOWN, renderer->SetVideoWindow(window.hwnd()));
  EXPECT_EQ(MF_E_SHUTDOWN, renderer->SetFullscreen(TRUE));
  BOOL fullscreen = FALSE;
  EXPECT_EQ(MF_E_SHUTDOWN, renderer->GetFullscreen(&fullscreen));
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(32, 32);
  EXPECT_EQ(MF_E_SHUTDOWN, renderer->SetCurrentMediaType(type.Get()));
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(32, 32, 16, 16);
  EXPECT_EQ(MF_E_SHUTDOWN, Process(renderer, type.Get(), frame.Get(), nullptr));
  EXPECT_EQ(MF_E_SHUTDOWN, renderer->PresentFrame());
  RECT rect = {0, 0, 10, 10};
  EXPECT_EQ(S_OK, renderer->SetVideoRect(&rect));
  EXPECT_FALSE(renderer->HasDXGIManager());
  EXPECT_EQ(0u, renderer->Release());
}

TEST_F(Dx11RendererTest, FullscreenFlagRoundTrips) {
  RendererHolder r(new Dx11Renderer());
  BOOL value = TRUE;
  EXPECT_EQ(E_POINTER, r->GetFullscreen(nullptr));
  EXPECT_EQ(S_OK, r->GetFullscreen(&value));
  EXPECT_FALSE(value);
  EXPECT_EQ(S_OK, r->SetFullscreen(TRUE));
  EXPECT_EQ(S_OK, r->SetFullscreen(TRUE));
  EXPECT_EQ(S_OK, r->GetFullscreen(&value));
  EXPECT_TRUE(value);
}

TEST_F(Dx11RendererTest, MediaTypeGivesApertureAndDisplaySize) {
  TestWindow window(160, 120);
  RendererHolder r(new Dx11Renderer());
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));

  ComPtr<IMFMediaType> pal = orvo_test::Rgb32Type(720, 576, 16, 15);
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(pal.Get()));
  Dx11Renderer::DisplayGeometry g = r->GetDisplayGeometry();
  EXPECT_EQ(768, g.displayWidth);
  EXPECT_EQ(576, g.displayHeight);
  EXPECT_EQ(720, g.displayArea.right);

  // No pixel aspect ratio: square pixels.
  ComPtr<IMFMediaType> square = orvo_test::Rgb32Type(640, 360);
  square->DeleteItem(MF_MT_PIXEL_ASPECT_RATIO);
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(square.Get()));
  g = r->GetDisplayGeometry();
  EXPECT_EQ(640, g.displayWidth);
  EXPECT_EQ(360u, g.frameHeight);

  // A 1920x1088 decode whose minimum display aperture is 1920x1080; the pan-scan aperture is set
  // but ignored while pan-scan is off, and wins once it is on.
  ComPtr<IMFMediaType> hd = orvo_test::Rgb32Type(1920, 1088);
  MFVideoArea minimum = {};
  minimum.Area = {1920, 1080};
  hd->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&minimum), sizeof(minimum));
  MFVideoArea panScan = {};
  panScan.OffsetX.value = 240;
  panScan.Area = {1440, 1080};
  hd->SetBlob(MF_MT_PAN_SCAN_APERTURE, reinterpret_cast<UINT8*>(&panScan), sizeof(panScan));
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(hd.Get()));
  g = r->GetDisplayGeometry();
  EXPECT_EQ(1080, g.displayArea.bottom);
  EXPECT_EQ(0, g.displayArea.left);
  EXPECT_EQ(1920, g.displayWidth);
  hd->SetUINT32(MF_MT_PAN_SCAN_ENABLED, 1);
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(hd.Get()));
  g = r->GetDisplayGeometry();
  EXPECT_EQ(240, g.displayArea.left);
  EXPECT_EQ(1680, g.displayArea.right);
  EXPECT_EQ(1440, g.displayWidth);

  // A malformed aperture (wrong blob size) is an error, not a silent fallback.
  ComPtr<IMFMediaType> bad = orvo_test::Rgb32Type(64, 64);
  const UINT8 shortBlob[4] = {};
  bad->SetBlob(MF_MT_GEOMETRIC_APERTURE, shortBlob, sizeof(shortBlob));
  EXPECT_TRUE(FAILED(r->SetCurrentMediaType(bad.Get())));

  // 3-D without its format is refused.
  ComPtr<IMFMediaType> stereo = orvo_test::Rgb32Type(64, 64);
  stereo->SetUINT32(MF_MT_VIDEO_3D, 1);
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, r->SetCurrentMediaType(stereo.Get()));
  // Without a frame size there is nothing to place.
  ComPtr<IMFMediaType> sizeless = orvo_test::Rgb32Type(64, 64);
  sizeless->DeleteItem(MF_MT_FRAME_SIZE);
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, r->SetCurrentMediaType(sizeless.Get()));
}

TEST_F(Dx11RendererTest, ProcessFrameChecksArgumentsAndRejectsBadFrames) {
  TestWindow window(160, 120);
  RendererHolder r(new Dx11Renderer());
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(64, 48);
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(type.Get()));
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(64, 48, 32, 24);
  UINT mode = 2;
  BOOL changed = FALSE, again = FALSE;
  EXPECT_EQ(E_POINTER, r->ProcessFrame(nullptr, frame.Get(), &mode, &changed, &again, nullptr));
  EXPECT_EQ(E_POINTER, r->ProcessFrame(type.Get(), nullptr, &mode, &changed, &again, nullptr));
  EXPECT_EQ(E_POINTER, r->ProcessFrame(type.Get(), frame.Get(), nullptr, &changed, &again, nullptr));
  EXPECT_EQ(E_POINTER, r->ProcessFrame(type.Get(), frame.Get(), &mode, nullptr, &again, nullptr));
  EXPECT_EQ(E_POINTER, r->ProcessFrame(type.Get(), frame.Get(), &mode, &changed, nullptr, nullptr));

  // A buffer shorter than the frame the type announces.
  ComPtr<IMFSample> small = orvo_test::QuadrantSample(64, 40, 32, 20);
  EXPECT_EQ(MF_E_BUFFERTOOSMALL, Process(r.renderer, type.Get(), small.Get(), nullptr));
  // A format compatibility presentation does not draw.
  ComPtr<IMFMediaType> uyvy = orvo_test::Rgb32Type(64, 48);
  uyvy->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_UYVY);
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, Process(r.renderer, uyvy.Get(), frame.Get(), nullptr));
  // An empty sample cannot be flattened.
  ComPtr<IMFSample> empty;
  MFCreateSample(&empty);
  EXPECT_TRUE(FAILED(Process(r.renderer, type.Get(), empty.Get(), nullptr)));
  // The good frame still goes through, with a render-target sample when asked.
  ComPtr<IMFSample> output;
  EXPECT_EQ(S_OK, r->ProcessFrame(type.Get(), frame.Get(), &mode, &changed, &again, &output));
  EXPECT_NE(nullptr, output.Get());
  EXPECT_FALSE(again);
  EXPECT_EQ(S_OK, r->PresentFrame());
}

TEST_F(Dx11RendererTest, MixedInterlaceIsReadFromEachSample) {
  TestWindow window(160, 120);
  RendererHolder r(new Dx11Renderer());
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(32, 32);
  type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_MixedInterlaceOrProgressive);
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(32, 32, 16, 16);
  UINT mode = 99;
  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), nullptr, &mode));
  EXPECT_EQ(static_cast<UINT>(MFVideoInterlace_Progressive), mode);
  frame->SetUINT32(MFSampleExtension_Interlaced, 1);
  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), nullptr, &mode));
  EXPECT_EQ(static_cast<UINT>(MFVideoInterlace_FieldInterleavedUpperFirst), mode);
  frame->SetUINT32(MFSampleExtension_BottomFieldFirst, 1);
  EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), nullptr, &mode));
  EXPECT_EQ(static_cast<UINT>(MFVideoInterlace_FieldInterleavedLowerFirst), mode);
  // Not mixed: the caller's value stays.
  ComPtr<IMFMediaType> progressive = orvo_test::Rgb32Type(32, 32);
  mode = 6;
  EXPECT_EQ(S_OK, Process(r.renderer, progressive.Get(), frame.Get(), nullptr, &mode));
  EXPECT_EQ(6u, mode);
}

TEST_F(Dx11RendererTest, EmptyTargetDropsFramesWithoutError) {
  TestWindow window(160, 120);
  RendererHolder r(new Dx11Renderer());
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(32, 32);
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(32, 32, 16, 16);
  RECT empty = {10, 10, 10, 50};
  r->SetVideoRect(&empty);
  ComPtr<IMFSample> output;
  UINT mode = 2;
  BOOL changed = FALSE, again = FALSE;
  EXPECT_EQ(S_OK, r->ProcessFrame(type.Get(), frame.Get(), &mode, &changed, &again, &output));
  EXPECT_EQ(nullptr, output.Get());  // nothing was drawn
  EXPECT_EQ(S_OK, r->PresentFrame());
}

TEST_F(Dx11RendererTest, FailedRecreationReportsErrorsWithoutCrashing) {
  FakeDisplay display;
  display.addMonitor(L"\\\\.\\DISPLAY1", 1280, 720, 60);
  display.addMonitor(L"\\\\.\\DISPLAY2", 1280, 720, 60);
  TestWindow window(160, 120);
  RendererHolder r(new Dx11Renderer());
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(32, 32);
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(32, 32, 16, 16);
  ASSERT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), nullptr));
  DeviceRecorder::failAll = true;
  display.putWindowOn(1);
  BOOL changed = TRUE;
  EXPECT_EQ(DXGI_ERROR_UNSUPPORTED, Process(r.renderer, type.Get(), frame.Get(), &changed));
  EXPECT_FALSE(changed);
  // Without a device every later frame is refused, and presenting does nothing.
  EXPECT_TRUE(FAILED(Process(r.renderer, type.Get(), frame.Get(), &changed)));
  EXPECT_EQ(S_OK, r->PresentFrame());
}

TEST_F(Dx11RendererTest, TransformPathOnDeviceWithoutVideoInterfaceFailsCleanly) {
  // The device claims video support (seam) but has no ID3D11VideoDevice: what a driver that lies
  // would do. The transform path must fail per frame with E_NOINTERFACE, not crash or hang.
  DeviceRecorder::pretendVideo = true;
  TestWindow window(160, 120);
  RendererHolder r(new Dx11Renderer());
  // Where the transform cannot be built (Wine's), the Direct3D 11 path takes over and fails the same.
  ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
  EXPECT_FALSE(r->IsCompatibilityMode());
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(64, 48);
  ASSERT_EQ(S_OK, r->SetCurrentMediaType(type.Get()));
  ComPtr<IMFVideoSampleAllocatorEx> allocator;
  ASSERT_EQ(S_OK, r->GetService(ORVO::kMR_VIDEO_ACCELERATION_SERVICE, IID_PPV_ARGS(&allocator)));
  ComPtr<IMFSample> texture;
  ASSERT_EQ(S_OK, allocator->AllocateSample(&texture));
  EXPECT_EQ(E_NOINTERFACE, Process(r.renderer, type.Get(), texture.Get(), nullptr));
  // A system-memory sample is refused too: without a DXGI buffer (transform) or a video device.
  ComPtr<IMFSample> memory = orvo_test::QuadrantSample(64, 48, 32, 24);
  EXPECT_EQ(E_NOINTERFACE, Process(r.renderer, type.Get(), memory.Get(), nullptr));
}

namespace {

// Devices whose video interface is a recording double: what a basic or remote display driver
// offers, a video device that cannot build a processor for the stream (Wine 10's own Direct3D 11
// answers CreateVideoProcessorEnumerator with E_NOTIMPL).
struct VideoDeviceWithoutProcessor {
  static inline ComPtr<ORVO::Test::FakeVideoDevice> video;
  static HRESULT WINAPI Create(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                               const D3D_FEATURE_LEVEL* levels, UINT levelCount, UINT sdkVersion, ID3D11Device** device,
                               D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context) {
    ComPtr<ID3D11Device> real;
    HRESULT hr = D3D11CreateDevice(adapter, driverType, software, flags & ~D3D11_CREATE_DEVICE_VIDEO_SUPPORT, levels,
                                   levelCount, sdkVersion, &real, level, context);
    if (FAILED(hr)) return hr;
    ORVO::MediaFoundation::ID3D11DeviceWrapper* wrapper = nullptr;
    hr = ORVO::MediaFoundation::ID3D11DeviceWrapper::CreateWithVideoDevice(real.Get(), video.Get(), &wrapper);
    *device = wrapper;
    return hr;
  }
  static HRESULT CheckVideo(ID3D11Device*) { return S_OK; }
};

std::string ReadUnitRenderLog() {
  std::ifstream file("unit_render.log", std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

TEST_F(Dx11RendererTest, VideoDeviceThatCannotProcessTheStreamPresentsItsFirstFrameCompatibly) {
  struct Case {
    const char* what;
    HRESULT enumeratorResult;
    HRESULT processorResult;
  };
  const Case cases[] = {{"no enumerator", E_NOTIMPL, S_OK}, {"no processor", S_OK, E_INVALIDARG}};
  const char* kFallback = "the video device cannot process this stream";
  TestWindow window(160, 120, L"processor fallback");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VideoDeviceWithoutProcessor::video = ORVO::Test::Adopt(new ORVO::Test::FakeVideoDevice);
    VideoDeviceWithoutProcessor::video->enumeratorResult = c.enumeratorResult;
    VideoDeviceWithoutProcessor::video->processorResult = c.processorResult;
    ORVO::MediaFoundation::SetDx11DevicePlatform(
        {&VideoDeviceWithoutProcessor::Create, &VideoDeviceWithoutProcessor::CheckVideo, nullptr});
    const size_t logBefore = ReadUnitRenderLog().size();
    Dx11Renderer::Options options;
    options.useXVP = FALSE;
    RendererHolder r(new Dx11Renderer(options));
    ASSERT_EQ(S_OK, r->SetVideoWindow(window.hwnd()));
    ASSERT_FALSE(r->IsCompatibilityMode());
    ASSERT_TRUE(r->HasDXGIManager());

    ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(64, 48);
    ASSERT_EQ(S_OK, r->SetCurrentMediaType(type.Get()));
    ComPtr<IMFSample> frame = orvo_test::QuadrantSample(64, 48, 32, 24);
    // The first frame itself is shown: the fallback happens inside its ProcessFrame.
    ASSERT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), nullptr));
    ASSERT_EQ(S_OK, r->PresentFrame());
    EXPECT_TRUE(r->IsCompatibilityMode());
    // A decoder may already write into the device manager's textures: it stays.
    EXPECT_TRUE(r->HasDXGIManager());
    orvo_test::Screenshot shot;
    const bool shown = orvo_test::WaitUntil(
        [&] {
          window.pump();
          shot = orvo_test::Screenshot::Capture();
          return shot.ok() &&
                 orvo_test::ColourDistance(shot.clientPixel(window.hwnd(), 40, 30), orvo_test::Rgb{255, 0, 0}) <= 48;
        },
        5000, 50);
    EXPECT_TRUE(shown) << "first frame not on screen";
    if (shown) {
      EXPECT_LE(orvo_test::ColourDistance(shot.clientPixel(window.hwnd(), 120, 30), orvo_test::Rgb{0, 255, 0}), 48);
      EXPECT_LE(orvo_test::ColourDistance(shot.clientPixel(window.hwnd(), 40, 90), orvo_test::Rgb{0, 0, 255}), 48);
      EXPECT_LE(orvo_test::ColourDistance(shot.clientPixel(window.hwnd(), 120, 90), orvo_test::Rgb{255, 255, 0}), 48);
    }
    // Later frames go straight to compatibility presentation: no new processor attempts, one log line.
    const size_t enumeratorAttempts = VideoDeviceWithoutProcessor::video->enumerators.size();
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(S_OK, Process(r.renderer, type.Get(), frame.Get(), nullptr));
      EXPECT_EQ(S_OK, r->PresentFrame());
    }
    EXPECT_EQ(enumeratorAttempts, VideoDeviceWithoutProcessor::video->enumerators.size());
    EXPECT_EQ(1, orvo_test::CountOccurrences(ReadUnitRenderLog().substr(logBefore), kFallback));
  }
  VideoDeviceWithoutProcessor::video.Reset();
}
