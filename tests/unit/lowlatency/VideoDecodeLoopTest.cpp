#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <cstring>
#include <deque>
#include <set>

#include "AnnexBReader.h"
#include "HostMediaTypes.h"
#include "MediaFiles.h"
#include "lowlatency/RandomAccessUnit.h"
#include "lowlatency/VideoDecodeLoop.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::VideoDecodeLoop;
using orvo_hostkit::AnnexBReader;

namespace {

ComPtr<IMFSample> CompressedSample(const orvo_hostkit::AccessUnit& unit) {
  ComPtr<IMFSample> sample;
  ComPtr<IMFMediaBuffer> buffer;
  BYTE* data = nullptr;
  if (FAILED(MFCreateSample(&sample)) || FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(unit.data.size()), &buffer)) ||
      FAILED(buffer->Lock(&data, nullptr, nullptr))) {
    return nullptr;
  }
  memcpy(data, unit.data.data(), unit.data.size());
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(unit.data.size()));
  sample->AddBuffer(buffer.Get());
  sample->SetSampleTime(unit.time);
  sample->SetSampleDuration(unit.duration);
  return sample;
}

// A whole clip through the loop while the frames are held the way the engine holds them (a short
// queue and the one on screen): every frame comes out, in order, and they all land in the pool's
// few buffers instead of one new buffer a frame; then again behind a queue that backs up.
TEST(VideoDecodeLoopTest, ClipDecodesIntoReusedFramesThenANewSizeComesFlagged) {
  ASSERT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET));
  {
    AnnexBReader reader(AnnexBReader::Codec::H264, 30, 1);
    ASSERT_TRUE(reader.Open(orvo_test::MediaPath(L"clip-640x360-30fps.h264")));
    ComPtr<IMFMediaType> input;
    ASSERT_EQ(S_OK, MFCreateMediaType(&input));
    ASSERT_EQ(S_OK, orvo_hostkit::DescribeH264(input.Get(), 640, 360, 30, 1));

    VideoDecodeLoop loop(0);
    ASSERT_EQ(S_OK, loop.open(input.Get(), {MFVideoFormat_RGB32, MFVideoFormat_NV12}, nullptr));
    EXPECT_EQ(MFVideoFormat_NV12, loop.currentSubtype());  // the first subtype the decoder offers

    std::deque<ComPtr<IMFSample>> held;  // three queued, one presented
    std::set<IMFMediaBuffer*> buffers;
    size_t frames = 0;
    LONGLONG lastTime = -1;
    const VideoDecodeLoop::FrameSink sink = [&](IMFSample* frame, bool) {
      ++frames;
      LONGLONG time = 0;
      EXPECT_EQ(S_OK, frame->GetSampleTime(&time));
      EXPECT_GT(time, lastTime);
      lastTime = time;
      ComPtr<IMFMediaBuffer> buffer;
      ASSERT_EQ(S_OK, frame->GetBufferByIndex(0, &buffer));
      DWORD length = 0;
      buffer->GetCurrentLength(&length);
      EXPECT_GE(length, 640u * 360u * 3u / 2u);
      buffers.insert(buffer.Get());
      held.push_back(frame);
      if (held.size() > 4) held.pop_front();
    };
    orvo_hostkit::AccessUnit unit;
    while (reader.Next(&unit)) ASSERT_EQ(S_OK, loop.decode(CompressedSample(unit).Get(), sink));
    ASSERT_EQ(S_OK, loop.drain(sink));

    // Wine 8's decoder ignores the drain and keeps the last picture; any other frame missing fails.
    EXPECT_GE(frames + 1, reader.Count());
    // Five frames in flight at most (four held, one being decoded into), and one buffer of the size
    // the decoder announced before it met the coded size (360 lines coded as 368).
    EXPECT_LE(loop.pool().allocations(), 6u);
    EXPECT_LE(buffers.size(), loop.pool().allocations());

    // Presentation falls behind (several players on a software rasteriser): the queue grows to a
    // second of frames before the once-a-second trim leaves the newest. The frames it held are made
    // once and then reused, not made anew for every frame decoded while it is long.
    reader.Rewind();
    held.clear();
    const VideoDecodeLoop::FrameSink backedUp = [&](IMFSample* frame, bool) {
      held.push_back(frame);
      if (held.size() >= 30) held.erase(held.begin(), held.end() - 1);
    };
    while (reader.Next(&unit)) ASSERT_EQ(S_OK, loop.decode(CompressedSample(unit).Get(), backedUp));
    EXPECT_GE(reader.Count(), 80u);
    EXPECT_LE(loop.pool().allocations(), 36u);

    // Then the host switches to a smaller picture. Wine's decoder fails on it for good; a renewed
    // one shows it from the next key frame, the new size flagged with its first frame.
    AnnexBReader other(AnnexBReader::Codec::H264, 30, 1);
    ASSERT_TRUE(other.Open(orvo_test::MediaPath(L"bars-320x240-30fps.h264")));
    UINT32 width = 0, height = 0;
    const VideoDecodeLoop::FrameSink sizes = [&](IMFSample*, bool typeChanged) {
      if (typeChanged) MFGetAttributeSize(loop.currentType().Get(), MF_MT_FRAME_SIZE, &width, &height);
    };
    for (size_t i = 0; i < 2 * other.Count(); ++i) {
      if (!other.Next(&unit)) {
        other.Rewind();
        ASSERT_TRUE(other.Next(&unit));
      }
      if (FAILED(loop.decode(CompressedSample(unit).Get(), sizes))) {
        ASSERT_EQ(S_OK, loop.renew());
      }
    }
    EXPECT_EQ(320u, width);
    EXPECT_EQ(240u, height);
  }
  MFShutdown();
}

}  // namespace

// The decoder's restart point is found in the bytes: the test clips were encoded with a key frame
// every 30 pictures and nowhere else, in both codecs; a slice that is no key frame, a start code
// cut short and no data at all are none.
TEST(VideoDecodeLoopTest, KeyFramesAreFoundInTheBytesOfBothCodecs) {
  for (const bool hevc : {false, true}) {
    AnnexBReader reader(hevc ? AnnexBReader::Codec::HEVC : AnnexBReader::Codec::H264, 30, 1);
    ASSERT_TRUE(reader.Open(orvo_test::MediaPath(hevc ? "clip-640x360-30fps.hevc" : "clip-640x360-30fps.h264")));
    ASSERT_EQ(reader.Count(), 90u);
    for (size_t i = 0; i < reader.Count(); ++i) {
      const std::vector<uint8_t>& data = reader.At(i).data;
      EXPECT_EQ(ORVO::Media::IsRandomAccessUnit(data.data(), data.size(), hevc), i % 30 == 0) << "picture " << i;
    }
  }
  const uint8_t slice[] = {0, 0, 0, 1, 0x41, 0x9a};
  const uint8_t cut[] = {0, 0, 1};
  EXPECT_FALSE(ORVO::Media::IsRandomAccessUnit(slice, sizeof(slice), false));
  EXPECT_FALSE(ORVO::Media::IsRandomAccessUnit(cut, sizeof(cut), false));
  EXPECT_FALSE(ORVO::Media::IsRandomAccessUnit(nullptr, 16, false));
}
