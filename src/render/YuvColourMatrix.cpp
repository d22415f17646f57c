#include "render/YuvColourMatrix.h"

#include <mfapi.h>

namespace ORVO {
namespace MediaFoundation {

YuvColourMatrix MakeYuvColourMatrix(YuvMatrix matrix, bool fullRange) {
  const double kr = matrix == YuvMatrix::Bt709 ? 0.2126 : 0.299;
  const double kb = matrix == YuvMatrix::Bt709 ? 0.0722 : 0.114;
  const double kg = 1.0 - kr - kb;
  // Normalised luma is a * y + b, normalised chroma (centred on zero) c * u + d.
  const double a = fullRange ? 1.0 : 255.0 / 219.0;
  const double b = fullRange ? 0.0 : -16.0 / 219.0;
  const double c = fullRange ? 1.0 : 255.0 / 224.0;
  const double d = -128.0 / 255.0 * c;
  const double rv = 2.0 * (1.0 - kr);
  const double gu = -2.0 * kb * (1.0 - kb) / kg;
  const double gv = -2.0 * kr * (1.0 - kr) / kg;
  const double bu = 2.0 * (1.0 - kb);
  const double rows[3][3] = {{a, 0.0, rv * c}, {a, gu * c, gv * c}, {a, bu * c, 0.0}};
  const double offsets[3] = {b + rv * d, b + (gu + gv) * d, b + bu * d};
  YuvColourMatrix result = {};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) result.rows[i][j] = static_cast<float>(rows[i][j]);
    result.rows[i][3] = static_cast<float>(offsets[i]);
  }
  return result;
}

YuvColourMatrix YuvColourMatrixForType(IMFMediaType* pType, UINT32 frameHeight) {
  YuvMatrix matrix = frameHeight >= 720 ? YuvMatrix::Bt709 : YuvMatrix::Bt601;
  bool fullRange = false;
  if (pType != nullptr) {
    UINT32 value = 0;
    if (SUCCEEDED(pType->GetUINT32(MF_MT_YUV_MATRIX, &value))) {
      if (value == MFVideoTransferMatrix_BT709) matrix = YuvMatrix::Bt709;
      if (value == MFVideoTransferMatrix_BT601) matrix = YuvMatrix::Bt601;
    }
    if (SUCCEEDED(pType->GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &value))) fullRange = value == MFNominalRange_0_255;
  }
  return MakeYuvColourMatrix(matrix, fullRange);
}

}  // namespace MediaFoundation
}  // namespace ORVO
