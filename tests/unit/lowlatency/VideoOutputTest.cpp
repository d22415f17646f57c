#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include "../render/RenderTestFrames.h"
#include "Platform.h"
#include "Screenshot.h"
#include "TestWindow.h"
#include "common/Clock.h"
#include "CurrentTypeReader.h"
#include "lowlatency/VideoOutput.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::VideoOutput;
using orvo_test::Rgb;

namespace {

ComPtr<IMFMediaType> VideoType(const GUID& subtype, UINT32 width, UINT32 height) {
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(width, height);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  return type;
}

class VideoOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET)); }
  void TearDown() override { MFShutdown(); }

  // An output set up as the stream pipeline does, for a 640x360 H.264 stream decoded as `decoded`.
  void start(VideoOutput& output, const GUID& decoded, UINT32 width, UINT32 height) {
    ComPtr<IMFMediaType> input = VideoType(MFVideoFormat_H264, width, height), decodedType;
    ASSERT_EQ(S_OK, MFCreateMediaType(&decodedType));
    ASSERT_EQ(S_OK, output.describe(input.Get(), decodedType.Get()));
    ASSERT_EQ(S_OK, output.onDecodedType(VideoType(decoded, width, height).Get()));
    ASSERT_EQ(S_OK, output.open());
  }

  static ComPtr<IMFSample> Prepared(VideoOutput& output, IMFSample* decoded) {
    ComPtr<IMFSample> prepared;
    EXPECT_EQ(S_OK, output.prepare(decoded, 0, 0, &prepared));
    return prepared;
  }
};

}  // namespace

TEST_F(VideoOutputTest, FrameSizeChangeMidStreamShowsTheNewPictureAndStopsOnBlack) {
  if (orvo_test::D3D11OffersVideoDevice() && !orvo_test::D3D11OffersVideoProcessor()) {
    GTEST_SKIP() << "this platform's Direct3D 11 offers a video device without processors (Wine 10): the engine "
                    "negotiates RGB32 for it and the renderer falls back at the first frame";
  }
  orvo_test::TestWindow window(480, 270, L"decoded type change");
  VideoOutput output(0, window.hwnd());
  start(output, MFVideoFormat_NV12, 640, 360);
  // Compatibility presentation asks for NV12 first and draws it itself.
  EXPECT_EQ(MFVideoFormat_NV12, output.decodedSubtypes(VideoType(MFVideoFormat_H264, 640, 360).Get()).front());
  EXPECT_FALSE(output.hasColourConverter());
  ComPtr<IMFSample> before =
      Prepared(output, orvo_test::YuvQuadrantSample(MFVideoFormat_NV12, 640, 360, 320, 180, 360).Get());

  // 4:3 now, decoded in whole macroblocks: 320x256 with a 320x240 aperture.
  ComPtr<IMFMediaType> changed = VideoType(MFVideoFormat_NV12, 320, 256);
  MFVideoArea aperture = {};
  aperture.Area = {320, 240};
  changed->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&aperture), sizeof(aperture));
  orvo_test::CurrentTypeReader reader(changed.Get());
  ASSERT_EQ(S_OK, output.onCurrentTypeChanged(&reader));
  UINT32 width = 0, height = 0;
  MFGetAttributeSize(output.presentationType().Get(), MF_MT_FRAME_SIZE, &width, &height);
  EXPECT_EQ(320u, width);
  EXPECT_EQ(256u, height);
  EXPECT_EQ(320u * 256u * 3 / 2, output.frameBytes());
  // A frame queued before the change no longer fits the type: dropped, not drawn.
  EXPECT_FALSE(output.process(before.Get()));

  ComPtr<IMFSample> after =
      Prepared(output, orvo_test::YuvQuadrantSample(MFVideoFormat_NV12, 320, 256, 160, 60, 240).Get());
  ASSERT_TRUE(output.process(after.Get()));
  output.present(after.Get(), 0);
  window.pump(150);
  orvo_test::Screenshot shot = orvo_test::Screenshot::Capture();
  ASSERT_TRUE(shot.ok());
  // 4:3 in 480x270: 360x270 at x = 60; the split a quarter down lies at y = 67.
  const struct {
    int x, y;
    UINT32 colour;
  } probes[] = {{150, 33, orvo_test::kTopLeft},     {330, 33, orvo_test::kTopRight},
                {150, 170, orvo_test::kBottomLeft}, {330, 170, orvo_test::kBottomRight},
                {63, 266, orvo_test::kBottomLeft},  {416, 266, orvo_test::kBottomRight}};
  for (const auto& p : probes) {
    const Rgb seen = shot.clientPixel(window.hwnd(), p.x, p.y);
    const Rgb want = {static_cast<uint8_t>(p.colour >> 16), static_cast<uint8_t>(p.colour >> 8),
                      static_cast<uint8_t>(p.colour)};
    EXPECT_LE(orvo_test::ColourDistance(seen, want), 48)
        << p.x << "," << p.y << " is (" << int(seen.r) << "," << int(seen.g) << "," << int(seen.b) << ")";
  }
  EXPECT_LE(orvo_test::ColourDistance(shot.clientPixel(window.hwnd(), 30, 135), Rgb{0, 0, 0}), 16) << "left bar";

  // Stop leaves black, not the green of zeroed YUV.
  output.stopped(ORVO::kUnsetTime);
  window.pump(150);
  orvo_test::Screenshot black = orvo_test::Screenshot::Capture();
  ASSERT_TRUE(black.ok());
  const Rgb mean = black.clientMean(window.hwnd(), RECT{60, 0, 420, 270});
  EXPECT_LE(orvo_test::ColourDistance(mean, Rgb{0, 0, 0}), 8)
      << "(" << int(mean.r) << "," << int(mean.g) << "," << int(mean.b) << ")";
}

TEST_F(VideoOutputTest, ConverterOutputSamplesAreReusedOnceReleased) {
  if (orvo_test::D3D11OffersVideoDevice() && !orvo_test::D3D11OffersVideoProcessor()) {
    GTEST_SKIP() << "this platform's Direct3D 11 offers a video device without processors (Wine 10): the engine "
                    "negotiates RGB32 for it and the renderer falls back at the first frame";
  }
  orvo_test::TestWindow window(320, 240, L"converter pool");
  VideoOutput output(0, window.hwnd());
  // UYVY is not drawn as it is: the colour converter makes RGB32 of it.
  start(output, MFVideoFormat_UYVY, 64, 48);
  ASSERT_TRUE(output.hasColourConverter());
  auto decoded = [] {
    ComPtr<IMFMediaBuffer> buffer;
    MFCreateMemoryBuffer(64 * 48 * 2, &buffer);
    buffer->SetCurrentLength(64 * 48 * 2);
    ComPtr<IMFSample> sample;
    MFCreateSample(&sample);
    sample->AddBuffer(buffer.Get());
    sample->SetSampleTime(0);
    sample->SetSampleDuration(333333);
    return sample;
  };
  ComPtr<IMFSample> first = Prepared(output, decoded().Get());
  ComPtr<IMFSample> second = Prepared(output, decoded().Get());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first.Get(), second.Get()) << "a frame still queued was written over";
  IMFSample* const firstAddress = first.Get();
  first.Reset();
  ComPtr<IMFSample> third = Prepared(output, decoded().Get());
  EXPECT_EQ(firstAddress, third.Get()) << "a released frame was not reused";
}
