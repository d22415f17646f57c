#pragma once

#include <cstdint>

namespace ORVO {
namespace MediaFoundation {

// How big the buffers offered to the host are and how far ahead a stream asks, from the stream's
// media type. Pure arithmetic, so it is tested without Media Foundation.
namespace BufferSizing {

constexpr uint32_t kDefaultBufferSize = 102400;     // 100 KiB: any video frame up to ~720p
constexpr uint32_t kMinimumAudioBufferSize = 10240;  // 10 KiB
// A single compressed access unit beyond this is not a sane request: it would take the host
// seconds to fill and the library this much memory per sample.
constexpr uint32_t kMaximumBufferSize = 256u * 1024u * 1024u;
constexpr uint32_t kDefaultSamplesAhead = 5;
constexpr uint32_t kLowLatencySamplesAhead = 1;
// Bounds the read-ahead (and the pull requests posted in one go) for absurd frame rates.
constexpr uint32_t kMaximumSamplesAhead = 32;

// 512 KiB for a 1920x1080 frame, scaled by area; never below the default.
uint32_t VideoBufferSize(uint32_t width, uint32_t height);
// One sixth of the frame rate, at least 5 (5 up to 30 fps, 10 at 60), at most kMaximumSamplesAhead.
uint32_t VideoSamplesAhead(uint32_t numerator, uint32_t denominator);
// One second of audio, at least 10 KiB.
uint32_t AudioBufferSize(uint32_t averageBytesPerSecond);

// The size to use after the host answered "buffer too small" with `needed` bytes: 110 % of the need
// rounded up to whole KiB. False when the answer cannot be honoured: a need of 0, one that does not
// exceed the buffer the host already had (asking again would loop forever), or one whose grown size
// passes kMaximumBufferSize (the 32-bit formula would wrap around near 4 GiB).
bool GrownBufferSize(uint32_t current, uint32_t needed, uint32_t* grown);

}  // namespace BufferSizing
}  // namespace MediaFoundation
}  // namespace ORVO
