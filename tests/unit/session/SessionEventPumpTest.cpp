// Session events on their way to the window, and the close confirmation the pump waits for.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include <thread>

#include "SessionEngineFixture.h"
#include "Waiting.h"
#include "session/PostedSessionEvents.h"

using ORVO::MediaFoundation::MediaFoundationPlayer;
using ORVO::MediaFoundation::PostedSessionEvents;

using SessionEventPumpTest = session_test::SessionEngineTest;

TEST_F(SessionEventPumpTest, EventsStillTravellingWhenTheEngineGoesAreReleased) {
  startPlaying();
  const size_t before = PostedSessionEvents::Instance().InFlight();
  // Raise events but do not pump: they wait in the window's queue.
  ASSERT_EQ(fake->Raise(MESessionNotifyPresentationTime), S_OK);
  ASSERT_EQ(fake->Raise(MESessionNotifyPresentationTime), S_OK);
  ASSERT_TRUE(orvo_test::WaitUntil([&] { return PostedSessionEvents::Instance().InFlight() >= before + 2; }, 3000));
  ASSERT_EQ(PostedSessionEvents::Instance().InFlight(), before + 2);
  player->Dispose();
  EXPECT_EQ(PostedSessionEvents::Instance().InFlight(), before);
  // The messages still arrive; the window procedure must ignore their stale pointers.
  const int handledBefore = handled();
  ASSERT_TRUE(pumpUntil([&] { return handled() >= handledBefore + 2; }));
  EXPECT_EQ(player->GetState(), Closed);
}

TEST_F(SessionEventPumpTest, DisposeOfASessionThatNeverConfirmsCloseReturnsAfterTheLimit) {
  startPlaying();
  fake->answerClose = false;  // as Wine's session after a rate change: no further events
  const DWORD start = GetTickCount();
  EXPECT_EQ(player->Dispose(), S_OK);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, MediaFoundationPlayer::kCloseTimeoutMs - 100);
  EXPECT_LT(elapsed, MediaFoundationPlayer::kCloseTimeoutMs + 1500);
  EXPECT_EQ(fake->shutdownCalls.load(), 1);  // shut down all the same
  EXPECT_EQ(player->GetState(), Closed);
}

TEST_F(SessionEventPumpTest, CloseWaitsForTheStopInFlightAndIsLeftOutWhenItNeverCompletes) {
  // A Close queued behind a running command is what the platform's session can run twice.
  // A session that never confirms the Stop would never run a Close queued behind it: after the
  // settle time it is shut down without one (a new Open tears the old session down).
  startPlaying();
  ASSERT_EQ(player->RequestStop(), S_OK);
  useNewSession();
  DWORD start = GetTickCount();
  open();
  DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, MediaFoundationPlayer::kSettleTimeoutMs - 100);
  EXPECT_LT(elapsed, MediaFoundationPlayer::kSettleTimeoutMs + 1000);
  EXPECT_EQ(retired.back()->callList().substr(retired.back()->callList().rfind("Stop")), "Stop Shutdown");

  // A Stop confirmed meanwhile lets the Close go at once.
  deliverTopologyReady();
  ASSERT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  ASSERT_EQ(player->RequestStop(), S_OK);
  std::thread confirm([&] {
    Sleep(300);
    fake->Raise(MESessionStopped);
  });
  start = GetTickCount();
  EXPECT_EQ(player->Dispose(), S_OK);
  elapsed = GetTickCount() - start;
  confirm.join();
  EXPECT_GE(elapsed, 250u);
  EXPECT_LT(elapsed, MediaFoundationPlayer::kSettleTimeoutMs);
  EXPECT_EQ(fake->callList().substr(fake->callList().rfind("Stop")), "Stop Close Shutdown");
}
