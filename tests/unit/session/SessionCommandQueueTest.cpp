// Transport requests waiting behind an unconfirmed command: one per slot, issued lowest slot first.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include "SessionEngineFixture.h"

using ORVO::MediaFoundation::SessionCommandQueue;
using session_test::kSecond;

using SessionCommandQueueTest = session_test::SessionEngineTest;

TEST_F(SessionCommandQueueTest, LaterRequestsReplaceWaitingOnesInTheirSlot) {
  open();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->queuedCommands().size(), 1u);
  EXPECT_EQ(player->RequestStop(), S_OK);
  EXPECT_EQ(queued(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandStop);
  EXPECT_EQ(player->RequestSeek(3 * kSecond), S_OK);
  EXPECT_EQ(player->RequestSeek(4 * kSecond), S_OK);
  EXPECT_EQ(player->RequestRate(1.5), S_OK);
  EXPECT_EQ(player->RequestRate(0.5), S_OK);
  const auto map = player->queuedCommands();
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at(SessionCommandQueue::SlotSeek).position, 4 * kSecond);
  EXPECT_DOUBLE_EQ(map.at(SessionCommandQueue::SlotRate).rate, 0.5);
  // Queries report what is waiting.
  EXPECT_EQ(player->GetPosition(), 4 * kSecond);
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 0.5);
  EXPECT_EQ(fake->callList(), "SetTopology");
}

TEST_F(SessionCommandQueueTest, PauseThenSeekWaitBehindStartAndRunInSlotOrder) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);  // nothing in flight: issued at once
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty)");
  EXPECT_EQ(player->RequestSeek(5 * kSecond), S_OK);
  EXPECT_EQ(player->RequestPause(), S_OK);
  EXPECT_EQ(player->GetPosition(), 5 * kSecond);

  deliver(MESessionStarted);  // transport slot before seek slot
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty) Pause");
  EXPECT_EQ(queued(SessionCommandQueue::SlotSeek), SessionCommandQueue::CommandSeek);

  deliver(MESessionPaused);
  EXPECT_EQ(player->GetState(), Paused);
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty) Pause Start(position=50000000)");
  EXPECT_EQ(player->GetPosition(), 5 * kSecond);  // in flight until confirmed

  deliver(MESessionStarted);
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_TRUE(player->queuedCommands().empty());
  EXPECT_TRUE(player->inFlightCommands().empty());
}

TEST_F(SessionCommandQueueTest, RunQueuedIssuesTransportThenSeekThenRate) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestRate(2.0), S_OK);
  EXPECT_EQ(player->RequestSeek(kSecond), S_OK);
  EXPECT_EQ(player->RequestStop(), S_OK);

  deliver(MESessionStarted);
  EXPECT_EQ(fake->calls.back(), "Stop");
  deliver(MESessionStopped);
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_EQ(fake->calls.back(), "Start(position=10000000)");  // a seek has no state condition
  EXPECT_EQ(fake->rate->setCalls, 0);
  deliver(MESessionStarted);
  EXPECT_EQ(fake->rate->setCalls, 1);
  EXPECT_FLOAT_EQ(fake->rate->rate, 2.0f);
  EXPECT_FALSE(fake->rate->thinned);
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotRate), SessionCommandQueue::CommandRate);
  fake->rate->rate = 1.75f;  // the session's own answer is only read once the change is confirmed
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 2.0);
  deliver(MESessionRateChanged);
  EXPECT_EQ(player->GetState(), Started);  // a rate change leaves the state alone
  EXPECT_TRUE(player->inFlightCommands().empty());
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 1.75);
}

// The session confirms a Stop late, and not at all while the source is held up: from the moment
// a Stop is accepted the player is Stopped to the host, with nothing to pause, until a Play asked
// for after it is confirmed.
TEST_F(SessionCommandQueueTest, AcceptedStopIsTheStateUntilALaterPlayIsConfirmed) {
  startPlaying();
  EXPECT_EQ(player->RequestStop(), S_OK);
  EXPECT_EQ(fake->calls.back(), "Stop");
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_EQ(player->RequestPause(), MF_E_INVALIDREQUEST);
  EXPECT_EQ(player->RequestStart(), S_OK);  // waits behind the Stop
  EXPECT_EQ(player->GetState(), Stopped);
  deliver(MESessionStopped);
  EXPECT_EQ(fake->calls.back(), "Start(empty)");
  EXPECT_EQ(player->GetState(), Stopped);
  deliver(MESessionStarted);
  EXPECT_EQ(player->GetState(), Started);
}
