// The preview window of a Media Session player, as the host's own procedure sees it.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "MediaFiles.h"
#include "OrvoMedia.h"
#include "TestWindow.h"
#include "Waiting.h"

namespace {

LONG_PTR procedureOf(HWND window) { return GetWindowLongPtrW(window, GWLP_WNDPROC); }

// The host's procedure of the preview window: counts the session's messages that reach it, and
// on kAskFromAnotherThread waits (bounded) for another thread that asks the player for its state,
// as a UI thread waiting for a worker would.
constexpr UINT kSessionEvent = WM_APP + 1;
constexpr UINT kAskFromAnotherThread = WM_USER + 7;
WNDPROC g_testWindowProc = nullptr;
std::atomic<int> g_sessionEventsSeen{0};
std::atomic<int> g_player{0};
std::atomic<bool> g_answeredWhileHostWaited{false};

LRESULT CALLBACK WaitingHostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSessionEvent) ++g_sessionEventsSeen;
  if (message == kAskFromAnotherThread) {
    std::atomic<bool> answered{false};
    std::thread worker([&] {
      GetState(g_player);
      answered = true;
    });
    g_answeredWhileHostWaited = orvo_test::WaitUntil([&] { return answered.load(); }, 2000);
    worker.join();
    return 0;
  }
  return CallWindowProcW(g_testWindowProc, window, message, wParam, lParam);
}

TEST(SessionWindow, SessionEventsStayWithTheLibraryAndTheHostsProcedureRunsUnderNoLibraryLock) {
  orvo_test::TestWindow window(160, 90, L"session events");
  g_testWindowProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WaitingHostProc)));
  int id = 0;
  ASSERT_EQ(Create(&id), Ok);
  ASSERT_EQ(UseLowLatencyRenderer(id, false), Ok);
  g_player = id;
  ASSERT_EQ(SetPreviewWindow(id, window.hwnd()), Ok);
  const std::wstring tone = orvo_test::MediaPath("tone-440hz-48k-stereo.wav");
  ASSERT_EQ(Open(id, tone.c_str()), Ok);
  ASSERT_EQ(Play(id), Ok);
  // Only the session's events, handled through the window, move the state on to Started.
  EXPECT_TRUE(orvo_test::WaitUntil([&] {
    window.pump(0);
    return GetState(id) == Started;
  }, 5000)) << "state " << GetState(id);
  EXPECT_EQ(g_sessionEventsSeen, 0) << "session events were passed on to the host's procedure";

  SendMessageW(window.hwnd(), kAskFromAnotherThread, 0, 0);
  EXPECT_TRUE(g_answeredWhileHostWaited) << "GetState waited for the host's procedure to return";

  EXPECT_EQ(Close(id), Ok);
  EXPECT_EQ(procedureOf(window.hwnd()), reinterpret_cast<LONG_PTR>(&WaitingHostProc));
  SetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_testWindowProc));
}

}  // namespace
