// What the library does to the host's windows and their threads: the preview window it subclasses
// for the Media Session engine, and the hidden window of a low-latency audio stream. The session's
// events on the preview window are checked with the session engine's own tests.
#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "AdtsReader.h"
#include "HostMediaTypes.h"
#include "MediaFiles.h"
#include "OrvoMedia.h"
#include "TestWindow.h"
#include "Waiting.h"

namespace {

int createSessionPlayer() {
  int id = 0;
  EXPECT_EQ(Create(&id), Ok);
  EXPECT_EQ(UseLowLatencyRenderer(id, false), Ok);
  return id;
}

LONG_PTR procedureOf(HWND window) { return GetWindowLongPtrW(window, GWLP_WNDPROC); }

TEST(WindowHygiene, PreviewWindowsSetInTurnGoBackToTheirHostWithTheirUserData) {
  orvo_test::TestWindow first(160, 90, L"first"), second(160, 90, L"second");
  SetWindowLongPtrW(first.hwnd(), GWLP_USERDATA, 0x1111);
  SetWindowLongPtrW(second.hwnd(), GWLP_USERDATA, 0x2222);
  const LONG_PTR hostProc = procedureOf(first.hwnd());
  const int id = createSessionPlayer();

  ASSERT_EQ(SetPreviewWindow(id, first.hwnd()), Ok);
  EXPECT_NE(procedureOf(first.hwnd()), hostProc);
  ASSERT_EQ(SetPreviewWindow(id, second.hwnd()), Ok);
  EXPECT_EQ(procedureOf(first.hwnd()), hostProc) << "the first window stays subclassed";
  EXPECT_NE(procedureOf(second.hwnd()), hostProc);
  // The session events of a second player on the same window would never reach its engine.
  const int other = createSessionPlayer();
  EXPECT_EQ(SetPreviewWindow(other, second.hwnd()), InvalidState);
  EXPECT_EQ(Close(other), Ok);
  EXPECT_NE(procedureOf(second.hwnd()), hostProc) << "closing the refused player let go of the window";
  const int before = orvo_test::TestWindow::hostMessageCount();
  SendMessageW(second.hwnd(), WM_USER + 5, 0, 0);
  EXPECT_EQ(orvo_test::TestWindow::hostMessageCount(), before + 1);

  EXPECT_EQ(Close(id), Ok);
  EXPECT_EQ(procedureOf(second.hwnd()), hostProc);
  EXPECT_EQ(GetWindowLongPtrW(first.hwnd(), GWLP_USERDATA), 0x1111);
  EXPECT_EQ(GetWindowLongPtrW(second.hwnd(), GWLP_USERDATA), 0x2222);
}

int EndingCallback(int, unsigned char, IMFSample*, int) { return 1; }

BOOL CALLBACK FindAudioWindow(HWND window, LPARAM found) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, 128);
  if (std::wstring(name).rfind(L"DirectSound Renderer 0x", 0) != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

// Opens a low-latency player with one AAC stream on the calling thread; answers its hidden window.
HWND openAudioPlayer(int* id) {
  orvo_hostkit::AdtsReader reader;
  IMFMediaType* type = nullptr;
  if (Create(id) != Ok || !reader.Open(orvo_test::MediaPath("tone-440hz-48k-stereo.aac")) ||
      CreateMediaType(*id, &type) != Ok) {
    return nullptr;
  }
  const bool described = orvo_hostkit::DescribeAac(type, reader.format()) == S_OK && AddMediaType(*id, type) == Ok;
  type->Release();
  if (!described || SetCallback(*id, &EndingCallback) != Ok || Open(*id, L"orvo://low_latency_renderer") != Ok) {
    return nullptr;
  }
  HWND hidden = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &FindAudioWindow, reinterpret_cast<LPARAM>(&hidden));
  return hidden;
}

// A host opens on its UI thread and closes from a worker: the audio stream's hidden window must
// neither end the UI thread's message loop nor outlive the player, window class included.
TEST(WindowHygiene, HiddenAudioWindowNeverEndsTheHostsLoopAndGoesWithTheCloseFromAnotherThread) {
  int id = 0;
  HWND hidden = nullptr;
  wchar_t className[128] = {};
  std::atomic<int> stage{0};  // 1: opened and poked, -1: could not open
  std::atomic<bool> closed{false};
  bool quitPosted = false, survivedClose = false, gone = false;
  std::thread ui([&] {
    hidden = openAudioPlayer(&id);
    if (!hidden) {
      stage = -1;
      return;
    }
    GetClassNameW(hidden, className, 128);
    SendMessageW(hidden, WM_CLOSE, 0, 0);
    SendMessageW(hidden, WM_KEYDOWN, VK_ESCAPE, 0);
    MSG msg;
    quitPosted = PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    survivedClose = IsWindow(hidden) != FALSE;
    stage = 1;
    // The host's loop goes on while another thread closes the player.
    gone = orvo_test::WaitUntil([&] {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      return closed && !IsWindow(hidden);
    }, 5000);
  });
  orvo_test::WaitUntil([&] { return stage != 0; }, 20000);
  EXPECT_EQ(Close(id), Ok);
  closed = true;
  ui.join();
  ASSERT_EQ(stage, 1) << "no hidden audio window on the opening thread";
  EXPECT_FALSE(quitPosted) << "WM_CLOSE or Escape on the hidden window ended the host's message loop";
  EXPECT_TRUE(survivedClose);
  EXPECT_TRUE(gone) << "the hidden window outlived Close on another thread";
  WNDCLASSEXW info = {};
  info.cbSize = sizeof(info);
  EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(L"ORVO.Media.dll"), className, &info)) << "its class is still registered";
}

}  // namespace
