#include <gtest/gtest.h>

#include <mferror.h>

#include <cmath>
#include <limits>

#include "session/SessionAudioMath.h"

using namespace ORVO::MediaFoundation;

TEST(SessionAudioMath, StereoGainsFadeTheSideAwayFromTheBalance) {
  // Centre keeps both; leaning right fades the left (even) channel, leaning left the right one.
  EXPECT_EQ(ChannelVolumes(2, 1.0, 0.5), (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(ChannelVolumes(2, 1.0, 0.25), (std::vector<float>{1.0f, 0.5f}));
  EXPECT_EQ(ChannelVolumes(2, 1.0, 0.75), (std::vector<float>{0.5f, 1.0f}));
  EXPECT_EQ(ChannelVolumes(2, 1.0, 0.0), (std::vector<float>{1.0f, 0.0f}));
  EXPECT_EQ(ChannelVolumes(2, 1.0, 1.0), (std::vector<float>{0.0f, 1.0f}));
  // The master volume scales every gain.
  const std::vector<float> scaled = ChannelVolumes(2, 0.8, 0.25);
  EXPECT_FLOAT_EQ(scaled[0], 0.8f);
  EXPECT_FLOAT_EQ(scaled[1], 0.4f);
}

TEST(SessionAudioMath, SixChannelsAlternateLeftAndRight) {
  const std::vector<float> volumes = ChannelVolumes(6, 1.0, 0.75);
  ASSERT_EQ(volumes.size(), 6u);
  for (int i = 0; i < 6; i += 2) EXPECT_FLOAT_EQ(volumes[i], 0.5f) << "channel " << i;
  for (int i = 1; i < 6; i += 2) EXPECT_FLOAT_EQ(volumes[i], 1.0f) << "channel " << i;
}

TEST(SessionAudioMath, MonoIsCentredWhateverTheGains) {
  const float one[1] = {0.3f};
  EXPECT_DOUBLE_EQ(BalanceFromChannels(one, 1), 0.5);
  // A mono stream is channel 0, a left channel: a right balance fades it.
  EXPECT_FLOAT_EQ(ChannelVolumes(1, 1.0, 0.75)[0], 0.5f);
}

TEST(SessionAudioMath, BalanceReadBackInvertsTheGains) {
  const float leftLoud[2] = {1.0f, 0.5f};
  const float rightLoud[2] = {0.5f, 1.0f};
  const float equal[2] = {0.7f, 0.7f};
  const float silent[2] = {0.0f, 0.0f};
  EXPECT_DOUBLE_EQ(BalanceFromChannels(leftLoud, 2), 0.25);
  EXPECT_DOUBLE_EQ(BalanceFromChannels(rightLoud, 2), 0.75);
  EXPECT_DOUBLE_EQ(BalanceFromChannels(equal, 2), 0.5);
  EXPECT_DOUBLE_EQ(BalanceFromChannels(silent, 2), 0.5);
  for (double balance : {0.0, 0.1, 0.25, 0.5, 0.6, 0.9, 1.0}) {
    const std::vector<float> volumes = ChannelVolumes(2, 0.6, balance);
    EXPECT_NEAR(BalanceFromChannels(volumes.data(), 2), balance, 1e-6) << balance;
    EXPECT_NEAR(VolumeFromChannels(volumes.data(), 2), 0.6, 1e-6) << balance;
  }
}

TEST(SessionAudioMath, VolumeIsTheLoudestChannel) {
  const float volumes[6] = {0.1f, 0.9f, 0.3f, 0.2f, 0.0f, 0.5f};
  EXPECT_FLOAT_EQ(static_cast<float>(VolumeFromChannels(volumes, 6)), 0.9f);
  EXPECT_DOUBLE_EQ(VolumeFromChannels(volumes, 0), 0.0);
}

TEST(SessionAudioMath, UnitRangeRefusesWhatThePlatformCannotTake) {
  EXPECT_TRUE(IsUnitRange(0.0));
  EXPECT_TRUE(IsUnitRange(1.0));
  EXPECT_FALSE(IsUnitRange(-0.01));
  EXPECT_FALSE(IsUnitRange(1.01));
  EXPECT_FALSE(IsUnitRange(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(IsUnitRange(std::numeric_limits<double>::infinity()));
}

TEST(SessionAudioMath, RateThinningIsUsedOnlyWhenPlainPlaybackRefuses) {
  bool thin = true;
  EXPECT_EQ(ChooseRateThinning(S_OK, MF_E_UNSUPPORTED_RATE, &thin), S_OK);
  EXPECT_FALSE(thin);
  EXPECT_EQ(ChooseRateThinning(MF_E_UNSUPPORTED_RATE, S_OK, &thin), S_OK);
  EXPECT_TRUE(thin);
  EXPECT_EQ(ChooseRateThinning(MF_E_UNSUPPORTED_RATE, MF_E_REVERSE_UNSUPPORTED, &thin), MF_E_REVERSE_UNSUPPORTED);
  EXPECT_FALSE(thin);
}
