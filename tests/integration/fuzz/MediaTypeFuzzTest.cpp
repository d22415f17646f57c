// Media types from a careless host: sizes, rates, channel counts and alignments no stream has, a
// missing subtype, an unknown major type, random codec data, and seeded random mixtures of all of
// them. The host then feeds what it really has (the H.264 clip, or 20 ms blocks of zeros for
// audio). Each type must get a clear answer from Open (Ok or Failed on the low-latency engine, Ok
// or OpenFailed on the Media Session engine), an inactive stream must be explained in the log, and
// Play, Stop and Close must return: never a crash or a hang.

#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>

#include <wrl/client.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "AnnexBReader.h"
#include "HostMediaTypes.h"
#include "LogFile.h"
#include "MediaFiles.h"
#include "StressKit.h"
#include "TestWindow.h"

using Microsoft::WRL::ComPtr;
using stress::Engine;

namespace {

constexpr DWORD kCallBoundMs = 6000;

struct TypeCase {
  std::string name;
  bool video;
  std::function<void(IMFMediaType*)> fill;
};

void Pcm(IMFMediaType* type, UINT32 rate, UINT32 channels, UINT32 blockAlign, UINT32 bytesPerSecond) {
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, blockAlign);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, bytesPerSecond);
}

std::vector<UINT8> RandomBytes(std::mt19937& random, size_t count) {
  std::vector<UINT8> bytes(count);
  for (UINT8& b : bytes) b = static_cast<UINT8>(random());
  return bytes;
}

std::vector<TypeCase> FixedCases() {
  std::vector<TypeCase> cases;
  cases.push_back({"frame size 0x0", true, [](IMFMediaType* t) { orvo_hostkit::DescribeH264(t, 0, 0, 30, 1); }});
  cases.push_back({"frame size 1x1", true, [](IMFMediaType* t) { orvo_hostkit::DescribeH264(t, 1, 1, 30, 1); }});
  cases.push_back({"frame size 65536x65536", true, [](IMFMediaType* t) { orvo_hostkit::DescribeH264(t, 65536, 65536, 30, 1); }});
  cases.push_back({"frame rate 0/0", true, [](IMFMediaType* t) { orvo_hostkit::DescribeH264(t, 640, 360, 0, 0); }});
  cases.push_back({"frame rate 1/0", true, [](IMFMediaType* t) { orvo_hostkit::DescribeH264(t, 640, 360, 1, 0); }});
  cases.push_back({"no subtype", true, [](IMFMediaType* t) {
                     orvo_hostkit::DescribeH264(t, 640, 360, 30, 1);
                     t->DeleteItem(MF_MT_SUBTYPE);
                   }});
  cases.push_back({"unknown major type", true, [](IMFMediaType* t) {
                     orvo_hostkit::DescribeH264(t, 640, 360, 30, 1);
                     const GUID unknown = {0x1d4c2f6e, 0x5a0b, 0x4c3e, {0x9f, 0x11, 0x2b, 0x70, 0x64, 0x8d, 0x3a, 0xc5}};
                     t->SetGUID(MF_MT_MAJOR_TYPE, unknown);
                   }});
  cases.push_back({"nothing set", true, [](IMFMediaType*) {}});
  cases.push_back({"video codec data of random bytes", true, [](IMFMediaType* t) {
                     orvo_hostkit::DescribeH264(t, 640, 360, 30, 1);
                     std::mt19937 random(11);
                     const std::vector<UINT8> bytes = RandomBytes(random, 300);
                     t->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, bytes.data(), static_cast<UINT32>(bytes.size()));
                   }});
  cases.push_back({"0 audio channels", false, [](IMFMediaType* t) { Pcm(t, 48000, 0, 0, 0); }});
  cases.push_back({"64 audio channels", false, [](IMFMediaType* t) { Pcm(t, 48000, 64, 128, 48000 * 128); }});
  cases.push_back({"1 Hz", false, [](IMFMediaType* t) { Pcm(t, 1, 2, 4, 4); }});
  cases.push_back({"10 MHz", false, [](IMFMediaType* t) { Pcm(t, 10000000, 2, 4, 40000000); }});
  cases.push_back({"block alignment 0", false, [](IMFMediaType* t) { Pcm(t, 48000, 2, 0, 192000); }});
  cases.push_back({"block alignment 2^32-1", false, [](IMFMediaType* t) { Pcm(t, 48000, 2, 0xFFFFFFFFu, 192000); }});
  cases.push_back({"2^32-1 bytes a second", false, [](IMFMediaType* t) { Pcm(t, 48000, 2, 4, 0xFFFFFFFFu); }});
  cases.push_back({"AAC with codec data of random bytes", false, [](IMFMediaType* t) {
                     t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
                     t->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
                     t->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
                     t->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
                     std::mt19937 random(5);
                     const std::vector<UINT8> bytes = RandomBytes(random, 14);
                     t->SetBlob(MF_MT_USER_DATA, bytes.data(), static_cast<UINT32>(bytes.size()));
                   }});
  return cases;
}

// Seeded mixtures: every field drawn from values that are sound, edge or absurd, independently.
std::vector<TypeCase> RandomCases(uint32_t seed, int count) {
  std::vector<TypeCase> cases;
  std::mt19937 random(seed);
  const UINT32 edges[] = {0, 1, 2, 3, 15, 16, 360, 640, 44100, 48000, 65535, 65536, 0x7FFFFFFFu, 0xFFFFFFFFu};
  auto edge = [&random, &edges] { return edges[random() % (sizeof(edges) / sizeof(edges[0]))]; };
  for (int i = 0; i < count; ++i) {
    const bool video = random() % 2 == 0;
    const UINT32 a = edge(), b = edge(), c = edge(), d = edge(), e = edge();
    const bool aac = random() % 2 == 0;
    const std::vector<UINT8> blob = RandomBytes(random, random() % 64);
    cases.push_back({"seed " + std::to_string(seed) + " case " + std::to_string(i), video,
                     [=](IMFMediaType* t) {
                       if (video) {
                         orvo_hostkit::DescribeH264(t, a, b, c, d);
                         if (!blob.empty()) t->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, blob.data(), static_cast<UINT32>(blob.size()));
                       } else {
                         Pcm(t, a, b % 70, c, d);
                         if (aac) t->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
                         t->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, e % 65);
                         if (!blob.empty()) t->SetBlob(MF_MT_USER_DATA, blob.data(), static_cast<UINT32>(blob.size()));
                       }
                     }});
  }
  return cases;
}

// 20 ms blocks of zeros at 48 kHz stereo 16-bit: what a host with no idea of its format hands on.
class ZeroBlocks : public orvo_hostkit::AccessUnitReader {
 public:
  bool Next(orvo_hostkit::AccessUnit* unit) override {
    unit->data.assign(3840, 0);
    unit->time = m_next;
    unit->duration = 200000;
    unit->keyFrame = true;
    m_next += 200000;
    return true;
  }
  void Rewind() override {}
  int64_t Duration() const override { return 0; }
  size_t Count() const override { return 1; }

 private:
  int64_t m_next = 0;
};

void PlayCareless(const TypeCase& type, Engine engine, HWND window) {
  SCOPED_TRACE(type.name + (engine == Engine::Session ? " on the Media Session engine" : " on the low-latency engine"));
  orvo_hostkit::HostFeeder::Options options;
  options.realTime = true;
  options.loop = true;
  orvo_hostkit::HostFeeder feeder(options);
  if (type.video) {
    std::unique_ptr<orvo_hostkit::AnnexBReader> reader(
        new orvo_hostkit::AnnexBReader(orvo_hostkit::AnnexBReader::Codec::H264, 30, 1));
    reader->Open(orvo_test::MediaPath("clip-640x360-30fps.h264"));
    feeder.AddStream(0, std::move(reader));
  } else {
    feeder.AddStream(0, std::unique_ptr<orvo_hostkit::AccessUnitReader>(new ZeroBlocks));
  }
  int id = 0;
  ASSERT_EQ(Create(&id), Ok);
  if (engine == Engine::Session) UseLowLatencyRenderer(id, false);
  SetCallback(id, &orvo_hostkit::HostFeeder::Callback);
  SetPreviewWindow(id, window);
  orvo_hostkit::HostFeeder::Register(id, &feeder);
  IMFMediaType* raw = nullptr;
  ASSERT_EQ(CreateMediaType(id, &raw), Ok);
  ComPtr<IMFMediaType> mediaType;
  mediaType.Attach(raw);
  type.fill(mediaType.Get());
  EXPECT_EQ(AddMediaType(id, mediaType.Get()), Ok) << "the type is checked at Open, not here";

  const size_t logFrom = orvo_test::LogSize();
  int opened = -1;
  const wchar_t* uri = engine == Engine::Session ? L"orvo://fuzz" : L"orvo://low_latency_renderer";
  const long openMs = stress::BoundedCall([&] { opened = Open(id, uri); }, kCallBoundMs);
  ASSERT_NE(openMs, -1) << "Open did not return";
  if (engine == Engine::LowLatency) {
    EXPECT_TRUE(opened == Ok || opened == Failed) << "Open answered " << opened;
    if (IsStreamActive(id, 0) != Ok) {
      EXPECT_NE(orvo_test::ReadLog(logFrom).find("stream 0 stays inactive"), std::string::npos)
          << "an inactive stream without a log line";
    }
  } else {
    EXPECT_TRUE(opened == Ok || opened == OpenFailed) << "Open answered " << opened;
  }
  if (opened == Ok) {
    Play(id);
    // Until the stream takes samples, or the engine settles on an answer without them.
    stress::PumpUntil([&] { return feeder.delivered(0) >= 10 || GetState(id) == Error || GetState(id) == Closed; }, 3000);
    const int state = GetState(id);
    EXPECT_TRUE(state == Started || state == Error || state == Stopped || state == OpenPending || state == Ready ||
                state == Closed)
        << "state " << stress::StateName(state);
    EXPECT_NE(stress::BoundedCall([id] { Stop(id); }, kCallBoundMs), -1) << "Stop did not return";
  }
  feeder.Abort();
  EXPECT_NE(stress::BoundedCall([id] { Close(id); }, kCallBoundMs), -1) << "Close did not return";
  // An engine still busy after Stop has a thread stuck on the type; left alone it holds up the
  // platform's work queues, and every later player with them.
  EXPECT_EQ(orvo_test::ReadLog(logFrom).find("left to finish alone"), std::string::npos) << "an engine did not stop";
  orvo_hostkit::HostFeeder::Unregister(id);
  printf("[ fuzz     ] %-40s %s: Open %d, %s\n", type.name.c_str(), engine == Engine::Session ? "session" : "lowlatency",
         opened, feeder.delivered(0) ? "fed" : "never asked");
}

void PlayAll(const std::vector<TypeCase>& cases) {
  SetLog(true);
  orvo_test::TestWindow window(320, 180, L"fuzz");
  for (const TypeCase& type : cases) {
    for (Engine engine : {Engine::LowLatency, Engine::Session}) PlayCareless(type, engine, window.hwnd());
  }
}

}  // namespace

TEST(MediaTypeFuzz, FixedCasesGetClearAnswers) {
  EXPECT_EXIT(stress::RunIsolated("careless media types", 300000, [] { PlayAll(FixedCases()); }),
              ::testing::ExitedWithCode(0), "");
}

TEST(MediaTypeFuzz, SeededMixturesGetClearAnswers) {
  EXPECT_EXIT(stress::RunIsolated("seeded media types", 300000, [] { PlayAll(RandomCases(20261210, 10)); }),
              ::testing::ExitedWithCode(0), "");
}
