#include "StressKit.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "AdtsReader.h"
#include "AnnexBReader.h"
#include "HostMediaTypes.h"
#include "MediaFiles.h"
#include "Waiting.h"

namespace stress {

using orvo_hostkit::AdtsReader;
using orvo_hostkit::AnnexBReader;

HostFeeder::Options LiveFeed() {
  HostFeeder::Options options;
  options.realTime = true;
  options.loop = true;
  return options;
}

namespace {

void AddAacStream(int id, HostFeeder& feeder, unsigned char streamId) {
  std::unique_ptr<AdtsReader> audio(new AdtsReader());
  audio->Open(orvo_test::MediaPath(L"tone-440hz-48k-stereo.aac"));
  IMFMediaType* type = nullptr;
  if (CreateMediaType(id, &type) != Ok || !type) return;
  orvo_hostkit::DescribeAac(type, audio->format());
  AddMediaType(id, type);
  type->Release();
  feeder.AddStream(streamId, std::move(audio));
}

}  // namespace

FedPlayer::FedPlayer(Engine engine, HWND window, Streams streams, RequestDataCallback callback,
                     const HostFeeder::Options& options, const wchar_t* video)
    : m_engine(engine), m_feeder(new HostFeeder(options)) {
  Create(&m_id);
  if (engine == Engine::Session) UseLowLatencyRenderer(m_id, false);
  SetCallback(m_id, callback);
  if (window) m_previewWindowResult = SetPreviewWindow(m_id, window);
  unsigned char next = 0;
  if (streams != Streams::Audio) {
    std::unique_ptr<AnnexBReader> reader(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
    reader->Open(orvo_test::MediaPath(video));
    IMFMediaType* type = nullptr;
    if (CreateMediaType(m_id, &type) == Ok && type) {
      orvo_hostkit::DescribeH264(type, 640, 360, 30, 1);
      AddMediaType(m_id, type);
      type->Release();
    }
    m_feeder->AddStream(next++, std::move(reader));
  }
  if (streams != Streams::Video) AddAacStream(m_id, *m_feeder, next);
  HostFeeder::Register(m_id, m_feeder.get());
}

FedPlayer::~FedPlayer() { Close(); }

int FedPlayer::Open() {
  return ::Open(m_id, m_engine == Engine::Session ? L"orvo://stress"
                                                  : L"orvo://low_latency_renderer?renderingStrategy=lowlatency");
}

void FedPlayer::Abandon() {
  m_closed = true;
  static_cast<void>(m_feeder.release());  // a library thread may still be inside it
}

int FedPlayer::Close() {
  if (m_closed.exchange(true)) return Ok;
  // A feeder waiting for a frame's time must not hold up the close.
  m_feeder->Abort();
  const int result = ::Close(m_id);
  HostFeeder::Unregister(m_id);
  return result;
}

bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (condition()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now < 5 ? deadline - now : 5),
                              QS_ALLINPUT);
  }
}

Watchdog::Watchdog(std::string scenario, DWORD deadlineMs, std::function<std::string()> describe,
                   std::function<bool()> stuck)
    : m_scenario(std::move(scenario)),
      m_deadline(GetTickCount64() + deadlineMs),
      m_describe(std::move(describe)),
      m_stuck(std::move(stuck)),
      m_disarm(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  m_thread = CreateThread(nullptr, 0, &Watchdog::Run, this, 0, nullptr);
}

Watchdog::~Watchdog() {
  SetEvent(m_disarm);
  WaitForSingleObject(m_thread, INFINITE);
  CloseHandle(m_thread);
  CloseHandle(m_disarm);
}

DWORD WINAPI Watchdog::Run(void* param) {
  Watchdog* self = static_cast<Watchdog*>(param);
  while (WaitForSingleObject(self->m_disarm, 50) == WAIT_TIMEOUT) {
    const bool late = GetTickCount64() >= self->m_deadline;
    if (!late && !(self->m_stuck && self->m_stuck())) continue;
    fprintf(stderr, "[ WATCHDOG ] %s: %s; ending the process\n", self->m_scenario.c_str(),
            late ? "deadline passed" : "a call is stuck");
    if (self->m_describe) fprintf(stderr, "%s", self->m_describe().c_str());
    fprintf(stderr, "[ WATCHDOG ] %d threads in the process\n", orvo_test::ProcessThreadCount());
    fflush(stdout);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  return 0;
}

CallBoard::CallBoard(int threads) : m_slots(new Slot[threads]), m_count(threads), m_start(GetTickCount64()) {}

void CallBoard::Enter(int thread, const char* what, int id) {
  Slot& slot = m_slots[thread];
  slot.id = id;
  slot.since = GetTickCount64();
  slot.what = what;
}

void CallBoard::Leave(int thread) {
  Slot& slot = m_slots[thread];
  const long long took = static_cast<long long>(GetTickCount64() - slot.since.load());
  if (took > m_longestMs.load()) {
    m_longestMs = took;
    m_longestWhat = slot.what.load();
    m_longestId = slot.id.load();
  }
  {
    std::lock_guard<std::mutex> guard(m_kindsLock);
    long long& longest = m_longestByKind[slot.what.load()];
    longest = (std::max)(longest, took);
  }
  slot.what = nullptr;
}

std::string CallBoard::SlowestKinds(long long atLeastMs) const {
  std::lock_guard<std::mutex> guard(m_kindsLock);
  std::string text;
  for (const auto& kind : m_longestByKind) {
    if (kind.second < atLeastMs) continue;
    text += (text.empty() ? "" : ", ") + kind.first + " " + std::to_string(kind.second) + " ms";
  }
  return text.empty() ? "none" : text;
}

std::string CallBoard::Longest() const {
  const char* what = m_longestWhat.load();
  return std::to_string(m_longestMs.load()) + " ms in " + (what ? what : "-") + "(" +
         std::to_string(m_longestId.load()) + ")";
}

long long CallBoard::OldestRunningMs() const {
  const ULONGLONG now = GetTickCount64();
  long long oldest = 0;
  for (int t = 0; t < m_count; ++t) {
    if (m_slots[t].what.load()) oldest = (std::max)(oldest, static_cast<long long>(now - m_slots[t].since.load()));
  }
  return oldest;
}

std::string CallBoard::Describe() const {
  const ULONGLONG now = GetTickCount64();
  std::string text;
  char line[160];
  for (int t = 0; t < m_count; ++t) {
    const char* what = m_slots[t].what.load();
    if (what) {
      const ULONGLONG since = m_slots[t].since.load();
      snprintf(line, sizeof(line), "  thread %d: in %s(id %d) since %.3f s, for %llu ms\n", t, what, m_slots[t].id.load(),
               (since - m_start) / 1000.0, static_cast<unsigned long long>(now - since));
    } else {
      snprintf(line, sizeof(line), "  thread %d: between calls\n", t);
    }
    text += line;
  }
  return text;
}

namespace {
DWORD WINAPI RunCall(void* param) {
  std::unique_ptr<std::function<void()>> call(static_cast<std::function<void()>*>(param));
  (*call)();
  return 0;
}
}  // namespace

long BoundedCall(const std::function<void()>& call, DWORD boundMs) {
  const ULONGLONG start = GetTickCount64();
  HANDLE thread = CreateThread(nullptr, 0, &RunCall, new std::function<void()>(call), 0, nullptr);
  if (!thread) return -1;
  const DWORD wait = WaitForSingleObject(thread, boundMs);
  CloseHandle(thread);
  return wait == WAIT_OBJECT_0 ? static_cast<long>(GetTickCount64() - start) : -1;
}

namespace {

// A death test's child reports nothing of its own results: print each failure of any thread at
// once to stderr (which the parent shows), so that even a scenario the watchdog ends says what
// went wrong before.
class PrintingReporter : public ::testing::ScopedFakeTestPartResultReporter {
 public:
  PrintingReporter() : ScopedFakeTestPartResultReporter(INTERCEPT_ALL_THREADS, &m_results) {}
  void ReportTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    ++m_failures;
    fprintf(stderr, "%s:%d: Failure\n%s\n", result.file_name() ? result.file_name() : "?", result.line_number(),
            result.message());
    fflush(stderr);
  }
  int failures() const { return m_failures; }

 private:
  ::testing::TestPartResultArray m_results;
  std::atomic<int> m_failures{0};
};

}  // namespace

void RunIsolated(const char* scenario, DWORD deadlineMs, const std::function<void()>& body) {
  int failures = 0;
  {
    PrintingReporter reporter;
    Watchdog watchdog(scenario, deadlineMs);
    body();
    failures = reporter.failures();
  }
  fflush(stdout);
  fflush(stderr);
  // Without unloading anything: a call the scenario left stuck must not hold up the verdict.
  TerminateProcess(GetCurrentProcess(), failures ? 1 : 0);
  ExitProcess(1);
}

const char* StateName(int state) {
  static const char* const names[] = {"Closed",  "Ready",   "OpenPending", "Started",
                                      "Paused",  "Stopped", "Closing",     "Error"};
  return state >= 0 && state < 8 ? names[state] : "?";
}

}  // namespace stress
