// A live PCM feed whose source switches from 48 kHz stereo to 44.1 kHz mono mid-stream while the
// host's media type still says 48 kHz stereo: raw PCM carries nothing that tells of the change,
// so the library can only go on as the type and the times say. A 20 ms block of the new sound is
// 9.2 ms at the stated format: every block is still written when its time comes (the gaps of
// 10.8 ms the times leave are short of what the engine fills, so the endpoint runs dry between
// blocks and the viewer hears the new sound choppy and too high), and the stream plays on without
// an error, a stall or a hang.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

#include "HostMediaTypes.h"
#include "MediaFiles.h"
#include "StressKit.h"
#include "WavReader.h"

using orvo_hostkit::AccessUnit;
using orvo_hostkit::WavReader;

namespace {

constexpr uint64_t kChangeFrom = 75;  // 1.5 s of the stated format first
constexpr int64_t kBlock = 200000;   // 20 ms

// Paced 20 ms blocks on the wall clock, from the 48 kHz stereo tone and then the 44.1 kHz mono
// one, looped, timed on one timeline of 20 ms steps.
class SwitchingReader : public orvo_hostkit::AccessUnitReader {
 public:
  SwitchingReader() {
    m_before.Open(orvo_test::MediaPath(L"tone-440hz-48k-stereo.wav"));
    m_after.Open(orvo_test::MediaPath(L"tone-440hz-44k1-mono.wav"));
  }
  const WavReader::Format& statedFormat() const { return m_before.format(); }

  bool Next(AccessUnit* unit) override {
    if (m_count == 0) m_start = GetTickCount64();
    const ULONGLONG due = m_start + m_count * 20;
    const ULONGLONG now = GetTickCount64();
    if (due > now) Sleep(static_cast<DWORD>(due - now));
    WavReader& source = m_count >= kChangeFrom ? m_after : m_before;
    if (!source.Next(unit)) {
      source.Rewind();
      source.Next(unit);
    }
    unit->time = static_cast<int64_t>(m_count) * kBlock;
    unit->duration = kBlock;
    ++m_count;
    return true;
  }
  void Rewind() override {}
  int64_t Duration() const override { return 0; }
  size_t Count() const override { return 1; }

 private:
  WavReader m_before;
  WavReader m_after;
  uint64_t m_count = 0;
  ULONGLONG m_start = 0;
};

OrvoStreamStatistics Statistics(int id) {
  OrvoStreamStatistics statistics = {};
  statistics.size = sizeof(statistics);
  GetStatistics(id, 0, &statistics);
  return statistics;
}

void PlayThroughRateChange() {
  orvo_hostkit::HostFeeder feeder;  // paced by the reader, which never ends
  std::unique_ptr<SwitchingReader> reader(new SwitchingReader());
  int id = 0;
  ASSERT_EQ(Create(&id), Ok);
  SetCallback(id, &orvo_hostkit::HostFeeder::Callback);
  IMFMediaType* type = nullptr;
  ASSERT_EQ(CreateMediaType(id, &type), Ok);
  orvo_hostkit::DescribePcm(type, reader->statedFormat());
  AddMediaType(id, type);
  type->Release();
  feeder.AddStream(0, std::move(reader));
  orvo_hostkit::HostFeeder::Register(id, &feeder);
  ASSERT_EQ(Open(id, L"orvo://low_latency_renderer"), Ok);
  ASSERT_EQ(Play(id), Ok);

  EXPECT_TRUE(stress::PumpUntil([&] { return feeder.delivered(0) >= kChangeFrom; }, 20000));
  const OrvoStreamStatistics before = Statistics(id);
  EXPECT_TRUE(stress::PumpUntil([&] { return feeder.delivered(0) >= kChangeFrom + 75; }, 20000));
  const OrvoStreamStatistics after = Statistics(id);
  const double inserted = after.audioInsertedMs - before.audioInsertedMs;
  printf("[ figures  ] 1.5 s after the change: %llu samples presented, %.0f ms of silence put in, state %s\n",
         after.presented - before.presented, inserted, stress::StateName(GetState(id)));
  EXPECT_EQ(GetState(id), Started);
  EXPECT_GT(after.presented - before.presented, 50u) << "the sound stopped after the change";
  EXPECT_EQ(after.droppedDecodeFailure, before.droppedDecodeFailure);

  feeder.Abort();
  EXPECT_NE(stress::BoundedCall([id] { Stop(id); }, 6000), -1) << "Stop did not return";
  EXPECT_NE(stress::BoundedCall([id] { Close(id); }, 6000), -1) << "Close did not return";
  orvo_hostkit::HostFeeder::Unregister(id);
}

}  // namespace

TEST(AudioFeed, SampleRateChangesMidStream) {
  EXPECT_EXIT(stress::RunIsolated("audio rate change", 90000, [] { PlayThroughRateChange(); }),
              ::testing::ExitedWithCode(0), "");
}
