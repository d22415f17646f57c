#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

// Test signals for the audio renderer: uncompressed audio media types, tones with a continuous
// phase, and samples wrapping them.
namespace orvo_test {

struct PcmFormat {
  uint32_t rate;
  uint32_t channels;
  uint32_t bits;
  bool isFloat;
  uint32_t blockAlign() const { return channels * bits / 8; }
};

inline Microsoft::WRL::ComPtr<IMFMediaType> MakeAudioType(const PcmFormat& f) {
  Microsoft::WRL::ComPtr<IMFMediaType> type;
  if (FAILED(MFCreateMediaType(&type))) return nullptr;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, f.isFloat ? MFAudioFormat_Float : MFAudioFormat_PCM);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, f.rate);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, f.channels);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, f.bits);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, f.blockAlign());
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, f.blockAlign() * f.rate);
  type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
  return type;
}

// One segment of a test signal: a sine of `frequency` Hz and peak `amplitude` for `seconds`.
struct ToneSegment {
  double frequency;
  double amplitude;
  double seconds;
};

// Writes the segments one after another with a continuous phase, the same value on every channel.
inline std::vector<BYTE> MakeTone(const PcmFormat& f, const std::vector<ToneSegment>& segments) {
  std::vector<BYTE> out;
  double phase = 0.0;
  const double twoPi = 6.283185307179586;
  for (const ToneSegment& s : segments) {
    const size_t frames = static_cast<size_t>(std::llround(s.seconds * f.rate));
    for (size_t i = 0; i < frames; ++i) {
      const double v = s.amplitude * std::sin(phase);
      phase += twoPi * s.frequency / f.rate;
      if (phase > twoPi) phase -= twoPi;
      for (uint32_t c = 0; c < f.channels; ++c) {
        if (f.isFloat) {
          const float x = static_cast<float>(v);
          const BYTE* p = reinterpret_cast<const BYTE*>(&x);
          out.insert(out.end(), p, p + 4);
        } else {
          const int16_t x = static_cast<int16_t>(std::lround(v * 32767.0));
          const BYTE* p = reinterpret_cast<const BYTE*>(&x);
          out.insert(out.end(), p, p + 2);
        }
      }
    }
  }
  return out;
}

inline Microsoft::WRL::ComPtr<IMFSample> MakeSample(const BYTE* data, size_t bytes) {
  Microsoft::WRL::ComPtr<IMFSample> sample;
  Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(MFCreateSample(&sample))) return nullptr;
  if (FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(bytes ? bytes : 1), &buffer))) return nullptr;
  BYTE* target = nullptr;
  buffer->Lock(&target, nullptr, nullptr);
  if (bytes) memcpy(target, data, bytes);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes));
  sample->AddBuffer(buffer.Get());
  return sample;
}

}  // namespace orvo_test
