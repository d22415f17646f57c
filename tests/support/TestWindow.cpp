#include "TestWindow.h"

#include <atomic>

namespace orvo_test {

namespace {
std::atomic<int> g_hostMessages{0};
const wchar_t kClassName[] = L"OrvoTestWindow";

void registerClassOnce() {
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &TestWindow::HostProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  registered = true;
}
}  // namespace

LRESULT CALLBACK TestWindow::HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  ++g_hostMessages;
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

int TestWindow::hostMessageCount() { return g_hostMessages.load(); }

TestWindow::TestWindow(int width, int height, const wchar_t* title) {
  registerClassOnce();
  RECT rect = {0, 0, width, height};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  m_hwnd = CreateWindowExW(0, kClassName, title, WS_OVERLAPPEDWINDOW, 0, 0, rect.right - rect.left,
                           rect.bottom - rect.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (m_hwnd) {
    ShowWindow(m_hwnd, SW_SHOW);
    UpdateWindow(m_hwnd);
    pump(50);
  }
}

TestWindow::~TestWindow() {
  if (m_hwnd) DestroyWindow(m_hwnd);
  pump(0);
}

void TestWindow::pump(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (milliseconds) Sleep(5);
  } while (GetTickCount() - start < milliseconds);
}

void TestWindow::resize(int clientWidth, int clientHeight) {
  RECT rect = {0, 0, clientWidth, clientHeight};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  SetWindowPos(m_hwnd, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top, SWP_NOZORDER | SWP_NOMOVE);
  pump(50);
}

}  // namespace orvo_test
