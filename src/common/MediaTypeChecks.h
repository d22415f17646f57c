#pragma once

#include <windows.h>
#include <mfapi.h>

namespace ORVO {

// Checks of what a host states in a stream's media type that both engines refuse, because the
// platform's decoders and converters cannot cope with them.

// Whether the type states MF_MT_FRAME_RATE with a zero term (0/0, 1/0, 0/1): that is no rate, and
// decoders and pacing divide by both terms. A type without the attribute has no such rate. The
// terms are written to numerator and denominator either way (0 when absent).
inline bool HasZeroTermFrameRate(IMFAttributes* type, UINT32* numerator, UINT32* denominator) {
  *numerator = 0;
  *denominator = 0;
  if (FAILED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, numerator, denominator))) return false;
  return *numerator == 0 || *denominator == 0;
}

// The audio rates a stream may state. Below the lowest, an ordinary block of samples is minutes of
// sound: resampled to the endpoint's rate one 4 KB block at 1 Hz becomes 46 million frames, and
// the converter's thread stays busy with it for seconds, holding up the work queue it runs on.
// Above the highest no audio device plays.
constexpr UINT32 kLowestAudioRate = 1000;
constexpr UINT32 kHighestAudioRate = 768000;

// Whether the type states MF_MT_AUDIO_SAMPLES_PER_SECOND outside the rates above; the rate is
// written to rate either way (0 when absent). A type without the attribute states no rate.
inline bool HasUnplayableAudioRate(IMFAttributes* type, UINT32* rate) {
  *rate = 0;
  if (FAILED(type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate))) return false;
  return *rate < kLowestAudioRate || *rate > kHighestAudioRate;
}

}  // namespace ORVO
