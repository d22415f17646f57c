// Eight threads call random exports on random ids (playing players of both engines, closed ids and
// ids that never existed) for a bounded time. No call may take over 3 s: a stuck call prints what
// every thread is in and fails. Unknown ids must get the documented neutral answers throughout.
#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "StressKit.h"
#include "TestWindow.h"
#include "UnixCommand.h"

using stress::Engine;
using stress::FedPlayer;
using stress::Streams;

namespace {

constexpr int kThreads = 8;
constexpr DWORD kLongestCallMs = 3000;
constexpr DWORD kStuckCallMs = 30000;

// A player the hammer may close; whoever closes it puts a fresh one in its place.
struct Slot {
  std::mutex lock;
  std::unique_ptr<FedPlayer> player;
  std::atomic<int> id{0};
  Engine engine = Engine::LowLatency;
  HWND window = nullptr;  // a window of its own, pumped by the window thread
};

struct Hammer {
  Slot slots[6];
  std::mutex closedLock;
  std::vector<int> closedIds;
  std::atomic<long long> calls{0};
  std::atomic<long long> replaced{0};
  std::atomic<ULONGLONG> lastReplaced{0};
  std::mutex failureLock;
  std::vector<std::string> failures;
  stress::CallBoard board{kThreads};

  // Takes a live slot's player out of play and starts a fresh one (low-latency audio, or a session
  // player on the pumped window) in its place; at most one every 2 s, so that the hammer stays a
  // hammer of calls rather than a lifecycle churn. Answers false when it is not this one's turn.
  bool replace(Slot& slot, int thread) {
    ULONGLONG last = lastReplaced.load();
    const ULONGLONG now = GetTickCount64();
    if (now - last < 2000 || !lastReplaced.compare_exchange_strong(last, now)) return false;
    std::unique_lock<std::mutex> guard(slot.lock, std::try_to_lock);
    if (!guard.owns_lock() || !slot.player) return false;
    const int old = slot.player->id();
    board.Enter(thread, "Close", old);
    const int closed = slot.player->Close();
    board.Leave(thread);
    if (closed != Ok) fail("Close of live id " + std::to_string(old) + " answered " + std::to_string(closed));
    {
      std::lock_guard<std::mutex> closedGuard(closedLock);
      closedIds.push_back(old);
    }
    board.Enter(thread, "Create and describe", 0);
    slot.player.reset(new FedPlayer(slot.engine, slot.window, Streams::Audio));
    board.Leave(thread);
    const int id = slot.player->id();
    board.Enter(thread, "Open", id);
    slot.player->Open();
    board.Leave(thread);
    board.Enter(thread, "Play", id);
    Play(id);
    board.Leave(thread);
    slot.id = id;
    ++replaced;
    return true;
  }

  void fail(const std::string& what) {
    std::lock_guard<std::mutex> guard(failureLock);
    if (failures.size() < 20) failures.push_back(what);
  }
};

// One export with random arguments, and what it must answer for an id that is not a player.
struct Export {
  const char* name;
  double (*call)(int id, unsigned random);
  double unknownAnswer;
};

HBITMAP SmallBitmap() { return CreateBitmap(4, 4, 1, 32, nullptr); }

const Export kExports[] = {
    {"GetState", [](int id, unsigned) -> double { return GetState(id); }, Closed},
    {"GetDuration", [](int id, unsigned) -> double { return static_cast<double>(GetDuration(id)); }, 0},
    {"GetPosition", [](int id, unsigned) -> double { return static_cast<double>(GetPosition(id)); }, 0},
    {"GetPlaybackRate", [](int id, unsigned) { return GetPlaybackRate(id); }, 1.0},
    {"GetVolume", [](int id, unsigned) { return GetVolume(id); }, 1.0},
    {"GetBalance", [](int id, unsigned) { return GetBalance(id); }, 0.5},
    {"IsStreamActive", [](int id, unsigned r) -> double { return IsStreamActive(id, static_cast<int>(r % 3)); }, UnknownPlayer},
    {"Play", [](int id, unsigned) -> double { return Play(id); }, UnknownPlayer},
    {"Pause", [](int id, unsigned) -> double { return Pause(id); }, UnknownPlayer},
    {"Stop", [](int id, unsigned) -> double { return Stop(id); }, UnknownPlayer},
    {"SetPosition", [](int id, unsigned r) -> double { return SetPosition(id, (r % 3) * 10000000LL); }, UnknownPlayer},
    {"SetPlaybackRate", [](int id, unsigned r) -> double { return SetPlaybackRate(id, 0.5 + (r % 3) * 0.75); }, UnknownPlayer},
    {"SetVolume", [](int id, unsigned r) -> double { return SetVolume(id, (r % 11) / 10.0); }, UnknownPlayer},
    {"SetBalance", [](int id, unsigned r) -> double { return SetBalance(id, (r % 11) / 10.0); }, UnknownPlayer},
    {"SetStretch", [](int id, unsigned r) -> double { return SetStretch(id, r % 2); }, UnknownPlayer},
    {"SetSourceRect", [](int id, unsigned r) -> double { return SetSourceRect(id, (r % 3) * 0.25, 0.0, 1.0, 1.0 - (r % 2) * 0.5); }, UnknownPlayer},
    {"SetFullScreen", [](int id, unsigned) -> double { return SetFullScreen(id, FALSE); }, UnknownPlayer},
    {"SetAlphaBitmap",
     [](int id, unsigned) -> double {
       HBITMAP bitmap = SmallBitmap();
       const int result = SetAlphaBitmap(id, bitmap);
       // The session engine takes the bitmap also when it answers Failed; only these leave it to us.
       if (result == UnknownPlayer || result == InvalidState) DeleteObject(bitmap);
       return result;
     },
     UnknownPlayer},
    {"SetAudioOutputDevice", [](int id, unsigned) -> double { return SetAudioOutputDevice(id, 0, nullptr); }, UnknownPlayer},
    {"UseLowLatencyRenderer", [](int id, unsigned r) -> double { return UseLowLatencyRenderer(id, r % 2 == 0); }, UnknownPlayer},
    {"SetCallback", [](int id, unsigned) -> double { return SetCallback(id, &orvo_hostkit::HostFeeder::Callback); }, UnknownPlayer},
    {"SetEventCallback",
     [](int id, unsigned r) -> double {
       const OrvoEventCallback ignore = [](const OrvoEvent*, void*) {};
       return SetEventCallback(id, r % 3 ? ignore : nullptr, nullptr);
     },
     UnknownPlayer},
    {"SetPreviewWindow", [](int id, unsigned) -> double { return SetPreviewWindow(id, nullptr); }, UnknownPlayer},
    {"CreateMediaType",
     [](int id, unsigned) -> double {
       IMFMediaType* type = nullptr;
       const int result = CreateMediaType(id, &type);
       if (type) type->Release();
       return result == Ok && !type ? -1 : result;
     },
     UnknownPlayer},
    {"AddMediaType",
     [](int id, unsigned) -> double {
       // One type for every thread, made once and never released (the library keeps references
       // of its own). Not a thread_local: mingw's emulated TLS frees its storage before running
       // the destructor at thread exit, which released a pointer read from freed memory.
       static IMFMediaType* const type = [] {
         IMFMediaType* made = nullptr;
         if (SUCCEEDED(MFCreateMediaType(&made))) made->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
         return made;
       }();
       return type ? AddMediaType(id, type) : -1;
     },
     UnknownPlayer},
    {"Open", [](int id, unsigned) -> double { return Open(id, L"orvo://hammer"); }, UnknownPlayer},
    {"Close", nullptr, UnknownPlayer},   // on a live id: replaces the player (Hammer::replace)
    {"Create", nullptr, UnknownPlayer},  // a player that is closed again at once
};
constexpr int kExportCount = static_cast<int>(sizeof(kExports) / sizeof(kExports[0]));

void HammerThread(Hammer& hammer, int thread, ULONGLONG until) {
  std::mt19937 random(1234u + thread);
  while (GetTickCount64() < until) {
    const Export& e = kExports[random() % kExportCount];
    const unsigned pick = random() % 4;
    Slot& slot = hammer.slots[random() % 6];
    int id = slot.id;
    if (pick == 1) {
      std::lock_guard<std::mutex> guard(hammer.closedLock);
      if (!hammer.closedIds.empty()) id = hammer.closedIds[random() % hammer.closedIds.size()];
    } else if (pick == 2) {
      const int never[] = {0, -1, 0x7FFFFFFF, 1000000 + static_cast<int>(random() % 1000)};
      id = never[random() % 4];
    }
    const bool live = id == slot.id.load();
    ++hammer.calls;
    if (e.call == nullptr && strcmp(e.name, "Close") == 0) {
      if (live) {
        hammer.replace(slot, thread);
        continue;
      }
    } else if (e.call == nullptr) {  // Create
      int created = 0;
      hammer.board.Enter(thread, "Create", 0);
      Create(&created);
      hammer.board.Leave(thread);
      hammer.board.Enter(thread, "Close", created);
      const int closed = Close(created);
      hammer.board.Leave(thread);
      if (closed != Ok) hammer.fail("Close of a fresh id answered " + std::to_string(closed));
      std::lock_guard<std::mutex> guard(hammer.closedLock);
      hammer.closedIds.push_back(created);
      continue;
    }
    hammer.board.Enter(thread, e.name, id);
    const double answer = e.call ? e.call(id, random()) : Close(id);
    hammer.board.Leave(thread);
    if (!live && answer != e.unknownAnswer) {
      hammer.fail(std::string(e.name) + "(" + std::to_string(id) + ") on an unknown id answered " +
                  std::to_string(answer) + " instead of " + std::to_string(e.unknownAnswer));
    }
  }
}

void HammerTheExports() {
  const std::string configured = orvo_test::TestbedEnv("ORVO_STRESS_HAMMER_SECONDS");
  const int seconds = configured.empty() ? 60 : std::atoi(configured.c_str());
  Hammer hammer;
  std::atomic<bool> pumping{true};
  std::atomic<bool> windowsReady{false};
  std::thread ui([&] {
    // Slots 3 (video), 4 and 5 (session) each get a window; this thread pumps them all.
    orvo_test::TestWindow video(160, 90, L"hammer video"), first(160, 90, L"hammer session 1"),
        second(160, 90, L"hammer session 2");
    hammer.slots[3].window = video.hwnd();
    hammer.slots[4].window = first.hwnd();
    hammer.slots[5].window = second.hwnd();
    windowsReady = true;
    stress::PumpUntil([&] { return !pumping; }, INFINITE);
  });
  while (!windowsReady) Sleep(5);

  const Engine engines[6] = {Engine::LowLatency, Engine::LowLatency, Engine::LowLatency,
                             Engine::LowLatency, Engine::Session,    Engine::Session};
  for (int s = 0; s < 6; ++s) {
    Slot& slot = hammer.slots[s];
    slot.engine = engines[s];
    slot.player.reset(new FedPlayer(slot.engine, slot.window, s == 3 ? Streams::VideoAndAudio : Streams::Audio));
    EXPECT_EQ(slot.player->Open(), Ok) << "slot " << s;
    EXPECT_EQ(Play(slot.player->id()), Ok) << "slot " << s;
    slot.id = slot.player->id();
  }

  {
    // The first call past the limit prints every thread's state and fails the test at the end; only
    // a call that never comes back ends the process, so that a run still reports its figures.
    std::atomic<bool> reported{false};
    stress::Watchdog watchdog(
        "hammer", (seconds + 60) * 1000, [&] { return hammer.board.Describe(); },
        [&] {
          const long long oldest = hammer.board.OldestRunningMs();
          if (oldest > kLongestCallMs && !reported.exchange(true)) {
            printf("[ SLOW CALL ] a call has run for over %lu ms:\n%s", static_cast<unsigned long>(kLongestCallMs),
                   hammer.board.Describe().c_str());
            fflush(stdout);
          }
          return oldest > kStuckCallMs;
        });
    const ULONGLONG until = GetTickCount64() + seconds * 1000ULL;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { HammerThread(hammer, t, until); });
    for (std::thread& thread : threads) thread.join();
  }
  printf("[ figures  ] hammer: %d threads, %d s, %lld calls, %lld players replaced, %zu ids closed; longest call %s; "
         "calls over 1 s: %s\n",
         kThreads, seconds, hammer.calls.load(), hammer.replaced.load(), hammer.closedIds.size(),
         hammer.board.Longest().c_str(), hammer.board.SlowestKinds(1000).c_str());
  EXPECT_LE(hammer.board.LongestMs(), static_cast<long long>(kLongestCallMs)) << hammer.board.Longest();
  for (const std::string& failure : hammer.failures) ADD_FAILURE() << failure;

  // What is left must still stop and close.
  for (Slot& slot : hammer.slots) {
    const int id = slot.player->id();
    EXPECT_EQ(Stop(id), Ok) << "id " << id;
    EXPECT_EQ(slot.player->Close(), Ok) << "id " << id;
    EXPECT_EQ(GetState(id), Closed);
  }
  pumping = false;
  ui.join();
}

}  // namespace

TEST(Hammer, RandomExportsOnRandomIdsFromEightThreadsNeverTakeOverThreeSeconds) {
  EXPECT_EXIT(stress::RunIsolated("hammer", 600000, &HammerTheExports), ::testing::ExitedWithCode(0), "");
}
