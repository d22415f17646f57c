#pragma once

// What the stress scenarios share: a player fed live from the test media on either engine, a
// watchdog that turns a hang into a printed failure, bounded calls, and running a scenario in a
// process of its own.

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "HostFeeder.h"
#include "OrvoMedia.h"

namespace stress {

using orvo_hostkit::HostFeeder;

// Bounds the issue sets for the host's view of a stop: Stop with a blocked host callback returns
// within this time.
constexpr DWORD kStopBoundMs = 2000;

enum class Engine { LowLatency, Session };

HostFeeder::Options LiveFeed();

// The host's elementary streams: H.264 video as stream 0, the AAC tone after it.
enum class Streams { Video, VideoAndAudio, Audio };

// One player fed through the exports as a host does it, on the low-latency engine or on the Media
// Session engine under an orvo:// URI. Close() may run on another thread than the constructor; the
// destructor closes if nobody did.
class FedPlayer {
 public:
  FedPlayer(Engine engine, HWND window, Streams streams, RequestDataCallback callback = &HostFeeder::Callback,
            const HostFeeder::Options& options = LiveFeed(), const wchar_t* video = L"clip-640x360-30fps.h264");
  ~FedPlayer();
  FedPlayer(const FedPlayer&) = delete;
  FedPlayer& operator=(const FedPlayer&) = delete;

  int id() const { return m_id; }
  Engine engine() const { return m_engine; }
  HostFeeder& feeder() { return *m_feeder; }
  // What SetPreviewWindow answered (Ok when no window was given).
  int previewWindowResult() const { return m_previewWindowResult; }
  int Open();
  int Close();
  // For a library left wedged by a scenario: never closes, the process's end takes it.
  void Abandon();

 private:
  int m_id = 0;
  int m_previewWindowResult = Ok;
  Engine m_engine;
  std::unique_ptr<HostFeeder> m_feeder;
  std::atomic<bool> m_closed{false};
};

// Dispatches the calling thread's messages (the Media Session engine's events arrive through its
// window) until the condition holds or the time has passed; answers the condition.
bool PumpUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// A thread that ends the whole process when a scenario outlives its deadline, or earlier when
// `stuck` answers true: it prints the scenario, `describe` (which must not call the library) and
// the thread count to stderr, then terminates with exit code 3. A hang thus becomes a failure with
// a message instead of a test program that never ends.
class Watchdog {
 public:
  Watchdog(std::string scenario, DWORD deadlineMs, std::function<std::string()> describe = {},
           std::function<bool()> stuck = {});
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Run(void* self);
  std::string m_scenario;
  ULONGLONG m_deadline;
  std::function<std::string()> m_describe;
  std::function<bool()> m_stuck;
  HANDLE m_disarm;
  HANDLE m_thread;
};

// What each of a scenario's threads is doing, readable from the watchdog without touching the
// library: which export (or step), on which player id, since when. Keeps the longest finished call.
class CallBoard {
 public:
  explicit CallBoard(int threads);
  // `what` must be a string literal (it is kept by pointer).
  void Enter(int thread, const char* what, int id);
  void Leave(int thread);
  // The longest finished call so far, and the age of the oldest call still running.
  long long LongestMs() const { return m_longestMs.load(); }
  std::string Longest() const;
  long long OldestRunningMs() const;
  std::string Describe() const;
  // "Stop 3120 ms, Close 2400 ms": the longest finished call of each kind that took at least atLeastMs.
  std::string SlowestKinds(long long atLeastMs) const;

 private:
  struct Slot {
    std::atomic<const char*> what{nullptr};
    std::atomic<int> id{0};
    std::atomic<ULONGLONG> since{0};
  };
  std::unique_ptr<Slot[]> m_slots;
  int m_count;
  ULONGLONG m_start;
  std::atomic<long long> m_longestMs{0};
  std::atomic<const char*> m_longestWhat{nullptr};
  std::atomic<int> m_longestId{0};
  mutable std::mutex m_kindsLock;
  std::map<std::string, long long> m_longestByKind;
};

// Runs `call` on a thread of its own and waits for it at most boundMs. Answers the time it took, or
// -1 when it is still running (it is left to finish, or to be ended with the process).
long BoundedCall(const std::function<void()>& call, DWORD boundMs);

// The body of an isolated scenario: runs `scenario` under a watchdog and ends this (child) process
// with exit code 0 when no expectation failed, 1 otherwise. Use it as the statement of
// EXPECT_EXIT(..., ::testing::ExitedWithCode(0), ""): a deadlock or crash the scenario provokes then
// fails its own test and the tests after it still run.
[[noreturn]] void RunIsolated(const char* scenario, DWORD deadlineMs, const std::function<void()>& body);

// "Started", "Stopped", ... for messages.
const char* StateName(int state);

}  // namespace stress
