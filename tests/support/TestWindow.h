#pragma once

#include <windows.h>

namespace orvo_test {

// A real top-level window under the test bed's X server, created and pumped on the calling thread.
class TestWindow {
 public:
  TestWindow(int width, int height, const wchar_t* title = L"orvo test");
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND hwnd() const { return m_hwnd; }
  // Dispatches pending messages for up to the given time.
  void pump(DWORD milliseconds = 0);
  void resize(int clientWidth, int clientHeight);
  // Counts messages that reached the window's own procedure (the "host" procedure).
  static LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static int hostMessageCount();

 private:
  HWND m_hwnd = nullptr;
};

}  // namespace orvo_test
