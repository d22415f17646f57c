// Hosts that call back into the library from inside their data callback, and hosts whose callback
// does not come back: Stop and Close must neither deadlock nor wait for the host forever.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "HostMediaTypes.h"
#include "LogFile.h"
#include "OrvoMedia.h"
#include "Waiting.h"

using Microsoft::WRL::ComPtr;

namespace {

// A deadlock must fail the run, never hang it: ends the process unless disarmed in time.
class Watchdog {
 public:
  explicit Watchdog(DWORD milliseconds) : m_disarmed(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    m_thread = std::thread([this, milliseconds] {
      if (WaitForSingleObject(m_disarmed, milliseconds) != WAIT_TIMEOUT) return;
      std::fprintf(stderr, "watchdog: the scenario is stuck after %lu ms, deadlock\n", milliseconds);
      std::fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    });
  }
  ~Watchdog() {
    SetEvent(m_disarmed);
    m_thread.join();
    CloseHandle(m_disarmed);
  }

 private:
  HANDLE m_disarmed;
  std::thread m_thread;
};

// What the callback does besides delivering 20 ms of silence.
std::atomic<int> g_calls{0};
std::atomic<bool> g_stopFromInside{false};
std::atomic<int> g_insideStop{-1};
std::atomic<int> g_insideClose{-1};
std::atomic<HANDLE> g_release{nullptr};  // when set, the callback blocks on it
std::atomic<bool> g_blocked{false};
std::atomic<LONGLONG> g_time{0};

int reentrantCallback(int playerId, unsigned char, IMFSample* sample, int) {
  ++g_calls;
  for (int i = 0; i < 5; ++i) {
    GetState(playerId);
    GetPosition(playerId);
  }
  if (g_stopFromInside.exchange(false)) {
    g_insideStop = Stop(playerId);
    g_insideClose = Close(playerId);
  }
  if (HANDLE release = g_release) {
    g_blocked = true;
    WaitForSingleObject(release, INFINITE);
  }
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return 1;
  BYTE* data = nullptr;
  DWORD capacity = 0;
  if (FAILED(buffer->Lock(&data, &capacity, nullptr))) return 1;
  const DWORD length = capacity < 3840 ? capacity : 3840;  // 20 ms of 48 kHz stereo 16-bit
  std::memset(data, 0, length);
  buffer->Unlock();
  buffer->SetCurrentLength(length);
  sample->SetSampleTime(g_time.fetch_add(200000));
  sample->SetSampleDuration(200000);
  return 0;
}

// A low-latency player with one PCM stream, playing and inside its callback at least once.
int startPlayer() {
  int id = 0;
  EXPECT_EQ(Create(&id), 0);
  IMFMediaType* type = nullptr;
  EXPECT_EQ(CreateMediaType(id, &type), Ok);
  orvo_hostkit::WavReader::Format format;
  format.sampleRate = 48000;
  format.channels = 2;
  format.bitsPerSample = 16;
  format.blockAlign = 4;
  format.averageBytesPerSecond = 192000;
  EXPECT_EQ(orvo_hostkit::DescribePcm(type, format), S_OK);
  EXPECT_EQ(AddMediaType(id, type), Ok);
  type->Release();
  EXPECT_EQ(SetCallback(id, reentrantCallback), Ok);
  EXPECT_EQ(Open(id, L"orvo://reentry"), Ok);
  g_calls = 0;
  g_time = 0;
  EXPECT_EQ(Play(id), Ok);
  EXPECT_TRUE(orvo_test::WaitUntil([] { return g_calls > 0; }, 5000)) << "the callback was never called";
  return id;
}

}  // namespace

TEST(Reentry, CallbackCallingGettersNeverDeadlocksStopAndCloseFromAnotherThread) {
  SetLog(true);
  Watchdog watchdog(120000);
  for (int round = 0; round < 20; ++round) {
    const int id = startPlayer();
    int stopResult = -1, closeResult = -1;
    std::thread host([&] {
      stopResult = Stop(id);
      closeResult = Close(id);
    });
    host.join();
    EXPECT_EQ(stopResult, Ok) << "round " << round;
    EXPECT_EQ(closeResult, Ok) << "round " << round;
    EXPECT_EQ(GetState(id), Closed);
  }
}

TEST(Reentry, StopAndCloseFromInsideTheOwnCallbackAnswerInvalidState) {
  Watchdog watchdog(30000);
  const int id = startPlayer();
  g_insideStop = -1;
  g_insideClose = -1;
  g_stopFromInside = true;
  ASSERT_TRUE(orvo_test::WaitUntil([] { return g_insideClose != -1; }, 5000));
  EXPECT_EQ(g_insideStop, InvalidState);
  EXPECT_EQ(g_insideClose, InvalidState);
  EXPECT_NE(GetState(id), Closed);  // nothing was closed
  EXPECT_EQ(Close(id), Ok);
}

TEST(Reentry, StopAndCloseReturnWithinTwoSecondsWhileTheCallbackIsBlocked) {
  Watchdog watchdog(60000);
  const size_t logStart = orvo_test::LogSize();
  const int id = startPlayer();
  g_blocked = false;
  g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(orvo_test::WaitUntil([] { return g_blocked.load(); }, 5000));

  DWORD start = GetTickCount();
  EXPECT_EQ(Stop(id), Ok);
  EXPECT_LT(GetTickCount() - start, 2000u);
  start = GetTickCount();
  EXPECT_EQ(Close(id), Ok);
  EXPECT_LT(GetTickCount() - start, 2000u);
  // The stop did not wait for the host: the thread inside the callback was left behind.
  EXPECT_GE(orvo_test::CountOccurrences(orvo_test::ReadLog(logStart), "pulling thread left behind"), 1);

  // The host comes back late: the stop left behind ends and the library goes on working.
  HANDLE release = g_release.exchange(nullptr);
  SetEvent(release);
  const int next = startPlayer();
  EXPECT_EQ(Close(next), Ok);
  CloseHandle(release);
}
