#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "render/BgraPicture.h"

using ORVO::MediaFoundation::BgraSize;
using ORVO::MediaFoundation::ConvertToBgra;
using ORVO::MediaFoundation::FrameLayout;
using ORVO::MediaFoundation::LockedFrame;
using ORVO::MediaFoundation::MakeYuvColourMatrix;
using ORVO::MediaFoundation::MeasureBgra;
using ORVO::MediaFoundation::YuvMatrix;

namespace {

// A 4x2 frame, red on the left half and blue on the right, in each layout a snapshot reads: the
// plane order and placement (I420 U first, YV12 V first, NV12 chroma after padded coded rows, YUY2
// pairs, bottom-up RGB32) decide which colour lands where. BT.601 limited-range codes: red is
// Y 81 U 90 V 240, blue Y 41 U 240 V 110.
struct Case {
  const char* name;
  FrameLayout layout;
  LONG pitch;
  std::vector<BYTE> bytes;
};

std::vector<Case> Cases() {
  const std::vector<BYTE> luma = {81, 81, 41, 41, 81, 81, 41, 41};
  std::vector<BYTE> nv12 = luma;
  nv12.insert(nv12.end(), 8, 0);  // two rows of macroblock padding below the picture
  nv12.insert(nv12.end(), {90, 240, 240, 110, 0, 0, 0, 0});
  std::vector<BYTE> i420 = luma, yv12 = luma;
  i420.insert(i420.end(), {90, 240, 240, 110});
  yv12.insert(yv12.end(), {240, 110, 90, 240});
  const std::vector<BYTE> yuy2 = {81, 90, 81, 240, 41, 240, 41, 110, 81, 90, 81, 240, 41, 240, 41, 110};
  const BYTE red[4] = {0, 0, 255, 0}, blue[4] = {255, 0, 0, 0};
  std::vector<BYTE> rgb;
  for (int i = 0; i < 8; ++i) rgb.insert(rgb.end(), i % 4 < 2 ? red : blue, (i % 4 < 2 ? red : blue) + 4);
  return {{"NV12", FrameLayout::Nv12, 4, nv12}, {"I420", FrameLayout::I420, 4, i420},
          {"YV12", FrameLayout::Yv12, 4, yv12}, {"YUY2", FrameLayout::Yuy2, 8, yuy2},
          {"RGB32 bottom-up", FrameLayout::Rgb32, -16, rgb}};
}

bool Near(const BYTE* bgra, int r, int g, int b) {
  return std::abs(bgra[2] - r) <= 3 && std::abs(bgra[1] - g) <= 3 && std::abs(bgra[0] - b) <= 3 && bgra[3] == 255;
}

}  // namespace

TEST(BgraPictureTest, EachLayoutPutsItsColoursInPlaceAndABufferShorterThanItsRowsIsRefused) {
  const auto matrix = MakeYuvColourMatrix(YuvMatrix::Bt601, false);
  for (const Case& c : Cases()) {
    LockedFrame frame;
    frame.layout = c.layout;
    frame.pitch = c.pitch;
    frame.height = 2;
    frame.length = c.bytes.size();
    // A bottom-up frame's top row is the last one in memory.
    frame.firstRow = c.bytes.data() + (c.pitch < 0 ? c.bytes.size() + c.pitch : 0);
    BgraSize whole, right;
    ASSERT_TRUE(MeasureBgra(4, 2, &whole));
    ASSERT_TRUE(MeasureBgra(2, 2, &right));
    std::vector<BYTE> out(whole.bytes);
    ASSERT_TRUE(ConvertToBgra(frame, 0, 0, whole, matrix, out.data())) << c.name;
    EXPECT_TRUE(Near(&out[0], 255, 0, 0)) << c.name << ": top-left is red";
    EXPECT_TRUE(Near(&out[whole.stride + 3 * 4], 0, 0, 255)) << c.name << ": bottom-right is blue";
    ASSERT_TRUE(ConvertToBgra(frame, 2, 0, right, matrix, out.data())) << c.name;
    EXPECT_TRUE(Near(&out[0], 0, 0, 255)) << c.name << ": the right half starts blue";
    frame.length = static_cast<uint64_t>(std::abs(c.pitch)) * 2 - 1;
    EXPECT_FALSE(ConvertToBgra(frame, 0, 0, whole, matrix, out.data())) << c.name << ": shorter than its rows";
  }
  BgraSize tooLarge;
  EXPECT_FALSE(MeasureBgra(65536, 16385, &tooLarge)) << "more than 4 GiB of pixels";
}
