#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "render/AudioMath.h"

// Edits of interleaved mix-format audio that keep sound and picture in step: where to cut, and a
// slight speed-up. Free of platform calls, tested with plain numbers.
namespace ORVO {
namespace MediaFoundation {
namespace AudioEdit {

// The frame in [from, to) whose loudest channel is quietest: a cut there is the least audible.
// Frames are counted from `data`; `to` is clamped to `frames`. Unsupported formats answer `from`.
size_t QuietestFrame(const BYTE* data, size_t frames, AudioMath::SampleFormat format, int channels, size_t from,
                     size_t to);

// Frames the stretched copy of `frames` frames has at `speed` (>= 1): fewer, never below 1.
size_t StretchedFrames(size_t frames, double speed);

// Writes `outFrames` frames into `out`, read from `in` (`inFrames` frames) at even steps by linear
// interpolation. False (nothing written) for formats other than Float32 and Int16, or channel
// counts outside 1..AudioMath::kMaxChannels.
bool Stretch(const BYTE* in, size_t inFrames, BYTE* out, size_t outFrames, AudioMath::SampleFormat format,
             int channels);

}  // namespace AudioEdit
}  // namespace MediaFoundation
}  // namespace ORVO
