#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <tlhelp32.h>
#include <wrl/client.h>

#include <vector>

#include "Platform.h"
#include "TestWindow.h"
#include "common/Clock.h"
#include "log/Log.h"
#include "lowlatency/DxPlayer.h"
#include "lowlatency/StreamInt.h"
#include "Waiting.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::DxPlayer;
using ORVO::Media::RenderingStrategy;

namespace {

// A host that has nothing to give: every request ends the stream at once.
int EndingCallback(int, unsigned char, IMFSample*, int) { return 1; }

ComPtr<IMFMediaType> VideoType(const GUID& subtype, UINT32 width, UINT32 height) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height);
  MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
  return type;
}

ComPtr<IMFMediaType> PcmType(const GUID& subtype = MFAudioFormat_PCM) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 4);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 192000);
  return type;
}

class DxPlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The engine's log beside the test program tells why a stream stayed inactive.
    if (!ORVO::GlobalLog()) {
      ORVO::SetGlobalLog(new ORVO::Log);
      ORVO::GlobalLog()->Reconfigure(4, L"ORVO.Media.log");
    }
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET), S_OK);
  }
  void TearDown() override { MFShutdown(); }

  std::unique_ptr<DxPlayer> make(std::vector<ComPtr<IMFMediaType>> types, HWND window,
                                 RequestDataCallback callback = &EndingCallback,
                                 const std::wstring& uri = L"orvo://host") {
    return std::unique_ptr<DxPlayer>(new DxPlayer(7, window, types, callback, uri, 6, L""));
  }
};

}  // namespace

TEST_F(DxPlayerTest, OpenRefusesWithoutCallbackOrActiveStream) {
  orvo_test::TestWindow window(320, 180);
  // No callback: Failed even though the stream could be set up.
  auto noCallback = make({VideoType(MFVideoFormat_H264, 640, 360)}, window.hwnd(), nullptr);
  EXPECT_EQ(noCallback->Open(), Failed);
  // No streams at all.
  EXPECT_EQ(make({}, window.hwnd())->Open(), Failed);
  // A video stream without a window cannot be set up.
  auto noWindow = make({VideoType(MFVideoFormat_H264, 640, 360)}, nullptr);
  EXPECT_EQ(noWindow->IsStreamActive(0), Failed);
  EXPECT_EQ(noWindow->Open(), Failed);
  EXPECT_EQ(noWindow->GetState(), Closed);
}

TEST_F(DxPlayerTest, HostMistakesLeaveStreamsInactiveWithoutHarm) {
  orvo_test::TestWindow window(320, 180);
  ComPtr<IMFMediaType> other;
  MFCreateMediaType(&other);
  other->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Script);
  other->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  ComPtr<IMFMediaType> noSubtype;
  MFCreateMediaType(&noSubtype);
  noSubtype->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  auto player = make({VideoType(MFVideoFormat_H264, 100000, 100000),  // absurd frame size
                      VideoType(MFVideoFormat_H264, 0, 0),            // no usable size
                      PcmType(MFAudioFormat_DRM),                     // no decoder for it
                      other, noSubtype},
                     window.hwnd());
  EXPECT_EQ(player->streamCount(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(player->IsStreamActive(i), Failed) << "stream " << i;
  EXPECT_EQ(player->IsStreamActive(-1), Failed);
  EXPECT_EQ(player->IsStreamActive(5), Failed);
  EXPECT_EQ(player->Open(), Failed);
  // Without an open synchronizer nothing starts.
  EXPECT_NE(player->Play(), Ok);
  EXPECT_EQ(player->Stop(), S_OK);
}

TEST_F(DxPlayerTest, VideoStreamNegotiatesADecodedTypeTheRendererDraws) {
  if (orvo_test::D3D11OffersVideoDevice() && !orvo_test::D3D11OffersVideoProcessor()) {
    GTEST_SKIP() << "this platform's Direct3D 11 offers a video device without processors (Wine 10): the engine "
                    "negotiates RGB32 for it and the renderer falls back at the first frame";
  }
  orvo_test::TestWindow window(640, 360);
  auto player = make({VideoType(MFVideoFormat_H264, 640, 360)}, window.hwnd());
  ASSERT_EQ(player->IsStreamActive(0), Ok);
  DxPlayer::StreamInt* stream = player->streamAt(0);
  ASSERT_NE(stream, nullptr);
  EXPECT_FALSE(stream->isAudio());
  // Compatibility presentation (this test bed) draws the decoder's NV12 itself: no converter.
  auto* video = dynamic_cast<ORVO::Media::VideoOutput*>(stream->output());
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(stream->decodedSubtype(), MFVideoFormat_NV12);
  EXPECT_FALSE(video->hasColourConverter());
  GUID subtype = GUID_NULL;
  Microsoft::WRL::ComPtr<IMFMediaType> presentation = stream->presentationType();
  ASSERT_NE(presentation.Get(), nullptr);
  presentation->GetGUID(MF_MT_SUBTYPE, &subtype);
  EXPECT_EQ(subtype, MFVideoFormat_NV12);
  UINT32 width = 0, height = 0;
  EXPECT_EQ(MFGetAttributeSize(presentation.Get(), MF_MT_FRAME_SIZE, &width, &height), S_OK);
  EXPECT_EQ(width, 640u);
  EXPECT_EQ(height, 360u);
  EXPECT_EQ(stream->frameBytes(), 640u * 360u * 3u / 2u);
  UINT32 numerator = 0, denominator = 0;
  EXPECT_EQ(MFGetAttributeRatio(presentation.Get(), MF_MT_PIXEL_ASPECT_RATIO, &numerator, &denominator), S_OK);
  EXPECT_EQ(stream->renderingStrategy(), RenderingStrategy::LowLatency);
  EXPECT_EQ(player->Open(), Ok);
}

TEST_F(DxPlayerTest, PlayTwiceStartsNoThreadsAndStopEndsThem) {
  orvo_test::TestWindow window(320, 180);
  auto player = make({VideoType(MFVideoFormat_H264, 640, 360)}, window.hwnd(), &EndingCallback,
                     L"orvo://host?renderingStrategy=SMOOTH");
  ASSERT_EQ(player->Open(), Ok);
  EXPECT_EQ(player->streamAt(0)->renderingStrategy(), RenderingStrategy::Smooth);
  const int before = orvo_test::ProcessThreadCount();
  ASSERT_EQ(player->Play(), Ok);
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_TRUE(player->streamAt(0)->running());
  // The rendering thread at least (pulling may have ended already, the host ends its stream).
  EXPECT_TRUE(orvo_test::WaitUntil([&] { return orvo_test::ProcessThreadCount() >= before + 1; }, 2000));
  const int playing = orvo_test::ProcessThreadCount();
  EXPECT_EQ(player->Play(), InvalidState);
  // A refused Play starts nothing: not the stream's two threads again. (The pulling thread may
  // still be ending on its own, and the platform may add a thread of its own at the first draw.)
  EXPECT_LT(orvo_test::ProcessThreadCount(), playing + 2);
  EXPECT_EQ(player->Stop(), S_OK);
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_FALSE(player->streamAt(0)->running());
  // Playing again after a stop rebuilds what stop released.
  EXPECT_EQ(player->Play(), Ok);
  EXPECT_TRUE(player->streamAt(0)->running());
  EXPECT_EQ(player->Stop(), S_OK);
}

TEST_F(DxPlayerTest, VolumeAndBalanceGoToTheFirstAudioStream) {
  orvo_test::TestWindow window(320, 180);
  auto videoOnly = make({VideoType(MFVideoFormat_H264, 640, 360)}, window.hwnd());
  videoOnly->SetVolume(0.3);
  EXPECT_EQ(videoOnly->GetVolume(), 1.0);
  EXPECT_EQ(videoOnly->GetBalance(), 0.5);

  auto withAudio = make({VideoType(MFVideoFormat_H264, 640, 360), PcmType()}, window.hwnd());
  ASSERT_EQ(withAudio->IsStreamActive(1), Ok) << "PCM audio through the default endpoint";
  EXPECT_TRUE(withAudio->streamAt(1)->isAudio());
  EXPECT_EQ(withAudio->GetVolume(), -1.0);
  EXPECT_EQ(withAudio->GetBalance(), -1.0);
  withAudio->SetVolume(0.5);
  withAudio->SetBalance(0.25);
  EXPECT_EQ(withAudio->GetVolume(), 0.5);
  EXPECT_EQ(withAudio->GetBalance(), 0.25);
  EXPECT_EQ(withAudio->streamAt(1)->requestedVolume(), 0.5);
}
