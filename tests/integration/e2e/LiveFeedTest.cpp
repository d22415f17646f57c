#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>

#include <atomic>
#include <cmath>

#include "AudioCapture.h"
#include "HostMediaTypes.h"
#include "LiveHost.h"
#include "Screenshot.h"
#include "TestWindow.h"

using e2e::LiveHost;
using orvo_hostkit::HostFeeder;
using orvo_test::Screenshot;
using orvo_test::TestWindow;

namespace {

HostFeeder::Options Live(bool loop = true) {
  HostFeeder::Options options;
  options.realTime = true;
  options.loop = loop;
  return options;
}

HostFeeder::Options Burst() {
  HostFeeder::Options options;
  options.realTime = false;
  options.loop = true;
  return options;
}

class LiveFeed : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLog(true);
    m_logStart = e2e::LogSize();
  }
  std::string log() const { return e2e::ReadLog(m_logStart); }
  size_t m_logStart = 0;
};

// Callback variants of a misbehaving or unusual host, switched per test.
std::atomic<int> g_videoCalls{0};
std::atomic<int> g_stallAtCall{-1};        // sleep 400 ms once before this video call
std::atomic<int> g_gapFromCall{-1};        // from this video call on, times jump 2 s ahead
std::atomic<bool> g_audioNeverDelivers{false};
std::atomic<bool> g_releaseBlockedHost{false};

int VariantCallback(int playerId, unsigned char streamId, IMFSample* sample, int reserved) {
  if (streamId == 1 && g_audioNeverDelivers) {
    // Blocks for up to 5 s per call and never fills anything.
    for (int i = 0; i < 500 && !g_releaseBlockedHost; ++i) Sleep(10);
    return 1;
  }
  int call = 0;
  if (streamId == 0) {
    call = ++g_videoCalls;
    if (call == g_stallAtCall) Sleep(400);
  }
  const int result = HostFeeder::Callback(playerId, streamId, sample, reserved);
  if (result == 0 && streamId == 0 && g_gapFromCall >= 0 && call >= g_gapFromCall) {
    LONGLONG time = 0;
    sample->GetSampleTime(&time);
    sample->SetSampleTime(time + 20000000);
  }
  return result;
}

void ResetVariants() {
  g_videoCalls = 0;
  g_stallAtCall = -1;
  g_gapFromCall = -1;
  g_audioNeverDelivers = false;
  g_releaseBlockedHost = false;
}

}  // namespace

TEST_F(LiveFeed, VideoAndTonePlayLiveStopLeavesBlackAndCloseEndsThreads) {
  TestWindow window(640, 360, L"orvo e2e live");
  {
    // One full cycle first, so threads that the platform keeps for the process once its DLLs are
    // loaded (audio, Direct3D, work queues) are not counted against the library.
    LiveHost warmUp(window.hwnd(), true, Live());
    warmUp.open();
    Play(warmUp.id);
    window.pump(500);
  }
  window.pump(500);
  const int threadsBefore = e2e::ProcessThreadCount();
  {
    LiveHost host(window.hwnd(), true, Live());
    ASSERT_EQ(host.open(), Ok);
    EXPECT_EQ(IsStreamActive(host.id, 0), Ok);
    EXPECT_EQ(IsStreamActive(host.id, 1), Ok);
    EXPECT_EQ(GetState(host.id), Closed);
    orvo_test::AudioCapture capture;
    ASSERT_TRUE(capture.start(6.0));
    const DWORD played = GetTickCount();
    ASSERT_EQ(Play(host.id), Ok);
    EXPECT_EQ(GetState(host.id), Started);

    window.pump(2500);
    const DWORD at1 = GetTickCount();
    const Screenshot first = Screenshot::Capture("e2e-live-1.png");
    window.pump(1000);
    const DWORD at2 = GetTickCount();
    const Screenshot second = Screenshot::Capture("e2e-live-2.png");
    ASSERT_TRUE(first.ok() && second.ok());
    const int frame1 = e2e::ReadFrameNumber(first, window.hwnd(), 640);
    const int frame2 = e2e::ReadFrameNumber(second, window.hwnd(), 640);
    EXPECT_TRUE(e2e::QuadrantsMatch(first, window.hwnd(), 640, 360));
    EXPECT_TRUE(e2e::QuadrantsMatch(second, window.hwnd(), 640, 360));
    // The feed runs at 30 frames a second from Play; the picture follows it closely.
    const int expected1 = static_cast<int>((at1 - played) * 30 / 1000);
    EXPECT_GE(frame1, expected1 - 20) << "shown frame lags the feed by less than 0.7 s";
    EXPECT_LE(frame1, expected1 + 3);
    const int expectedStep = static_cast<int>((at2 - at1) * 30 / 1000);
    EXPECT_NEAR(frame2 - frame1, expectedStep, 12);

    const DWORD sincePlay = GetTickCount() - played;
    if (sincePlay < 5500) window.pump(5500 - sincePlay);
    ASSERT_TRUE(capture.finish());
    EXPECT_NEAR(capture.frequency(0, 3.5, 5.5), 440.0, 8.0);
    EXPECT_NEAR(capture.frequency(1, 3.5, 5.5), 440.0, 8.0);
    EXPECT_GT(capture.rms(0, 3.5, 5.5), 1000.0);

    EXPECT_EQ(Stop(host.id), Ok);
    EXPECT_EQ(GetState(host.id), Stopped);
    window.pump(300);
    const Screenshot stopped = Screenshot::Capture("e2e-live-stopped.png");
    const orvo_test::Rgb mean = stopped.clientMean(window.hwnd(), {0, 0, 640, 360});
    EXPECT_LT(mean.r + mean.g + mean.b, 30) << "Stop shows a black picture";
  }
  // Close ended every thread the library started.
  window.pump(500);
  EXPECT_LE(e2e::ProcessThreadCount(), threadsBefore);
}

TEST_F(LiveFeed, LowLatencyTrimsQueuesThatGrowAndSmoothDoesNot) {
  TestWindow window(320, 180);
  {
    LiveHost host(window.hwnd(), false, Burst());
    ASSERT_EQ(host.open(L"orvo://live?renderingStrategy=lowlatency"), Ok);
    ASSERT_EQ(Play(host.id), Ok);
    window.pump(3000);
  }
  const std::string lowLatency = log();
  EXPECT_GE(e2e::CountOccurrences(lowLatency, "DxPlayer::flush: flushing..."), 1);
  EXPECT_NE(lowLatency.find("DxPlayer::StreamInt::renderingRoutine: stream 0 flushed "), std::string::npos);
  EXPECT_EQ(lowLatency.find("stream 0 flushed 0 buffers"), std::string::npos) << "a trim releases frames";

  m_logStart = e2e::LogSize();
  {
    LiveHost host(window.hwnd(), false, Burst());
    ASSERT_EQ(host.open(L"orvo://live?renderingStrategy=Smooth"), Ok);
    ASSERT_EQ(Play(host.id), Ok);
    window.pump(2500);
  }
  EXPECT_EQ(log().find("DxPlayer::flush: flushing..."), std::string::npos);
}

TEST_F(LiveFeed, SmoothShiftsTheStartOnLateFramesLowLatencyPresentsThemAtOnce) {
  TestWindow window(320, 180);
  for (const wchar_t* strategy : {L"smooth", L"lowlatency"}) {
    ResetVariants();
    g_stallAtCall = 40;
    m_logStart = e2e::LogSize();
    {
      LiveHost host(window.hwnd(), false, Live(), &VariantCallback);
      ASSERT_EQ(host.open(std::wstring(L"orvo://live?renderingStrategy=") + strategy), Ok);
      ASSERT_EQ(Play(host.id), Ok);
      window.pump(2500);
    }
    const std::string text = log();
    const bool smooth = strategy[0] == L's';
    EXPECT_EQ(text.find("stream 0 big playback jitter") != std::string::npos, smooth) << strategy;
    EXPECT_EQ(text.find("stream 0 playback start time resync") != std::string::npos, smooth) << strategy;
  }
  ResetVariants();
}

TEST_F(LiveFeed, TimestampGapOfASecondOrMoreResynchronises) {
  TestWindow window(640, 360);
  ResetVariants();
  g_gapFromCall = 30;
  {
    LiveHost host(window.hwnd(), false, Live(), &VariantCallback);
    ASSERT_EQ(host.open(), Ok);
    ASSERT_EQ(Play(host.id), Ok);
    window.pump(2500);
    const Screenshot shot = Screenshot::Capture();
    EXPECT_TRUE(e2e::QuadrantsMatch(shot, window.hwnd(), 640, 360)) << "playback goes on after the jump";
    EXPECT_GE(e2e::ReadFrameNumber(shot, window.hwnd(), 640), 40);
  }
  const std::string text = log();
  EXPECT_NE(text.find("stream 0 too big timestamp gap"), std::string::npos);
  EXPECT_GE(e2e::CountOccurrences(text, "stream 0 received base timestamp"), 2);
  ResetVariants();
}

TEST_F(LiveFeed, SilentStreamHoldsTheOtherForTheGraceOnlyAndABlockedHostCannotHangStop) {
  TestWindow window(640, 360);
  ResetVariants();
  g_audioNeverDelivers = true;
  LiveHost host(window.hwnd(), true, Live(), &VariantCallback);
  ASSERT_EQ(host.open(), Ok);
  const DWORD opened = GetTickCount();
  ASSERT_EQ(Play(host.id), Ok);
  window.pump(1500);
  EXPECT_FALSE(e2e::QuadrantsMatch(Screenshot::Capture(), window.hwnd(), 640, 360)) << "held back by the silent stream";
  window.pump(3000);
  EXPECT_TRUE(e2e::QuadrantsMatch(Screenshot::Capture(), window.hwnd(), 640, 360)) << "released after the grace";
  EXPECT_NE(log().find("all instances ready"), std::string::npos);
  EXPECT_GE(GetTickCount() - opened, 3000u);

  // The audio callback is blocked right now; Stop waits for that one call at most.
  const DWORD stopStart = GetTickCount();
  EXPECT_EQ(Stop(host.id), Ok);
  const DWORD stopTook = GetTickCount() - stopStart;
  EXPECT_LT(stopTook, 8000u);
  EXPECT_EQ(GetState(host.id), Stopped);
  g_releaseBlockedHost = true;
  ResetVariants();
}

TEST_F(LiveFeed, TwoPlayersInTwoWindowsShowTheirOwnPictures) {
  TestWindow left(320, 180, L"left");
  TestWindow right(320, 180, L"right");
  SetWindowPos(right.hwnd(), nullptr, 660, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  LiveHost a(left.hwnd(), false, Live());
  LiveHost b(right.hwnd(), false, Live(), &HostFeeder::Callback, 150);
  ASSERT_EQ(a.open(), Ok);
  ASSERT_EQ(b.open(), Ok);
  ASSERT_EQ(Play(a.id), Ok);
  ASSERT_EQ(Play(b.id), Ok);
  left.pump(2500);
  const Screenshot shot = Screenshot::Capture("e2e-two-players.png");
  const int frameA = e2e::ReadFrameNumber(shot, left.hwnd(), 320);
  const int frameB = e2e::ReadFrameNumber(shot, right.hwnd(), 320);
  EXPECT_TRUE(e2e::QuadrantsMatch(shot, left.hwnd(), 320, 180));
  EXPECT_TRUE(e2e::QuadrantsMatch(shot, right.hwnd(), 320, 180));
  EXPECT_GE(frameA, 20);
  EXPECT_NEAR(frameB - frameA, 150, 25) << "each window shows its own feed";
}

TEST_F(LiveFeed, PlayTwiceAndRefusedOpens) {
  TestWindow window(320, 180);
  {
    LiveHost host(window.hwnd(), false, Live());
    ASSERT_EQ(host.open(), Ok);
    ASSERT_EQ(Play(host.id), Ok);
    window.pump(300);
    const int threads = e2e::ProcessThreadCount();
    EXPECT_EQ(Play(host.id), InvalidState);
    EXPECT_EQ(e2e::ProcessThreadCount(), threads);
    EXPECT_EQ(Pause(host.id), Failed);
  }
  {
    LiveHost noCallback(window.hwnd(), false, Live(), nullptr);
    EXPECT_EQ(noCallback.open(), Failed);
  }
  {
    LiveHost noWindow(nullptr, false, Live());
    EXPECT_EQ(noWindow.open(), Failed);
    EXPECT_EQ(IsStreamActive(noWindow.id, 0), Failed);
  }
  {
    // A video type with an absurd frame size, and an audio type no decoder handles.
    int id = 0;
    Create(&id);
    SetCallback(id, &HostFeeder::Callback);
    SetPreviewWindow(id, window.hwnd());
    IMFMediaType* type = nullptr;
    CreateMediaType(id, &type);
    orvo_hostkit::DescribeH264(type, 0x7FFFFFF0, 0x7FFFFFF0, 30, 1);
    AddMediaType(id, type);
    type->Release();
    EXPECT_EQ(Open(id, L"orvo://live"), Failed);
    EXPECT_EQ(Play(id), Failed);
    Close(id);
  }
}

TEST_F(LiveFeed, AudioTheDecoderCannotHandleLeavesVideoPlaying) {
  TestWindow window(640, 360);
  LiveHost host(window.hwnd(), false, Live());
  IMFMediaType* type = nullptr;
  CreateMediaType(host.id, &type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_DRM);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 16000);
  AddMediaType(host.id, type);
  type->Release();
  ASSERT_EQ(host.open(), Ok);
  EXPECT_EQ(IsStreamActive(host.id, 0), Ok);
  EXPECT_EQ(IsStreamActive(host.id, 1), Failed);
  EXPECT_EQ(SetVolume(host.id, 0.5), Ok);
  EXPECT_EQ(GetVolume(host.id), 1.0) << "no active audio stream takes the volume";
  ASSERT_EQ(Play(host.id), Ok);
  window.pump(2000);
  EXPECT_TRUE(e2e::QuadrantsMatch(Screenshot::Capture(), window.hwnd(), 640, 360));
}
