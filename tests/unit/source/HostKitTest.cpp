#include <gtest/gtest.h>

#include <mfapi.h>

#include "AdtsReader.h"
#include "AnnexBReader.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "SourceTestSupport.h"
#include "WavReader.h"
#include "MediaFiles.h"

using namespace orvo_hostkit;
using source_test::ComPtr;

using orvo_test::MediaPath;

namespace {

// Appends one NAL unit with a four-byte start code.
void Nal(std::vector<uint8_t>* out, std::initializer_list<uint8_t> bytes) {
  out->insert(out->end(), {0, 0, 0, 1});
  out->insert(out->end(), bytes);
}

ComPtr<IMFSample> SampleWithBuffer(DWORD capacity) {
  ComPtr<IMFSample> sample;
  ComPtr<IMFMediaBuffer> buffer;
  MFCreateSample(&sample);
  MFCreateMemoryBuffer(capacity, &buffer);
  sample->AddBuffer(buffer.Get());
  return sample;
}

}  // namespace

TEST(AnnexBReader, GroupsH264NalUnitsIntoPictures) {
  std::vector<uint8_t> stream;
  Nal(&stream, {0x09, 0xF0});              // AUD
  Nal(&stream, {0x67, 0x42, 0x00});        // SPS
  Nal(&stream, {0x68, 0xCE});              // PPS
  Nal(&stream, {0x65, 0x88, 0x84});        // IDR slice, first_mb_in_slice 0
  Nal(&stream, {0x65, 0x40, 0x11});        // second slice of the same picture (first_mb != 0)
  Nal(&stream, {0x41, 0x9A, 0x01});        // next picture, no delimiter
  stream.insert(stream.end(), {0, 0, 1, 0x41, 0x9B, 0x02});  // three-byte start code
  AnnexBReader reader(AnnexBReader::Codec::H264, 25, 1);
  ASSERT_TRUE(reader.Parse(stream));
  ASSERT_EQ(reader.Count(), 3u);
  EXPECT_TRUE(reader.At(0).keyFrame);
  EXPECT_FALSE(reader.At(1).keyFrame);
  EXPECT_EQ(reader.At(0).data.size(), 6u + 7u + 6u + 7u + 7u);
  EXPECT_EQ(reader.At(2).data.size(), 6u);
  EXPECT_EQ(reader.At(1).time, 400000);
  EXPECT_EQ(reader.At(2).time, 800000);
  EXPECT_EQ(reader.Duration(), 1200000);
  // Start codes stay with each unit: the decoder takes Annex-B.
  EXPECT_EQ(reader.At(1).data[3], 1);
  EXPECT_EQ(reader.At(1).data[4], 0x41);
}

TEST(AnnexBReader, GroupsHevcNalUnitsByFirstSliceFlag) {
  std::vector<uint8_t> stream;
  Nal(&stream, {0x40, 0x01, 0x0C});  // VPS (32)
  Nal(&stream, {0x42, 0x01, 0x01});  // SPS (33)
  Nal(&stream, {0x44, 0x01, 0xC0});  // PPS (34)
  Nal(&stream, {0x26, 0x01, 0xAF});  // IDR_W_RADL (19), first slice
  Nal(&stream, {0x02, 0x01, 0xD0});  // TRAIL_R (1), first slice of the next picture
  Nal(&stream, {0x02, 0x01, 0x10});  // another slice of that picture
  AnnexBReader reader(AnnexBReader::Codec::HEVC, 30000, 1001);
  ASSERT_TRUE(reader.Parse(stream));
  ASSERT_EQ(reader.Count(), 2u);
  EXPECT_TRUE(reader.At(0).keyFrame);
  EXPECT_FALSE(reader.At(1).keyFrame);
  EXPECT_EQ(reader.At(1).data.size(), 14u);
  EXPECT_EQ(reader.At(1).time, 333666);
}

TEST(AnnexBReader, RejectsInputWithoutPictures) {
  AnnexBReader reader(AnnexBReader::Codec::H264, 30, 1);
  EXPECT_FALSE(reader.Parse({}));
  EXPECT_FALSE(reader.Parse({1, 2, 3, 4, 5}));
  std::vector<uint8_t> onlyHeaders;
  Nal(&onlyHeaders, {0x67, 0x42});
  EXPECT_FALSE(reader.Parse(onlyHeaders));
  EXPECT_FALSE(reader.Open(L"Z:/nonexistent/clip.h264"));
}

TEST(AnnexBReader, ReadsTheTestClipWithAKeyFrameEverySecond) {
  AnnexBReader reader(AnnexBReader::Codec::H264, 30, 1);
  ASSERT_TRUE(reader.Open(MediaPath("clip-640x360-30fps.h264")));
  EXPECT_EQ(reader.Count(), 90u);
  for (size_t i = 0; i < reader.Count(); ++i) EXPECT_EQ(reader.At(i).keyFrame, i % 30 == 0) << i;
  AnnexBReader hevc(AnnexBReader::Codec::HEVC, 30, 1);
  ASSERT_TRUE(hevc.Open(MediaPath("clip-640x360-30fps.hevc")));
  EXPECT_EQ(hevc.Count(), 90u);
  EXPECT_TRUE(hevc.At(30).keyFrame);
}

TEST(AdtsReader, ReadsFramesAndRebuildsTheDecoderConfiguration) {
  AdtsReader reader;
  ASSERT_TRUE(reader.Open(MediaPath("tone-440hz-48k-stereo.aac")));
  EXPECT_EQ(reader.format().sampleRate, 48000u);
  EXPECT_EQ(reader.format().channels, 2u);
  EXPECT_EQ(reader.format().objectType, 2u);
  // AAC LC (2), 48 kHz (index 3), 2 channels: 00010 0011 0010 000.
  EXPECT_EQ(reader.format().audioSpecificConfig, (std::vector<uint8_t>{0x11, 0x90}));
  // 3 s at 1024 samples a frame, give or take the encoder's priming and padding frames.
  EXPECT_GE(reader.Count(), 140u);
  EXPECT_LE(reader.Count(), 145u);
  EXPECT_EQ(reader.At(1).time, 213333);
  EXPECT_GT(reader.format().averageBytesPerSecond, 4000u);
  EXPECT_LT(reader.format().averageBytesPerSecond, 40000u);
  // The ADTS header is gone: no frame starts with a syncword.
  for (size_t i = 0; i < reader.Count(); ++i) {
    const auto& data = reader.At(i).data;
    ASSERT_FALSE(data.size() >= 2 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0) << i;
  }
}

TEST(AdtsReader, SkipsGarbageBetweenFrames) {
  // Two frames of 10 bytes (7-byte header, protection absent) with junk before and between.
  std::vector<uint8_t> frame = {0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x40, 0x00, 0xA1, 0xA2, 0xA3};
  std::vector<uint8_t> bytes = {0x00, 0x12};
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  bytes.push_back(0x77);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  AdtsReader reader;
  ASSERT_TRUE(reader.Parse(bytes));
  ASSERT_EQ(reader.Count(), 2u);
  EXPECT_EQ(reader.At(0).data, (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
}

TEST(WavReader, ReadsPcmFormatAndTwentyMillisecondBlocks) {
  WavReader mono;
  ASSERT_TRUE(mono.Open(MediaPath("tone-440hz-44k1-mono.wav")));
  EXPECT_EQ(mono.format().sampleRate, 44100u);
  EXPECT_EQ(mono.format().channels, 1u);
  EXPECT_EQ(mono.format().bitsPerSample, 16u);
  EXPECT_EQ(mono.format().blockAlign, 2u);
  EXPECT_EQ(mono.format().averageBytesPerSecond, 88200u);
  EXPECT_EQ(mono.At(0).data.size(), 882u * 2);
  EXPECT_EQ(mono.At(1).time, 200000);
  EXPECT_EQ(mono.Duration(), 20000000);

  WavReader stereo;
  ASSERT_TRUE(stereo.Open(MediaPath("tone-440hz-48k-stereo.wav")));
  EXPECT_EQ(stereo.format().channels, 2u);
  EXPECT_EQ(stereo.format().averageBytesPerSecond, 192000u);
  EXPECT_EQ(stereo.Count(), 100u);
  EXPECT_FALSE(stereo.Parse({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}));
}

TEST(HostMediaTypes, DescribeWhatTheLibraryAndDecodersRead) {
  ComPtr<IMFMediaType> video;
  MFCreateMediaType(&video);
  ASSERT_EQ(DescribeH264(video.Get(), 640, 360, 30, 1), S_OK);
  UINT32 width = 0, height = 0, num = 0, den = 0;
  MFGetAttributeSize(video.Get(), MF_MT_FRAME_SIZE, &width, &height);
  MFGetAttributeRatio(video.Get(), MF_MT_FRAME_RATE, &num, &den);
  EXPECT_EQ(width, 640u);
  EXPECT_EQ(height, 360u);
  EXPECT_EQ(num, 30u);
  EXPECT_EQ(den, 1u);

  AdtsReader adts;
  ASSERT_TRUE(adts.Open(MediaPath("tone-440hz-48k-stereo.aac")));
  ComPtr<IMFMediaType> aac;
  MFCreateMediaType(&aac);
  ASSERT_EQ(DescribeAac(aac.Get(), adts.format()), S_OK);
  UINT8 blob[32];
  UINT32 size = 0;
  ASSERT_EQ(aac->GetBlob(MF_MT_USER_DATA, blob, sizeof(blob), &size), S_OK);
  ASSERT_EQ(size, 14u);
  EXPECT_EQ(blob[12], 0x11);
  EXPECT_EQ(blob[13], 0x90);
  EXPECT_EQ(MFGetAttributeUINT32(aac.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0), adts.format().averageBytesPerSecond);
  EXPECT_EQ(DescribeAac(nullptr, adts.format()), E_POINTER);
}

TEST(HostFeeder, AsksForABiggerBufferThenServesTheSameUnit) {
  std::vector<uint8_t> stream;
  Nal(&stream, {0x65, 0x88});
  stream.resize(stream.size() + 3000, 0x55);  // a 3 KB picture
  Nal(&stream, {0x41, 0x9A, 0x01});
  std::unique_ptr<AnnexBReader> reader(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
  ASSERT_TRUE(reader->Parse(stream));
  HostFeeder feeder;
  feeder.AddStream(3, std::move(reader));

  ComPtr<IMFSample> small = SampleWithBuffer(1024);
  EXPECT_EQ(feeder.Fill(3, small.Get()), ORVO_REQUEST_BUFFER_TOO_SMALL);
  const GUID key = ORVO_NEEDED_SIZE_KEY_INIT;
  EXPECT_EQ(MFGetAttributeUINT32(small.Get(), key, 0), 3006u);
  ComPtr<IMFSample> big = SampleWithBuffer(4096);
  ASSERT_EQ(feeder.Fill(3, big.Get()), ORVO_REQUEST_OK);
  DWORD length = 0;
  big->GetTotalLength(&length);
  EXPECT_EQ(length, 3006u);
  LONGLONG time = -1;
  EXPECT_EQ(big->GetSampleTime(&time), S_OK);
  EXPECT_EQ(time, 0);
  EXPECT_EQ(MFGetAttributeUINT32(big.Get(), MFSampleExtension_CleanPoint, 0), 1u);
  ComPtr<IMFSample> next = SampleWithBuffer(4096);
  ASSERT_EQ(feeder.Fill(3, next.Get()), ORVO_REQUEST_OK);
  next->GetSampleTime(&time);
  EXPECT_EQ(time, 333333);
  // The end of the reader ends the stream; an unknown stream too.
  ComPtr<IMFSample> after = SampleWithBuffer(4096);
  EXPECT_EQ(feeder.Fill(3, after.Get()), 1);
  EXPECT_EQ(feeder.Fill(9, after.Get()), 1);
  EXPECT_EQ(feeder.delivered(3), 2u);
  EXPECT_EQ(feeder.tooSmallAnswers(), 1u);
}

TEST(HostFeeder, LoopingKeepsTimesRising) {
  std::vector<uint8_t> stream;
  Nal(&stream, {0x65, 0x88});
  Nal(&stream, {0x41, 0x9A});
  std::unique_ptr<AnnexBReader> reader(new AnnexBReader(AnnexBReader::Codec::H264, 10, 1));
  ASSERT_TRUE(reader->Parse(stream));
  HostFeeder::Options options;
  options.loop = true;
  HostFeeder feeder(options);
  feeder.AddStream(0, std::move(reader));
  const LONGLONG expected[] = {0, 1000000, 2000000, 3000000, 4000000};
  for (LONGLONG want : expected) {
    ComPtr<IMFSample> sample = SampleWithBuffer(64);
    ASSERT_EQ(feeder.Fill(0, sample.Get()), 0);
    LONGLONG time = -1;
    sample->GetSampleTime(&time);
    EXPECT_EQ(time, want);
  }
}

TEST(HostFeeder, RealTimePacingWaitsForTheUnitsTimeAndAbortEndsTheWait) {
  std::vector<uint8_t> stream;
  for (int i = 0; i < 4; ++i) Nal(&stream, {0x65, 0x88});
  std::unique_ptr<AnnexBReader> reader(new AnnexBReader(AnnexBReader::Codec::H264, 10, 1));  // 100 ms apart
  ASSERT_TRUE(reader->Parse(stream));
  HostFeeder::Options options;
  options.realTime = true;
  HostFeeder feeder(options);
  feeder.AddStream(0, std::move(reader));
  DWORD start = GetTickCount();
  for (int i = 0; i < 3; ++i) {
    ComPtr<IMFSample> sample = SampleWithBuffer(64);
    ASSERT_EQ(feeder.Fill(0, sample.Get()), 0);
  }
  EXPECT_GE(GetTickCount() - start, 180u);  // the third unit is due 200 ms after the first
  feeder.Abort();
  ComPtr<IMFSample> sample = SampleWithBuffer(64);
  EXPECT_EQ(feeder.Fill(0, sample.Get()), 1);
}

TEST(HostFeeder, AFastClockHandsUnitsOverEarlyAndASlowOneLate) {
  // 1,000 s of samples: a clock 1,000 ppm fast has handed them over 0.999 s early, one as slow 1.001 s late.
  EXPECT_EQ(HostFeeder::WallTime(10000000000LL, 0), 10000000000LL);
  EXPECT_EQ(HostFeeder::WallTime(10000000000LL, 1000), 9990009990LL);
  EXPECT_EQ(HostFeeder::WallTime(10000000000LL, -1000), 10010010010LL);
}
