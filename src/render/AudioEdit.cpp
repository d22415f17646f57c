#include "render/AudioEdit.h"

#include <cmath>
#include <cstring>

namespace ORVO {
namespace MediaFoundation {
namespace AudioEdit {

namespace {

float Level(const BYTE* frame, AudioMath::SampleFormat format, int channels) {
  float loudest = 0.0f;
  for (int c = 0; c < channels; ++c) {
    float value = 0.0f;
    if (format == AudioMath::SampleFormat::Float32) {
      float sample = 0.0f;
      std::memcpy(&sample, frame + c * 4, 4);
      value = std::fabs(sample);
    } else {
      int16_t sample = 0;
      std::memcpy(&sample, frame + c * 2, 2);
      value = std::fabs(static_cast<float>(sample) / 32768.0f);
    }
    if (value > loudest) loudest = value;
  }
  return loudest;
}

bool Supported(AudioMath::SampleFormat format, int channels) {
  return (format == AudioMath::SampleFormat::Float32 || format == AudioMath::SampleFormat::Int16) && channels >= 1 &&
         channels <= AudioMath::kMaxChannels;
}

size_t BytesPerSample(AudioMath::SampleFormat format) { return format == AudioMath::SampleFormat::Float32 ? 4 : 2; }

}  // namespace

size_t QuietestFrame(const BYTE* data, size_t frames, AudioMath::SampleFormat format, int channels, size_t from,
                     size_t to) {
  if (to > frames) to = frames;
  if (!Supported(format, channels) || from >= to) return from;
  const size_t frameBytes = BytesPerSample(format) * static_cast<size_t>(channels);
  size_t best = from;
  float quietest = Level(data + from * frameBytes, format, channels);
  for (size_t i = from + 1; i < to && quietest > 0.0f; ++i) {
    const float level = Level(data + i * frameBytes, format, channels);
    if (level < quietest) {
      quietest = level;
      best = i;
    }
  }
  return best;
}

size_t StretchedFrames(size_t frames, double speed) {
  if (frames == 0) return 0;
  if (!(speed > 1.0)) return frames;
  const size_t out = static_cast<size_t>(static_cast<double>(frames) / speed);
  return out < 1 ? 1 : out;
}

bool Stretch(const BYTE* in, size_t inFrames, BYTE* out, size_t outFrames, AudioMath::SampleFormat format,
             int channels) {
  if (!Supported(format, channels) || inFrames == 0 || outFrames == 0) return false;
  const double step = outFrames > 1 ? static_cast<double>(inFrames - 1) / static_cast<double>(outFrames - 1) : 0.0;
  const size_t sampleBytes = BytesPerSample(format);
  for (size_t i = 0; i < outFrames; ++i) {
    const double position = step * static_cast<double>(i);
    size_t left = static_cast<size_t>(position);
    if (left >= inFrames - 1) left = inFrames > 1 ? inFrames - 2 : 0;
    const size_t right = inFrames > 1 ? left + 1 : 0;
    const float fraction = inFrames > 1 ? static_cast<float>(position - static_cast<double>(left)) : 0.0f;
    for (int c = 0; c < channels; ++c) {
      const size_t a = (left * static_cast<size_t>(channels) + static_cast<size_t>(c)) * sampleBytes;
      const size_t b = (right * static_cast<size_t>(channels) + static_cast<size_t>(c)) * sampleBytes;
      const size_t o = (i * static_cast<size_t>(channels) + static_cast<size_t>(c)) * sampleBytes;
      if (format == AudioMath::SampleFormat::Float32) {
        float x = 0.0f, y = 0.0f;
        std::memcpy(&x, in + a, 4);
        std::memcpy(&y, in + b, 4);
        const float value = x + (y - x) * fraction;
        std::memcpy(out + o, &value, 4);
      } else {
        int16_t x = 0, y = 0;
        std::memcpy(&x, in + a, 2);
        std::memcpy(&y, in + b, 2);
        const int16_t value = static_cast<int16_t>(std::lround(x + (y - x) * fraction));
        std::memcpy(out + o, &value, 2);
      }
    }
  }
  return true;
}

}  // namespace AudioEdit
}  // namespace MediaFoundation
}  // namespace ORVO
