#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "api/EventDetector.h"
#include "api/EventDispatcher.h"
#include "Waiting.h"

using ORVO::Media::EventDetector;
using ORVO::Media::EventDispatcher;
using ORVO::Media::PlayerSnapshot;

namespace {

constexpr int64_t kMs = 10000;

std::vector<int> Types(const std::vector<OrvoEvent>& events) {
  std::vector<int> types;
  for (const OrvoEvent& e : events) types.push_back(e.type);
  return types;
}

}  // namespace

// One live stream through a whole session: each change is told once, in order, with its stream.
TEST(EventDetector, LiveStreamFromOpenToStop) {
  EventDetector detector;
  PlayerSnapshot player;
  player.state = Ready;
  player.streams.resize(1);
  player.streams[0].active = true;
  std::vector<OrvoEvent> events = detector.next(7, player, 0);
  ASSERT_EQ(Types(events), std::vector<int>{OrvoEventStateChanged});
  EXPECT_EQ(events[0].state, Ready);
  EXPECT_EQ(events[0].playerId, 7);
  EXPECT_EQ(events[0].streamIndex, -1);

  player.state = Started;
  EXPECT_EQ(Types(detector.next(7, player, 10 * kMs)), std::vector<int>{OrvoEventStateChanged});
  player.streams[0].returned = 3;
  player.streams[0].presented = 1;
  events = detector.next(7, player, 100 * kMs);
  ASSERT_EQ(Types(events), std::vector<int>{OrvoEventFirstFrame});
  EXPECT_EQ(events[0].streamIndex, 0);
  player.streams[0].presented = 20;
  EXPECT_TRUE(detector.next(7, player, 1000 * kMs).empty()) << "one first frame per Play";

  // The host stops delivering: a stall after 1 s without a sample, over with the next one.
  EXPECT_TRUE(detector.next(7, player, 1090 * kMs).empty());
  EXPECT_EQ(Types(detector.next(7, player, 1110 * kMs)), std::vector<int>{OrvoEventStallBegan});
  EXPECT_TRUE(detector.next(7, player, 1500 * kMs).empty());
  player.streams[0].returned = 4;
  EXPECT_EQ(Types(detector.next(7, player, 1600 * kMs)), std::vector<int>{OrvoEventStallEnded});

  player.streams[0].error = static_cast<HRESULT>(0x887A0005);
  player.state = Error;
  events = detector.next(7, player, 1700 * kMs);
  ASSERT_EQ(Types(events), (std::vector<int>{OrvoEventStateChanged, OrvoEventError}));
  EXPECT_EQ(events[1].error, static_cast<HRESULT>(0x887A0005));
  EXPECT_TRUE(detector.next(7, player, 5000 * kMs).empty()) << "a failed stream does not stall";

  // Played again: the stream starts over and its end is told once.
  player.state = Stopped;
  player.streams[0].error = S_OK;
  detector.next(7, player, 5100 * kMs);
  player.state = Started;
  detector.next(7, player, 5200 * kMs);
  player.streams[0].presented = 21;
  player.streams[0].ended = true;
  EXPECT_EQ(Types(detector.next(7, player, 5300 * kMs)),
            (std::vector<int>{OrvoEventFirstFrame, OrvoEventStreamEnded}));
  EXPECT_TRUE(detector.next(7, player, 9000 * kMs).empty()) << "an ended stream does not stall";

  // The chosen audio endpoint could not play: told once per fallback, for the player as a whole; a
  // snapshot that hides the engine for a moment (a stop in flight) is no new fallback afterwards.
  player.endpointFallbacks = 1;
  player.endpointFallbackError = E_INVALIDARG;
  events = detector.next(7, player, 9100 * kMs);
  ASSERT_EQ(Types(events), std::vector<int>{OrvoEventError});
  EXPECT_EQ(events[0].streamIndex, -1);
  EXPECT_EQ(events[0].error, E_INVALIDARG);
  player.endpointFallbacks = 0;
  EXPECT_TRUE(detector.next(7, player, 9200 * kMs).empty());
  player.endpointFallbacks = 1;
  EXPECT_TRUE(detector.next(7, player, 9300 * kMs).empty());
  player.endpointFallbacks = 2;
  EXPECT_EQ(Types(detector.next(7, player, 9400 * kMs)), std::vector<int>{OrvoEventError});
}

// The host's callback may close the player from inside it, and a callback that never comes back
// does not hold the player's Close for more than about 2 s.
TEST(EventDispatcher, CallbackMayStopItsOwnDispatcherAndABlockedOneIsLeftBehind) {
  struct Host {
    std::atomic<int> calls{0};
    EventDispatcher* dispatcher = nullptr;
    HANDLE release = nullptr;
  };
  const auto probe = [] {
    PlayerSnapshot snapshot;
    snapshot.state = Started;
    return snapshot;
  };

  Host closing;
  auto selfStopping = std::make_unique<EventDispatcher>(1, probe);
  closing.dispatcher = selfStopping.get();
  selfStopping->setCallback(
      [](const OrvoEvent* event, void* context) {
        Host* host = static_cast<Host*>(context);
        if (event->type == OrvoEventStateChanged && event->state == Started) host->dispatcher->stop();
        ++host->calls;
      },
      &closing);
  ASSERT_TRUE(orvo_test::WaitUntil([&] { return closing.calls.load() == 1; }, 5000));
  Sleep(3 * EventDispatcher::kPollMilliseconds);
  EXPECT_EQ(closing.calls.load(), 1) << "nothing is delivered after the stop";
  selfStopping.reset();

  Host blocked;
  blocked.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto dispatcher = std::make_unique<EventDispatcher>(2, probe);
  dispatcher->setCallback(
      [](const OrvoEvent*, void* context) {
        Host* host = static_cast<Host*>(context);
        ++host->calls;
        WaitForSingleObject(host->release, INFINITE);
      },
      &blocked);
  ASSERT_TRUE(orvo_test::WaitUntil([&] { return blocked.calls.load() == 1; }, 5000));
  const ULONGLONG start = GetTickCount64();
  dispatcher.reset();
  EXPECT_LT(GetTickCount64() - start, 2 * EventDispatcher::kStopWaitMilliseconds);
  SetEvent(blocked.release);
  Sleep(5 * EventDispatcher::kPollMilliseconds);
  EXPECT_EQ(blocked.calls.load(), 1) << "the watcher left behind ends without another event";
  CloseHandle(blocked.release);
}
