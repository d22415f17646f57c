#include <gtest/gtest.h>

#include <mfidl.h>
#include <mfreadwrite.h>
#include <wincrypt.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "AdtsReader.h"
#include "AnnexBReader.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "SourceTestSupport.h"
#include "MediaFiles.h"

using namespace source_test;
using orvo_hostkit::AnnexBReader;
using orvo_hostkit::HostFeeder;

using orvo_test::MediaPath;

namespace {

// The per-frame MD5s of ffmpeg's framemd5 output, in frame order.
std::vector<std::string> ReadFrameMd5(const std::wstring& path) {
  std::vector<std::string> hashes;
  FILE* file = _wfopen(path.c_str(), L"r");
  if (!file) return hashes;
  char line[512];
  while (fgets(line, sizeof(line), file)) {
    if (line[0] == '#') continue;
    std::string text(line);
    size_t comma = text.find_last_of(',');
    if (comma == std::string::npos) continue;
    std::string hash = text.substr(comma + 1);
    hash.erase(0, hash.find_first_not_of(' '));
    hash.erase(hash.find_last_not_of(" \r\n") + 1);
    hashes.push_back(hash);
  }
  fclose(file);
  return hashes;
}

std::string Md5(const std::vector<BYTE>& bytes) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string hex;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return hex;
  if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    BYTE digest[16];
    DWORD length = sizeof(digest);
    if (CryptHashData(hash, bytes.data(), static_cast<DWORD>(bytes.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
      char text[3];
      for (DWORD i = 0; i < length; ++i) {
        snprintf(text, sizeof(text), "%02x", digest[i]);
        hex += text;
      }
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  return hex;
}

// The visible 640x360 NV12 picture out of a decoded buffer whose planes may be taller (the decoder
// codes whole 16-line macroblocks: 368 lines). The layout comes from the buffer, not the type.
bool CropNv12(const BYTE* data, DWORD length, UINT32 width, UINT32 height, std::vector<BYTE>* picture) {
  UINT32 codedHeight = length * 2 / 3 / width;
  if (codedHeight < height || static_cast<DWORD>(width) * codedHeight * 3 / 2 > length) return false;
  picture->clear();
  picture->insert(picture->end(), data, data + width * height);
  const BYTE* chroma = data + width * codedHeight;
  picture->insert(picture->end(), chroma, chroma + width * height / 2);
  return true;
}

class SourceReaderDecode : public ::testing::TestWithParam<const char*> {};

}  // namespace

// The path of the low-latency engine: one OrvoSource per host stream, opened with the fixed URI,
// read through a source reader that inserts the platform decoder.
TEST(SourceReaderDecodeTest, HostFedH264DecodesToTheReferenceFramesInOrder) {
  std::vector<std::string> reference = ReadFrameMd5(MediaPath("clip-640x360-30fps.h264.framemd5"));
  ASSERT_GT(reference.size(), 30u) << "run scripts/make-test-media.sh";
  std::unique_ptr<AnnexBReader> clip(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
  ASSERT_TRUE(clip->Open(MediaPath("clip-640x360-30fps.h264")));
  ASSERT_EQ(clip->Count(), reference.size()) << "one access unit per picture";
  EXPECT_TRUE(clip->At(0).keyFrame);
  EXPECT_TRUE(clip->At(30).keyFrame);
  EXPECT_FALSE(clip->At(1).keyFrame);

  const int playerId = 4242;
  HostFeeder feeder;
  feeder.AddStream(0, std::move(clip));
  HostFeeder::Register(playerId, &feeder);

  ComPtr<IMFMediaType> type;
  ASSERT_EQ(MFCreateMediaType(&type), S_OK);
  ASSERT_EQ(orvo_hostkit::DescribeH264(type.Get(), 640, 360, 30, 1), S_OK);
  OrvoSource* source = nullptr;
  ASSERT_EQ(OrvoSource::CreateInstance(&source), S_OK);
  source->m_lowLatency = 1;
  ASSERT_EQ(source->Open(playerId, L"orvo://low_latency_renderer", {Descriptor(0, type.Get())},
                         &HostFeeder::Callback),
            S_OK);

  ComPtr<IMFAttributes> attributes;
  MFCreateAttributes(&attributes, 1);
  attributes->SetUINT32(MF_LOW_LATENCY, TRUE);
  ComPtr<IMFSourceReader> reader;
  ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source, attributes.Get(), &reader), S_OK);
  ComPtr<IMFMediaType> nv12;
  MFCreateMediaType(&nv12);
  nv12->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  nv12->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  ASSERT_EQ(reader->SetCurrentMediaType(0, nullptr, nv12.Get()), S_OK);

  size_t frames = 0;
  size_t matched = 0;
  bool ended = false;
  for (int reads = 0; reads < 400 && !ended; ++reads) {
    DWORD flags = 0;
    LONGLONG time = 0;
    ComPtr<IMFSample> sample;
    HRESULT hr = reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags, &time, &sample);
    ASSERT_EQ(hr, S_OK) << "read " << reads;
    if (flags & MF_SOURCE_READERF_ENDOFSTREAM) ended = true;
    if (!sample) continue;
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(sample->ConvertToContiguousBuffer(&buffer), S_OK);
    BYTE* data = nullptr;
    DWORD length = 0;
    ASSERT_EQ(buffer->Lock(&data, nullptr, &length), S_OK);
    std::vector<BYTE> picture;
    bool cropped = CropNv12(data, length, 640, 360, &picture);
    buffer->Unlock();
    ASSERT_TRUE(cropped) << "frame " << frames << ": buffer of " << length << " bytes";
    ASSERT_LT(frames, reference.size());
    // Wine 8 keeps the input's times; Wine 10 stamps its output by adding up the 333333 frame
    // durations (999999 for 0.1 s), which loses up to 100 ns a frame.
    EXPECT_NEAR(time, static_cast<LONGLONG>(frames) * 10000000 / 30, frames + 1) << "frame " << frames;
    if (Md5(picture) == reference[frames]) ++matched;
    else ADD_FAILURE() << "frame " << frames << " differs from the reference decode";
    ++frames;
  }
  EXPECT_TRUE(ended);
  // The platform decoder may keep its last picture at the end of a stream without an
  // end-of-sequence unit: every frame but that one must come out, bit-exact.
  EXPECT_GE(frames, reference.size() - 1);
  EXPECT_EQ(matched, frames);
  printf("decoded %u of %u frames, %u bit-exact\n", static_cast<unsigned>(frames),
         static_cast<unsigned>(reference.size()), static_cast<unsigned>(matched));

  reader.Reset();
  source->Shutdown();
  source->Release();
  HostFeeder::Unregister(playerId);
}

namespace {

// One host stream behind its own low-latency OrvoSource, read through a source reader.
struct HostFedReader {
  HostFeeder feeder;
  OrvoSource* source = nullptr;
  ComPtr<IMFSourceReader> reader;
  int playerId;

  HostFedReader(int id, std::unique_ptr<orvo_hostkit::AccessUnitReader> units, IMFMediaType* type) : playerId(id) {
    feeder.AddStream(0, std::move(units));
    HostFeeder::Register(playerId, &feeder);
    EXPECT_EQ(OrvoSource::CreateInstance(&source), S_OK);
    source->m_lowLatency = 1;
    EXPECT_EQ(source->Open(playerId, L"orvo://low_latency_renderer", {Descriptor(0, type)}, &HostFeeder::Callback),
              S_OK);
  }
  HRESULT createReader() { return MFCreateSourceReaderFromMediaSource(source, nullptr, &reader); }
  ~HostFedReader() {
    reader.Reset();
    source->Shutdown();
    source->Release();
    HostFeeder::Unregister(playerId);
  }
};

}  // namespace

TEST(SourceReaderDecodeTest, HostFedAacDecodesToTheTone) {
  std::unique_ptr<orvo_hostkit::AdtsReader> adts(new orvo_hostkit::AdtsReader);
  ASSERT_TRUE(adts->Open(MediaPath("tone-440hz-48k-stereo.aac")));
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  ASSERT_EQ(orvo_hostkit::DescribeAac(type.Get(), adts->format()), S_OK);
  const size_t frames = adts->Count();
  HostFedReader fed(4343, std::move(adts), type.Get());
  ASSERT_EQ(fed.createReader(), S_OK);
  ComPtr<IMFMediaType> pcm;
  MFCreateMediaType(&pcm);
  pcm->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  pcm->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_Float);
  ASSERT_EQ(fed.reader->SetCurrentMediaType(0, nullptr, pcm.Get()), S_OK);
  ComPtr<IMFMediaType> actual;
  ASSERT_EQ(fed.reader->GetCurrentMediaType(0, &actual), S_OK);
  UINT32 channels = MFGetAttributeUINT32(actual.Get(), MF_MT_AUDIO_NUM_CHANNELS, 0);
  ASSERT_EQ(channels, 2u);

  std::vector<float> left;
  bool ended = false;
  for (int reads = 0; reads < 1000 && !ended; ++reads) {
    DWORD flags = 0;
    LONGLONG time = 0;
    ComPtr<IMFSample> sample;
    const HRESULT hr = fed.reader->ReadSample(0, 0, nullptr, &flags, &time, &sample);
    // The source answers the host's end at once; Wine 8's reader, asking again before it has
    // seen the end-of-stream event, passes the stream's MF_E_END_OF_STREAM on instead of the flag.
    if (hr == MF_E_END_OF_STREAM) ended = true;
    ASSERT_TRUE(hr == S_OK || hr == MF_E_END_OF_STREAM) << std::hex << hr;
    if (flags & MF_SOURCE_READERF_ENDOFSTREAM) ended = true;
    if (!sample) continue;
    ComPtr<IMFMediaBuffer> buffer;
    sample->ConvertToContiguousBuffer(&buffer);
    BYTE* data = nullptr;
    DWORD length = 0;
    buffer->Lock(&data, nullptr, &length);
    const float* values = reinterpret_cast<const float*>(data);
    for (DWORD i = 0; i + 1 < length / sizeof(float); i += 2) left.push_back(values[i]);
    buffer->Unlock();
  }
  EXPECT_TRUE(ended);
  // Nearly every frame decodes (the decoder may hold back its first or last one).
  EXPECT_GE(left.size(), (frames - 2) * 1024);
  // The tone: count rising zero crossings over the middle second.
  ASSERT_GT(left.size(), 96000u);
  int crossings = 0;
  float peak = 0;
  for (size_t i = 48000; i < 96000; ++i) {
    if (left[i - 1] < 0 && left[i] >= 0) ++crossings;
    peak = std::max(peak, std::fabs(left[i]));
  }
  EXPECT_NEAR(crossings, 440, 3);
  EXPECT_GT(peak, 0.05f);
}

TEST(SourceReaderDecodeTest, HostFedHevcDecodesWhereThePlatformHasADecoder) {
  std::vector<std::string> reference = ReadFrameMd5(MediaPath("clip-640x360-30fps.hevc.framemd5"));
  std::unique_ptr<AnnexBReader> clip(new AnnexBReader(AnnexBReader::Codec::HEVC, 30, 1));
  if (!clip->Open(MediaPath("clip-640x360-30fps.hevc")) || reference.empty()) {
    GTEST_SKIP() << "no HEVC test clip (ffmpeg without libx265)";
  }
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  ASSERT_EQ(orvo_hostkit::DescribeHevc(type.Get(), 640, 360, 30, 1), S_OK);
  HostFedReader fed(4444, std::move(clip), type.Get());
  ASSERT_EQ(fed.createReader(), S_OK);
  ComPtr<IMFMediaType> nv12;
  MFCreateMediaType(&nv12);
  nv12->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  nv12->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  HRESULT hr = fed.reader->SetCurrentMediaType(0, nullptr, nv12.Get());
  if (hr == MF_E_TOPO_CODEC_NOT_FOUND || hr == MF_E_INVALIDMEDIATYPE) {
    GTEST_SKIP() << "the platform has no HEVC decoder (0x" << std::hex << hr << ")";
  }
  ASSERT_EQ(hr, S_OK);
  size_t frames = 0, matched = 0;
  bool ended = false;
  for (int reads = 0; reads < 400 && !ended; ++reads) {
    DWORD flags = 0;
    LONGLONG time = 0;
    ComPtr<IMFSample> sample;
    ASSERT_EQ(fed.reader->ReadSample(0, 0, nullptr, &flags, &time, &sample), S_OK);
    if (flags & MF_SOURCE_READERF_ENDOFSTREAM) ended = true;
    if (!sample) continue;
    ComPtr<IMFMediaBuffer> buffer;
    sample->ConvertToContiguousBuffer(&buffer);
    BYTE* data = nullptr;
    DWORD length = 0;
    buffer->Lock(&data, nullptr, &length);
    std::vector<BYTE> picture;
    bool cropped = CropNv12(data, length, 640, 360, &picture);
    buffer->Unlock();
    ASSERT_TRUE(cropped);
    if (frames < reference.size() && Md5(picture) == reference[frames]) ++matched;
    ++frames;
  }
  EXPECT_GE(frames, reference.size() - 1);
  EXPECT_EQ(matched, frames);
}
