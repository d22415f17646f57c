#include <gtest/gtest.h>

#include "Platform.h"

#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <fstream>
#include <sstream>
#include <string>

#include "TestWindow.h"
#include "log/Log.h"
#include "render/Dx11Renderer.h"
#include "render/ID3D11DeviceWrapper.h"

// The renderer's Direct3D-path switch and wrapper mode under Wine. Wine's device has no video
// interface, so the renderer is told that it has one (its device-platform seam); the video
// processor itself then fails with E_NOINTERFACE, which is as far as these tests can follow it.

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::Dx11DevicePlatform;
using ORVO::MediaFoundation::Dx11Renderer;
using ORVO::MediaFoundation::ID3D11DeviceWrapper;

namespace {

HRESULT ClaimVideoSupport(ID3D11Device*) { return S_OK; }

class RendererModes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    Dx11DevicePlatform platform = ORVO::MediaFoundation::DefaultDx11DevicePlatform();
    platform.checkVideoSupport = ClaimVideoSupport;
    m_previousPlatform = ORVO::MediaFoundation::SetDx11DevicePlatform(platform);
    m_window = std::make_unique<orvo_test::TestWindow>(320, 240);
  }
  void TearDown() override {
    if (m_renderer != nullptr) {
      m_renderer->Shutdown();
      m_renderer->Release();
    }
    m_window.reset();
    ORVO::MediaFoundation::SetDx11DevicePlatform(m_previousPlatform);
    MFShutdown();
  }

  void CreateRenderer(const Dx11Renderer::Options& options) {
    m_renderer = new Dx11Renderer(options);
    ASSERT_EQ(m_renderer->SetVideoWindow(m_window->hwnd()), S_OK);
    ASSERT_FALSE(m_renderer->IsCompatibilityMode());
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 64, 48);
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    ASSERT_EQ(m_renderer->SetCurrentMediaType(type.Get()), S_OK);
    m_type = type;
  }

  // The device the renderer hands to Media Foundation through its manager.
  ComPtr<ID3D11Device> ManagerDevice() {
    ComPtr<IMFDXGIDeviceManager> manager;
    EXPECT_EQ(m_renderer->GetDXGIManager(&manager), S_OK);
    HANDLE handle = nullptr;
    EXPECT_EQ(manager->OpenDeviceHandle(&handle), S_OK);
    ComPtr<ID3D11Device> device;
    EXPECT_EQ(manager->GetVideoService(handle, IID_PPV_ARGS(&device)), S_OK);
    manager->CloseDeviceHandle(handle);
    return device;
  }

  // A decoded frame as Media Foundation would deliver it: a texture of the manager's device.
  ComPtr<IMFSample> FrameOn(ID3D11Device* device) {
    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = 64;
    desc.Height = 48;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), texture.Get(), 0, FALSE, &buffer), S_OK);
    ComPtr<IMFSample> sample;
    EXPECT_EQ(MFCreateSample(&sample), S_OK);
    sample->AddBuffer(buffer.Get());
    return sample;
  }

  HRESULT Process(IMFSample* sample, BOOL* deviceChanged) {
    UINT interlace = MFVideoInterlace_Progressive;
    BOOL again = FALSE;
    *deviceChanged = FALSE;
    return m_renderer->ProcessFrame(m_type.Get(), sample, &interlace, deviceChanged, &again, nullptr);
  }

  Dx11DevicePlatform m_previousPlatform = {};
  std::unique_ptr<orvo_test::TestWindow> m_window;
  Dx11Renderer* m_renderer = nullptr;
  ComPtr<IMFMediaType> m_type;
};

std::string ReadFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

// Periodic re-creation alternates between a plain device and wrapper mode; in wrapper mode Media
// Foundation gets the wrapper, and frames on textures made through it are still the renderer's.
TEST_F(RendererModes, PeriodicRecreationEntersWrapperMode) {
  if (orvo_test::D3D11OffersVideoDevice()) {
    GTEST_SKIP() << "this platform's Direct3D 11 has a video interface (Wine 10): a device without one cannot be "
                    "acted out with it";
  }
  Dx11Renderer::Options options;
  options.recreationPeriod = 2;
  options.useXVP = FALSE;
  CreateRenderer(options);
  const LONG wrappersBefore = ID3D11DeviceWrapper::LiveInstances();

  // Run frames until the period re-creates the device into wrapper mode (the mode and the frame
  // counter are process-wide, so the first re-creation may go either way).
  bool inWrapperMode = false;
  for (int frame = 0; frame < 8 && !inWrapperMode; ++frame) {
    ComPtr<ID3D11Device> device = ManagerDevice();
    ComPtr<IMFSample> sample = FrameOn(device.Get());
    BOOL changed = FALSE;
    const HRESULT hr = Process(sample.Get(), &changed);
    if (changed) {
      // The frame belonged to the old device and is dropped without an error.
      EXPECT_EQ(hr, S_OK);
      inWrapperMode = ID3D11DeviceWrapper::IsWrapper(ManagerDevice().Get());
    }
  }
  ASSERT_TRUE(inWrapperMode);
  EXPECT_EQ(ID3D11DeviceWrapper::LiveInstances(), wrappersBefore + 1);

  // Through the manager, Media Foundation sees the wrapper as the device, with the real device's
  // DXGI interface and (Wine) no video interface.
  ComPtr<ID3D11Device> device = ManagerDevice();
  ComPtr<IDXGIDevice> dxgi;
  EXPECT_EQ(device.As(&dxgi), S_OK);
  ComPtr<ID3D11VideoDevice> video;
  EXPECT_EQ(device.As(&video), E_NOINTERFACE);

  // A texture made through the wrapper reports the real device; the renderer still takes the frame
  // and hands it to its video processor path (which fails here for want of a video device) rather
  // than dropping it as foreign.
  ComPtr<IMFSample> sample = FrameOn(device.Get());
  BOOL changed = FALSE;
  EXPECT_EQ(Process(sample.Get(), &changed), E_NOINTERFACE);
  EXPECT_FALSE(changed);

  // The renderer and its manager hold the only references; the shutdown frees the wrapper.
  sample.Reset();
  dxgi.Reset();
  device.Reset();
  m_renderer->Shutdown();
  m_renderer->Release();
  m_renderer = nullptr;
  EXPECT_EQ(ID3D11DeviceWrapper::LiveInstances(), wrappersBefore);
}

// With the transform switched off, frames go to the Direct3D 11 video processor path.
TEST_F(RendererModes, SwitchSelectsTheVideoProcessorPath) {
  const std::wstring logPath = L"gpu_renderer_modes.log";
  DeleteFileW(logPath.c_str());
  ORVO::SetGlobalLog(new ORVO::Log);
  ORVO::GlobalLog()->Reconfigure(4, logPath.c_str());

  Dx11Renderer::Options options;
  options.useXVP = FALSE;
  CreateRenderer(options);
  ComPtr<ID3D11Device> device = ManagerDevice();
  EXPECT_FALSE(ID3D11DeviceWrapper::IsWrapper(device.Get()));  // plain device by default
  ComPtr<IMFSample> sample = FrameOn(device.Get());
  BOOL changed = FALSE;
  // Wine 8's device has no video interface: the path fails. Wine 10's has one that cannot make a
  // processor (as basic display drivers): the renderer presents the frame compatibly instead.
  const bool videoDevice = orvo_test::D3D11OffersVideoDevice() && !orvo_test::D3D11OffersVideoProcessor();
  EXPECT_EQ(Process(sample.Get(), &changed), videoDevice ? S_OK : E_NOINTERFACE);
  EXPECT_EQ(m_renderer->IsCompatibilityMode(), videoDevice);

  ORVO::Log* log = ORVO::GlobalLog();
  ORVO::SetGlobalLog(nullptr);
  delete log;
  const std::string text = ReadFile(logPath);
  EXPECT_NE(text.find("Dx11Renderer::ProcessFrameUsingD3D11["), std::string::npos) << text;
  if (videoDevice) {
    EXPECT_NE(text.find("CreateVideoProcessorEnumerator failed"), std::string::npos) << text;
    EXPECT_NE(text.find("the video device cannot process this stream"), std::string::npos) << text;
  } else {
    EXPECT_NE(text.find("m_pD3D11Device->QueryInterface(ID3D11VideoDevice) failed 0x80004002"), std::string::npos);
  }
  EXPECT_EQ(text.find("ProcessFrameUsingXVP"), std::string::npos);
}
