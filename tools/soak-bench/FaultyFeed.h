#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

#include "HostFeeder.h"

namespace soak_bench {

// One player's live feed: a host kit feeder (real-time pace, looping, its own clock rate) with the
// two faults a camera wall meets in the field put in front of it on demand.
//
// - Stall(ms): every call of the host's callback that begins within the next `ms` waits until they
//   are over, so the player gets nothing at all for that long (what a dropped network link looks
//   like); the samples due meanwhile then arrive as a burst, because the feeder's pacing only
//   waits for samples that are not due yet.
// - Garble(n): the next n video access units are replaced by random bytes of the same length with
//   their times kept, every other one behind a start code so that the decoder takes it for NAL
//   units of random types, the rest without one.
//
// The library calls Fill from its pulling threads, one per stream; Stall, Garble and Abort come from
// the host's thread. Abort ends a stall's wait and the feeder's pacing wait at once.
class FaultyFeed {
 public:
  explicit FaultyFeed(const orvo_hostkit::HostFeeder::Options& options, uint32_t seed);
  ~FaultyFeed();
  FaultyFeed(const FaultyFeed&) = delete;
  FaultyFeed& operator=(const FaultyFeed&) = delete;

  orvo_hostkit::HostFeeder& feeder() { return m_feeder; }

  int Fill(unsigned char streamId, IMFSample* sample);
  void Stall(DWORD milliseconds);
  void Garble(unsigned units) { m_garbageLeft = units; }
  void Abort();

  uint64_t garbled() const { return m_garbled; }
  uint64_t stalledCalls() const { return m_stalledCalls; }

  // Routes the library's plain callback to the feed of each player id: Register before Open,
  // Unregister after Close. A call that comes in the meantime keeps the feed alive while it runs.
  static void Register(int playerId, std::shared_ptr<FaultyFeed> feed);
  static void Unregister(int playerId);
  static int Callback(int playerId, unsigned char streamId, IMFSample* sample, int reserved);

 private:
  // Waits out a stall that is in force; false when aborted.
  bool waitOutStall();
  void garble(IMFSample* sample);

  orvo_hostkit::HostFeeder m_feeder;
  HANDLE m_abort = nullptr;  // manual-reset event, set by Abort
  std::atomic<bool> m_aborted{false};
  std::atomic<ULONGLONG> m_stallEnd{0};  // GetTickCount64 value; 0: no stall
  std::atomic<unsigned> m_garbageLeft{0};
  std::atomic<uint64_t> m_garbled{0};
  std::atomic<uint64_t> m_stalledCalls{0};
  std::mutex m_randomLock;
  std::mt19937 m_random;
};

}  // namespace soak_bench
