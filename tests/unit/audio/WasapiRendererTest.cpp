// The audio renderer against the test bed's real endpoint (Wine's WASAPI on a PulseAudio null sink).
// Byte-exact checks read what the renderer released to the endpoint through AudioEndpointTap; the
// playback checks record the null sink's monitor.
#include <gtest/gtest.h>
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "AudioCapture.h"
#include "AudioEndpointTap.h"
#include "ToneSamples.h"
#include "UnixCommand.h"
#include "Waiting.h"
#include "log/Log.h"
#include "lowlatency/AudioOutput.h"
#include "render/WasapiRenderer.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::WasapiRenderer;
using orvo_test::AudioCapture;
using orvo_test::AudioEndpointTap;
using orvo_test::MakeAudioType;
using orvo_test::MakeSample;
using orvo_test::MakeTone;
using orvo_test::PcmFormat;
using orvo_test::ToneSegment;

namespace {

const PcmFormat kFloatStereo48k = {48000, 2, 32, true};
const PcmFormat kPcm16Mono44k = {44100, 1, 16, false};
const wchar_t kLogPath[] = L"audio_test.log";

class MediaFoundationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    ORVO::SetGlobalLog(new ORVO::Log);
    DeleteFileW(kLogPath);
    ORVO::GlobalLog()->Reconfigure(4, kLogPath);
  }
  void TearDown() override {
    ORVO::Log* log = ORVO::GlobalLog();
    ORVO::SetGlobalLog(nullptr);
    delete log;
    MFShutdown();
    CoUninitialize();
  }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

std::string logText() {
  std::ifstream file(kLogPath, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

double nowSeconds() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Hands `data` to the renderer in chunks of `chunkSeconds` at the pace a rendering thread would,
// keeping `leadChunks` chunks ahead of real time so the endpoint never runs dry.
// Keeps the endpoint fed until everything staged went out (bounded: a stalled endpoint fails the
// caller's checks instead of hanging the test).
void drain(WasapiRenderer& renderer) {
  const double deadline = nowSeconds() + 15.0;
  while (renderer.pendingBytes() > 0 && nowSeconds() < deadline) {
    Sleep(2);
    if (FAILED(renderer.Service())) return;
  }
}

void playPaced(WasapiRenderer& renderer, const std::vector<BYTE>& data, const PcmFormat& f, double chunkSeconds = 0.02,
               int leadChunks = 10) {
  const size_t chunkBytes = static_cast<size_t>(std::llround(chunkSeconds * f.rate)) * f.blockAlign();
  // As the engine's rendering thread would, the writer keeps a small endpoint buffer fed: a
  // writer held up longer than the buffer lasts leaves a gap the checks below would count.
  const int priority = GetThreadPriority(GetCurrentThread());
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const double start = nowSeconds();
  size_t chunk = 0;
  for (size_t offset = 0; offset < data.size(); offset += chunkBytes, ++chunk) {
    const double due = start + static_cast<double>(chunk) * chunkSeconds - leadChunks * chunkSeconds;
    // The endpoint buffer is small: what waits staged is written as the device makes room, as
    // the engine's rendering thread does between samples.
    for (double wait = due - nowSeconds(); wait > 0; wait = due - nowSeconds()) {
      Sleep(static_cast<DWORD>(std::min(wait * 1000.0, 2.0)) + 1);
      renderer.Service();
    }
    const size_t bytes = std::min(chunkBytes, data.size() - offset);
    ComPtr<IMFSample> sample = MakeSample(data.data() + offset, bytes);
    ASSERT_EQ(renderer.Render(sample.Get()), S_OK) << "chunk " << chunk;
  }
  drain(renderer);
  SetThreadPriority(GetCurrentThread(), priority);
}


// A stretch of the recording with sound in it.
struct SoundRun {
  double start;
  double end;
};

constexpr double kWindow = 0.01;

double windowRms(const AudioCapture& capture, double t) {
  return std::fmax(capture.rms(0, t, t + kWindow), capture.rms(1, t, t + kWindow));
}

// Stretches where either channel is above `threshold` (10 ms windows). Wine's feed of the sound
// server can run dry for a few tens of milliseconds: under load on Wine 8, and on Wine 10 even on
// an idle machine, dozens of 4-70 ms gaps in 2.5 s while the endpoint buffer still held 20 ms. So
// gaps shorter than 150 ms do not split a stretch, and pitches are read as median periods.
std::vector<SoundRun> activeRuns(const AudioCapture& capture, double threshold) {
  std::vector<SoundRun> runs;
  EXPECT_LT(windowRms(capture, 0.0), threshold) << "the recording started after the sound did: its head is missing";
  for (double t = 0.0; t + kWindow <= capture.durationSeconds(); t += kWindow) {
    if (windowRms(capture, t) <= threshold) continue;
    if (!runs.empty() && t - runs.back().end < 0.15) {
      runs.back().end = t + kWindow;
    } else {
      runs.push_back({t, t + kWindow});
    }
  }
  return runs;
}

// Sound is counted in 1 ms steps: what was handed in and heard, so that audio lost or played
// twice shows, while a short gap the platform put in adds at most a step at each of its edges.
constexpr double kStep = 0.001;

bool soundAt(const AudioCapture& capture, double t) {
  return std::fmax(capture.rms(0, t, t + kStep), capture.rms(1, t, t + kStep)) > 0.05;
}

// Seconds with sound in [from, to).
double activeSeconds(const AudioCapture& capture, double from, double to) {
  int active = 0;
  for (double t = from; t + kStep <= to + 1e-9; t += kStep) {
    if (soundAt(capture, t)) ++active;
  }
  return active * kStep;
}

// The capture time by which `seconds` of sound have been heard since `from`: a place in what was
// handed in, wherever the gaps before it fell.
double heardBy(const AudioCapture& capture, double from, double seconds) {
  int active = 0;
  double t = from;
  for (; t + kStep <= capture.durationSeconds() && active * kStep < seconds - 1e-9; t += kStep) {
    if (soundAt(capture, t)) ++active;
  }
  return t;
}

std::string describeRuns(const std::vector<SoundRun>& runs) {
  std::string text;
  char part[64];
  for (const SoundRun& r : runs) {
    snprintf(part, sizeof(part), "[%.2f-%.2f s] ", r.start, r.end);
    text += part;
  }
  return text.empty() ? "no sound recorded" : text;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Medians over 10 ms windows of what was heard, so that neither a dropout the sound server put in
// nor one odd window drags the figure.
double medianRms(const AudioCapture& capture, int channel, double from, double to) {
  std::vector<double> values;
  for (double t = from; t + kWindow <= to; t += kWindow) {
    const double value = capture.heardRms(channel, t, t + kWindow);
    if (value >= 0.0) values.push_back(value);
  }
  return median(values);
}

// Starts a recording and returns once the recorder is connected to the sink's monitor (on a busy
// machine parec can take over a second to get there), plus a margin for its first buffers. The
// recording runs for `seconds` plus up to 7 s of start-up time.
void startCapture(AudioCapture& capture, double seconds) {
  // Audio an earlier test left in the sound server's own buffers must not be taken for ours.
  Sleep(300);
  const double requested = nowSeconds();
  ASSERT_TRUE(capture.start(seconds + 7.0));
  const std::string marker = orvo_test::ScratchPath("recorder_connected");
  remove(marker.c_str());
  bool connected = false;
  for (int i = 0; i < 60 && !connected; ++i) {
    orvo_test::UnixCommand::Run("pactl list short source-outputs | grep -q . && touch '" + marker + "'", 5000);
    FILE* file = fopen(marker.c_str(), "rb");
    if (file) {
      fclose(file);
      connected = true;
    } else {
      Sleep(50);
    }
  }
  remove(marker.c_str());
  ASSERT_TRUE(connected) << "the recorder never connected to the sink monitor";
  std::printf("[ capture  ] recorder connected after %.2f s\n", nowSeconds() - requested);
  // Connected is not yet recording: up to about a second after it can still be lost on a busy
  // machine. A sound that starts the recording is reported by soundRuns as cut.
  Sleep(2000);
}

class WasapiRendererTest : public ::testing::Test {
 protected:
  void SetUp() override { AudioEndpointTap::Reset(); }
  void TearDown() override {
    WasapiRenderer::SetDeviceEnumeratorFactory(nullptr);
    AudioEndpointTap::Reset();
  }
  void useTap() { WasapiRenderer::SetDeviceEnumeratorFactory(&AudioEndpointTap::CreateEnumerator); }
};

std::vector<float> asFloats(const std::vector<uint8_t>& bytes) {
  std::vector<float> out(bytes.size() / 4);
  if (!out.empty()) memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

}  // namespace

// ---- Set-up and formats -------------------------------------------------------------------

TEST_F(WasapiRendererTest, MatchingFloatFormatNeedsNoResamplerAndSizesFollowTheEndpoint) {
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  ASSERT_NE(renderer.mixFormat(), nullptr);
  // The test bed's mix format; the test is about a decoded type equal to it.
  ASSERT_EQ(renderer.mixFormat()->nSamplesPerSec, 48000u);
  ASSERT_EQ(renderer.mixFormat()->nChannels, 2u);
  EXPECT_TRUE(renderer.mixIsFloat());
  EXPECT_FALSE(renderer.usesResampler());
  // A small endpoint buffer (a backend may hold all of it as delay), samples still sized for 1 s.
  EXPECT_GE(renderer.bufferFrames(), 48000 * 30 / 1000);
  EXPECT_LE(renderer.bufferFrames(), 48000 / 10);
  EXPECT_EQ(renderer.mixBlockAlign(), 8);
  EXPECT_EQ(renderer.decodedBufferBytes(), 48000 * 8);
  EXPECT_EQ(renderer.outputBufferBytes(), 48000 * 8);
  std::printf("[ figures  ] endpoint buffer %d frames (%.1f ms), decoded buffer %d bytes\n", renderer.bufferFrames(),
              renderer.bufferFrames() * 1000.0 / 48000.0, renderer.decodedBufferBytes());
}

TEST_F(WasapiRendererTest, OtherRateAndLayoutGetAResamplerAndDecodedSizes) {
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kPcm16Mono44k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  EXPECT_TRUE(renderer.usesResampler());
  EXPECT_EQ(renderer.decodedBufferBytes(), 48000 * 2);
  EXPECT_EQ(renderer.outputBufferBytes(), 48000 * renderer.mixBlockAlign());
}

// ---- What reaches the endpoint, byte for byte ----------------------------------------------

TEST_F(WasapiRendererTest, UnityVolumePassesSamplesUnchangedAndVolumeScalesClipsOrSilences) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{1000.0, 0.8, 0.01}});  // 480 frames
  const std::vector<float> source = asFloats(tone);

  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  renderer.SetVolume(1.005);  // within the unity tolerance: untouched
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  renderer.SetVolume(2.0);
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  renderer.SetVolume(0.005);
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  renderer.SetVolume(0.5);
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  drain(renderer);

  const std::vector<float> out = asFloats(AudioEndpointTap::written());
  ASSERT_EQ(out.size(), source.size() * 5);
  EXPECT_EQ(memcmp(out.data(), source.data(), tone.size()), 0) << "unity must be bit-exact";
  EXPECT_EQ(memcmp(out.data() + source.size(), source.data(), tone.size()), 0) << "1.005 counts as unity";
  int clipped = 0;
  for (size_t i = 0; i < source.size(); ++i) {
    const float doubled = out[2 * source.size() + i];
    const float expected = std::fmax(-1.0f, std::fmin(1.0f, source[i] * 2.0f));
    ASSERT_FLOAT_EQ(doubled, expected) << "sample " << i;
    if (std::fabs(doubled) == 1.0f) ++clipped;
    ASSERT_EQ(out[3 * source.size() + i], 0.0f) << "0.005 must be exact silence, sample " << i;
    ASSERT_FLOAT_EQ(out[4 * source.size() + i], source[i] * 0.5f);
  }
  EXPECT_GT(clipped, static_cast<int>(source.size() / 3)) << "an 0.8 tone at 2.0 spends most of its time clipped";
}

TEST_F(WasapiRendererTest, BalanceScalesLeftAndRightChannels) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{500.0, 0.5, 0.01}});
  const std::vector<float> source = asFloats(tone);
  const double balances[] = {0.25, 1.0, 0.0, 0.5};
  for (double balance : balances) {
    renderer.SetBalance(balance);
    ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  }
  const std::vector<float> out = asFloats(AudioEndpointTap::written());
  ASSERT_EQ(out.size(), source.size() * 4);
  const float expectedLeft[] = {1.0f, 0.0f, 1.0f, 1.0f};
  const float expectedRight[] = {0.5f, 1.0f, 0.0f, 1.0f};
  for (int b = 0; b < 4; ++b) {
    for (size_t i = 0; i < source.size(); i += 2) {
      ASSERT_FLOAT_EQ(out[b * source.size() + i], source[i] * expectedLeft[b]) << "balance " << balances[b] << " left " << i;
      ASSERT_FLOAT_EQ(out[b * source.size() + i + 1], source[i + 1] * expectedRight[b]) << "balance " << balances[b] << " right " << i;
    }
  }
}

TEST_F(WasapiRendererTest, PlacedSamplesGetSilenceInFrontAreCutWhereQuietAndSpedUp) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  EXPECT_EQ(renderer.mixRate(), 48000u);
  int64_t endpoint = -1, staged = -1;
  ASSERT_EQ(renderer.QueuedAhead(&endpoint, &staged), S_OK);
  EXPECT_EQ(endpoint + staged, 0) << "nothing written yet";

  // 240 frames of silence, then a 10 ms tone: the tone starts 5 ms later.
  AudioEndpointTap::faults().reportFull = true;  // keep everything staged, where it can be cut
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{1000.0, 0.5, 0.01}});
  WasapiRenderer::Placement early;
  early.silenceFrames = 240;
  WasapiRenderer::Placed placed;
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get(), early, &placed), S_OK);
  EXPECT_EQ(placed.inserted, 240u);
  EXPECT_EQ(renderer.pendingBytes(), (240 + 480) * 8u);
  ASSERT_EQ(renderer.QueuedAhead(&endpoint, &staged), S_OK);
  EXPECT_EQ(staged, 150000) << "15 ms staged";

  // Late by 100 frames: the cut takes them where the audio is quietest, inside the silence.
  WasapiRenderer::Placement late;
  late.dropFrames = 100;
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get(), late, &placed), S_OK);
  EXPECT_EQ(placed.dropped, 100u);
  // And 5 % faster: the third tone comes out 457 frames long instead of 480.
  WasapiRenderer::Placement faster;
  faster.speed = 1.05;
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get(), faster, &placed), S_OK);
  EXPECT_EQ(placed.saved, 480u - 457u);
  AudioEndpointTap::faults().reportFull = false;
  drain(renderer);

  const std::vector<float> out = asFloats(AudioEndpointTap::written());
  ASSERT_EQ(out.size(), (140u + 480 + 480 + 457) * 2);
  const std::vector<float> source = asFloats(tone);
  for (size_t i = 0; i < 140 * 2; ++i) ASSERT_EQ(out[i], 0.0f) << "silence at " << i;
  EXPECT_EQ(memcmp(out.data() + 140 * 2, source.data(), tone.size()), 0) << "the tones themselves stay whole";
  EXPECT_EQ(memcmp(out.data() + 620 * 2, source.data(), tone.size()), 0);
  EXPECT_NEAR(out[(1100 + 456) * 2], source[479 * 2], 1e-6) << "the sped-up tone ends where the tone ends";
}

TEST_F(WasapiRendererTest, FullEndpointKeepsAudioStagedAndReleasesItInOrder) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  const std::vector<BYTE> first = MakeTone(kFloatStereo48k, {{300.0, 0.5, 0.05}});
  const std::vector<BYTE> second = MakeTone(kFloatStereo48k, {{700.0, 0.25, 0.03}});

  AudioEndpointTap::faults().reportFull = true;
  EXPECT_EQ(renderer.Render(MakeSample(first.data(), first.size()).Get()), S_OK);
  EXPECT_TRUE(AudioEndpointTap::written().empty());
  EXPECT_EQ(renderer.pendingBytes(), first.size());

  AudioEndpointTap::faults().reportFull = false;
  EXPECT_EQ(renderer.Render(MakeSample(second.data(), second.size()).Get()), S_OK);
  drain(renderer);
  EXPECT_EQ(renderer.pendingBytes(), 0u);
  std::vector<uint8_t> expected(first.begin(), first.end());
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_TRUE(AudioEndpointTap::written() == expected) << "staged audio must come out first, unchanged";
}

TEST_F(WasapiRendererTest, MoreThanTheEndpointHoldsIsWrittenLaterWithoutLoss) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  // 2.5 s in one sample against a 40 ms endpoint buffer.
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.3, 1.0}, {660.0, 0.3, 1.0}, {880.0, 0.3, 0.5}});
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  const size_t firstWrite = AudioEndpointTap::written().size();
  EXPECT_LE(firstWrite, static_cast<size_t>(renderer.bufferFrames()) * 8);
  EXPECT_EQ(renderer.pendingBytes(), tone.size() - firstWrite);

  // Keep the endpoint fed with short silent samples until everything staged went out.
  const std::vector<BYTE> silence(960 * 8, 0);
  const double deadline = nowSeconds() + 5.0;
  while (AudioEndpointTap::written().size() < tone.size() && nowSeconds() < deadline) {
    Sleep(20);
    ASSERT_EQ(renderer.Render(MakeSample(silence.data(), silence.size()).Get()), S_OK);
  }
  const std::vector<uint8_t> written = AudioEndpointTap::written();
  ASSERT_GE(written.size(), tone.size());
  EXPECT_EQ(memcmp(written.data(), tone.data(), tone.size()), 0) << "the 2.5 s must reach the endpoint whole and in order";
}

TEST_F(WasapiRendererTest, ResamplerOutputLargerThanOneBufferIsDrainedWhole) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kPcm16Mono44k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  ASSERT_TRUE(renderer.usesResampler());
  // 2.5 s in one sample: its conversion fills two and a half endpoint-sized output buffers.
  const std::vector<BYTE> tone = MakeTone(kPcm16Mono44k, {{1000.0, 0.5, 2.5}});
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  const double frames = static_cast<double>(AudioEndpointTap::written().size() + renderer.pendingBytes()) / renderer.mixBlockAlign();
  std::printf("[ figures  ] 2.5 s at 44100 Hz gave %.0f frames at 48000 Hz in one call\n", frames);
  // The transform may hold back a few milliseconds for its filter; nothing more.
  EXPECT_NEAR(frames, 2.5 * 48000, 0.02 * 48000);
}

TEST_F(WasapiRendererTest, StalledEndpointStopsTakingSamplesAtTheStagingLimit) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  AudioEndpointTap::faults().reportFull = true;
  const std::vector<BYTE> second = MakeTone(kFloatStereo48k, {{440.0, 0.1, 1.0}});
  int accepted = 0;
  HRESULT hr = S_OK;
  for (int i = 0; i < 2 * WasapiRenderer::kMaxPendingSeconds && hr == S_OK; ++i) {
    hr = renderer.Render(MakeSample(second.data(), second.size()).Get());
    if (hr == S_OK) ++accepted;
  }
  EXPECT_EQ(hr, MF_E_NOTACCEPTING);
  EXPECT_EQ(accepted, WasapiRenderer::kMaxPendingSeconds + 1);
  EXPECT_EQ(renderer.pendingBytes(), second.size() * accepted) << "what was accepted stays staged";
  EXPECT_NE(logText().find("]: endpoint stalled, "), std::string::npos);
  // Once the endpoint plays again the staged audio goes first and new samples are taken.
  AudioEndpointTap::faults().reportFull = false;
  const size_t limit = static_cast<size_t>(WasapiRenderer::kMaxPendingSeconds) * second.size();
  EXPECT_TRUE(orvo_test::WaitUntil([&] { return SUCCEEDED(renderer.Service()) && renderer.pendingBytes() <= limit; }, 5000));
  EXPECT_EQ(renderer.Render(MakeSample(second.data(), second.size()).Get()), S_OK);
  const std::vector<uint8_t> written = AudioEndpointTap::written();
  ASSERT_GE(written.size(), static_cast<size_t>(renderer.bufferFrames()) * 8 / 2);
  EXPECT_EQ(memcmp(written.data(), second.data(), std::min(written.size(), second.size())), 0);
}

// ---- Bad input and failing devices ---------------------------------------------------------

TEST_F(WasapiRendererTest, BadSamplesAreRefusedWithALogLine) {
  WasapiRenderer uninitialised;
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.5, 0.01}});
  EXPECT_EQ(uninitialised.Render(MakeSample(tone.data(), tone.size()).Get()), MF_E_NOT_INITIALIZED);

  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  EXPECT_EQ(renderer.Initialize(type.Get(), L""), MF_E_INVALIDREQUEST);
  EXPECT_EQ(renderer.Render(nullptr), E_POINTER);
  EXPECT_EQ(renderer.Render(MakeSample(nullptr, 0).Get()), E_INVALIDARG);
  ComPtr<IMFSample> noBuffers;
  ASSERT_EQ(MFCreateSample(&noBuffers), S_OK);
  EXPECT_EQ(renderer.Render(noBuffers.Get()), E_INVALIDARG);
  EXPECT_EQ(renderer.pendingBytes(), 0u);
  EXPECT_TRUE(AudioEndpointTap::written().empty());
  // The renderer still works afterwards.
  EXPECT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  EXPECT_EQ(AudioEndpointTap::written().size(), tone.size());

  const std::string log = logText();
  EXPECT_NE(log.find("WasapiRenderer::Render"), std::string::npos);
  EXPECT_NE(log.find(": no sample failed 0x80004003"), std::string::npos) << log;
  EXPECT_NE(log.find(": empty sample failed 0x80070057"), std::string::npos) << log;
  EXPECT_NE(log.find(": not initialised failed 0xC00D36B6"), std::string::npos) << log;
}

TEST_F(WasapiRendererTest, UnsupportedMediaTypesFailBeforeTheDeviceIsOpened) {
  useTap();
  struct Case {
    const char* name;
    ComPtr<IMFMediaType> type;
  };
  std::vector<Case> cases;
  ComPtr<IMFMediaType> aac = MakeAudioType(kFloatStereo48k);
  aac->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
  cases.push_back({"AAC", aac});
  ComPtr<IMFMediaType> video = MakeAudioType(kFloatStereo48k);
  video->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  cases.push_back({"video major type", video});
  ComPtr<IMFMediaType> noRate = MakeAudioType(kFloatStereo48k);
  noRate->DeleteItem(MF_MT_AUDIO_SAMPLES_PER_SECOND);
  cases.push_back({"no sample rate", noRate});
  ComPtr<IMFMediaType> noAlign = MakeAudioType(kPcm16Mono44k);
  noAlign->DeleteItem(MF_MT_AUDIO_BLOCK_ALIGNMENT);
  cases.push_back({"no block alignment", noAlign});
  ComPtr<IMFMediaType> shortAlign = MakeAudioType(kFloatStereo48k);
  shortAlign->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 4);
  cases.push_back({"block alignment below one frame", shortAlign});
  for (const Case& c : cases) {
    WasapiRenderer renderer;
    EXPECT_EQ(renderer.Initialize(c.type.Get(), L""), MF_E_INVALIDMEDIATYPE) << c.name;
    const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.5, 0.01}});
    EXPECT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), MF_E_NOT_INITIALIZED) << c.name;
  }
  ComPtr<IMFMediaType> noSubtype = MakeAudioType(kFloatStereo48k);
  noSubtype->DeleteItem(MF_MT_SUBTYPE);
  WasapiRenderer renderer;
  EXPECT_EQ(renderer.Initialize(noSubtype.Get(), L""), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(renderer.Initialize(nullptr, L""), E_POINTER);
  EXPECT_EQ(AudioEndpointTap::audioClientsActivated(), 0);

  const std::string log = logText();
  EXPECT_NE(log.find("WasapiRenderer::Initialize["), std::string::npos);
  EXPECT_NE(log.find("]: unsupported media type (audio 1, PCM or float 0"), std::string::npos) << log;
  EXPECT_NE(log.find("]: MF_MT_AUDIO_SAMPLES_PER_SECOND failed 0xC00D36E6"), std::string::npos) << log;
  EXPECT_NE(log.find("]: MF_MT_SUBTYPE failed 0xC00D36E6"), std::string::npos) << log;
}

TEST_F(WasapiRendererTest, MissingDeviceFailsInitialize) {
  useTap();
  AudioEndpointTap::faults().defaultEndpoint = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  EXPECT_EQ(renderer.Initialize(type.Get(), L""), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.5, 0.01}});
  EXPECT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), MF_E_NOT_INITIALIZED);
  EXPECT_NE(logText().find("]: endpoint '' failed 0x80070490"), std::string::npos);
}

TEST_F(WasapiRendererTest, DeviceThatGoesAwayFailsEveryLaterRenderAtOnce) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.5, 0.02}});
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);

  AudioEndpointTap::faults().padding = AUDCLNT_E_DEVICE_INVALIDATED;
  EXPECT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), AUDCLNT_E_DEVICE_INVALIDATED);
  const size_t staged = renderer.pendingBytes();
  EXPECT_EQ(staged, tone.size()) << "the sample that met the failure stays staged";
  const double start = nowSeconds();
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_LT(nowSeconds() - start, 2.0) << "a gone device must not block";
  EXPECT_EQ(renderer.pendingBytes(), staged) << "nothing more is staged for a device that is gone";
  const std::string log = logText();
  EXPECT_NE(log.find("]: m_pAudioClient->GetCurrentPadding failed 0x88890004"), std::string::npos) << log;
  EXPECT_NE(log.find("]: audio device is gone failed 0x88890004"), std::string::npos) << log;
}

// A low-latency stream's sound output whose endpoint goes away: while no default endpoint can be
// opened the loss shows and is retried at a bounded pace; once one can, the next due sample plays
// on it.
TEST_F(WasapiRendererTest, StreamOutputReopensTheDefaultEndpointAfterTheOldOneWentAway) {
  useTap();
  ORVO::Media::AudioOutput output(0, L"");
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(output.onDecodedType(type.Get()), S_OK);
  ASSERT_EQ(output.open(), S_OK);
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.5, 0.02}});
  auto present = [&] { output.present(MakeSample(tone.data(), tone.size()).Get(), 0); };
  present();
  ASSERT_EQ(AudioEndpointTap::audioClientsActivated(), 1);

  AudioEndpointTap::faults().padding = AUDCLNT_E_DEVICE_INVALIDATED;
  AudioEndpointTap::faults().defaultEndpoint = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  present();  // meets the loss
  present();  // finds no endpoint to take over
  EXPECT_TRUE(output.endpointLost());
  AudioEndpointTap::faults() = AudioEndpointTap::Faults();
  present();  // too soon for another attempt
  EXPECT_TRUE(output.endpointLost());
  EXPECT_EQ(AudioEndpointTap::audioClientsActivated(), 1);

  Sleep(static_cast<DWORD>(ORVO::Media::AudioOutput::kReopenIntervalMs) + 100);
  const size_t written = AudioEndpointTap::written().size();
  present();
  EXPECT_FALSE(output.endpointLost());
  EXPECT_EQ(AudioEndpointTap::audioClientsActivated(), 2);
  EXPECT_GT(AudioEndpointTap::written().size(), written) << "the sample did not reach the reopened endpoint";
}

// ---- Recorded from the null sink -----------------------------------------------------------

TEST_F(WasapiRendererTest, FloatStereoToneIsRecordedAtItsPitchAndLevel) {
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  ASSERT_FALSE(renderer.usesResampler());
  AudioCapture capture;
  startCapture(capture, 2.0);
  playPaced(renderer, MakeTone(kFloatStereo48k, {{440.0, 0.5, 1.5}}), kFloatStereo48k);
  ASSERT_TRUE(capture.finish());
  const std::vector<SoundRun> runs = activeRuns(capture, 0.05);
  ASSERT_EQ(runs.size(), 1u) << describeRuns(runs);
  const SoundRun tone = runs[0];
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_NEAR(capture.medianFrequency(channel, tone.start + 0.1, tone.end - 0.1), 440.0, 1.0) << "channel " << channel;
    EXPECT_NEAR(medianRms(capture, channel, tone.start + 0.1, tone.end - 0.1), 0.5 / std::sqrt(2.0), 0.02) << "channel " << channel;
  }
  EXPECT_NEAR(activeSeconds(capture, tone.start, tone.end), 1.5, 0.03);
}

TEST_F(WasapiRendererTest, Pcm16MonoAt44100IsResampledToTheRightPitch) {
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kPcm16Mono44k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  ASSERT_TRUE(renderer.usesResampler());
  AudioCapture capture;
  startCapture(capture, 2.0);
  playPaced(renderer, MakeTone(kPcm16Mono44k, {{1000.0, 0.5, 1.5}}), kPcm16Mono44k);
  ASSERT_TRUE(capture.finish());
  const std::vector<SoundRun> runs = activeRuns(capture, 0.05);
  ASSERT_EQ(runs.size(), 1u) << describeRuns(runs);
  const SoundRun tone = runs[0];
  // Played at 48 kHz without conversion the tone would read 1088 Hz.
  const double frequency = capture.medianFrequency(0, tone.start + 0.1, tone.end - 0.1);
  EXPECT_NEAR(frequency, 1000.0, 2.0);
  const double left = medianRms(capture, 0, tone.start + 0.1, tone.end - 0.1);
  const double right = medianRms(capture, 1, tone.start + 0.1, tone.end - 0.1);
  std::printf("[ figures  ] resampled mono tone: %.2f Hz, rms left %.3f right %.3f, %s\n", frequency, left, right,
              describeRuns(runs).c_str());
  EXPECT_NEAR(left, 0.5 / std::sqrt(2.0), 0.03);
  EXPECT_NEAR(right, left, 0.05 * left) << "mono goes to both sides";
  // The length survives the rate change: 1.5 s of sound, whatever gaps the sound server added.
  EXPECT_NEAR(activeSeconds(capture, tone.start, tone.end), 1.5, 0.04);
}

TEST_F(WasapiRendererTest, RecordedVolumeSilenceClippingAndBalance) {
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  AudioCapture capture;
  startCapture(capture, 4.0);
  // Sections of 0.5 s, each followed by 0.3 s of silence so that the recording can be cut into
  // them: unity, volume 0.005 (must vanish), 2.0 on a quiet tone, 2.0 on a loud tone, balance 0.25.
  const std::vector<BYTE> quiet = MakeTone(kFloatStereo48k, {{440.0, 0.3, 0.5}, {0.0, 0.0, 0.3}});
  const std::vector<BYTE> loud = MakeTone(kFloatStereo48k, {{440.0, 0.8, 0.5}, {0.0, 0.0, 0.3}});
  playPaced(renderer, quiet, kFloatStereo48k);
  renderer.SetVolume(0.005);
  playPaced(renderer, loud, kFloatStereo48k);
  renderer.SetVolume(2.0);
  playPaced(renderer, quiet, kFloatStereo48k);
  playPaced(renderer, loud, kFloatStereo48k);
  renderer.SetVolume(1.0);
  renderer.SetBalance(0.25);
  playPaced(renderer, loud, kFloatStereo48k);
  ASSERT_TRUE(capture.finish());

  const std::vector<SoundRun> runs = activeRuns(capture, 0.05);
  ASSERT_EQ(runs.size(), 4u) << "expected unity, doubled quiet, doubled loud, balanced: " << describeRuns(runs);
  auto inner = [](const SoundRun& r, double* from, double* to) {
    *from = r.start + 0.05;
    *to = r.end - 0.05;
  };
  double from, to;
  inner(runs[0], &from, &to);
  EXPECT_NEAR(medianRms(capture, 0, from, to), 0.3 / std::sqrt(2.0), 0.015);
  // Between the first two sounds: 0.3 + 0.5 + 0.3 s of exact zeros, the middle half second being
  // the loud tone at volume 0.005.
  EXPECT_GE(runs[1].start - runs[0].end, 1.05) << describeRuns(runs);
  EXPECT_EQ(capture.peak(0, runs[0].end + 0.05, runs[1].start - 0.05), 0.0) << "0.005 is written as silence";
  EXPECT_EQ(capture.peak(1, runs[0].end + 0.05, runs[1].start - 0.05), 0.0);
  inner(runs[1], &from, &to);
  EXPECT_NEAR(medianRms(capture, 0, from, to), 0.6 / std::sqrt(2.0), 0.03) << "2.0 doubles";
  inner(runs[2], &from, &to);
  EXPECT_GE(capture.peak(0, from, to), 0.99) << "2.0 on 0.8 reaches full scale";
  // A 0.8 sine doubled and clipped at full scale has an rms of 0.850. The sound server's 16-bit
  // conversion would clamp an unclipped float the same way, so the renderer's own clamp is proven
  // by the byte-exact test above; this one shows the clipped tone is what plays.
  EXPECT_NEAR(medianRms(capture, 0, from, to), 0.850, 0.015);
  inner(runs[3], &from, &to);
  const double left = medianRms(capture, 0, from, to);
  const double right = medianRms(capture, 1, from, to);
  EXPECT_NEAR(left, 0.8 / std::sqrt(2.0), 0.03);
  EXPECT_NEAR(right / left, 0.5, 0.03) << "balance 0.25 halves the right side";
}

TEST_F(WasapiRendererTest, RecordedAudioHandedInBeyondTheBufferPlaysWholeAndInOrder) {
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  AudioCapture capture;
  startCapture(capture, 3.5);
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.4, 1.0}, {660.0, 0.4, 1.0}, {880.0, 0.4, 0.5}});
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  EXPECT_GT(renderer.pendingBytes(), 0u);
  const std::vector<BYTE> silence(960 * 8, 0);
  for (int i = 0; i < 150; ++i) {  // 3 s of 20 ms silent samples: the staged rest drains first
    Sleep(20);
    ASSERT_EQ(renderer.Render(MakeSample(silence.data(), silence.size()).Get()), S_OK);
  }
  ASSERT_TRUE(capture.finish());
  const std::vector<SoundRun> runs = activeRuns(capture, 0.05);
  ASSERT_EQ(runs.size(), 1u) << describeRuns(runs);
  const SoundRun sound = runs[0];
  std::printf("[ figures  ] 2.5 s handed over at once: %s\n", describeRuns(runs).c_str());
  // All 2.5 s come out (gaps the sound server inserts only stretch the run) ...
  EXPECT_NEAR(activeSeconds(capture, sound.start, sound.end), 2.5, 0.04);
  // ... in order. Each tone is looked for where it lies in the sound heard, not in the wall time
  // the run took: on a busy machine the gaps can stretch the run by most of a second, unevenly.
  auto pitchBetween = [&](double heardFrom, double heardTo) {
    return capture.medianFrequency(0, heardBy(capture, sound.start, heardFrom), heardBy(capture, sound.start, heardTo));
  };
  EXPECT_NEAR(pitchBetween(0.1, 0.9), 440.0, 1.0);
  EXPECT_NEAR(pitchBetween(1.1, 1.9), 660.0, 1.0);
  EXPECT_NEAR(pitchBetween(2.1, 2.45), 880.0, 1.5);
}

TEST_F(WasapiRendererTest, LatencyFigures) {
  useTap();
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  IAudioClient* client = AudioEndpointTap::lastRealClient();
  ASSERT_NE(client, nullptr);
  REFERENCE_TIME streamLatency = 0, period = 0, minimumPeriod = 0;
  client->GetStreamLatency(&streamLatency);
  client->GetDevicePeriod(&period, &minimumPeriod);
  ComPtr<IAudioClock> clock;
  ASSERT_EQ(client->GetService(IID_PPV_ARGS(&clock)), S_OK);
  UINT64 clockFrequency = 0;
  ASSERT_EQ(clock->GetFrequency(&clockFrequency), S_OK);

  // Let the idle stream settle, then hand over 100 ms and time the device position until it moves
  // past the first frame of it.
  Sleep(200);
  UINT64 before = 0, qpc = 0;
  clock->GetPosition(&before, &qpc);
  UINT32 padding = 0;
  client->GetCurrentPadding(&padding);
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{440.0, 0.5, 0.1}});
  const double handOver = nowSeconds();
  ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
  const double written = nowSeconds();
  UINT64 position = before;
  double moved = -1.0;
  while (nowSeconds() - handOver < 2.0) {
    clock->GetPosition(&position, &qpc);
    if (position > before) {
      moved = nowSeconds();
      break;
    }
    Sleep(1);
  }
  ASSERT_GT(moved, 0.0) << "the device position never advanced past the handed-over audio";
  std::printf("[ figures  ] buffer %d frames (%.1f ms), stream latency %.1f ms, device period %.1f ms (min %.1f ms)\n",
              renderer.bufferFrames(), renderer.bufferFrames() * 1000.0 / 48000.0, streamLatency / 10000.0, period / 10000.0,
              minimumPeriod / 10000.0);
  std::printf("[ figures  ] padding at hand-over %u frames; Render took %.2f ms; device position moved %.1f ms after hand-over\n",
              padding, (written - handOver) * 1000.0, (moved - handOver) * 1000.0);
}

// Wine's performance counter is Linux's CLOCK_MONOTONIC_RAW in 100-ns units (checked on the test
// bed), so a Linux-side recorder can timestamp the first audible sample on the same clock as the
// hand-over. The recorder reads the sink monitor with 5 ms latency and reports when the block
// holding the first audible sample reached it: an upper bound that includes the capture delay.
const char kOnsetScript[] =
    "import os, sys, time\n"
    "fd = sys.stdin.fileno()\n"
    "while True:\n"
    "    chunk = os.read(fd, 4096)\n"
    "    now = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)\n"
    "    if not chunk:\n"
    "        break\n"
    "    for i in range(0, len(chunk) - 1, 2):\n"
    "        v = int.from_bytes(chunk[i:i + 2], 'little', signed=True)\n"
    "        if abs(v) > 3000:\n"
    "            print('%.6f' % now)\n"
    "            sys.exit(0)\n";

TEST_F(WasapiRendererTest, HandOverToRecordedOnsetFigures) {
  const std::string script = orvo_test::ScratchPath("onset.py");
  FILE* file = fopen(script.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fputs(kOnsetScript, file);
  fclose(file);
  WasapiRenderer renderer;
  ComPtr<IMFMediaType> type = MakeAudioType(kFloatStereo48k);
  ASSERT_EQ(renderer.Initialize(type.Get(), L""), S_OK);
  const std::vector<BYTE> tone = MakeTone(kFloatStereo48k, {{1000.0, 0.5, 0.2}});
  std::string monitor = orvo_test::TestbedEnv("ORVO_AUDIO_MONITOR");
  if (monitor.empty()) monitor = "orvo_sink.monitor";
  for (int run = 0; run < 3; ++run) {
    const std::string result = orvo_test::ScratchPath("onset.txt");
    remove(result.c_str());
    orvo_test::UnixCommand recorder("timeout 8 parec -d " + monitor +
                                    " --latency-msec=5 --format=s16le --rate=48000 --channels=2 --raw 2>/dev/null | python3 '" + script +
                                    "' > '" + result + "'");
    ASSERT_TRUE(recorder.started());
    Sleep(1500);  // let the recorder connect and settle; the endpoint is idle meanwhile
    const double handOver = nowSeconds();
    ASSERT_EQ(renderer.Render(MakeSample(tone.data(), tone.size()).Get()), S_OK);
    ASSERT_TRUE(recorder.wait(10000));
    double onset = 0.0;
    FILE* out = fopen(result.c_str(), "r");
    const bool measured = out && fscanf(out, "%lf", &onset) == 1;
    if (out) fclose(out);
    remove(result.c_str());
    if (!measured) GTEST_SKIP() << "the Linux-side recorder (parec | python3) produced no onset";
    const double latency = onset - handOver;
    std::printf("[ figures  ] run %d: hand-over to onset at the sink monitor %.1f ms\n", run, latency * 1000.0);
    EXPECT_GT(latency, 0.0) << "the sound cannot be heard before it was handed over";
    EXPECT_LT(latency, 1.0) << "an idle endpoint must start a sound well within its 1 s buffer";
    Sleep(300);
  }
  remove(script.c_str());
}
