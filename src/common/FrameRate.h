#pragma once

#include <windows.h>
#include <mfapi.h>

namespace ORVO {

// Whether the type states MF_MT_FRAME_RATE with a zero term (0/0, 1/0, 0/1): that is no rate, and
// decoders and pacing divide by both terms. A type without the attribute has no such rate. The
// terms are written to numerator and denominator either way (0 when absent).
inline bool HasZeroTermFrameRate(IMFAttributes* type, UINT32* numerator, UINT32* denominator) {
  *numerator = 0;
  *denominator = 0;
  if (FAILED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, numerator, denominator))) return false;
  return *numerator == 0 || *denominator == 0;
}

}  // namespace ORVO
