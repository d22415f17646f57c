// orvo-play: a minimal host. It owns a window, describes its elementary streams to the library,
// and answers the library's RequestDataCallback with one access unit at a time, paced like a live
// feed. Everything it does goes through include/OrvoMedia.h. `orvo-play --help` lists the options.
//
// The first form is a live feed through the low-latency engine; the second plays any file or URL
// through the Media Session engine (keys: space, arrows, 1, 2).
#include <windows.h>
#include <mfapi.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>

#include "AdtsReader.h"
#include "AnnexBReader.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "OrvoMedia.h"
#include "UriPlayback.h"
#include "WavReader.h"

using namespace orvo_hostkit;

namespace {

// Exit codes, also listed by --help.
enum ExitCode {
  kExitOk = 0,
  kExitPlaybackFailed = 1,  // the library refused to open or play
  kExitUsage = 2,           // unknown option, missing or malformed value
  kExitMissingFile = 3,     // an input file does not exist or cannot be read
  kExitUnsupported = 4,     // an input is not a stream orvo-play or the library can play
};

const wchar_t kUsage[] =
    L"usage: orvo-play --video clip.h264|clip.hevc [--audio tone.aac|tone.wav] [--size 640x360]\n"
    L"                 [--fps 30] [--strategy lowlatency|smooth] [--duration seconds] [--loop] [--log]\n"
    L"                 [--screenshot shot.png --screenshot-at seconds]\n"
    L"       orvo-play --uri file-or-url [--duration s] [--pause-at s] [--seek-at s --seek-to s]\n"
    L"                 [--rate r] [--volume 0..1] [--balance 0..1] [--log]\n"
    L"       orvo-play --help | --version\n"
    L"\n"
    L"The first form feeds an H.264 or HEVC Annex-B elementary stream (and optionally ADTS AAC or PCM\n"
    L"WAV audio) live to the low-latency engine; the second plays a file or URL through the Media\n"
    L"Session engine (keys: space pause, arrows seek and volume, 1 and 2 rate). --log writes\n"
    L"ORVO.Media.log beside orvo-play.exe.\n"
    L"\n"
    L"exit codes: 0 done, 1 the library failed to open or play, 2 bad command line, 3 missing file,\n"
    L"            4 unsupported stream\n";

struct Settings {
  std::wstring video, audio, strategy = L"lowlatency", screenshot;
  unsigned width = 640, height = 360, fps = 30;
  double duration = 0, screenshotAt = 3;
  bool loop = false, log = false, help = false, version = false;
  UriPlaybackOptions uri;  // used when --uri is given
};

bool EndsWith(const std::wstring& text, const wchar_t* suffix) {
  const size_t n = wcslen(suffix);
  return text.size() >= n && _wcsicmp(text.c_str() + text.size() - n, suffix) == 0;
}

bool ParseNumber(const wchar_t* text, double* value) {
  wchar_t* end = nullptr;
  *value = wcstod(text, &end);
  return end != text && *end == L'\0';
}

bool ParseCount(const wchar_t* text, unsigned* value) {
  double number = 0;
  if (!ParseNumber(text, &number) || number < 1 || number > 100000 || number != static_cast<unsigned>(number)) {
    return false;
  }
  *value = static_cast<unsigned>(number);
  return true;
}

// Fills s from the command line; on a mistake prints what is wrong and returns false.
bool Parse(int argc, wchar_t** argv, Settings* s) {
  const std::pair<const wchar_t*, std::wstring*> texts[] = {{L"--video", &s->video},
                                                            {L"--audio", &s->audio},
                                                            {L"--strategy", &s->strategy},
                                                            {L"--screenshot", &s->screenshot},
                                                            {L"--uri", &s->uri.uri}};
  const std::pair<const wchar_t*, double*> numbers[] = {
      {L"--duration", &s->duration}, {L"--screenshot-at", &s->screenshotAt}, {L"--pause-at", &s->uri.pauseAt},
      {L"--seek-at", &s->uri.seekAt}, {L"--seek-to", &s->uri.seekTo},         {L"--rate", &s->uri.rate},
      {L"--volume", &s->uri.volume}, {L"--balance", &s->uri.balance}};
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      s->help = true;
      return true;
    }
    if (arg == L"--version") {
      s->version = true;
      return true;
    }
    if (arg == L"--loop" || arg == L"--log") {
      (arg == L"--loop" ? s->loop : s->log) = true;
      continue;
    }
    std::wstring* text = nullptr;
    double* number = nullptr;
    for (const auto& option : texts) {
      if (arg == option.first) text = option.second;
    }
    for (const auto& option : numbers) {
      if (arg == option.first) number = option.second;
    }
    if (!text && !number && arg != L"--fps" && arg != L"--size") {
      std::fwprintf(stderr, L"orvo-play: unknown option '%ls' (see orvo-play --help)\n", arg.c_str());
      return false;
    }
    if (i + 1 >= argc) {
      std::fwprintf(stderr, L"orvo-play: %ls needs a value (see orvo-play --help)\n", arg.c_str());
      return false;
    }
    const wchar_t* value = argv[++i];
    bool valid = true;
    if (text) {
      *text = value;
    } else if (number) {
      valid = ParseNumber(value, number);
    } else if (arg == L"--fps") {
      valid = ParseCount(value, &s->fps);
    } else {
      valid = swscanf(value, L"%ux%u", &s->width, &s->height) == 2 && s->width > 0 && s->height > 0;
    }
    if (!valid) {
      std::fwprintf(stderr, L"orvo-play: invalid value '%ls' for %ls\n", value, arg.c_str());
      return false;
    }
  }
  if (s->video.empty() == s->uri.uri.empty()) {
    std::fwprintf(stderr, L"orvo-play: give either --video or --uri (see orvo-play --help)\n");
    return false;
  }
  if (s->strategy != L"lowlatency" && s->strategy != L"smooth") {
    std::fwprintf(stderr, L"orvo-play: --strategy is lowlatency or smooth, not '%ls'\n", s->strategy.c_str());
    return false;
  }
  return true;
}

// The version the header promises and the version resource of the DLL actually loaded.
void PrintVersion() {
  std::wprintf(L"orvo-play %d.%d.%d.%d\n", ORVO_MEDIA_VERSION_MAJOR, ORVO_MEDIA_VERSION_MINOR,
               ORVO_MEDIA_VERSION_PATCH, ORVO_MEDIA_VERSION_BUILD);
  wchar_t path[MAX_PATH] = {};
  HMODULE library = GetModuleHandleW(L"ORVO.Media.dll");
  if (!library || !GetModuleFileNameW(library, path, MAX_PATH)) return;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  std::unique_ptr<BYTE[]> info(new BYTE[size ? size : 1]);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (size && GetFileVersionInfoW(path, 0, size, info.get()) &&
      VerQueryValueW(info.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) && fixed) {
    std::wprintf(L"ORVO.Media.dll %u.%u.%u.%u (%ls)\n", HIWORD(fixed->dwFileVersionMS),
                 LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS), path);
  }
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A URI without a scheme (or with a drive letter) is a local file and must exist.
bool IsLocalPath(const std::wstring& uri) {
  const size_t colon = uri.find(L':');
  return colon == std::wstring::npos || colon == 1;
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

// The input streams of a live feed, read and checked before any window or player exists.
struct LiveInputs {
  bool hevc = false;
  std::unique_ptr<AnnexBReader> video;
  std::unique_ptr<AccessUnitReader> audio;
  bool audioIsWav = false;
  WavReader::Format wavFormat;
  AdtsReader::Format aacFormat;
};

int ReadInputs(const Settings& s, LiveInputs* in) {
  for (const std::wstring* path : {&s.video, &s.audio}) {
    if (!path->empty() && !FileExists(*path)) {
      std::fwprintf(stderr, L"orvo-play: cannot find %ls\n", path->c_str());
      return kExitMissingFile;
    }
  }
  in->hevc = EndsWith(s.video, L".hevc") || EndsWith(s.video, L".h265") || EndsWith(s.video, L".265");
  in->video.reset(new AnnexBReader(in->hevc ? AnnexBReader::Codec::HEVC : AnnexBReader::Codec::H264, s.fps, 1));
  if (!in->video->Open(s.video) || in->video->Count() == 0) {
    std::fwprintf(stderr, L"orvo-play: %ls is not an %ls Annex-B elementary stream\n", s.video.c_str(),
                  in->hevc ? L"HEVC" : L"H.264");
    return kExitUnsupported;
  }
  if (s.audio.empty()) return kExitOk;
  in->audioIsWav = EndsWith(s.audio, L".wav");
  if (in->audioIsWav) {
    std::unique_ptr<WavReader> wav(new WavReader());
    if (wav->Open(s.audio) && wav->Count() > 0) {
      in->wavFormat = wav->format();
      in->audio = std::move(wav);
    }
  } else if (EndsWith(s.audio, L".aac") || EndsWith(s.audio, L".adts")) {
    std::unique_ptr<AdtsReader> aac(new AdtsReader());
    if (aac->Open(s.audio) && aac->Count() > 0) {
      in->aacFormat = aac->format();
      in->audio = std::move(aac);
    }
  }
  if (!in->audio) {
    std::fwprintf(stderr, L"orvo-play: %ls is neither ADTS AAC (.aac) nor PCM WAV (.wav)\n", s.audio.c_str());
    return kExitUnsupported;
  }
  return kExitOk;
}

int PlayLiveFeed(const Settings& s, LiveInputs& in, HWND window) {
  int player = 0;
  Create(&player);
  HostFeeder::Options options;
  options.realTime = true;
  options.loop = s.loop;
  HostFeeder feeder(options);
  HostFeeder::Register(player, &feeder);
  SetCallback(player, &HostFeeder::Callback);
  SetPreviewWindow(player, window);

  // Video is stream 0, optional audio stream 1. Descriptions mirror what a live feed's signalling
  // would carry.
  struct VideoFormat { unsigned w, h, fps; bool hevc; } vf = {s.width, s.height, s.fps, in.hevc};
  bool described = AddStream(player, feeder, 0, std::move(in.video),
                             [](IMFMediaType* t, const void* f) {
                               const VideoFormat* v = static_cast<const VideoFormat*>(f);
                               return v->hevc ? DescribeHevc(t, v->w, v->h, v->fps, 1)
                                              : DescribeH264(t, v->w, v->h, v->fps, 1);
                             },
                             &vf);
  if (described && in.audio && in.audioIsWav) {
    described = AddStream(player, feeder, 1, std::move(in.audio),
                          [](IMFMediaType* t, const void* f) { return DescribePcm(t, *static_cast<const WavReader::Format*>(f)); },
                          &in.wavFormat);
  } else if (described && in.audio) {
    described = AddStream(player, feeder, 1, std::move(in.audio),
                          [](IMFMediaType* t, const void* f) { return DescribeAac(t, *static_cast<const AdtsReader::Format*>(f)); },
                          &in.aacFormat);
  }

  const std::wstring uri = L"orvo://live?renderingStrategy=" + s.strategy;
  const int opened = described ? Open(player, uri.c_str()) : static_cast<int>(Failed);
  // The engine stays after a failed Open, so it can still tell which stream it could not set up.
  const bool videoActive = IsStreamActive(player, 0) == Ok;
  const bool audioActive = s.audio.empty() || IsStreamActive(player, 1) == Ok;
  int exitCode = kExitOk;
  if (described && (!videoActive || !audioActive)) {
    std::fwprintf(stderr, L"orvo-play: the library cannot play the %ls stream (run with --log and see ORVO.Media.log)\n",
                  videoActive ? L"audio" : L"video");
    exitCode = kExitUnsupported;
  } else if (opened != Ok) {
    std::fwprintf(stderr, L"orvo-play: Open failed with %d (run with --log and see ORVO.Media.log)\n", opened);
    exitCode = kExitPlaybackFailed;
  }
  if (exitCode != kExitOk) {
    Close(player);
    HostFeeder::Unregister(player);
    return exitCode;
  }
  std::wprintf(L"video active: yes, audio active: %ls, strategy %ls\n", s.audio.empty() ? L"none" : L"yes",
               s.strategy.c_str());
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
  return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Settings s;
  if (!Parse(argc, argv, &s)) return kExitUsage;
  if (s.help) {
    std::fwprintf(stdout, L"%ls", kUsage);
    return kExitOk;
  }
  if (s.version) {
    PrintVersion();
    return kExitOk;
  }

  if (!s.uri.uri.empty()) {
    if (IsLocalPath(s.uri.uri) && !FileExists(s.uri.uri)) {
      std::fwprintf(stderr, L"orvo-play: cannot find %ls\n", s.uri.uri.c_str());
      return kExitMissingFile;
    }
    HWND window = CreatePlayerWindow(s.width, s.height);
    s.uri.duration = s.duration;
    s.uri.log = s.log;
    const int result = RunUriPlayback(window, s.uri);
    if (IsWindow(window)) DestroyWindow(window);
    return result;
  }

  LiveInputs inputs;
  const int read = ReadInputs(s, &inputs);
  if (read != kExitOk) return read;
  if (s.log) SetLog(true);
  HWND window = CreatePlayerWindow(s.width, s.height);
  const int result = PlayLiveFeed(s, inputs, window);
  if (IsWindow(window)) DestroyWindow(window);
  return result;
}
