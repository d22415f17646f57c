#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "render/AudioEdit.h"

namespace AudioEdit = ORVO::MediaFoundation::AudioEdit;
using ORVO::MediaFoundation::AudioMath::SampleFormat;

TEST(AudioEdit, CutPointIsTheQuietestFrameAndTheSpeedUpInterpolatesEvenly) {
  // Stereo float: loud, loud, a near-silent frame whose loudest channel is the right one, loud.
  const std::vector<float> frames = {0.9f, -0.8f, 0.5f, 0.5f, 0.0f, -0.01f, 0.7f, 0.2f};
  const BYTE* data = reinterpret_cast<const BYTE*>(frames.data());
  EXPECT_EQ(AudioEdit::QuietestFrame(data, 4, SampleFormat::Float32, 2, 0, 4), 2u);
  EXPECT_EQ(AudioEdit::QuietestFrame(data, 4, SampleFormat::Float32, 2, 0, 2), 1u) << "only within the range";
  EXPECT_EQ(AudioEdit::QuietestFrame(data, 4, SampleFormat::Int24, 2, 1, 4), 1u) << "unknown formats cut at `from`";

  EXPECT_EQ(AudioEdit::StretchedFrames(1000, 1.05), 952u);
  EXPECT_EQ(AudioEdit::StretchedFrames(1000, 1.0), 1000u);
  EXPECT_EQ(AudioEdit::StretchedFrames(1, 1.05), 1u);

  // A ramp 0, 100, ..., 400 (mono 16-bit) read at 3 even steps keeps both ends.
  const std::vector<int16_t> ramp = {0, 100, 200, 300, 400};
  std::vector<int16_t> out(3, -1);
  ASSERT_TRUE(AudioEdit::Stretch(reinterpret_cast<const BYTE*>(ramp.data()), 5, reinterpret_cast<BYTE*>(out.data()),
                                 3, SampleFormat::Int16, 1));
  EXPECT_EQ(out, (std::vector<int16_t>{0, 200, 400}));
  EXPECT_FALSE(AudioEdit::Stretch(reinterpret_cast<const BYTE*>(ramp.data()), 5, reinterpret_cast<BYTE*>(out.data()),
                                  3, SampleFormat::Int32, 1));
}
