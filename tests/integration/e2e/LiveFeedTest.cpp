#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Platform.h"
#include "AudioCapture.h"
#include "HostMediaTypes.h"
#include "LiveHost.h"
#include "LogFile.h"
#include "Screenshot.h"
#include "TestWindow.h"
#include "Waiting.h"

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
    m_logStart = orvo_test::LogSize();
  }
  std::string log() const { return orvo_test::ReadLog(m_logStart); }
  size_t m_logStart = 0;
};

// Callback variants of a misbehaving or unusual host, switched per test.
std::atomic<int> g_videoCalls{0};
std::atomic<int> g_stallAtCall{-1};        // sleep g_stallMs once before this video call
std::atomic<int> g_stallMs{400};
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
    if (call == g_stallAtCall) Sleep(g_stallMs);
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
  g_stallMs = 400;
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
    orvo_test::AudioCapture capture;
    capture.start(0.3);
    Play(warmUp.id);
    window.pump(500);
    Screenshot::Capture();
    capture.finish();
  }
  window.pump(500);
  const int threadsBefore = orvo_test::ProcessThreadCountBesidesPoolWorkers();
  const std::string threadsBeforeReport = orvo_test::ProcessThreadReport();
  {
    LiveHost host(window.hwnd(), true, Live());
    ASSERT_EQ(host.open(), Ok);
    EXPECT_EQ(IsStreamActive(host.id, 0), Ok);
    EXPECT_EQ(IsStreamActive(host.id, 1), Ok);
    EXPECT_EQ(GetState(host.id), Closed);
    orvo_test::AudioCapture capture;
    ASSERT_TRUE(capture.start(6.0));  // from Play on
    const DWORD played = GetTickCount();
    ASSERT_EQ(Play(host.id), Ok);
    EXPECT_EQ(GetState(host.id), Started);

    // A screenshot takes a few seconds here; the frame it shows was current somewhere in between.
    window.pump(3000);
    const DWORD before1 = GetTickCount() - played;
    const Screenshot first = Screenshot::Capture("e2e-live-1.png");
    const DWORD after1 = GetTickCount() - played;
    window.pump(500);
    const DWORD before2 = GetTickCount() - played;
    const Screenshot second = Screenshot::Capture("e2e-live-2.png");
    const DWORD after2 = GetTickCount() - played;
    ASSERT_TRUE(first.ok() && second.ok());
    const int frame1 = e2e::ReadFrameNumber(first, window.hwnd(), 640);
    const int frame2 = e2e::ReadFrameNumber(second, window.hwnd(), 640);
    EXPECT_TRUE(e2e::QuadrantsMatch(first, window.hwnd(), 640, 360));
    EXPECT_TRUE(e2e::QuadrantsMatch(second, window.hwnd(), 640, 360));
    // The feed runs at 30 frames a second from Play; the picture follows within a second.
    EXPECT_GE(frame1, static_cast<int>(before1 * 30 / 1000) - 30);
    EXPECT_LE(frame1, static_cast<int>(after1 * 30 / 1000) + 3);
    EXPECT_GE(frame2, static_cast<int>(before2 * 30 / 1000) - 30);
    EXPECT_LE(frame2, static_cast<int>(after2 * 30 / 1000) + 3);
    EXPECT_GT(frame2, frame1);

    const DWORD sincePlay = GetTickCount() - played;
    if (sincePlay < 6500) window.pump(6500 - sincePlay);
    ASSERT_TRUE(capture.finish());

    // The engine's own account of the same run.
    OrvoStreamStatistics video{};
    video.size = sizeof(video);
    ASSERT_EQ(GetStatistics(host.id, 0, &video), Ok);
    EXPECT_GT(video.presented, 60u);
    EXPECT_LE(video.presented + video.droppedTrimmed + video.droppedLate, video.decoded);
    EXPECT_LE(video.decoded, video.returned);
    EXPECT_LE(video.returned, video.requested);
    EXPECT_GT(video.latencyMsMedian, 0.0) << "presented frames are matched to the host's return by time stamp";
    EXPECT_LE(video.latencyMsMedian, video.latencyMsP99);
    EXPECT_GT(video.presentMsMedian + video.processMsMedian, 0.0);
    OrvoStreamStatistics audio{};
    audio.size = sizeof(audio);
    ASSERT_EQ(GetStatistics(host.id, 1, &audio), Ok);
    EXPECT_GT(audio.presented, 0u);
    // Written to heard: the endpoint's small buffer, what waits staged and its latency; the 1 s
    // buffer this once had put a second here. The player's lip-sync offset is filled in.
    EXPECT_GT(audio.endpointLatencyMsMedian, 0.0);
    EXPECT_LT(audio.endpointLatencyMsMedian, 200.0);
    EXPECT_EQ(audio.avOffsetMsMedian, video.avOffsetMsMedian) << "the offset is the player's";
    EXPECT_EQ(video.endpointLatencyMsMedian, 0.0);
    // A host built against the first version of the struct gets its fields and nothing beyond.
    struct {
      OrvoStreamStatistics statistics;
      unsigned char guard[8];
    } older;
    memset(&older, 0xAB, sizeof(older));
    older.statistics.size = ORVO_STREAM_STATISTICS_V1_SIZE;
    EXPECT_EQ(GetStatistics(host.id, 0, &older.statistics), Ok);
    EXPECT_GT(older.statistics.presented, 0u);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&older.statistics)[ORVO_STREAM_STATISTICS_V1_SIZE], 0xAB);
    older.statistics.size = ORVO_STREAM_STATISTICS_V1_SIZE - 8;
    EXPECT_EQ(GetStatistics(host.id, 0, &older.statistics), InvalidArgument);
    EXPECT_EQ(GetStatistics(host.id, 0, nullptr), InvalidArgument);
    EXPECT_EQ(GetStatistics(host.id, 2, &video), InvalidArgument);
    // Queue trims cut the tone now and then, so the pitch is read between the cuts.
    EXPECT_NEAR(capture.medianFrequency(0, 3.0, 5.5), 440.0, 5.0);
    EXPECT_NEAR(capture.medianFrequency(1, 3.0, 5.5), 440.0, 5.0);
    EXPECT_GT(capture.rms(0, 3.0, 5.5), 0.02) << "the tone is recorded at about -25 dBFS";

    EXPECT_EQ(Stop(host.id), Ok);
    EXPECT_EQ(GetState(host.id), Stopped);
    window.pump(300);
    const Screenshot stopped = Screenshot::Capture("e2e-live-stopped.png");
    const orvo_test::Rgb mean = stopped.clientMean(window.hwnd(), {0, 0, 640, 360});
    EXPECT_LT(mean.r + mean.g + mean.b, 30) << "Stop shows a black picture";
  }
  // Close ended every thread the library started. Threads finish asynchronously after their join
  // or detach (a loaded machine has taken over 3 s), so give the count time to settle. A worker of
  // Wine 10's thread pools (started in ntdll, which serves Media Foundation's work queues among
  // others) has outlived that by more than 10 s; the platform retires those itself, so they are
  // left out.
  for (int i = 0; i < 100 && orvo_test::ProcessThreadCountBesidesPoolWorkers() > threadsBefore; ++i) {
    window.pump(100);
  }
  // A failed expectation above makes GoogleTest start a watcher thread of its own (in the test
  // program, not the library): the report tells them apart.
  EXPECT_LE(orvo_test::ProcessThreadCountBesidesPoolWorkers(), threadsBefore)
      << "before:\n" << threadsBeforeReport << "after:\n" << orvo_test::ProcessThreadReport();
}

TEST_F(LiveFeed, LowLatencyTrimsQueuesThatGrowAndSmoothDoesNot) {
  TestWindow window(320, 180);
  {
    LiveHost host(window.hwnd(), false, Burst());
    ASSERT_EQ(host.open(L"orvo://live?renderingStrategy=lowlatency"), Ok);
    ASSERT_EQ(Play(host.id), Ok);
    // The queue grows as fast as the decoder outruns the picture rate; on a loaded machine that
    // has taken more than 3 s to reach the trim.
    window.pump(3000);
    for (int i = 0; i < 120 && log().find("renderingRoutine: stream 0 flushed ") == std::string::npos; ++i) {
      window.pump(100);
    }
  }
  const std::string lowLatency = log();
  EXPECT_GE(orvo_test::CountOccurrences(lowLatency, "DxPlayer::flush: flushing..."), 1);
  EXPECT_NE(lowLatency.find("DxPlayer::StreamInt::renderingRoutine: stream 0 flushed "), std::string::npos);
  EXPECT_EQ(lowLatency.find("stream 0 flushed 0 buffers"), std::string::npos) << "a trim releases frames";

  m_logStart = orvo_test::LogSize();
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
    m_logStart = orvo_test::LogSize();
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
  if (orvo_test::WineMajorVersion() >= 10) {
    GTEST_SKIP() << "Wine " << orvo_test::WineVersion()
                 << ": its H.264 decoder stamps its output by adding up frame durations (frame 3 of a 30 fps "
                    "stream comes out at 999999, not the input's 1000000), so a jump in the host's times never "
                    "reaches the engine";
  }
  TestWindow window(640, 360);
  ResetVariants();
  g_gapFromCall = 120;  // after the renderer's slow first frame, in steady playback
  {
    // Smooth never trims, so no trim can hide the jump from the gap rule.
    LiveHost host(window.hwnd(), false, Live(), &VariantCallback);
    ASSERT_EQ(host.open(L"orvo://live?renderingStrategy=smooth"), Ok);
    ASSERT_EQ(Play(host.id), Ok);
    window.pump(5500);
    const Screenshot shot = Screenshot::Capture();
    EXPECT_TRUE(e2e::QuadrantsMatch(shot, window.hwnd(), 640, 360)) << "playback goes on after the jump";
    EXPECT_GE(e2e::ReadFrameNumber(shot, window.hwnd(), 640), 120);
  }
  const std::string text = log();
  EXPECT_NE(text.find("stream 0 too big timestamp gap"), std::string::npos);
  EXPECT_GE(orvo_test::CountOccurrences(text, "stream 0 received base timestamp"), 2);
  ResetVariants();
}

TEST_F(LiveFeed, SilentStreamHoldsTheOtherForTheGraceOnlyAndABlockedHostCannotHangStop) {
  TestWindow window(640, 360);
  ResetVariants();
  g_audioNeverDelivers = true;
  LiveHost host(window.hwnd(), true, Live(), &VariantCallback);
  ASSERT_EQ(host.open(), Ok);
  ASSERT_EQ(Play(host.id), Ok);
  window.pump(1500);
  EXPECT_EQ(log().find("all instances ready"), std::string::npos) << "held back by the silent stream";
  EXPECT_FALSE(e2e::QuadrantsMatch(Screenshot::Capture(), window.hwnd(), 640, 360)) << "held back by the silent stream";
  window.pump(3500);
  const Screenshot released = Screenshot::Capture("e2e-grace.png");
  EXPECT_TRUE(e2e::QuadrantsMatch(released, window.hwnd(), 640, 360)) << "released after the grace";
  // Released playback starts from the sample in hand when the grace ends (about 3 s into the
  // feed), not from the first sample that was dropped long ago.
  const std::string readyMark = "all instances ready, start timestamp ";
  long long startTimestamp = -1;
  for (const std::string& line : orvo_test::ReadLogLines(m_logStart)) {
    const size_t at = line.find(readyMark);
    if (at != std::string::npos) startTimestamp = std::stoll(line.substr(at + readyMark.size()));
  }
  ASSERT_NE(startTimestamp, -1) << "no start timestamp agreed";
  EXPECT_GE(startTimestamp, 20000000LL);

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
  // A second top-level window of the same class, created where it stays, beside the first.
  HWND rightWindow = CreateWindowExW(0, L"OrvoTestWindow", L"right", WS_POPUP | WS_VISIBLE, 660, 40, 320, 180,
                                     nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(rightWindow, nullptr);
  struct WindowCloser {
    HWND hwnd;
    ~WindowCloser() { DestroyWindow(hwnd); }
  } closer{rightWindow};
  left.pump(300);
  LiveHost a(left.hwnd(), false, Live());
  // The other feed loops the 3 s clip: from 3 s on the two counters part.
  LiveHost b(rightWindow, false, Live(), &HostFeeder::Callback, L"clip-640x360-30fps.h264");
  ASSERT_EQ(a.open(), Ok);
  ASSERT_EQ(b.open(), Ok);
  ASSERT_EQ(Play(a.id), Ok);
  ASSERT_EQ(Play(b.id), Ok);
  left.pump(6000);
  const Screenshot shot = Screenshot::Capture("e2e-two-players.png");
  const int frameA = e2e::ReadFrameNumber(shot, left.hwnd(), 320);
  const int frameB = e2e::ReadFrameNumber(shot, rightWindow, 320);
  EXPECT_TRUE(e2e::QuadrantsMatch(shot, left.hwnd(), 320, 180));
  EXPECT_TRUE(e2e::QuadrantsMatch(shot, rightWindow, 320, 180));
  EXPECT_GE(frameA, 100) << "about 6 s into the 10 s demo clip";
  EXPECT_GE(frameB, 0);
  EXPECT_LT(frameB, 90) << "the 3 s clip has 90 frames";
  EXPECT_GE(frameA - frameB, 60) << "each window shows its own feed";
}

TEST_F(LiveFeed, PlayTwiceAndRefusedOpens) {
  TestWindow window(320, 180);
  {
    LiveHost host(window.hwnd(), false, Live());
    ASSERT_EQ(host.open(), Ok);
    ASSERT_EQ(Play(host.id), Ok);
    window.pump(300);
    const int threads = orvo_test::ProcessThreadCountBesidesPoolWorkers();
    EXPECT_EQ(Play(host.id), InvalidState);
    EXPECT_EQ(orvo_test::ProcessThreadCountBesidesPoolWorkers(), threads);
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

namespace {

// What a host's event callback saw, and what it did from inside the callback.
struct EventLog {
  std::mutex lock;
  std::vector<OrvoEvent> events;
  std::atomic<bool> closeOnStart{false};
  std::atomic<int> closeAnswer{-1};
  std::atomic<int> stateInside{-1};

  bool has(int type, int streamIndex, int state = -1) {
    std::lock_guard<std::mutex> guard(lock);
    for (const OrvoEvent& e : events) {
      if (e.type == type && e.streamIndex == streamIndex && (state < 0 || e.state == state)) return true;
    }
    return false;
  }
};

void RecordEvent(const OrvoEvent* event, void* context) {
  EventLog* log = static_cast<EventLog*>(context);
  log->stateInside = GetState(event->playerId);  // exports may be called from here
  {
    std::lock_guard<std::mutex> guard(log->lock);
    log->events.push_back(*event);
  }
  if (log->closeOnStart && event->type == OrvoEventStateChanged && event->state == Started) {
    log->closeAnswer = Close(event->playerId);
  }
}

bool PumpUntil(TestWindow& window, const std::function<bool()>& condition, DWORD milliseconds = 8000) {
  for (DWORD waited = 0; waited < milliseconds; waited += 20) {
    if (condition()) return true;
    window.pump(20);
  }
  return condition();
}

}  // namespace

TEST_F(LiveFeed, EventsTellTheHostWhatHappensAndTheirCallbackMayCloseThePlayer) {
  TestWindow window(320, 180);
  ResetVariants();
  g_stallAtCall = 45;  // about 1.5 s in, the host holds one frame back for 1.6 s
  g_stallMs = 1600;
  EventLog log;
  LiveHost host(window.hwnd(), false, Live(), &VariantCallback);
  ASSERT_EQ(host.open(), Ok);
  ASSERT_EQ(SetEventCallback(host.id, &RecordEvent, &log), Ok);
  ASSERT_EQ(Play(host.id), Ok);
  EXPECT_TRUE(PumpUntil(window, [&] { return log.has(OrvoEventFirstFrame, 0); }));
  EXPECT_TRUE(PumpUntil(window, [&] { return log.has(OrvoEventStallBegan, 0); }));
  EXPECT_TRUE(PumpUntil(window, [&] { return log.has(OrvoEventStallEnded, 0); }));
  EXPECT_EQ(Stop(host.id), Ok);
  EXPECT_TRUE(PumpUntil(window, [&] { return log.has(OrvoEventStateChanged, -1, Stopped); }));
  {
    std::lock_guard<std::mutex> guard(log.lock);
    ASSERT_FALSE(log.events.empty());
    EXPECT_EQ(log.events.front().type, OrvoEventStateChanged) << "the first event tells the state";
    EXPECT_EQ(log.events.front().size, sizeof(OrvoEvent));
  }
  EXPECT_EQ(log.stateInside.load(), Stopped);

  log.closeOnStart = true;
  ASSERT_EQ(Play(host.id), Ok);
  EXPECT_TRUE(PumpUntil(window, [&] { return log.closeAnswer.load() != -1; }));
  EXPECT_EQ(log.closeAnswer.load(), Ok);
  EXPECT_EQ(GetState(host.id), Closed);
  EXPECT_EQ(SetEventCallback(host.id, &RecordEvent, &log), UnknownPlayer);
}


namespace {

orvo_test::Rgb SnapshotPixel(const OrvoSnapshot& snapshot, int x, int y) {
  const unsigned char* p = snapshot.pixels + static_cast<size_t>(y) * snapshot.stride + static_cast<size_t>(x) * 4;
  return {p[2], p[1], p[0]};
}

// The demo clip's frame number from the 16 black/white blocks of its top row (as e2e::ReadFrameNumber
// reads a screenshot); -1 when the row is not black and white.
int SnapshotFrameNumber(const OrvoSnapshot& snapshot) {
  int number = 0;
  for (int i = 0; i < 16; ++i) {
    const orvo_test::Rgb p = SnapshotPixel(snapshot, 32 * i + 16, 16);
    const int level = (p.r + p.g + p.b) / 3;
    if (orvo_test::ColourDistance(p, {p.r, p.r, p.r}) >= 40 || (level > 70 && level < 185)) return -1;
    number = number * 2 + (level >= 185 ? 1 : 0);
  }
  return number;
}

// The quadrant centres of the 640x360 demo clip that are not red, green, blue and yellow; empty
// when all four are.
std::string QuadrantMismatches(const OrvoSnapshot& snapshot) {
  const orvo_test::Rgb expected[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
  std::string mismatches;
  for (int q = 0; q < 4; ++q) {
    const int x = q % 2 ? 480 : 160, y = q / 2 ? 270 : 135;
    const orvo_test::Rgb seen = SnapshotPixel(snapshot, x, y);
    if (orvo_test::ColourDistance(seen, expected[q]) <= 48) continue;
    mismatches += " (" + std::to_string(x) + "," + std::to_string(y) + ") is " + std::to_string(seen.r) + "," +
                  std::to_string(seen.g) + "," + std::to_string(seen.b);
  }
  return mismatches;
}

}  // namespace

// GetSnapshot as a host uses it: the size first, then the picture. The default configuration
// presents compatibly, the gpu-real one through the Direct3D 11 video processor; on Wine 8 the
// frames come from system memory, on Wine 10 from textures of the renderer's device.
TEST_F(LiveFeed, SnapshotCopiesThePresentedPictureAtItsOwnSize) {
  // Another shape than the clip's: the window shows the picture with bars, the snapshot without.
  TestWindow window(480, 360);
  OrvoSnapshot snapshot{};
  snapshot.size = sizeof(snapshot);
  int closedId = 0;
  {
    LiveHost host(window.hwnd(), false, Live());
    ASSERT_EQ(host.open(), Ok);
    EXPECT_EQ(GetSnapshot(host.id, 0, &snapshot), InvalidState) << "nothing presented before Play";
    EXPECT_EQ(GetSnapshot(host.id, 1, &snapshot), InvalidArgument) << "no such stream";
    ASSERT_EQ(Play(host.id), Ok);
    OrvoStreamStatistics video{};
    video.size = sizeof(video);
    auto presented = [&] { return GetStatistics(host.id, 0, &video) == Ok ? video.presented : 0; };
    ASSERT_TRUE(PumpUntil(window, [&] { return presented() >= 1; }, 15000));

    unsigned char tooSmall[16] = {};
    snapshot.pixels = tooSmall;
    snapshot.bufferSize = sizeof(tooSmall);
    ASSERT_EQ(GetSnapshot(host.id, 0, &snapshot), InvalidArgument);
    EXPECT_EQ(snapshot.width, 640u);
    EXPECT_EQ(snapshot.height, 360u);
    EXPECT_EQ(snapshot.stride, 640u * 4);
    ASSERT_EQ(snapshot.neededSize, 640u * 4 * 360);
    std::vector<unsigned char> pixels(snapshot.neededSize);
    snapshot.pixels = pixels.data();
    snapshot.bufferSize = snapshot.neededSize;
    ASSERT_EQ(GetSnapshot(host.id, 0, &snapshot), Ok);
    EXPECT_EQ(QuadrantMismatches(snapshot), "");
    const int first = SnapshotFrameNumber(snapshot);
    EXPECT_GE(first, 0);

    // It follows the presentation: a second of frames later it shows a later one.
    const unsigned long long then = presented();
    ASSERT_TRUE(PumpUntil(window, [&] { return presented() >= then + 30; }, 15000));
    ASSERT_EQ(GetSnapshot(host.id, 0, &snapshot), Ok);
    EXPECT_EQ(QuadrantMismatches(snapshot), "");
    EXPECT_GT(SnapshotFrameNumber(snapshot), first);

    ASSERT_EQ(Stop(host.id), Ok);
    ASSERT_EQ(GetSnapshot(host.id, 0, &snapshot), Ok);
    const orvo_test::Rgb centre = SnapshotPixel(snapshot, 320, 180);
    EXPECT_LT(centre.r + centre.g + centre.b, 30) << "after Stop the black picture was presented last";
    closedId = host.id;
  }
  EXPECT_EQ(GetSnapshot(closedId, 0, &snapshot), UnknownPlayer);
}

// Digital zoom as a wall host uses it: set before Open, changed while playing, undone. The part
// fills the window with its aspect ratio kept, on whichever path this configuration presents by.
TEST_F(LiveFeed, SourceRectShowsThePartOfThePictureItNames) {
  TestWindow window(640, 360);
  LiveHost host(window.hwnd(), false, Live());
  // The bottom-right quarter is yellow and of the window's shape: it fills the window.
  ASSERT_EQ(SetSourceRect(host.id, 0.5, 0.5, 1.0, 1.0), Ok);
  ASSERT_EQ(host.open(), Ok);
  ASSERT_EQ(Play(host.id), Ok);
  OrvoStreamStatistics video{};
  video.size = sizeof(video);
  auto presented = [&] { return GetStatistics(host.id, 0, &video) == Ok ? video.presented : 0; };
  ASSERT_TRUE(PumpUntil(window, [&] { return presented() >= 10; }, 15000));
  auto colourAt = [&](const Screenshot& shot, int x, int y) {
    return shot.clientMean(window.hwnd(), RECT{x - 8, y - 8, x + 8, y + 8});
  };
  auto looksLike = [](orvo_test::Rgb seen, orvo_test::Rgb expected) { return orvo_test::ColourDistance(seen, expected) <= 60; };
  const orvo_test::Rgb yellow{255, 255, 0}, blue{0, 0, 255}, black{0, 0, 0};

  const Screenshot quarter = Screenshot::Capture("e2e-zoom-quarter.png");
  ASSERT_TRUE(quarter.ok());
  for (const POINT p : {POINT{40, 30}, POINT{600, 30}, POINT{320, 180}, POINT{40, 330}, POINT{600, 330}}) {
    EXPECT_TRUE(looksLike(colourAt(quarter, p.x, p.y), yellow)) << "at " << p.x << "," << p.y;
  }

  // The left half of the bottom-left quarter is 8:9: blue in the middle, black bars beside it.
  ASSERT_EQ(SetSourceRect(host.id, 0.0, 0.5, 0.25, 1.0), Ok);
  unsigned long long then = presented();
  ASSERT_TRUE(PumpUntil(window, [&] { return presented() >= then + 3; }, 15000));
  const Screenshot strip = Screenshot::Capture("e2e-zoom-strip.png");
  EXPECT_TRUE(looksLike(colourAt(strip, 320, 180), blue));
  EXPECT_TRUE(looksLike(colourAt(strip, 200, 300), blue));
  EXPECT_TRUE(looksLike(colourAt(strip, 60, 180), black)) << "bar left of the picture";
  EXPECT_TRUE(looksLike(colourAt(strip, 580, 180), black)) << "bar right of the picture";

  ASSERT_EQ(SetSourceRect(host.id, 0.0, 0.0, 1.0, 1.0), Ok);
  then = presented();
  ASSERT_TRUE(PumpUntil(window, [&] { return presented() >= then + 3; }, 15000));
  const Screenshot whole = Screenshot::Capture("e2e-zoom-whole.png");
  EXPECT_TRUE(e2e::QuadrantsMatch(whole, window.hwnd(), 640, 360));
  EXPECT_GE(e2e::ReadFrameNumber(whole, window.hwnd(), 640), 0) << "the frame-number row is back";
}
