// Seeking needs the presentation clock; rates go through the rate services, thinned when only that works.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include <limits>

#include "SessionEngineFixture.h"

using session_test::ServiceMode;
using session_test::kSecond;

using SessionPlaybackClockTest = session_test::SessionEngineTest;

TEST_F(SessionPlaybackClockTest, SeekWithoutAClockWaitsWhileOpeningAndFailsOnceReady) {
  fake->withClock = false;
  open();
  EXPECT_EQ(player->RequestSeek(kSecond), S_OK);  // only waits: the open is in flight
  deliverTopologyReady();
  EXPECT_FALSE(player->hasPresentationClock());
  EXPECT_TRUE(player->queuedCommands().empty());  // refused by RunQueued and dropped
  EXPECT_EQ(player->RequestSeek(kSecond), MF_E_NO_CLOCK);
  EXPECT_EQ(player->GetPosition(), 0);
}

TEST_F(SessionPlaybackClockTest, RatesOnlySupportedThinnedAreSetThinnedAndUnsupportedOnesFail) {
  startPlaying();
  EXPECT_EQ(player->RequestRate(4.0), S_OK);
  EXPECT_TRUE(fake->rate->thinned);
  EXPECT_FLOAT_EQ(fake->rate->rate, 4.0f);
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 4.0);
  deliver(MESessionRateChanged);
  EXPECT_EQ(player->RequestRate(16.0), MF_E_UNSUPPORTED_RATE);
  EXPECT_EQ(fake->rate->setCalls, 1);
  EXPECT_EQ(player->RequestRate(std::numeric_limits<double>::quiet_NaN()), E_INVALIDARG);
}

TEST_F(SessionPlaybackClockTest, NoRateServiceRefusesRateChanges) {
  fake->rateMode = ServiceMode::NullWithSuccess;
  startPlaying();
  EXPECT_EQ(player->RequestRate(1.5), MF_E_INVALIDREQUEST);
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 1.0);
}
