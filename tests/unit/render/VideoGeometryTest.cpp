#include <gtest/gtest.h>

#include <cmath>

#include "render/VideoGeometry.h"

using namespace ORVO::MediaFoundation;
using ORVO::SourceRect;
using ORVO::IsValidSourceRect;

namespace {

MFVideoArea Area(int x, int y, int width, int height) {
  MFVideoArea area = {};
  area.OffsetX.value = static_cast<short>(x);
  area.OffsetY.value = static_cast<short>(y);
  area.Area.cx = width;
  area.Area.cy = height;
  return area;
}

void ExpectRect(const RECT& r, int left, int top, int right, int bottom) {
  EXPECT_EQ(left, r.left);
  EXPECT_EQ(top, r.top);
  EXPECT_EQ(right, r.right);
  EXPECT_EQ(bottom, r.bottom);
}

}  // namespace

TEST(VideoGeometryTest, MulDivRoundsHalfAwayFromZeroAndRejectsZeroOrOverflow) {
  EXPECT_EQ(3, MulDivRound(5, 1, 2));    // 2.5 -> 3
  EXPECT_EQ(-3, MulDivRound(-5, 1, 2));  // -2.5 -> -3
  EXPECT_EQ(2, MulDivRound(7, 1, 3));    // 2.33 -> 2
  EXPECT_EQ(-1, MulDivRound(10, 3, 0));
  EXPECT_EQ(-1, MulDivRound(0x40000000, 4, 1));
  // The intermediate product exceeds 32 bits but the result does not.
  EXPECT_EQ(2000000000, MulDivRound(2000000000, 1000, 1000));
}

TEST(VideoGeometryTest, DisplayAspectRatioReducesSizeAndPixelRatio) {
  Ratio r = DisplayAspectRatio(720, 576, 16, 15);
  EXPECT_EQ(4u, r.x);
  EXPECT_EQ(3u, r.y);
  r = DisplayAspectRatio(1920, 1080, 1, 1);
  EXPECT_EQ(16u, r.x);
  EXPECT_EQ(9u, r.y);
  r = DisplayAspectRatio(720, 480, 32, 27);  // NTSC widescreen
  EXPECT_EQ(16u, r.x);
  EXPECT_EQ(9u, r.y);
  r = DisplayAspectRatio(0, 576, 16, 15);
  EXPECT_EQ(0u, r.x);
  EXPECT_EQ(0u, r.y);
  r = DisplayAspectRatio(720, 576, 16, 0);
  EXPECT_EQ(0u, r.y);
}

TEST(VideoGeometryTest, ReduceRatioHalvesTermsAbove16Bits) {
  Ratio r = ReduceRatio(100003, 99991);  // coprime, both above 65535: halved once together
  EXPECT_EQ(50001u, r.x);
  EXPECT_EQ(49995u, r.y);
  r = ReduceRatio(1000, 10);
  EXPECT_EQ(100u, r.x);
  EXPECT_EQ(1u, r.y);
}

TEST(VideoGeometryTest, DisplaySizeAppliesPixelAspectRatio) {
  DisplaySize s = ComputeDisplaySize(720, 576, 16, 15);
  EXPECT_EQ(768, s.width);
  EXPECT_EQ(576, s.height);
  s = ComputeDisplaySize(1920, 1080, 1, 1);
  EXPECT_EQ(1920, s.width);
  EXPECT_EQ(1080, s.height);
  s = ComputeDisplaySize(1440, 1080, 4, 3);  // anamorphic HD
  EXPECT_EQ(1920, s.width);
  s = ComputeDisplaySize(640, 480, 0, 1);  // undefined ratio
  EXPECT_EQ(-1, s.width);
  EXPECT_EQ(480, s.height);
}

TEST(VideoGeometryTest, AreaToRectRoundsFixedPointOffsets) {
  ExpectRect(AreaToRect(Area(0, 0, 1920, 1080)), 0, 0, 1920, 1080);
  MFVideoArea area = Area(8, 4, 704, 568);
  area.OffsetX.fract = 32768;  // 8.5 -> 9
  area.OffsetY.fract = 16384;  // 4.25 -> 4
  ExpectRect(AreaToRect(area), 9, 4, 713, 572);
}

TEST(VideoGeometryTest, LetterBoxFitsWideFrameIntoTallTarget) {
  RECT source = {0, 0, 1920, 1080};
  const RECT dst = LetterBoxDstRect(&source, RECT{0, 0, 1280, 1000}, RECT{0, 0, 1920, 1080}, 1920, 1080);
  ExpectRect(dst, 0, 140, 1280, 860);
  ExpectRect(source, 0, 0, 1920, 1080);
}

TEST(VideoGeometryTest, LetterBoxPillarsTallFrameInWideTarget) {
  RECT source = {0, 0, 768, 576};  // 720x576 at 16:15 shown as 768x576
  const RECT dst = LetterBoxDstRect(&source, RECT{0, 0, 1280, 720}, RECT{0, 0, 720, 576}, 768, 576);
  ExpectRect(dst, 160, 0, 1120, 720);
  // Back in frame pixels the source covers the whole coded width.
  ExpectRect(source, 0, 0, 720, 576);
}

TEST(VideoGeometryTest, LetterBoxConvertsSourceIntoDisplayArea) {
  // A 1920x1088 frame whose aperture is the top 1080 lines, offset by 4 columns.
  RECT source = {0, 0, 1912, 1080};
  const RECT dst = LetterBoxDstRect(&source, RECT{0, 0, 956, 540}, RECT{4, 0, 1916, 1080}, 1912, 1080);
  ExpectRect(source, 4, 0, 1916, 1080);
  ExpectRect(dst, 0, 0, 956, 540);
}

TEST(VideoGeometryTest, LetterBoxHonoursTargetOffsetAndOddRemainders) {
  RECT source = {0, 0, 640, 480};
  const RECT dst = LetterBoxDstRect(&source, RECT{10, 20, 10 + 301, 20 + 100}, RECT{0, 0, 640, 480}, 640, 480);
  // 4:3 in 301x100: height 100, width 133, (301 - 133) / 2 = 84.
  ExpectRect(dst, 94, 20, 227, 120);
}

// Digital zoom end to end through the placement: the chosen part of a 720x576 frame shown at 16:15
// (768x576 on screen) in a 1280x720 window, the part in frame pixels and its letterboxed place.
TEST(VideoGeometryTest, ZoomedPartKeepsItsShapeAndMapsIntoTheDisplayArea) {
  const RECT area = {0, 0, 720, 576};
  // The bottom-right quarter: 384x288 on screen, 4:3 like the whole, pillarboxed as the whole is.
  RECT source = ZoomedDisplayRect(SourceRect{0.5, 0.5, 1.0, 1.0}, 768, 576);
  ExpectRect(source, 384, 288, 768, 576);
  RECT dst = LetterBoxDstRect(&source, RECT{0, 0, 1280, 720}, area, 768, 576);
  ExpectRect(source, 360, 288, 720, 576);
  ExpectRect(dst, 160, 0, 1120, 720);
  // A wide strip letterboxes instead: 768x144 on screen is 16:3.
  source = ZoomedDisplayRect(SourceRect{0.0, 0.25, 1.0, 0.5}, 768, 576);
  dst = LetterBoxDstRect(&source, RECT{0, 0, 1280, 720}, area, 768, 576);
  ExpectRect(source, 0, 144, 720, 288);
  ExpectRect(dst, 0, 240, 1280, 480);
  // The whole picture is the plain display rectangle; a sliver keeps at least one pixel, inside.
  ExpectRect(ZoomedDisplayRect(SourceRect{}, 768, 576), 0, 0, 768, 576);
  ExpectRect(ZoomedDisplayRect(SourceRect{0.9999, 0.0, 1.0, 0.0001}, 768, 576), 767, 0, 768, 1);
  ExpectRect(ZoomedDisplayRect(SourceRect{0.5, 0.5, 1.0, 1.0}, 0, 0), 0, 0, 0, 0);
}

TEST(VideoGeometryTest, SourceRectMustBeANonEmptyPartOfTheUnitSquare) {
  EXPECT_TRUE(IsValidSourceRect(SourceRect{}));
  EXPECT_TRUE(IsValidSourceRect(SourceRect{0.25, 0.0, 0.5, 1.0}));
  const double nan = std::nan("");
  const SourceRect bad[] = {{0.5, 0.0, 0.5, 1.0},  {0.0, 0.6, 1.0, 0.4}, {-0.1, 0.0, 1.0, 1.0},
                                  {0.0, 0.0, 1.5, 1.0},  {nan, 0.0, 1.0, 1.0}, {0.0, 0.0, 1.0, HUGE_VAL}};
  for (const SourceRect& r : bad) {
    EXPECT_FALSE(IsValidSourceRect(r)) << r.left << "," << r.top << "," << r.right << "," << r.bottom;
  }
}

TEST(VideoGeometryTest, ProcessorRebuildOnlyForMissingObjectsOrNewTextureSize) {
  EXPECT_FALSE(NeedsProcessorRebuild(true, true, 1920, 1088, 1920, 1088));
  EXPECT_TRUE(NeedsProcessorRebuild(false, true, 1920, 1088, 1920, 1088));
  EXPECT_TRUE(NeedsProcessorRebuild(true, false, 1920, 1088, 1920, 1088));
  EXPECT_TRUE(NeedsProcessorRebuild(true, true, 1920, 1080, 1920, 1088));
  EXPECT_TRUE(NeedsProcessorRebuild(true, true, 1280, 1088, 1920, 1088));
}

TEST(VideoGeometryTest, TransformUpdateFollowsPlacementChanges) {
  const RECT dst = {0, 140, 1280, 860}, src = {0, 0, 1920, 1080};
  // Steady state: nothing to redo.
  TransformUpdate u = DecideTransformUpdate(false, true, dst, dst, src, src);
  EXPECT_FALSE(u.updateSwapChain);
  EXPECT_FALSE(u.reconfigure);
  EXPECT_FALSE(u.setOutputType);
  // Window resized: new destination, swap chain resized, output type and destination reset.
  const RECT smaller = {0, 70, 640, 430};
  u = DecideTransformUpdate(false, true, dst, smaller, src, src);
  EXPECT_TRUE(u.destinationChanged);
  EXPECT_FALSE(u.sourceChanged);
  EXPECT_TRUE(u.updateSwapChain);
  EXPECT_TRUE(u.reconfigure);
  EXPECT_TRUE(u.setOutputType);
  // New aperture with the same placement: only the source rectangle changes.
  const RECT cropped = {0, 0, 1920, 1072};
  u = DecideTransformUpdate(false, true, dst, dst, src, cropped);
  EXPECT_TRUE(u.sourceChanged);
  EXPECT_FALSE(u.updateSwapChain);
  EXPECT_TRUE(u.reconfigure);
  EXPECT_FALSE(u.setOutputType);
  // Rebuilt (new texture size, swap chain released): a new swap chain even at the same placement.
  u = DecideTransformUpdate(true, false, dst, dst, src, src);
  EXPECT_TRUE(u.updateSwapChain);
  EXPECT_TRUE(u.reconfigure);
  EXPECT_TRUE(u.setOutputType);
  EXPECT_FALSE(u.destinationChanged);
}
