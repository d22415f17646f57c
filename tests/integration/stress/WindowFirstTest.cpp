// A host that destroys its video window before it is done with the player: a form closing does
// exactly that. Video lives on the low-latency engine whose window goes between Stop and Close,
// or while the picture is still playing, with the window owned by the thread that drives the
// player or by another one. The process must stay up, every export must answer, and the next
// life on a fresh window must show pictures again.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "StressKit.h"
#include "TestWindow.h"
#include "UnixCommand.h"

using stress::Engine;
using stress::FedPlayer;
using stress::Streams;

namespace {

// When in the life the window goes, which thread owns it and which thread closes the player:
// each life takes one of the 16 combinations, from the bits of its number.
struct Variant {
  bool whilePlaying;    // between Play and Stop, else between Stop and Close
  bool otherThread;     // the window belongs to a thread that is not driving the player
  bool atOnce;          // right after Play, while the renderer may still be setting up; else once
                        // pictures are on the window
  bool closeElsewhere;  // Close comes from yet another thread
  explicit Variant(int life)
      : whilePlaying(life & 1), otherThread(life & 2), atOnce(life & 4), closeElsewhere(life & 8) {}
};

unsigned long long Presented(int id) {
  OrvoStreamStatistics statistics = {};
  statistics.size = sizeof(statistics);
  return GetStatistics(id, 0, &statistics) == Ok ? statistics.presented : 0;
}

// A window created, pumped and destroyed by a thread of its own, as a host's UI thread would.
class ForeignWindow {
 public:
  ForeignWindow() : m_thread([this] { Run(); }) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [&] { return m_hwnd != nullptr; });
  }
  ~ForeignWindow() {
    Destroy();
    m_thread.join();
  }
  HWND hwnd() const { return m_hwnd; }
  // Returns once the owning thread has destroyed the window.
  void Destroy() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_destroy = true;
    m_changed.wait(hold, [&] { return m_destroyed; });
  }

 private:
  void Run() {
    auto* window = new orvo_test::TestWindow(320, 180, L"window first, foreign");
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_hwnd = window->hwnd();
    }
    m_changed.notify_all();
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_destroy) break;
      }
      window->pump(5);
    }
    delete window;
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_destroyed = true;
    }
    m_changed.notify_all();
  }

  std::mutex m_lock;
  std::condition_variable m_changed;
  HWND m_hwnd = nullptr;
  bool m_destroy = false;
  bool m_destroyed = false;
  std::thread m_thread;
};

stress::CallBoard g_board{3};  // the driving thread 0, the window's own 1, the closing one 2

// Runs one step on the board, so that a hang names it.
template <typename Fn>
auto Step(int thread, const char* what, int id, Fn fn) -> decltype(fn()) {
  g_board.Enter(thread, what, id);
  auto result = fn();
  g_board.Leave(thread);
  return result;
}

void LivesWhoseWindowGoesFirst() {
  const std::string configured = orvo_test::TestbedEnv("ORVO_WINDOW_FIRST_LIVES");
  const int lives = configured.empty() ? 16 : std::atoi(configured.c_str());
  stress::Watchdog watchdog("window first", 230000, [] { return g_board.Describe(); });
  // A neighbour tile plays throughout, on a device of its own: the process keeps drawing while
  // the lives come and go.
  orvo_test::TestWindow neighbourWindow(320, 180, L"window first, neighbour");
  FedPlayer neighbour(Engine::LowLatency, neighbourWindow.hwnd(), Streams::Video);
  ASSERT_EQ(neighbour.Open(), Ok);
  ASSERT_EQ(Play(neighbour.id()), Ok);
  for (int life = 0; life < lives; ++life) {
    const Variant variant(life);
    std::unique_ptr<orvo_test::TestWindow> own;
    std::unique_ptr<ForeignWindow> foreign;
    HWND window = nullptr;
    if (variant.otherThread) {
      foreign.reset(new ForeignWindow());
      window = foreign->hwnd();
    } else {
      own.reset(new orvo_test::TestWindow(320, 180, L"window first"));
      window = own->hwnd();
    }
    auto destroyWindow = [&] {
      if (foreign) Step(1, "DestroyWindow", 0, [&] { foreign->Destroy(); return 0; });
      Step(0, "DestroyWindow", 0, [&] { own.reset(); return 0; });
    };
    const std::string name = "life " + std::to_string(life) +
                             (variant.whilePlaying ? ", window gone while playing" : ", window gone after Stop") +
                             (variant.atOnce ? " right after Play" : "") +
                             (variant.otherThread ? ", window on another thread" : "") +
                             (variant.closeElsewhere ? ", closed on another thread" : "");
    FedPlayer player(Engine::LowLatency, window, Streams::VideoAndAudio);
    const int id = player.id();
    ASSERT_EQ(player.previewWindowResult(), Ok) << name;
    ASSERT_EQ(Step(0, "Open", id, [&] { return player.Open(); }), Ok) << name;
    ASSERT_EQ(Step(0, "Play", id, [&] { return Play(id); }), Ok) << name;
    // Pictures reached the window: the swap chain, its textures and the upload path all exist.
    if (!variant.atOnce) {
      EXPECT_TRUE(stress::PumpUntil([&] { return Presented(id) >= 10; }, 20000))
          << name << ": " << Presented(id) << " pictures presented";
    }
    if (variant.whilePlaying) {
      destroyWindow();
      // The rendering thread meets the dead window at its next frames.
      const unsigned long long before = player.feeder().delivered(0);
      stress::PumpUntil([&] { return player.feeder().delivered(0) >= before + 10 || GetState(id) == Error; }, 5000);
      const int state = GetState(id);
      EXPECT_TRUE(state == Started || state == Error) << name << ": state " << stress::StateName(state);
    }
    EXPECT_EQ(Step(0, "Stop", id, [&] { return Stop(id); }), Ok) << name;
    if (!variant.whilePlaying) destroyWindow();
    int closed = Failed;
    if (variant.closeElsewhere) {
      std::thread closer([&] { closed = Step(2, "Close", id, [&] { return player.Close(); }); });
      closer.join();
    } else {
      closed = Step(0, "Close", id, [&] { return player.Close(); });
    }
    EXPECT_EQ(closed, Ok) << name;
    EXPECT_EQ(GetState(id), Closed) << name;
    printf("[ figures  ] %s: closed\n", name.c_str());
  }
  const unsigned long long shown = Presented(neighbour.id());
  EXPECT_TRUE(stress::PumpUntil([&] { return Presented(neighbour.id()) >= shown + 10; }, 10000))
      << "the neighbour tile stopped showing pictures";
  EXPECT_EQ(neighbour.Close(), Ok);
}

}  // namespace

TEST(WindowFirst, VideoLivesWhoseWindowIsDestroyedBeforeCloseLeaveTheProcessWorking) {
  EXPECT_EXIT(stress::RunIsolated("window first", 240000, &LivesWhoseWindowGoesFirst), ::testing::ExitedWithCode(0), "");
}
