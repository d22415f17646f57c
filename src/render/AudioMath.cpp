#include "render/AudioMath.h"

#include <mfapi.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ORVO {
namespace MediaFoundation {
namespace AudioMath {

namespace {

// Layout of WAVEFORMATEXTENSIBLE after its WAVEFORMATEX header, read by offset so that a format
// whose cbSize is too small is never read past its end.
constexpr size_t kExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

bool extensibleSubFormat(const WAVEFORMATEX& format, GUID* subFormat) {
  if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize < kExtensibleExtraBytes) return false;
  *subFormat = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat;
  return true;
}

int32_t readInt24(const BYTE* p) {
  const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
  return (u & 0x800000u) ? static_cast<int32_t>(u | 0xFF000000u) : static_cast<int32_t>(u);
}

void writeInt24(BYTE* p, int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  p[0] = static_cast<BYTE>(u & 0xFF);
  p[1] = static_cast<BYTE>((u >> 8) & 0xFF);
  p[2] = static_cast<BYTE>((u >> 16) & 0xFF);
}

// Integer scaling in double precision: a float cannot hold every 24- or 32-bit value, and
// truncation towards zero must not round a full-scale sample past its limit.
int64_t scaleInteger(int64_t value, float gain, int64_t low, int64_t high) {
  const double scaled = std::trunc(static_cast<double>(value) * static_cast<double>(gain));
  if (scaled <= static_cast<double>(low)) return low;
  if (scaled >= static_cast<double>(high)) return high;
  return static_cast<int64_t>(scaled);
}

size_t bytesPerSample(SampleFormat format) {
  switch (format) {
    case SampleFormat::Float32:
    case SampleFormat::Int32:
      return 4;
    case SampleFormat::Int24:
      return 3;
    case SampleFormat::Int16:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

GainAction ClassifyGain(float gain) {
  if (std::fabs(gain - 1.0f) < kGainTolerance) return GainAction::Unchanged;
  if (std::fabs(gain) < kGainTolerance) return GainAction::Silence;
  return GainAction::Scale;
}

void ChannelGains(double volume, double balance, int channels, float* gains) {
  if (!(volume > 0.0) || !std::isfinite(volume)) volume = 0.0;
  if (!std::isfinite(balance)) balance = 0.5;
  balance = std::min(1.0, std::max(0.0, balance));
  const double left = balance > 0.5 ? 2.0 * (1.0 - balance) : 1.0;
  const double right = balance < 0.5 ? 2.0 * balance : 1.0;
  for (int i = 0; i < channels; ++i) gains[i] = static_cast<float>(((i % 2) ? right : left) * volume);
}

SampleFormat SampleFormatOf(const WAVEFORMATEX& format) {
  GUID subtype = SubtypeOf(format);
  int bits = format.wBitsPerSample;
  const int containerBits = format.nChannels ? 8 * format.nBlockAlign / format.nChannels : 0;
  // An extensible format can carry e.g. 24 valid bits in a 32-bit container: the container decides.
  if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) bits = containerBits;
  if (bits != containerBits) return SampleFormat::Unsupported;
  if (subtype == MFAudioFormat_Float) return bits == 32 ? SampleFormat::Float32 : SampleFormat::Unsupported;
  if (subtype != MFAudioFormat_PCM) return SampleFormat::Unsupported;
  switch (bits) {
    case 16:
      return SampleFormat::Int16;
    case 24:
      return SampleFormat::Int24;
    case 32:
      return SampleFormat::Int32;
    default:
      return SampleFormat::Unsupported;
  }
}

GUID SubtypeOf(const WAVEFORMATEX& format) {
  switch (format.wFormatTag) {
    case WAVE_FORMAT_PCM:
      return MFAudioFormat_PCM;
    case WAVE_FORMAT_IEEE_FLOAT:
      return MFAudioFormat_Float;
    case WAVE_FORMAT_EXTENSIBLE: {
      GUID subFormat;
      if (extensibleSubFormat(format, &subFormat)) return subFormat;
      return GUID_NULL;
    }
    default:
      return GUID_NULL;
  }
}

bool NeedsResampler(const StreamFormat& decoded, const GUID& mixSubtype, const WAVEFORMATEX& mix) {
  return decoded.subtype != mixSubtype || decoded.samplesPerSecond != mix.nSamplesPerSec ||
         decoded.channels != mix.nChannels || decoded.blockAlign != mix.nBlockAlign;
}

bool ApplyGains(BYTE* data, size_t bytes, SampleFormat format, int channels, const float* gains) {
  const size_t sampleBytes = bytesPerSample(format);
  if (sampleBytes == 0 || channels < 1 || channels > kMaxChannels) return false;
  const size_t frameBytes = sampleBytes * static_cast<size_t>(channels);
  const size_t frames = bytes / frameBytes;
  for (int c = 0; c < channels; ++c) {
    const float gain = gains[c];
    const GainAction action = ClassifyGain(gain);
    if (action == GainAction::Unchanged) continue;
    BYTE* p = data + static_cast<size_t>(c) * sampleBytes;
    if (action == GainAction::Silence) {
      for (size_t f = 0; f < frames; ++f, p += frameBytes) memset(p, 0, sampleBytes);
      continue;
    }
    for (size_t f = 0; f < frames; ++f, p += frameBytes) {
      switch (format) {
        case SampleFormat::Float32: {
          float v;
          memcpy(&v, p, 4);
          v = std::min(1.0f, std::max(-1.0f, v * gain));
          memcpy(p, &v, 4);
          break;
        }
        case SampleFormat::Int16: {
          int16_t v;
          memcpy(&v, p, 2);
          v = static_cast<int16_t>(scaleInteger(v, gain, -32768, 32767));
          memcpy(p, &v, 2);
          break;
        }
        case SampleFormat::Int24:
          writeInt24(p, static_cast<int32_t>(scaleInteger(readInt24(p), gain, -8388608, 8388607)));
          break;
        case SampleFormat::Int32: {
          int32_t v;
          memcpy(&v, p, 4);
          v = static_cast<int32_t>(scaleInteger(v, gain, INT32_MIN, INT32_MAX));
          memcpy(p, &v, 4);
          break;
        }
        default:
          break;
      }
    }
  }
  return true;
}

uint32_t FramesToWrite(uint32_t bufferFrames, uint32_t padding, size_t pendingBytes, uint32_t blockAlign) {
  if (blockAlign == 0 || padding >= bufferFrames) return 0;
  const size_t room = bufferFrames - padding;
  return static_cast<uint32_t>(std::min(room, pendingBytes / blockAlign));
}

size_t GrowCapacity(size_t needed) { return needed * 4; }

size_t BytesForSeconds(uint32_t samplesPerSecond, uint32_t blockAlign, int seconds) {
  if (seconds <= 0) return 0;
  return static_cast<size_t>(samplesPerSecond) * blockAlign * static_cast<size_t>(seconds);
}

}  // namespace AudioMath
}  // namespace MediaFoundation
}  // namespace ORVO
