// orvo-play: a minimal host. It owns a window, describes its elementary streams to the library,
// and answers the library's RequestDataCallback with one access unit at a time, paced like a live
// feed. Everything it does goes through include/OrvoMedia.h.
//
//   orvo-play --video clip.h264 [--audio tone.aac|tone.wav] [--size 640x360] [--fps 30]
//             [--strategy lowlatency|smooth] [--duration 10] [--loop] [--log]
//             [--screenshot shot.png --screenshot-at 3]
//   orvo-play --uri file.m4a|http://... [--duration 10] [--pause-at 2] [--seek-at 3 --seek-to 1]
//             [--rate 2] [--volume 0.5] [--balance 0.5] [--log]
// The first form is a live feed through the low-latency engine; the second plays any file or URL
// through the Media Session engine (keys: space, arrows, 1, 2).
#include <windows.h>
#include <mfapi.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

#include "AdtsReader.h"
#include "AnnexBReader.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "OrvoMedia.h"
#include "UriPlayback.h"
#include "WavReader.h"

using namespace orvo_hostkit;

namespace {

struct Settings {
  std::wstring video, audio, strategy = L"lowlatency", screenshot;
  unsigned width = 640, height = 360, fps = 30;
  double duration = 0, screenshotAt = 3;
  bool loop = false, log = false;
  UriPlaybackOptions uri;  // used when --uri is given
};

bool EndsWith(const std::wstring& text, const wchar_t* suffix) {
  const size_t n = wcslen(suffix);
  return text.size() >= n && _wcsicmp(text.c_str() + text.size() - n, suffix) == 0;
}

bool Parse(int argc, wchar_t** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const wchar_t* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == L"--loop") s->loop = true;
    else if (arg == L"--log") s->log = true;
    else if (!next) return false;
    else if (arg == L"--video") s->video = argv[++i];
    else if (arg == L"--audio") s->audio = argv[++i];
    else if (arg == L"--strategy") s->strategy = argv[++i];
    else if (arg == L"--duration") s->duration = _wtof(argv[++i]);
    else if (arg == L"--fps") s->fps = static_cast<unsigned>(_wtoi(argv[++i]));
    else if (arg == L"--screenshot") s->screenshot = argv[++i];
    else if (arg == L"--screenshot-at") s->screenshotAt = _wtof(argv[++i]);
    else if (arg == L"--uri") s->uri.uri = argv[++i];
    else if (arg == L"--pause-at") s->uri.pauseAt = _wtof(argv[++i]);
    else if (arg == L"--seek-at") s->uri.seekAt = _wtof(argv[++i]);
    else if (arg == L"--seek-to") s->uri.seekTo = _wtof(argv[++i]);
    else if (arg == L"--rate") s->uri.rate = _wtof(argv[++i]);
    else if (arg == L"--volume") s->uri.volume = _wtof(argv[++i]);
    else if (arg == L"--balance") s->uri.balance = _wtof(argv[++i]);
    else if (arg == L"--size") {
      if (swscanf(argv[++i], L"%ux%u", &s->width, &s->height) != 2) return false;
    } else return false;
  }
  return (!s->video.empty() || !s->uri.uri.empty()) && s->fps > 0 && s->width > 0 && s->height > 0;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND CreatePlayerWindow(unsigned width, unsigned height) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = L"OrvoPlay";
  RegisterClassExW(&wc);
  RECT rect = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  HWND hwnd = CreateWindowExW(0, L"OrvoPlay", L"orvo-play", WS_OVERLAPPEDWINDOW, 0, 0, rect.right - rect.left,
                              rect.bottom - rect.top, nullptr, nullptr, wc.hInstance, nullptr);
  if (hwnd) ShowWindow(hwnd, SW_SHOW);
  return hwnd;
}

// Describes one stream to the player and hands its reader to the feeder.
bool AddStream(int player, HostFeeder& feeder, unsigned char streamId, std::unique_ptr<AccessUnitReader> reader,
               HRESULT (*describe)(IMFMediaType*, const void*), const void* format) {
  IMFMediaType* type = nullptr;
  if (CreateMediaType(player, &type) != Ok) return false;
  const bool ok = SUCCEEDED(describe(type, format)) && AddMediaType(player, type) == Ok;
  type->Release();
  if (ok) feeder.AddStream(streamId, std::move(reader));
  return ok;
}

// Takes a picture of the whole X display: Wine starts native programs given a Unix path.
void TakeScreenshot(const std::wstring& path) {
  std::wstring line = L"/bin/sh -c \"xwd -root -display \\\"$DISPLAY\\\" | convert xwd:- '" + path + L"'\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  std::wprintf(L"\nscreenshot: %ls\n", path.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Settings s;
  if (!Parse(argc, argv, &s)) {
    std::fwprintf(stderr, L"usage: orvo-play --video clip.h264|clip.hevc [--audio tone.aac|tone.wav] [--size 640x360]\n"
                          L"  [--fps 30] [--strategy lowlatency|smooth] [--duration seconds] [--loop] [--log]\n"
                          L"  [--screenshot shot.png --screenshot-at seconds]\n"
                          L"       orvo-play --uri file-or-url [--duration s] [--pause-at s] [--seek-at s --seek-to s]\n"
                          L"  [--rate r] [--volume 0..1] [--balance 0..1] [--log]\n");
    return 2;
  }
  if (s.log) SetLog(true);

  HWND window = CreatePlayerWindow(s.width, s.height);
  if (!s.uri.uri.empty()) {
    s.uri.duration = s.duration;
    s.uri.log = s.log;
    const int result = RunUriPlayback(window, s.uri);
    if (IsWindow(window)) DestroyWindow(window);
    return result;
  }
  int player = 0;
  Create(&player);
  HostFeeder::Options options;
  options.realTime = true;
  options.loop = s.loop;
  HostFeeder feeder(options);
  HostFeeder::Register(player, &feeder);
  SetCallback(player, &HostFeeder::Callback);
  SetPreviewWindow(player, window);

  // Video is stream 0. Descriptions mirror what a live feed's signalling would carry.
  const bool hevc = EndsWith(s.video, L".hevc") || EndsWith(s.video, L".h265");
  std::unique_ptr<AnnexBReader> video(new AnnexBReader(hevc ? AnnexBReader::Codec::HEVC : AnnexBReader::Codec::H264,
                                                       s.fps, 1));
  if (!video->Open(s.video)) {
    std::fwprintf(stderr, L"cannot read %ls\n", s.video.c_str());
    return 1;
  }
  struct VideoFormat { unsigned w, h, fps; bool hevc; } vf = {s.width, s.height, s.fps, hevc};
  AddStream(player, feeder, 0, std::move(video),
            [](IMFMediaType* t, const void* f) {
              const VideoFormat* v = static_cast<const VideoFormat*>(f);
              return v->hevc ? DescribeHevc(t, v->w, v->h, v->fps, 1) : DescribeH264(t, v->w, v->h, v->fps, 1);
            },
            &vf);

  // Optional audio is stream 1: AAC in ADTS framing, or PCM from a WAV file.
  if (!s.audio.empty()) {
    if (EndsWith(s.audio, L".wav")) {
      std::unique_ptr<WavReader> wav(new WavReader());
      if (wav->Open(s.audio)) {
        const WavReader::Format format = wav->format();
        AddStream(player, feeder, 1, std::move(wav),
                  [](IMFMediaType* t, const void* f) { return DescribePcm(t, *static_cast<const WavReader::Format*>(f)); },
                  &format);
      }
    } else {
      std::unique_ptr<AdtsReader> aac(new AdtsReader());
      if (aac->Open(s.audio)) {
        const AdtsReader::Format format = aac->format();
        AddStream(player, feeder, 1, std::move(aac),
                  [](IMFMediaType* t, const void* f) { return DescribeAac(t, *static_cast<const AdtsReader::Format*>(f)); },
                  &format);
      }
    }
  }

  const std::wstring uri = L"orvo://live?renderingStrategy=" + s.strategy;
  const int opened = Open(player, uri.c_str());
  if (opened != Ok) {
    std::fwprintf(stderr, L"Open failed: %d (see ORVO.Media.log with --log)\n", opened);
    Close(player);
    return 1;
  }
  std::wprintf(L"video active: %ls, audio active: %ls, strategy %ls\n", IsStreamActive(player, 0) == Ok ? L"yes" : L"no",
               s.audio.empty() ? L"none" : (IsStreamActive(player, 1) == Ok ? L"yes" : L"no"), s.strategy.c_str());
  Play(player);

  const DWORD start = GetTickCount();
  bool shot = s.screenshot.empty();
  MSG msg = {};
  bool running = true;
  while (running) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) running = false;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const double elapsed = (GetTickCount() - start) / 1000.0;
    std::wprintf(L"\rfed video %llu, audio %llu frames, elapsed %.1f s   ",
                 static_cast<unsigned long long>(feeder.delivered(0)),
                 static_cast<unsigned long long>(feeder.delivered(1)), elapsed);
    std::fflush(stdout);
    if (!shot && elapsed >= s.screenshotAt) {
      TakeScreenshot(s.screenshot);
      shot = true;
    }
    if (s.duration > 0 && elapsed >= s.duration) running = false;
    Sleep(50);
  }

  Stop(player);
  std::wprintf(L"\nstopped: fed video %llu, audio %llu frames\n", static_cast<unsigned long long>(feeder.delivered(0)),
               static_cast<unsigned long long>(feeder.delivered(1)));
  feeder.Abort();  // a feeder waiting for a frame's time must not hold up the close
  Close(player);
  HostFeeder::Unregister(player);
  if (IsWindow(window)) DestroyWindow(window);
  return 0;
}
