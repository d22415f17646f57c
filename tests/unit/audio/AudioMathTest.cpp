#include <gtest/gtest.h>
#include <mfapi.h>

#include <cstring>
#include <limits>
#include <vector>

#include "render/AudioMath.h"

using namespace ORVO::MediaFoundation::AudioMath;

namespace {

WAVEFORMATEXTENSIBLE extensible(WORD channels, DWORD rate, WORD containerBits, WORD validBits, const GUID& subFormat) {
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = containerBits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * containerBits / 8);
  f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * rate;
  f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  f.Samples.wValidBitsPerSample = validBits;
  f.SubFormat = subFormat;
  return f;
}

WAVEFORMATEX plain(WORD tag, WORD channels, DWORD rate, WORD bits) {
  WAVEFORMATEX f = {};
  f.wFormatTag = tag;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * rate;
  return f;
}

template <class T>
std::vector<T> scaled(std::vector<T> samples, SampleFormat format, int channels, std::vector<float> gains) {
  ApplyGains(reinterpret_cast<BYTE*>(samples.data()), samples.size() * sizeof(T), format, channels, gains.data());
  return samples;
}

}  // namespace

TEST(AudioMath, GainTolerancesAroundUnityAndSilence) {
  EXPECT_EQ(ClassifyGain(1.0f), GainAction::Unchanged);
  EXPECT_EQ(ClassifyGain(1.005f), GainAction::Unchanged);
  EXPECT_EQ(ClassifyGain(0.995f), GainAction::Unchanged);
  EXPECT_EQ(ClassifyGain(1.02f), GainAction::Scale);
  EXPECT_EQ(ClassifyGain(0.005f), GainAction::Silence);
  EXPECT_EQ(ClassifyGain(0.0f), GainAction::Silence);
  EXPECT_EQ(ClassifyGain(0.02f), GainAction::Scale);
  EXPECT_EQ(ClassifyGain(2.0f), GainAction::Scale);
}

TEST(AudioMath, BalanceFadesOneSideLikeTheSessionEngine) {
  float g[6];
  ChannelGains(1.0, 0.5, 2, g);
  EXPECT_FLOAT_EQ(g[0], 1.0f);
  EXPECT_FLOAT_EQ(g[1], 1.0f);
  ChannelGains(1.0, 0.25, 2, g);  // left full, right half
  EXPECT_FLOAT_EQ(g[0], 1.0f);
  EXPECT_FLOAT_EQ(g[1], 0.5f);
  ChannelGains(1.0, 0.0, 2, g);
  EXPECT_FLOAT_EQ(g[0], 1.0f);
  EXPECT_FLOAT_EQ(g[1], 0.0f);
  ChannelGains(0.8, 1.0, 2, g);
  EXPECT_FLOAT_EQ(g[0], 0.0f);
  EXPECT_FLOAT_EQ(g[1], 0.8f);
  // Six channels: even indexes are left, odd ones right, whatever the speaker layout.
  ChannelGains(1.0, 0.75, 6, g);
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(g[i], (i % 2) ? 1.0f : 0.5f) << "channel " << i;
  // A mono stream is a left channel only: balance to the right fades it.
  ChannelGains(1.0, 0.75, 1, g);
  EXPECT_FLOAT_EQ(g[0], 0.5f);
}

TEST(AudioMath, OutOfRangeVolumeAndBalanceAreTamed) {
  float g[2];
  ChannelGains(-1.0, 0.5, 2, g);
  EXPECT_FLOAT_EQ(g[0], 0.0f);
  EXPECT_FLOAT_EQ(g[1], 0.0f);
  ChannelGains(std::numeric_limits<double>::quiet_NaN(), 0.5, 2, g);
  EXPECT_FLOAT_EQ(g[0], 0.0f);
  ChannelGains(1.0, 7.0, 2, g);  // clamped to 1.0: right only
  EXPECT_FLOAT_EQ(g[0], 0.0f);
  EXPECT_FLOAT_EQ(g[1], 1.0f);
  ChannelGains(1.0, -3.0, 2, g);  // clamped to 0.0: left only
  EXPECT_FLOAT_EQ(g[0], 1.0f);
  EXPECT_FLOAT_EQ(g[1], 0.0f);
  ChannelGains(2.0, std::numeric_limits<double>::quiet_NaN(), 2, g);  // centre
  EXPECT_FLOAT_EQ(g[0], 2.0f);
  EXPECT_FLOAT_EQ(g[1], 2.0f);
}

TEST(AudioMath, MixFormatsMapToSubtypesAndSampleFormats) {
  const WAVEFORMATEXTENSIBLE wineMix = extensible(2, 48000, 32, 32, MFAudioFormat_Float);
  EXPECT_EQ(SubtypeOf(wineMix.Format), MFAudioFormat_Float);
  EXPECT_EQ(SampleFormatOf(wineMix.Format), SampleFormat::Float32);

  const WAVEFORMATEX pcm16 = plain(WAVE_FORMAT_PCM, 2, 44100, 16);
  EXPECT_EQ(SubtypeOf(pcm16), MFAudioFormat_PCM);
  EXPECT_EQ(SampleFormatOf(pcm16), SampleFormat::Int16);
  EXPECT_EQ(SampleFormatOf(plain(WAVE_FORMAT_PCM, 2, 48000, 24)), SampleFormat::Int24);
  EXPECT_EQ(SampleFormatOf(plain(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32)), SampleFormat::Float32);
  // 24 valid bits in a 32-bit container are scaled as 32-bit integers.
  EXPECT_EQ(SampleFormatOf(extensible(2, 48000, 32, 24, MFAudioFormat_PCM).Format), SampleFormat::Int32);
  EXPECT_EQ(SampleFormatOf(plain(WAVE_FORMAT_PCM, 1, 8000, 8)), SampleFormat::Unsupported);
  EXPECT_EQ(SampleFormatOf(plain(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 64)), SampleFormat::Unsupported);

  WAVEFORMATEX other = plain(0x0055 /* MP3 */, 2, 44100, 0);
  EXPECT_EQ(SubtypeOf(other), GUID_NULL);
  EXPECT_EQ(SampleFormatOf(other), SampleFormat::Unsupported);
  // An extensible tag without room for the extension is not read past its end.
  WAVEFORMATEXTENSIBLE truncated = wineMix;
  truncated.Format.cbSize = 0;
  EXPECT_EQ(SubtypeOf(truncated.Format), GUID_NULL);
}

TEST(AudioMath, ResamplerOnlyWhenLayoutOrRateDiffers) {
  const WAVEFORMATEXTENSIBLE mix = extensible(2, 48000, 32, 32, MFAudioFormat_Float);
  const GUID mixSubtype = SubtypeOf(mix.Format);
  EXPECT_FALSE(NeedsResampler({MFAudioFormat_Float, 48000, 2, 32, 8}, mixSubtype, mix.Format));
  EXPECT_TRUE(NeedsResampler({MFAudioFormat_Float, 44100, 2, 32, 8}, mixSubtype, mix.Format));
  EXPECT_TRUE(NeedsResampler({MFAudioFormat_Float, 48000, 1, 32, 4}, mixSubtype, mix.Format));
  EXPECT_TRUE(NeedsResampler({MFAudioFormat_PCM, 48000, 2, 32, 8}, mixSubtype, mix.Format));
  EXPECT_TRUE(NeedsResampler({MFAudioFormat_PCM, 48000, 2, 16, 4}, mixSubtype, mix.Format));
  // The bit depth alone is not compared.
  EXPECT_FALSE(NeedsResampler({MFAudioFormat_Float, 48000, 2, 24, 8}, mixSubtype, mix.Format));
}

TEST(AudioMath, FloatSamplesScaleAndClipAtFullScale) {
  std::vector<float> s = {0.25f, -0.25f, 0.8f, -0.8f};
  EXPECT_EQ(scaled(s, SampleFormat::Float32, 2, {2.0f, 2.0f}), (std::vector<float>{0.5f, -0.5f, 1.0f, -1.0f}));
  EXPECT_EQ(scaled(s, SampleFormat::Float32, 2, {0.5f, 1.0f}), (std::vector<float>{0.125f, -0.25f, 0.4f, -0.8f}));
  EXPECT_EQ(scaled(s, SampleFormat::Float32, 2, {0.005f, 1.005f}), (std::vector<float>{0.0f, -0.25f, 0.0f, -0.8f}));
}

TEST(AudioMath, IntegerSamplesTruncateTowardZeroAndClamp) {
  std::vector<int16_t> s16 = {3, -3, 20000, -20000, 32767, -32768};
  EXPECT_EQ(scaled(s16, SampleFormat::Int16, 2, {0.5f, 0.5f}), (std::vector<int16_t>{1, -1, 10000, -10000, 16383, -16384}));
  EXPECT_EQ(scaled(s16, SampleFormat::Int16, 2, {2.0f, 2.0f}), (std::vector<int16_t>{6, -6, 32767, -32768, 32767, -32768}));

  std::vector<int32_t> s32 = {1000000000, -1000000000, 5, -5};
  EXPECT_EQ(scaled(s32, SampleFormat::Int32, 2, {3.0f, 3.0f}), (std::vector<int32_t>{INT32_MAX, INT32_MIN, 15, -15}));

  // Packed 24-bit: +4194304 and -4194304 per frame, two channels.
  std::vector<uint8_t> s24 = {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0};
  ApplyGains(s24.data(), s24.size(), SampleFormat::Int24, 2, std::vector<float>{0.5f, 4.0f}.data());
  EXPECT_EQ(s24, (std::vector<uint8_t>{0x00, 0x00, 0x20, 0x00, 0x00, 0x80}));  // 2097152 and clamped -8388608
}

TEST(AudioMath, OnlyWholeFramesAreTouched) {
  // Two channels of int16: 3 whole frames and one stray byte.
  std::vector<uint8_t> data(13, 0x7F);
  std::vector<float> silence = {0.0f, 0.0f};
  ASSERT_TRUE(ApplyGains(data.data(), data.size(), SampleFormat::Int16, 2, silence.data()));
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(data[i], 0) << i;
  EXPECT_EQ(data[12], 0x7F);

  std::vector<float> gains = {2.0f};
  EXPECT_FALSE(ApplyGains(data.data(), data.size(), SampleFormat::Unsupported, 1, gains.data()));
  EXPECT_FALSE(ApplyGains(data.data(), data.size(), SampleFormat::Int16, 0, gains.data()));
  EXPECT_FALSE(ApplyGains(data.data(), data.size(), SampleFormat::Int16, kMaxChannels + 1, gains.data()));
}

TEST(AudioMath, FramesToWriteIsBoundedByRoomAndStagedWholeFrames) {
  EXPECT_EQ(FramesToWrite(48000, 0, 8 * 1000, 8), 1000u);
  EXPECT_EQ(FramesToWrite(48000, 47500, 8 * 1000, 8), 500u);
  EXPECT_EQ(FramesToWrite(48000, 48000, 8 * 1000, 8), 0u);
  EXPECT_EQ(FramesToWrite(48000, 50000, 8 * 1000, 8), 0u);  // a padding past the buffer is "full"
  EXPECT_EQ(FramesToWrite(48000, 0, 8 * 1000 + 7, 8), 1000u);
  EXPECT_EQ(FramesToWrite(48000, 0, 7, 8), 0u);
  EXPECT_EQ(FramesToWrite(48000, 0, 100, 0), 0u);
}

TEST(AudioMath, StagingSizes) {
  EXPECT_EQ(GrowCapacity(1000), 4000u);
  EXPECT_EQ(BytesForSeconds(48000, 8, 10), 3840000u);
  EXPECT_EQ(BytesForSeconds(48000, 8, 0), 0u);
}
