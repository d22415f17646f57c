// latency-bench: plays an H.264 clip through N low-latency players at once, each in its own window
// and fed as a live feed at real-time pace, and reports per player the frames fed and presented, the
// time from the host callback returning a frame to PresentFrame returning for it (median, 99th
// percentile) and the time from the start of Open to the first presented frame; then decodes the
// same access units with the platform H.264 decoder alone. The last line sums it up for scripts:
//
//   RESULT presented=P fed=F p50_ms=X p99_ms=Y decode_p50_ms=Z first_frame_ms=T players=N
//
//   latency-bench --video F --size WxH [--seconds S] [--strategy lowlatency|smooth] [--players N]
//                 [--window WxH] [--log engine.log]
#include <windows.h>
#include <mfapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AnnexBReader.h"
#include "DecodeAlone.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "common/Clock.h"
#include "lowlatency/DxPlayer.h"
#include "lowlatency/StreamInt.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;
using orvo_hostkit::AnnexBReader;
using orvo_hostkit::HostFeeder;

namespace {

// The present observer tells the stream index but not the player, so each player's sample times are
// moved into their own range: player k's times start at k * kPlayerSpan. The engine paces on
// differences between sample times only, so the offset changes nothing for it.
constexpr int64_t kPlayerSpan = 100000000000LL;  // 10,000 s in 100-ns units
constexpr double kMaxSeconds = 3600;             // well inside one span, loops included
constexpr int kMaxPlayers = 16;
constexpr double kFirstFrameTimeoutSeconds = 60;
constexpr int kAudioDeviceDefault = 6;           // what the API's players pass; no audio stream here
const char kUsage[] =
    "usage: latency-bench --video clip.h264 --size WxH [--seconds S] [--strategy lowlatency|smooth] "
    "[--players N] [--window WxH] [--log engine.log]\n";

struct Options {
  std::wstring video;
  UINT32 width = 0;
  UINT32 height = 0;
  double seconds = 60;
  std::wstring strategy = L"lowlatency";
  int players = 1;
  // Each player's client area; the clip's size (no scaling) unless given.
  UINT32 windowWidth = 0;
  UINT32 windowHeight = 0;
  std::wstring logPath;  // the engine's debug log, when given
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  if (argc % 2 == 0) return false;  // every option takes a value
  for (int i = 1; i + 1 < argc; i += 2) {
    const wchar_t* name = argv[i];
    const wchar_t* value = argv[i + 1];
    if (!wcscmp(name, L"--video")) {
      options->video = value;
    } else if (!wcscmp(name, L"--size")) {
      if (swscanf(value, L"%ux%u", &options->width, &options->height) != 2) return false;
    } else if (!wcscmp(name, L"--seconds")) {
      options->seconds = _wtof(value);
    } else if (!wcscmp(name, L"--strategy")) {
      options->strategy = value;
    } else if (!wcscmp(name, L"--players")) {
      options->players = _wtoi(value);
    } else if (!wcscmp(name, L"--window")) {
      if (swscanf(value, L"%ux%u", &options->windowWidth, &options->windowHeight) != 2 ||
          options->windowWidth == 0 || options->windowHeight == 0) {
        return false;
      }
    } else if (!wcscmp(name, L"--log")) {
      options->logPath = value;
    } else {
      return false;
    }
  }
  return !options->video.empty() && options->width > 0 && options->height > 0 && options->seconds > 0 &&
         options->seconds <= kMaxSeconds && options->players >= 1 && options->players <= kMaxPlayers &&
         (options->strategy == L"lowlatency" || options->strategy == L"smooth");
}

// One player of the run. The feeder and player belong to the main thread; the rest is written by the
// engine's pulling thread (callback) and rendering thread (present observer) under `lock`.
struct PlayerRun {
  int index = 0;
  HWND window = nullptr;
  std::unique_ptr<HostFeeder> feeder;
  std::unique_ptr<ORVO::Media::DxPlayer> player;
  int64_t openStart = ORVO::kUnsetTime;

  std::mutex lock;
  std::map<int64_t, int64_t> returned;  // sample time -> clock when the callback returned it
  // Counted only while g_measuring is set.
  std::vector<double> latencies;  // milliseconds
  uint64_t fed = 0;
  uint64_t presented = 0;
  int64_t firstPresented = ORVO::kUnsetTime;
};

// Filled before the first player opens and left alone until the last one is destroyed, so the
// engine's threads read it without a lock.
std::vector<std::unique_ptr<PlayerRun>> g_runs;
// Set for the measured seconds, which begin once every player presents: players start one after the
// other, and the first ones would otherwise be measured partly alone and during start-up.
std::atomic<bool> g_measuring{false};

PlayerRun* RunAt(int64_t index) {
  return index >= 0 && index < static_cast<int64_t>(g_runs.size()) ? g_runs[static_cast<size_t>(index)].get()
                                                                     : nullptr;
}

// Players are created with id index + 1.
int Callback(int playerId, unsigned char streamId, IMFSample* sample, int) {
  PlayerRun* run = RunAt(playerId - 1);
  if (!run) return 1;
  const int result = run->feeder->Fill(streamId, sample);
  if (result != ORVO_REQUEST_OK) return result;
  LONGLONG time = 0;
  sample->GetSampleTime(&time);
  time += run->index * kPlayerSpan;
  sample->SetSampleTime(time);
  std::lock_guard<std::mutex> guard(run->lock);
  run->returned[time] = ORVO::elapsedTime(10000000);
  if (g_measuring.load()) ++run->fed;
  return result;
}

void Presented(int, int64_t sampleTime, int64_t presentedAt) {
  PlayerRun* run = sampleTime >= 0 ? RunAt(sampleTime / kPlayerSpan) : nullptr;
  if (!run) return;
  const bool measuring = g_measuring.load();
  std::lock_guard<std::mutex> guard(run->lock);
  if (run->firstPresented == ORVO::kUnsetTime) run->firstPresented = presentedAt;
  if (measuring) ++run->presented;
  auto it = run->returned.find(sampleTime);
  if (it == run->returned.end()) return;
  if (measuring) run->latencies.push_back((presentedAt - it->second) / 10000.0);
  // Frames returned before this one and never presented were dropped: forget them.
  run->returned.erase(run->returned.begin(), ++it);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Nearest rank over sorted values; -1 when there are none (the RESULT line stays numeric).
double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return -1;
  const size_t rank = static_cast<size_t>(std::ceil(fraction * sorted.size()));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

double FirstFrameMs(const PlayerRun& run) {
  return run.firstPresented == ORVO::kUnsetTime ? -1 : (run.firstPresented - run.openStart) / 10000.0;
}

HWND CreateBenchWindow(int index, UINT32 width, UINT32 height) {
  // Windows cascade.
  RECT rect = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  wchar_t title[64];
  swprintf(title, 64, L"latency-bench player %d", index + 1);
  return CreateWindowExW(0, L"LatencyBench", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40 * index, 40 * index,
                         rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, GetModuleHandleW(nullptr),
                         nullptr);
}

// Opens and starts every player, one after the other as a host would; false when one cannot.
bool StartPlayers(const Options& options) {
  const std::wstring uri = L"orvo://bench?renderingStrategy=" + options.strategy;
  for (auto& run : g_runs) {
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    orvo_hostkit::DescribeH264(type.Get(), options.width, options.height, 30, 1);
    // The host's Open is where the engine is built; the first-frame time counts from here.
    run->openStart = ORVO::elapsedTime(10000000);
    run->player.reset(new ORVO::Media::DxPlayer(run->index + 1, run->window, {type}, &Callback, uri,
                                                kAudioDeviceDefault, L""));
    if (run->player->Open() != Ok || run->player->Play() != Ok) {
      std::fprintf(stderr, "player %d: the engine could not set the stream up\n", run->index + 1);
      return false;
    }
  }
  return true;
}

// Where the engine says the time went, per player, over its last 512 frames: the stage figures
// show which step eats the budget, the drops where frames were lost.
void PrintEngineStatistics() {
  std::printf("%-8s %8s %8s %9s %6s %6s %6s  %-13s %-13s %-13s %-13s %-13s\n", "engine", "decoded", "queued",
              "presented", "trim", "late", "other", "decode_ms", "convert_ms", "process_ms", "present_ms",
              "latency_ms");
  for (auto& run : g_runs) {
    OrvoStreamStatistics s{};
    s.size = sizeof(s);
    if (!run->player || run->player->GetStatistics(0, &s) != Ok) continue;
    std::printf("%-8d %8llu %8llu %9llu %6llu %6llu %6llu  %5.1f/%-7.1f %5.1f/%-7.1f %5.1f/%-7.1f %5.1f/%-7.1f "
                "%5.1f/%-7.1f\n",
                run->index + 1, s.decoded, s.queued, s.presented, s.droppedTrimmed, s.droppedLate,
                s.droppedOther + s.droppedDecodeFailure, s.decodeMsMedian, s.decodeMsP99, s.convertMsMedian,
                s.convertMsP99, s.processMsMedian, s.processMsP99, s.presentMsMedian, s.presentMsP99,
                s.latencyMsMedian, s.latencyMsP99);
  }
}

void StopPlayers() {
  // Abort first: a player's Stop joins its pulling thread, which may be waiting in the feeder.
  for (auto& run : g_runs) {
    if (run->feeder) run->feeder->Abort();
  }
  for (auto& run : g_runs) run->player.reset();
}

// Serves the windows for `seconds`, or until done() answers true.
template <typename Done>
void Pump(double seconds, Done done) {
  const int64_t end = ORVO::elapsedTime(1000) + static_cast<int64_t>(seconds * 1000);
  MSG msg;
  while (ORVO::elapsedTime(1000) < end && !done()) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(20);
  }
}

bool EveryPlayerPresented() {
  for (auto& run : g_runs) {
    std::lock_guard<std::mutex> guard(run->lock);
    if (run->firstPresented == ORVO::kUnsetTime) return false;
  }
  return true;
}

// The per-player table and the overall figures; answers false when a player presented nothing in
// the window.
bool Report(const Options& options, const std::vector<double>& decodeTimes) {
  std::printf("%ux%u at 30 fps, %d player(s), %ls strategy, fed in real time, measured over %.0f s\n", options.width,
              options.height, options.players, options.strategy.c_str(), options.seconds);
  std::printf("%-8s %8s %10s %9s %9s %15s\n", "player", "fed", "presented", "p50_ms", "p99_ms", "first_frame_ms");
  uint64_t fed = 0, presented = 0;
  double worstFirstFrame = 0;
  bool everyFirstFrame = true;
  bool everyPlayerPresented = true;
  std::vector<double> all;
  for (auto& run : g_runs) {
    std::lock_guard<std::mutex> guard(run->lock);
    std::vector<double> latencies = run->latencies;
    std::sort(latencies.begin(), latencies.end());
    const uint64_t runFed = run->fed;
    const double firstFrame = FirstFrameMs(*run);
    std::printf("%-8d %8llu %10llu %9.2f %9.2f %15.1f\n", run->index + 1, static_cast<unsigned long long>(runFed),
                static_cast<unsigned long long>(run->presented), Percentile(latencies, 0.5),
                Percentile(latencies, 0.99), firstFrame);
    fed += runFed;
    presented += run->presented;
    all.insert(all.end(), latencies.begin(), latencies.end());
    if (firstFrame < 0) everyFirstFrame = false;
    if (run->presented == 0) everyPlayerPresented = false;
    worstFirstFrame = std::max(worstFirstFrame, firstFrame);
  }
  std::sort(all.begin(), all.end());
  std::vector<double> decode = decodeTimes;
  std::sort(decode.begin(), decode.end());
  std::printf("latency callback return -> PresentFrame return, all players: %zu frames, p50 %.2f ms, p99 %.2f ms, "
              "max %.2f ms\n",
              all.size(), Percentile(all, 0.5), Percentile(all, 0.99), all.empty() ? -1 : all.back());
  std::printf("decode alone (platform H.264 decoder, YUY2 out): %zu frames, p50 %.2f ms, p99 %.2f ms\n",
              decode.size(), Percentile(decode, 0.5), Percentile(decode, 0.99));
  std::printf("RESULT presented=%llu fed=%llu p50_ms=%.2f p99_ms=%.2f decode_p50_ms=%.2f first_frame_ms=%.1f "
              "players=%d\n",
              static_cast<unsigned long long>(presented), static_cast<unsigned long long>(fed), Percentile(all, 0.5),
              Percentile(all, 0.99), Percentile(decode, 0.5), everyFirstFrame ? worstFirstFrame : -1.0,
              options.players);
  return everyPlayerPresented;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  // Read once up front: a clip the tool cannot split is reported before any window opens.
  AnnexBReader clip(AnnexBReader::Codec::H264, 30, 1);
  if (!clip.Open(options.video) || clip.Count() == 0) {
    std::fprintf(stderr, "cannot read the clip\n");
    return 1;
  }
  // Off unless asked for: writing the log costs time on the very threads being measured.
  ORVO::Log engineLog;
  if (!options.logPath.empty()) {
    engineLog.Reconfigure(ORVO::kLogDebug, options.logPath.c_str());
    ORVO::SetGlobalLog(&engineLog);
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET);

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"LatencyBench";
  RegisterClassExW(&wc);

  HostFeeder::Options feed;
  feed.realTime = true;
  feed.loop = true;
  for (int index = 0; index < options.players; ++index) {
    std::unique_ptr<PlayerRun> run(new PlayerRun);
    run->index = index;
    run->window = CreateBenchWindow(index, options.windowWidth ? options.windowWidth : options.width,
                                    options.windowWidth ? options.windowHeight : options.height);
    run->feeder.reset(new HostFeeder(feed));
    std::unique_ptr<AnnexBReader> reader(new AnnexBReader(clip));
    reader->Rewind();
    run->feeder->AddStream(0, std::move(reader));
    g_runs.push_back(std::move(run));
  }

  ORVO::Media::DxPlayer::StreamInt::SetPresentObserver(&Presented);
  const bool started = StartPlayers(options);
  if (started) {
    // The window opens once every player shows pictures: start-up is what first_frame_ms is for,
    // the latency figures are about the steady state. A player that never gets there is reported
    // as such rather than holding the run up.
    Pump(kFirstFrameTimeoutSeconds, EveryPlayerPresented);
    g_measuring = true;
    Pump(options.seconds, [] { return false; });
    g_measuring = false;
    PrintEngineStatistics();
  }
  StopPlayers();
  // The players' threads are joined: no observer call can be under way any more.
  ORVO::Media::DxPlayer::StreamInt::SetPresentObserver(nullptr);

  int exitCode = 1;
  if (started) {
    const std::vector<double> decodeTimes = latency_bench::DecodeAlone(clip, options.width, options.height);
    exitCode = Report(options, decodeTimes) ? 0 : 1;
  }
  for (auto& run : g_runs) DestroyWindow(run->window);
  g_runs.clear();
  ORVO::SetGlobalLog(nullptr);
  MFShutdown();
  CoUninitialize();
  return exitCode;
}
