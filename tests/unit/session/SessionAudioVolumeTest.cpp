// Volume and balance: remembered before playback, applied on Started, mapped onto channel gains.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include <limits>
#include <vector>

#include "SessionEngineFixture.h"
#include "common/ComAdopt.h"

using session_test::FakeStreamVolume;
using session_test::ServiceMode;

using SessionAudioVolumeTest = session_test::SessionEngineTest;

TEST_F(SessionAudioVolumeTest, VolumeGivenBeforePlaybackIsAppliedOnStarted) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(2, 1.0f));
  openReady();
  EXPECT_EQ(player->SetVolume(0.8), S_OK);  // no control before Started: remembered
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  EXPECT_EQ(fake->streamVolume->setCalls, 1);
  // The unset balance is read back from equal channels as centre.
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{0.8f, 0.8f}));
  EXPECT_NEAR(player->GetVolume(), 0.8, 1e-6);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
}

TEST_F(SessionAudioVolumeTest, BalanceGivenAloneBeforePlaybackIsAppliedOnStarted) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(2, 0.6f));
  openReady();
  EXPECT_EQ(player->SetBalance(0.75), S_OK);
  EXPECT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  // The volume is read from the renderer (0.6) and the left side faded to half of it.
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{0.3f, 0.6f}));
}

TEST_F(SessionAudioVolumeTest, StereoBalanceThenVolume) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(2));
  startPlaying();
  EXPECT_EQ(player->SetBalance(0.25), S_OK);
  EXPECT_EQ(player->SetVolume(1.0), S_OK);
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{1.0f, 0.5f}));
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.25);
  EXPECT_DOUBLE_EQ(player->GetVolume(), 1.0);
}

TEST_F(SessionAudioVolumeTest, SixChannelBalanceFadesEveryEvenChannel) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(6));
  startPlaying();
  EXPECT_EQ(player->SetVolume(1.0), S_OK);
  EXPECT_EQ(player->SetBalance(0.75), S_OK);
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{0.5f, 1.0f, 0.5f, 1.0f, 0.5f, 1.0f}));
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.75);
}

TEST_F(SessionAudioVolumeTest, MonoReportsCentreWhateverWasSet) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(1));
  startPlaying();
  EXPECT_EQ(player->SetBalance(0.2), S_OK);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
}

TEST_F(SessionAudioVolumeTest, VolumeOutsideTheUnitRangeIsRefusedAndNothingChanges) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(2, 0.7f));
  startPlaying();
  EXPECT_EQ(player->SetVolume(1.5), E_INVALIDARG);
  EXPECT_EQ(player->SetVolume(-0.1), E_INVALIDARG);
  EXPECT_EQ(player->SetBalance(std::numeric_limits<double>::quiet_NaN()), E_INVALIDARG);
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_NEAR(player->GetVolume(), 0.7, 1e-6);
}

TEST_F(SessionAudioVolumeTest, GetVolumeWithoutAControlReportsFullAndRemembersNothing) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(2, 0.4f));
  openReady();
  // Stopped: no control may be created yet.
  EXPECT_DOUBLE_EQ(player->GetVolume(), 1.0);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
  EXPECT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  // Neither query stored a setting, so nothing was applied on Started.
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_NEAR(player->GetVolume(), 0.4, 1e-6);
}

TEST_F(SessionAudioVolumeTest, ChannelCountFailureDropsTheStreamVolume) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = ORVO::AdoptRef(new FakeStreamVolume(2));
  fake->streamVolume->channelCountResult = E_FAIL;
  startPlaying();
  EXPECT_EQ(player->SetVolume(0.5), S_OK);  // falls back; nothing reaches the stream volume
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
}
