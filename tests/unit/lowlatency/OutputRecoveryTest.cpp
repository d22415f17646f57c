// Faults under a playing low-latency player, acted out through the platform seams: the Direct3D
// device removed at Present (once, and for good) and the audio endpoint gone. The player must not
// crash, must stop within its bound, and GetState and the host's events must tell the truth.
#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include "AnnexBReader.h"
#include "AudioEndpointTap.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "MediaFiles.h"
#include "TestWindow.h"
#include "Waiting.h"
#include "api/EventDetector.h"
#include "log/Log.h"
#include "lowlatency/DxPlayer.h"
#include "render/Dx11DeviceFactory.h"
#include "render/WasapiRenderer.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::DxPlayer;
using ORVO::Media::EventDetector;
using ORVO::Media::PlayerSnapshot;
using ORVO::MediaFoundation::Dx11DevicePlatform;
using orvo_hostkit::HostFeeder;
using orvo_test::AudioEndpointTap;
using orvo_test::WaitUntil;

namespace {

constexpr int kPlayerId = 31;
// What a host may wait for a Stop (the stress suite's bound).
constexpr ULONGLONG kStopBoundMs = 2000;
// The outputs give a lost device or endpoint 2 s; the rest is margin for a busy test bed.
constexpr DWORD kErrorWithinMs = 6000;

// The platform's Direct3D entry points with faults to switch on. Devices with the video flag are
// refused at once (Wine has none, and each try costs a device on the software rasteriser), except
// in the gpu-real configuration, whose Direct3D has them.
struct DeviceFaults {
  static inline const bool videoDevices = GetEnvironmentVariableA("ORVO_GPU_REAL", nullptr, 0) > 0;
  static inline std::atomic<int> failPresents{0};  // presents still to fail with a removal
  static inline std::atomic<bool> refuseDevices{false};
  static inline std::atomic<int> presented{0};
  static inline std::atomic<int> devicesCreated{0};

  static HRESULT WINAPI Create(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                               const D3D_FEATURE_LEVEL* levels, UINT levelCount, UINT sdkVersion, ID3D11Device** device,
                               D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context) {
    if (refuseDevices) return DXGI_ERROR_DEVICE_REMOVED;  // the adapter is still going away
    if (!videoDevices && (flags & D3D11_CREATE_DEVICE_VIDEO_SUPPORT)) return DXGI_ERROR_UNSUPPORTED;
    const HRESULT hr =
        D3D11CreateDevice(adapter, driverType, software, flags, levels, levelCount, sdkVersion, device, level, context);
    if (SUCCEEDED(hr)) ++devicesCreated;
    return hr;
  }
  static HRESULT Present(IDXGISwapChain1* swapChain) {
    if (failPresents > 0) {
      --failPresents;
      return DXGI_ERROR_DEVICE_REMOVED;
    }
    const HRESULT hr = swapChain->Present(0, 0);
    if (SUCCEEDED(hr)) ++presented;
    return hr;
  }
};

class OutputRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ORVO::GlobalLog()) {
      ORVO::SetGlobalLog(new ORVO::Log);
      ORVO::GlobalLog()->Reconfigure(4, L"ORVO.Media.log");
    }
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET), S_OK);
    DeviceFaults::failPresents = 0;
    DeviceFaults::refuseDevices = false;
    DeviceFaults::presented = 0;
    DeviceFaults::devicesCreated = 0;
    m_previousPlatform = ORVO::MediaFoundation::SetDx11DevicePlatform(
        {&DeviceFaults::Create, ORVO::MediaFoundation::DefaultDx11DevicePlatform().checkVideoSupport,
         &DeviceFaults::Present});
    AudioEndpointTap::Reset();
    ORVO::MediaFoundation::WasapiRenderer::SetDeviceEnumeratorFactory(&AudioEndpointTap::CreateEnumerator);
    HostFeeder::Register(kPlayerId, &m_feeder);
  }
  void TearDown() override {
    m_feeder.Abort();
    m_player.reset();
    HostFeeder::Unregister(kPlayerId);
    ORVO::MediaFoundation::WasapiRenderer::SetDeviceEnumeratorFactory(nullptr);
    AudioEndpointTap::Reset();
    ORVO::MediaFoundation::SetDx11DevicePlatform(m_previousPlatform);
    MFShutdown();
  }

  // The clip's H.264 looped live at 30 frames a second as stream 0.
  void playVideo(HWND window) {
    std::unique_ptr<orvo_hostkit::AnnexBReader> reader(
        new orvo_hostkit::AnnexBReader(orvo_hostkit::AnnexBReader::Codec::H264, 30, 1));
    ASSERT_TRUE(reader->Open(orvo_test::MediaPath("clip-640x360-30fps.h264")));
    m_feeder.AddStream(0, std::move(reader));
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    ASSERT_EQ(orvo_hostkit::DescribeH264(type.Get(), 640, 360, 30, 1), S_OK);
    start({type}, window);
  }

  // The 48 kHz stereo tone looped live as PCM, stream 0.
  void playTone(HWND window) {
    std::unique_ptr<orvo_hostkit::WavReader> reader(new orvo_hostkit::WavReader());
    ASSERT_TRUE(reader->Open(orvo_test::MediaPath("tone-440hz-48k-stereo.wav")));
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    ASSERT_EQ(orvo_hostkit::DescribePcm(type.Get(), reader->format()), S_OK);
    m_feeder.AddStream(0, std::move(reader));
    start({type}, window);
  }

  void start(const std::vector<ComPtr<IMFMediaType>>& types, HWND window) {
    m_player.reset(new DxPlayer(kPlayerId, window, types, &HostFeeder::Callback, L"orvo://host", 0, L""));
    ASSERT_EQ(m_player->Open(), Ok);
    ASSERT_EQ(m_player->Play(), Ok);
    events();  // the watcher's first look: Started
  }

  // What the event watcher makes of the player now.
  std::vector<OrvoEvent> events() {
    PlayerSnapshot snapshot;
    snapshot.state = m_player->GetState();
    snapshot.streams = m_player->streamSnapshots();
    return m_detector.next(kPlayerId, snapshot, static_cast<int64_t>(GetTickCount64()) * 10000);
  }

  // Waits for Error and checks what the host hears of it: the state change and stream 0's error.
  void expectErrorReported(HRESULT error) {
    const ULONGLONG lostAt = GetTickCount64();
    ASSERT_TRUE(WaitUntil([&] { return m_player->GetState() == Error; }, kErrorWithinMs));
    std::printf("[ figures  ] Error %llu ms after the loss\n", GetTickCount64() - lostAt);
    bool stateChanged = false, errorEvent = false;
    for (const OrvoEvent& event : events()) {
      stateChanged = stateChanged || (event.type == OrvoEventStateChanged && event.state == Error);
      errorEvent = errorEvent || (event.type == OrvoEventError && event.streamIndex == 0 && event.error == error);
    }
    EXPECT_TRUE(stateChanged);
    EXPECT_TRUE(errorEvent) << "an error event for stream 0 with 0x" << std::hex << error;
  }

  // The feeder is not aborted: Stop must end the feed itself, and the next Play needs it.
  ULONGLONG timedStop() {
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(m_player->Stop(), S_OK);
    const ULONGLONG took = GetTickCount64() - before;
    std::printf("[ figures  ] Stop took %llu ms\n", took);
    EXPECT_LT(took, kStopBoundMs);
    EXPECT_EQ(m_player->GetState(), Stopped);
    return took;
  }

  // Outlives the player (TearDown releases it first): a window destroyed under a live renderer
  // is a scenario of its own (the stress label's WindowFirst), and on Wine 10 its Direct3D
  // command-stream thread can fault on it while the renderer is released.
  orvo_test::TestWindow m_window{320, 180};
  HostFeeder m_feeder{HostFeeder::Options{true, true, 1}};
  std::unique_ptr<DxPlayer> m_player;
  EventDetector m_detector;
  Dx11DevicePlatform m_previousPlatform{};
};

}  // namespace

TEST_F(OutputRecoveryTest, DeviceRemovedAtPresentIsCreatedAgainAndPicturesGoOn) {
  playVideo(m_window.hwnd());
  ASSERT_TRUE(WaitUntil([] { return DeviceFaults::presented >= 10; }, 10000)) << "no pictures before the fault";
  const int devices = DeviceFaults::devicesCreated;
  const ULONGLONG removedAt = GetTickCount64();
  DeviceFaults::failPresents = 1;
  ASSERT_TRUE(WaitUntil([] { return DeviceFaults::failPresents == 0; }, 2000));
  const int before = DeviceFaults::presented;
  ASSERT_TRUE(WaitUntil([&] { return DeviceFaults::presented > before; }, 5000));
  std::printf("[ figures  ] next picture %llu ms after the removal\n", GetTickCount64() - removedAt);
  EXPECT_EQ(DeviceFaults::devicesCreated, devices + 1) << "one new device for the removed one";
  EXPECT_TRUE(WaitUntil([&] { return DeviceFaults::presented >= before + 15; }, 5000)) << "pictures must go on";
  EXPECT_EQ(m_player->GetState(), Started);
  EXPECT_EQ(m_player->streamSnapshots()[0].error, S_OK);
  for (const OrvoEvent& event : events()) EXPECT_NE(event.type, OrvoEventError);
  timedStop();
}

TEST_F(OutputRecoveryTest, DeviceThatCannotBeCreatedAgainEndsInErrorUntilPlayFindsOne) {
  playVideo(m_window.hwnd());
  ASSERT_TRUE(WaitUntil([] { return DeviceFaults::presented >= 10; }, 10000)) << "no pictures before the fault";
  DeviceFaults::refuseDevices = true;
  DeviceFaults::failPresents = 1;
  expectErrorReported(DXGI_ERROR_DEVICE_REMOVED);
  timedStop();
  EXPECT_EQ(m_player->Play(), Failed) << "still no device";
  EXPECT_EQ(m_player->GetState(), Error);
  m_player->Stop();

  DeviceFaults::refuseDevices = false;
  const int before = DeviceFaults::presented;
  ASSERT_EQ(m_player->Play(), Ok);
  EXPECT_TRUE(WaitUntil([&] { return DeviceFaults::presented >= before + 10; }, 10000)) << "pictures again";
  EXPECT_EQ(m_player->GetState(), Started);
  timedStop();
}

TEST_F(OutputRecoveryTest, LostEndpointEndsInErrorAndTheNextPlayOpensTheDefaultAgain) {
  playTone(m_window.hwnd());
  ASSERT_TRUE(WaitUntil([] { return !AudioEndpointTap::written().empty(); }, 5000)) << "no sound before the fault";
  // The endpoint goes away and no other takes its place.
  AudioEndpointTap::faults().defaultEndpoint = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  AudioEndpointTap::faults().padding = AUDCLNT_E_DEVICE_INVALIDATED;
  expectErrorReported(HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  timedStop();
  EXPECT_EQ(m_player->Play(), Failed) << "still no endpoint";
  EXPECT_EQ(m_player->GetState(), Error);
  m_player->Stop();

  AudioEndpointTap::Reset();  // an endpoint is back
  ASSERT_EQ(m_player->Play(), Ok);
  EXPECT_TRUE(WaitUntil([] { return AudioEndpointTap::written().size() > 48000; }, 5000)) << "sound again";
  EXPECT_EQ(m_player->GetState(), Started);
  timedStop();
}
