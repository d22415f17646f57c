#pragma once

#include <windows.h>
#include <mmreg.h>

#include <cstddef>
#include <cstdint>

// Arithmetic of the audio renderer, kept free of platform calls so it can be tested with plain
// numbers.
namespace ORVO {
namespace MediaFoundation {
namespace AudioMath {

// The most channels a gain table covers; channels beyond it keep the gain of the last entry's
// side (even index left, odd right).
constexpr int kMaxChannels = 32;

// How the samples of one channel are treated: gains within this distance of 1 leave them as they
// are, gains closer than this to 0 turn them into silence.
constexpr float kGainTolerance = 0.01f;

enum class SampleFormat {
  Float32,  // IEEE float, clamped to [-1, 1] after scaling
  Int16,
  Int24,  // packed, 3 bytes
  Int32,
  Unsupported,
};

enum class GainAction { Unchanged, Silence, Scale };

// What a channel gain does to the samples it applies to.
GainAction ClassifyGain(float gain);

// Per-channel gains for a volume and a balance: balance 0.0 keeps only the left channels (even
// indexes), 0.5 both sides, 1.0 only the right channels (odd indexes); the side that fades gets
// 2 x balance (right) or 2 x (1 - balance) (left). A balance outside [0, 1] is clamped, a negative
// or non-finite volume counts as 0.
void ChannelGains(double volume, double balance, int channels, float* gains);

// The sample format of a mix format: IEEE float 32-bit, or integer PCM of 16, 24 or 32 bits
// (plain or extensible). Anything else is Unsupported.
SampleFormat SampleFormatOf(const WAVEFORMATEX& format);

// The Media Foundation subtype matching a wave format tag: PCM, Float, the SubFormat of an
// extensible format, or GUID_NULL.
GUID SubtypeOf(const WAVEFORMATEX& format);

// The decoded format as the renderer reads it from its media type.
struct StreamFormat {
  GUID subtype;
  uint32_t samplesPerSecond;
  uint32_t channels;
  uint32_t bitsPerSample;
  uint32_t blockAlign;
};

// A resampler is needed when subtype, rate, channel count or block alignment differ; the bit depth
// alone is not compared (it is implied by subtype and block alignment).
bool NeedsResampler(const StreamFormat& decoded, const GUID& mixSubtype, const WAVEFORMATEX& mix);

// Multiplies every whole frame of `data` in place by its channel's gain. Float samples clamp to
// [-1, 1]; integer samples are truncated towards zero and clamp to their range. Bytes after the
// last whole frame are left alone. Returns false (nothing changed) for Unsupported formats or
// channel counts outside 1..kMaxChannels.
bool ApplyGains(BYTE* data, size_t bytes, SampleFormat format, int channels, const float* gains);

// Frames that can go to the endpoint now: the free room, bounded by the whole frames staged.
uint32_t FramesToWrite(uint32_t bufferFrames, uint32_t padding, size_t pendingBytes, uint32_t blockAlign);

// Capacity for a staging buffer that must hold `needed` bytes: four times the need, so steady
// playback stops reallocating after the first few calls.
size_t GrowCapacity(size_t needed);

// Bytes of `seconds` of audio in a format; 0 when the format is degenerate.
size_t BytesForSeconds(uint32_t samplesPerSecond, uint32_t blockAlign, int seconds);

}  // namespace AudioMath
}  // namespace MediaFoundation
}  // namespace ORVO
