#pragma once

#include <windows.h>
#include <mfobjects.h>

namespace ORVO {
namespace MediaFoundation {

// The affine map from a YUV texel, each component as the shader reads it (code value / 255), to
// RGB in [0, 1]: rgb[i] = rows[i][0] * y + rows[i][1] * u + rows[i][2] * v + rows[i][3]. Laid out
// as three float4 rows, the way the pixel shader's constant buffer takes it.
struct YuvColourMatrix {
  float rows[3][4];
};

enum class YuvMatrix { Bt601, Bt709 };

// bt709: the HD coefficients instead of SD's; fullRange: 0-255 codes instead of 16-235 (luma)
// and 16-240 (chroma).
YuvColourMatrix MakeYuvColourMatrix(YuvMatrix matrix, bool fullRange);

// What a YUV frame of this type was coded with: MF_MT_YUV_MATRIX and MF_MT_VIDEO_NOMINAL_RANGE when
// the type carries them; otherwise SD (below 720 lines) is BT.601 and HD is BT.709, and the range is
// limited, as the platform's renderers assume.
YuvColourMatrix YuvColourMatrixForType(IMFMediaType* pType, UINT32 frameHeight);

}  // namespace MediaFoundation
}  // namespace ORVO
