// avsync-bench: the Windows side of the outside-in picture/sound measurement. A host written from
// the public header only, as a customer writes one: it opens one low-latency player in a window whose
// client area is the clip's size, feeds an H.264 clip and a PCM WAV at real-time pace from its own
// clock, and writes for every sample the QueryPerformanceCounter value at which the callback returned
// it. What the viewer sees and hears is timed outside Wine by observer.c; analyse.py joins the two.
//
//   avsync-bench --video F.h264 --audio F.wav --size WxH --csv out.csv [--seconds S]
//                [--strategy lowlatency|smooth] [--clock-ppm P] [--stall-at S --stall-ms M]
//                [--maxdelay-ms N] [--tail S]
//
// The feed goes on for --tail seconds (3) after the --seconds the analysis counts, so the samples
// fed at the end of the counted window are still seen and heard before the player stops.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AnnexBReader.h"
#include "HostMediaTypes.h"
#include "OrvoMedia.h"
#include "WavReader.h"

using orvo_hostkit::AccessUnit;
using orvo_hostkit::AccessUnitReader;
using orvo_hostkit::AnnexBReader;
using orvo_hostkit::WavReader;

namespace {

constexpr double kMaxSeconds = 7200;
constexpr int kEndStreams = 1;  // any result but 0 and 7 ends the streams
const char kUsage[] =
    "usage: avsync-bench --video clip.h264 --audio clip.wav --size WxH --csv out.csv [--seconds S]\n"
    "                    [--strategy lowlatency|smooth] [--clock-ppm P] [--stall-at S --stall-ms M]\n"
    "                    [--maxdelay-ms N] [--tail S]\n";

struct Options {
  std::wstring video;
  std::wstring audio;
  std::wstring csv;
  UINT32 width = 0;
  UINT32 height = 0;
  double seconds = 20;
  double tail = 3;
  std::wstring strategy = L"lowlatency";
  double clockPpm = 0;
  double stallAt = -1;  // seconds of feed time; negative: no stall
  double stallMs = 0;
  int maxDelayMs = -1;  // passed on in the URI when given
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  if (argc % 2 == 0) return false;  // every option takes a value
  for (int i = 1; i + 1 < argc; i += 2) {
    const wchar_t* name = argv[i];
    const wchar_t* value = argv[i + 1];
    if (!wcscmp(name, L"--video")) {
      options->video = value;
    } else if (!wcscmp(name, L"--audio")) {
      options->audio = value;
    } else if (!wcscmp(name, L"--csv")) {
      options->csv = value;
    } else if (!wcscmp(name, L"--size")) {
      if (swscanf(value, L"%ux%u", &options->width, &options->height) != 2) return false;
    } else if (!wcscmp(name, L"--seconds")) {
      options->seconds = _wtof(value);
    } else if (!wcscmp(name, L"--strategy")) {
      options->strategy = value;
    } else if (!wcscmp(name, L"--clock-ppm")) {
      options->clockPpm = _wtof(value);
    } else if (!wcscmp(name, L"--stall-at")) {
      options->stallAt = _wtof(value);
    } else if (!wcscmp(name, L"--stall-ms")) {
      options->stallMs = _wtof(value);
    } else if (!wcscmp(name, L"--tail")) {
      options->tail = _wtof(value);
    } else if (!wcscmp(name, L"--maxdelay-ms")) {
      options->maxDelayMs = _wtoi(value);
    } else {
      return false;
    }
  }
  return !options->video.empty() && !options->audio.empty() && !options->csv.empty() && options->width > 0 &&
         options->height > 0 && options->seconds > 0 && options->seconds <= kMaxSeconds && options->tail >= 0 &&
         options->tail <= 60 &&
         options->clockPpm > -100000 && options->clockPpm < 100000 && options->stallMs >= 0 &&
         (options->strategy == L"lowlatency" || options->strategy == L"smooth");
}

int64_t Qpc() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

// Under Wine, PE code runs on the Linux kernel, so a raw clock_gettime system call reads the Linux
// clocks directly. The CSV gets both raw and plain monotonic time beside QPC at the start and the
// end, so the analysis can check (rather than assume) which Linux clock QPC follows. Never on
// Windows, where the same instruction would be an NT system call.
bool LinuxClockNs(int clockId, int64_t* ns) {
#if defined(__GNUC__) && defined(__x86_64__)
  static const bool underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  if (!underWine) return false;
  struct {
    int64_t seconds;
    int64_t nanoseconds;
  } time = {0, 0};
  int64_t result = 228;  // __NR_clock_gettime on x86-64 Linux
  asm volatile("syscall"
               : "+a"(result)
               : "D"(static_cast<int64_t>(clockId)), "S"(&time)
               : "rcx", "r11", "memory");
  if (result != 0) return false;
  *ns = time.seconds * 1000000000LL + time.nanoseconds;
  return true;
#else
  (void)clockId;
  (void)ns;
  return false;
#endif
}

// One clock reading of each kind, taken as close together as possible: QPC between the two Linux
// reads, so its Linux equivalent is bracketed.
struct ClockCheck {
  int64_t raw = -1;       // CLOCK_MONOTONIC_RAW, ns
  int64_t monotonic = -1; // CLOCK_MONOTONIC, ns
  int64_t qpc = 0;
};

ClockCheck ReadClocks() {
  ClockCheck check;
  int64_t rawBefore = 0, rawAfter = 0;
  if (!LinuxClockNs(4, &rawBefore)) {
    check.qpc = Qpc();
    return check;
  }
  check.qpc = Qpc();
  LinuxClockNs(4, &rawAfter);
  LinuxClockNs(1, &check.monotonic);
  check.raw = (rawBefore + rawAfter) / 2;
  return check;
}

// Feeds both streams as a live source would: each sample is handed over when its time has come on
// the host's clock. That clock starts at the first request of either stream and may run P ppm off
// real time (times on the samples are unchanged); a stall holds every sample due inside it until the
// stall ends, so the backlog then arrives as a burst.
class PacedFeed {
 public:
  struct Record {
    unsigned char stream;
    int64_t time;
    int64_t duration;
    int64_t returnedQpc;
  };

  PacedFeed(const Options& options) : m_options(options) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    m_frequency = frequency.QuadPart;
  }

  void AddStream(unsigned char id, std::unique_ptr<AccessUnitReader> reader) {
    m_streams[id].reset(new Stream);
    m_streams[id]->reader = std::move(reader);
  }

  void Abort() { m_aborted = true; }
  int64_t start() const { return m_start.load(); }
  int64_t frequency() const { return m_frequency; }

  int Fill(unsigned char id, IMFSample* sample) {
    int64_t expected = 0;
    m_start.compare_exchange_strong(expected, Qpc());
    Stream* stream = m_streams[id].get();
    if (!stream || !sample || m_aborted) return kEndStreams;
    std::lock_guard<std::mutex> guard(stream->lock);
    if (!stream->hasPending) {
      if (!stream->reader->Next(&stream->pending)) {
        // Looping keeps the times rising: the clip plays on as one continuous feed.
        stream->loopOffset += stream->reader->Duration();
        stream->reader->Rewind();
        if (!stream->reader->Next(&stream->pending)) return kEndStreams;
      }
      stream->pending.time += stream->loopOffset;
      stream->hasPending = true;
    }
    const AccessUnit& unit = stream->pending;
    IMFMediaBuffer* buffer = nullptr;
    if (FAILED(sample->GetBufferByIndex(0, &buffer))) return kEndStreams;
    DWORD capacity = 0;
    buffer->GetMaxLength(&capacity);
    if (unit.data.size() > capacity) {
      const GUID neededSizeKey = ORVO_NEEDED_SIZE_KEY_INIT;
      sample->SetUINT32(neededSizeKey, static_cast<UINT32>(unit.data.size()));
      buffer->Release();
      return ORVO_REQUEST_BUFFER_TOO_SMALL;
    }
    if (!waitUntil(dueQpc(unit.time))) {
      buffer->Release();
      return kEndStreams;
    }
    BYTE* data = nullptr;
    if (SUCCEEDED(buffer->Lock(&data, nullptr, nullptr))) {
      if (!unit.data.empty()) memcpy(data, unit.data.data(), unit.data.size());
      buffer->Unlock();
    }
    buffer->SetCurrentLength(static_cast<DWORD>(unit.data.size()));
    buffer->Release();
    sample->SetSampleTime(unit.time);
    sample->SetSampleDuration(unit.duration);
    if (unit.keyFrame) sample->SetUINT32(MFSampleExtension_CleanPoint, TRUE);
    stream->hasPending = false;
    // The last thing before returning: this is the moment the sample is the library's.
    stream->records.push_back({id, unit.time, unit.duration, Qpc()});
    return ORVO_REQUEST_OK;
  }

  // After the player is closed (no call can be under way any more).
  std::vector<Record> records(unsigned char id) const {
    return m_streams[id] ? m_streams[id]->records : std::vector<Record>();
  }

 private:
  struct Stream {
    std::mutex lock;
    std::unique_ptr<AccessUnitReader> reader;
    AccessUnit pending;
    bool hasPending = false;
    int64_t loopOffset = 0;
    std::vector<Record> records;
  };

  // The host clock's reading for a sample time, in QPC ticks from the start.
  int64_t dueQpc(int64_t time) const {
    double seconds = time / 1e7 / (1 + m_options.clockPpm / 1e6);
    if (m_options.stallAt >= 0 && seconds >= m_options.stallAt &&
        seconds < m_options.stallAt + m_options.stallMs / 1000) {
      seconds = m_options.stallAt + m_options.stallMs / 1000;
    }
    return m_start.load() + static_cast<int64_t>(seconds * m_frequency);
  }

  bool waitUntil(int64_t due) {
    for (;;) {
      if (m_aborted) return false;
      const int64_t remaining = due - Qpc();
      if (remaining <= 0) return true;
      // Millisecond sleeps: the feed is on time to about a millisecond and Abort stays responsive.
      const int64_t milliseconds = remaining * 1000 / m_frequency;
      Sleep(milliseconds >= 2 ? static_cast<DWORD>(milliseconds > 10 ? 10 : milliseconds - 1) : 0);
    }
  }

  const Options m_options;
  int64_t m_frequency = 1;
  std::atomic<int64_t> m_start{0};
  std::atomic<bool> m_aborted{false};
  std::unique_ptr<Stream> m_streams[2];
};

PacedFeed* g_feed = nullptr;

int Callback(int, unsigned char streamId, IMFSample* sample, int) {
  return streamId < 2 ? g_feed->Fill(streamId, sample) : kEndStreams;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void Pump(double seconds) {
  const int64_t end = Qpc() + static_cast<int64_t>(seconds * g_feed->frequency());
  MSG msg;
  while (Qpc() < end) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
}

bool Describe(int player, const Options& options, const WavReader::Format& format) {
  IMFMediaType* video = nullptr;
  IMFMediaType* audio = nullptr;
  bool ok = CreateMediaType(player, &video) == Ok &&
            SUCCEEDED(orvo_hostkit::DescribeH264(video, options.width, options.height, 30, 1)) &&
            AddMediaType(player, video) == Ok && CreateMediaType(player, &audio) == Ok &&
            SUCCEEDED(orvo_hostkit::DescribePcm(audio, format)) && AddMediaType(player, audio) == Ok;
  if (video) video->Release();
  if (audio) audio->Release();
  return ok;
}

void WriteClockCheck(FILE* csv, const char* name, const ClockCheck& check) {
  std::fprintf(csv, "# %s_qpc=%lld %s_raw_ns=%lld %s_monotonic_ns=%lld\n", name, static_cast<long long>(check.qpc),
               name, static_cast<long long>(check.raw), name, static_cast<long long>(check.monotonic));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  std::unique_ptr<AnnexBReader> video(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
  std::unique_ptr<WavReader> audio(new WavReader(20));
  if (!video->Open(options.video) || video->Count() == 0 || !audio->Open(options.audio) || audio->Count() == 0) {
    std::fprintf(stderr, "cannot read the clip or the WAV\n");
    return 1;
  }
  const WavReader::Format format = audio->format();
  FILE* csv = _wfopen(options.csv.c_str(), L"w");
  if (!csv) {
    std::fprintf(stderr, "cannot write %ls\n", options.csv.c_str());
    return 1;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET);

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"AvsyncBench";
  wc.hCursor = nullptr;
  RegisterClassExW(&wc);
  // A borderless window at the screen's origin: its client area is the clip's size and sits where
  // the observer looks (the test bed's X server shows unmanaged windows at their Windows position).
  HWND window = CreateWindowExW(0, L"AvsyncBench", L"avsync-bench", WS_POPUP | WS_VISIBLE, 0, 0,
                                static_cast<int>(options.width), static_cast<int>(options.height), nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  POINT centre = {static_cast<LONG>(options.width / 2), static_cast<LONG>(options.height / 2)};
  ClientToScreen(window, &centre);

  PacedFeed feed(options);
  g_feed = &feed;
  feed.AddStream(0, std::move(video));  // the low-latency engine asks for video as stream 0
  feed.AddStream(1, std::move(audio));  // and for audio under its position

  std::wstring uri = L"orvo://low_latency_renderer?renderingStrategy=" + options.strategy;
  if (options.maxDelayMs >= 0) uri += L"&maxDelayMs=" + std::to_wstring(options.maxDelayMs);

  const ClockCheck startClocks = ReadClocks();
  int player = 0;
  int exitCode = 1;
  OrvoStreamStatistics statistics[2] = {};
  bool haveStatistics[2] = {false, false};
  if (Create(&player) == Ok && SetCallback(player, &Callback) == Ok && SetPreviewWindow(player, window) == Ok &&
      Describe(player, options, format) && Open(player, uri.c_str()) == Ok &&
      IsStreamActive(player, 0) == Ok && IsStreamActive(player, 1) == Ok && Play(player) == Ok) {
    Pump(options.seconds + options.tail);
    for (int index = 0; index < 2; ++index) {
      statistics[index].size = sizeof(statistics[index]);
      haveStatistics[index] = GetStatistics(player, index, &statistics[index]) == Ok;
    }
    exitCode = 0;
  } else {
    std::fprintf(stderr, "the player could not be set up (both streams must be active)\n");
  }
  feed.Abort();  // ends a paced wait at once, so Stop is not held up by the host
  Stop(player);
  Close(player);
  const ClockCheck endClocks = ReadClocks();

  std::fprintf(csv, "# avsync-bench size=%ux%u strategy=%ls seconds=%g tail=%g clock_ppm=%g stall_at=%g stall_ms=%g "
               "maxdelay_ms=%d\n",
               options.width, options.height, options.strategy.c_str(), options.seconds, options.tail, options.clockPpm,
               options.stallAt, options.stallMs, options.maxDelayMs);
  std::fprintf(csv, "# qpc_frequency=%lld feed_start_qpc=%lld window_centre=%ld,%ld\n",
               static_cast<long long>(feed.frequency()), static_cast<long long>(feed.start()), centre.x, centre.y);
  WriteClockCheck(csv, "start", startClocks);
  WriteClockCheck(csv, "end", endClocks);
  for (int index = 0; index < 2; ++index) {
    if (!haveStatistics[index]) continue;
    const OrvoStreamStatistics& s = statistics[index];
    std::fprintf(csv, "# engine stream=%d decoded=%llu presented=%llu dropped_trimmed=%llu dropped_late=%llu "
                 "latency_p50_ms=%.2f latency_p99_ms=%.2f\n",
                 index, static_cast<unsigned long long>(s.decoded), static_cast<unsigned long long>(s.presented),
                 static_cast<unsigned long long>(s.droppedTrimmed), static_cast<unsigned long long>(s.droppedLate),
                 s.latencyMsMedian, s.latencyMsP99);
  }
  std::fprintf(csv, "stream,time_100ns,duration_100ns,returned_qpc\n");
  size_t fed[2] = {0, 0};
  for (unsigned char id = 0; id < 2; ++id) {
    for (const PacedFeed::Record& record : feed.records(id)) {
      std::fprintf(csv, "%s,%lld,%lld,%lld\n", id == 0 ? "video" : "audio", static_cast<long long>(record.time),
                   static_cast<long long>(record.duration), static_cast<long long>(record.returnedQpc));
      ++fed[id];
    }
  }
  std::fclose(csv);
  std::printf("avsync-bench: fed %zu video and %zu audio samples in %.0f s; window centre %ld,%ld\n", fed[0], fed[1],
              options.seconds, centre.x, centre.y);
  DestroyWindow(window);
  MFShutdown();
  CoUninitialize();
  return exitCode;
}
