// Host callbacks that misbehave while the host stops the player: one that calls the player's own
// getters from inside the callback, one that never returns, one that keeps asking for a buffer one
// byte larger than the one it got. Stop must come back within a bounded time on both engines.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "StressKit.h"
#include "TestWindow.h"

using stress::Engine;
using stress::FedPlayer;
using stress::Streams;

namespace {

enum class Misbehaviour { GettersDuringStop, NeverReturns, OneByteMore };

// Callbacks are plain functions: their script lives here, fresh in each scenario's own process.
std::atomic<Misbehaviour> g_mode{Misbehaviour::GettersDuringStop};
std::atomic<int> g_calls{0};
std::atomic<bool> g_stopping{false};
std::atomic<int> g_reentrantCalls{0};
std::atomic<int> g_lastState{-1};
HANDLE g_misbehaving = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // set once the callback misbehaves
HANDLE g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);      // set to let it behave again

const GUID kNeededSizeKey = ORVO_NEEDED_SIZE_KEY_INIT;

int ScriptedCallback(int playerId, unsigned char streamId, IMFSample* sample, int reserved) {
  // The first samples flow normally, so that playback is really running when the host stops.
  if (++g_calls < 15 || WaitForSingleObject(g_release, 0) == WAIT_OBJECT_0) {
    return orvo_hostkit::HostFeeder::Callback(playerId, streamId, sample, reserved);
  }
  SetEvent(g_misbehaving);
  switch (g_mode.load()) {
    case Misbehaviour::GettersDuringStop:
      // Wait (bounded) for the host to be inside Stop, then ask about our own player.
      for (int i = 0; i < 200 && !g_stopping; ++i) Sleep(5);
      Sleep(50);
      g_lastState = GetState(playerId);
      GetPosition(playerId);
      GetVolume(playerId);
      IsStreamActive(playerId, streamId);
      ++g_reentrantCalls;
      return orvo_hostkit::HostFeeder::Callback(playerId, streamId, sample, reserved);
    case Misbehaviour::NeverReturns:
      WaitForSingleObject(g_release, INFINITE);  // only the test's clean-up lets it go
      return 1;
    case Misbehaviour::OneByteMore: {
      IMFMediaBuffer* buffer = nullptr;
      DWORD capacity = 0;
      if (SUCCEEDED(sample->GetBufferByIndex(0, &buffer))) {
        buffer->GetMaxLength(&capacity);
        buffer->Release();
      }
      sample->SetUINT32(kNeededSizeKey, capacity + 1);
      return ORVO_REQUEST_BUFFER_TOO_SMALL;
    }
  }
  return 1;
}

// Plays until the callback misbehaves, then stops from the host while it does.
void StopWhileTheCallbackMisbehaves(Engine engine, Misbehaviour mode) {
  g_mode = mode;
  orvo_test::TestWindow window(160, 90, L"callback");
  FedPlayer player(engine, window.hwnd(), Streams::Audio, &ScriptedCallback);
  ASSERT_EQ(player.Open(), Ok);
  ASSERT_EQ(Play(player.id()), Ok);
  ASSERT_TRUE(stress::PumpUntil([] { return WaitForSingleObject(g_misbehaving, 0) == WAIT_OBJECT_0; }, 15000))
      << "the callback was called " << g_calls << " times in 15 s";
  stress::PumpUntil([] { return false; }, 200);  // let it settle into its misbehaviour

  g_stopping = true;
  static std::atomic<int> stopResult{-1};
  const int id = player.id();
  const long stopMs = stress::BoundedCall([id] { stopResult = Stop(id); }, stress::kStopBoundMs + 3000);
  printf("[ figures  ] Stop with the callback misbehaving: %ld ms (-1: still running after %lu ms)\n", stopMs,
         stress::kStopBoundMs + 3000);
  if (stopMs == -1) {
    // A Stop that does not return leaves the library wedged: nothing after it could run.
    player.Abandon();
    FAIL() << "Stop did not return within " << stress::kStopBoundMs + 3000 << " ms";
  }
  EXPECT_LE(stopMs, static_cast<long>(stress::kStopBoundMs));
  EXPECT_EQ(stopResult, Ok);
  if (mode == Misbehaviour::GettersDuringStop) {
    EXPECT_TRUE(stress::PumpUntil([] { return g_reentrantCalls > 0; }, 2000)) << "the callback's getters never returned";
    EXPECT_TRUE(g_lastState == Started || g_lastState == Stopped) << "state seen inside the callback: " << g_lastState;
  }
  EXPECT_TRUE(stress::PumpUntil([&] { return GetState(id) == Stopped; }, 2000))
      << "state " << stress::StateName(GetState(id));

  SetEvent(g_release);
  const long closeMs = stress::BoundedCall([&player] { player.Close(); }, 5000);
  EXPECT_NE(closeMs, -1) << "Close did not return once the callback behaved again";
}

}  // namespace

TEST(Callback, GettersOfItsOwnPlayerWhileTheHostStopsLowLatency) {
  EXPECT_EXIT(stress::RunIsolated("getters during Stop, low-latency", 60000,
                                  [] { StopWhileTheCallbackMisbehaves(Engine::LowLatency, Misbehaviour::GettersDuringStop); }),
              ::testing::ExitedWithCode(0), "");
}

TEST(Callback, GettersOfItsOwnPlayerWhileTheHostStopsSession) {
  EXPECT_EXIT(stress::RunIsolated("getters during Stop, session", 60000,
                                  [] { StopWhileTheCallbackMisbehaves(Engine::Session, Misbehaviour::GettersDuringStop); }),
              ::testing::ExitedWithCode(0), "");
}

TEST(Callback, ThatNeverReturnsCannotHoldStopLowLatency) {
  EXPECT_EXIT(stress::RunIsolated("callback never returns, low-latency", 60000,
                                  [] { StopWhileTheCallbackMisbehaves(Engine::LowLatency, Misbehaviour::NeverReturns); }),
              ::testing::ExitedWithCode(0), "");
}

TEST(Callback, ThatNeverReturnsCannotHoldStopSession) {
  EXPECT_EXIT(stress::RunIsolated("callback never returns, session", 60000,
                                  [] { StopWhileTheCallbackMisbehaves(Engine::Session, Misbehaviour::NeverReturns); }),
              ::testing::ExitedWithCode(0), "");
}

TEST(Callback, AskingForOneByteMoreForeverCannotHoldStopLowLatency) {
  EXPECT_EXIT(stress::RunIsolated("one byte more, low-latency", 60000,
                                  [] { StopWhileTheCallbackMisbehaves(Engine::LowLatency, Misbehaviour::OneByteMore); }),
              ::testing::ExitedWithCode(0), "");
}

TEST(Callback, AskingForOneByteMoreForeverCannotHoldStopSession) {
  EXPECT_EXIT(stress::RunIsolated("one byte more, session", 60000,
                                  [] { StopWhileTheCallbackMisbehaves(Engine::Session, Misbehaviour::OneByteMore); }),
              ::testing::ExitedWithCode(0), "");
}
