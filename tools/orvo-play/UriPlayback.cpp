#include "UriPlayback.h"

#include <cstdio>

#include "OrvoMedia.h"

namespace {

constexpr LONGLONG kTicksPerSecond = 10000000;

const char* StateName(int state) {
  static const char* const names[] = {"Closed", "Ready", "OpenPending", "Started",
                                      "Paused", "Stopped", "Closing", "Error"};
  return state >= 0 && state < 8 ? names[state] : "?";
}

void PrintProgress(int id) {
  const double position = static_cast<double>(GetPosition(id)) / kTicksPerSecond;
  const double duration = static_cast<double>(GetDuration(id)) / kTicksPerSecond;
  printf("\r  %7.2f s / %7.2f s  %-11s rate %.2f  volume %.2f  balance %.2f ", position, duration,
         StateName(GetState(id)), GetPlaybackRate(id), GetVolume(id), GetBalance(id));
  fflush(stdout);
}

// Keys reach the host's own window procedure: the library chains to it after subclassing.
void HandleKey(int id, WPARAM key, bool* paused) {
  const LONGLONG step = 5 * kTicksPerSecond;
  switch (key) {
    case VK_SPACE:
      *paused ? Play(id) : Pause(id);
      *paused = !*paused;
      break;
    case VK_LEFT: {
      const LONGLONG to = GetPosition(id) - step;
      SetPosition(id, to > 0 ? to : 0);
      break;
    }
    case VK_RIGHT:
      SetPosition(id, GetPosition(id) + step);
      break;
    case VK_UP:
    case VK_DOWN: {
      double v = GetVolume(id) + (key == VK_UP ? 0.1 : -0.1);
      SetVolume(id, v < 0 ? 0 : (v > 1 ? 1 : v));
      break;
    }
    case '1':
      SetPlaybackRate(id, 1.0);
      break;
    case '2':
      SetPlaybackRate(id, 2.0);
      break;
    default:
      break;
  }
}

}  // namespace

int RunUriPlayback(HWND window, const UriPlaybackOptions& opts) {
  if (opts.log) SetLog(true);
  int id = 0;
  Create(&id);
  UseLowLatencyRenderer(id, false);  // before SetPreviewWindow: the session engine subclasses it
  if (SetPreviewWindow(id, window) != Ok) {
    printf("SetPreviewWindow failed\n");
    Close(id);
    return 1;
  }
  const int opened = Open(id, opts.uri.c_str());
  if (opened != Ok) {
    printf("Open(%ls) failed with %d\n", opts.uri.c_str(), opened);
    Close(id);
    return 1;
  }
  if (opts.volume >= 0) SetVolume(id, opts.volume);
  if (opts.balance >= 0) SetBalance(id, opts.balance);
  Play(id);  // queued by the engine until the topology is ready
  if (opts.rate != 1.0) SetPlaybackRate(id, opts.rate);
  printf("playing %ls through the Media Session engine\n", opts.uri.c_str());

  const DWORD start = GetTickCount();
  DWORD lastProgress = 0;
  bool paused = false, pauseDone = false, seekDone = false, sawStarted = false;
  int result = 0;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) goto done;
      if (msg.message == WM_KEYDOWN) HandleKey(id, msg.wParam, &paused);
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const double elapsed = (GetTickCount() - start) / 1000.0;
    const int state = GetState(id);
    if (state == Started) sawStarted = true;
    if (opts.pauseAt >= 0 && !pauseDone && elapsed >= opts.pauseAt) {
      Pause(id);
      paused = true;
      pauseDone = true;
    }
    if (pauseDone && paused && elapsed >= opts.pauseAt + 1.0) {
      Play(id);
      paused = false;
    }
    if (opts.seekAt >= 0 && !seekDone && elapsed >= opts.seekAt) {
      SetPosition(id, static_cast<LONGLONG>(opts.seekTo * kTicksPerSecond));
      seekDone = true;
    }
    if (GetTickCount() - lastProgress >= 500) {
      PrintProgress(id);
      lastProgress = GetTickCount();
    }
    if (state == Error) {
      printf("\nthe session reported an error\n");
      result = 1;
      break;
    }
    if (sawStarted && state == Stopped && !paused) break;  // end of the presentation
    if (opts.duration > 0 && elapsed >= opts.duration) break;
    Sleep(10);
  }
done:
  PrintProgress(id);
  printf("\n");
  Stop(id);
  Close(id);
  return result;
}
