#include <gtest/gtest.h>

#include <mfapi.h>
#include <wrl/client.h>

#include <cmath>
#include <string>

#include "render/YuvColourMatrix.h"

using ORVO::MediaFoundation::MakeYuvColourMatrix;
using ORVO::MediaFoundation::YuvColourMatrix;
using ORVO::MediaFoundation::YuvColourMatrixForType;
using ORVO::MediaFoundation::YuvMatrix;

namespace {

// What the pixel shader does with 8-bit codes, in 0..255.
void Apply(const YuvColourMatrix& m, double y, double u, double v, double rgb[3]) {
  for (int i = 0; i < 3; ++i) {
    const double value = m.rows[i][0] * y / 255 + m.rows[i][1] * u / 255 + m.rows[i][2] * v / 255 + m.rows[i][3];
    rgb[i] = 255 * std::fmin(1.0, std::fmax(0.0, value));
  }
}

bool SameMatrix(const YuvColourMatrix& a, const YuvColourMatrix& b) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j)
      if (a.rows[i][j] != b.rows[i][j]) return false;
  return true;
}

}  // namespace

TEST(YuvColourMatrixTest, CodesOfEachMatrixAndRangeGoBackToTheirColour) {
  double rgb[3];
  // BT.601 limited-range red. Read as full range it would come out about (238,14,14).
  Apply(MakeYuvColourMatrix(YuvMatrix::Bt601, false), 81, 90, 240, rgb);
  EXPECT_NEAR(rgb[0], 255, 2);
  EXPECT_NEAR(rgb[1], 0, 2);
  EXPECT_NEAR(rgb[2], 0, 2);

  // A colour away from every clamp, encoded by hand with each matrix and range.
  const double colour[3] = {64, 128, 192};
  for (YuvMatrix matrix : {YuvMatrix::Bt601, YuvMatrix::Bt709}) {
    for (bool full : {false, true}) {
      SCOPED_TRACE(std::string(matrix == YuvMatrix::Bt709 ? "BT.709" : "BT.601") + (full ? " full" : " limited"));
      const double kr = matrix == YuvMatrix::Bt709 ? 0.2126 : 0.299, kb = matrix == YuvMatrix::Bt709 ? 0.0722 : 0.114;
      const double r = colour[0] / 255, g = colour[1] / 255, b = colour[2] / 255;
      const double luma = kr * r + (1 - kr - kb) * g + kb * b;
      const double pb = (b - luma) / (2 * (1 - kb)), pr = (r - luma) / (2 * (1 - kr));
      const double y = full ? 255 * luma : 16 + 219 * luma;
      const double u = 128 + (full ? 255 : 224) * pb, v = 128 + (full ? 255 : 224) * pr;
      Apply(MakeYuvColourMatrix(matrix, full), y, u, v, rgb);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(rgb[i], colour[i], 0.5) << "channel " << i;
    }
  }
}

TEST(YuvColourMatrixTest, TypeAttributesWinOverTheFrameHeight) {
  Microsoft::WRL::ComPtr<IMFMediaType> type;
  ASSERT_EQ(S_OK, MFCreateMediaType(&type));
  EXPECT_TRUE(SameMatrix(YuvColourMatrixForType(type.Get(), 576), MakeYuvColourMatrix(YuvMatrix::Bt601, false)));
  EXPECT_TRUE(SameMatrix(YuvColourMatrixForType(type.Get(), 720), MakeYuvColourMatrix(YuvMatrix::Bt709, false)));
  type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT601);
  type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_0_255);
  EXPECT_TRUE(SameMatrix(YuvColourMatrixForType(type.Get(), 1080), MakeYuvColourMatrix(YuvMatrix::Bt601, true)));
  type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
  EXPECT_TRUE(SameMatrix(YuvColourMatrixForType(type.Get(), 480), MakeYuvColourMatrix(YuvMatrix::Bt709, true)));
}
