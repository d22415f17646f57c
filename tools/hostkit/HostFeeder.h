#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "AccessUnit.h"
#include "OrvoMedia.h"

namespace orvo_hostkit {

// A ready-made RequestDataCallback body: serves each stream identifier from an AccessUnitReader,
// copying one access unit per call into the library's sample with its time and duration.
//
// - A unit larger than the offered buffer is answered with 7 and the size it needs (stored under
//   the needed-size key); the same unit is served on the library's next call.
// - At the end of a reader: with looping, the reader starts again and its times continue where the
//   last pass ended; without, the call returns Options::endResult (any value but 0 and 7), which
//   ends every stream of the source.
// - With real-time pacing the call waits until the unit's time has come on the wall clock,
//   measured from the first call of the feeder, as a live feed would deliver it. Abort() ends any
//   wait at once (use it before closing the player so a close is not held up by a sleeping host).
// - Options::clockPpm lets that wall clock run off real time, as a camera's crystal does: at
//   +1,000 ppm the feed hands over 1.001 s of samples each second, at -1,000 ppm 0.999 s. The times
//   on the samples are unchanged; only when they are handed over moves.
//
// Thread safety: the library may call from several threads at once (one per source); each stream
// has its own lock and waits happen outside it.
class HostFeeder {
 public:
  struct Options {
    bool realTime = false;
    bool loop = false;
    int endResult = 1;
    double clockPpm = 0;  // with realTime: how fast (+) or slow (-) the feed's clock runs
  };

  HostFeeder() : HostFeeder(Options()) {}
  explicit HostFeeder(const Options& options);
  ~HostFeeder();
  HostFeeder(const HostFeeder&) = delete;
  HostFeeder& operator=(const HostFeeder&) = delete;

  // Serves streamId from reader from now on (the feeder owns the reader).
  void AddStream(unsigned char streamId, std::unique_ptr<AccessUnitReader> reader);
  // The callback body for one sample; returns 0, 7, or endResult.
  int Fill(unsigned char streamId, IMFSample* sample);
  void Abort() { m_aborted = true; }

  uint64_t delivered(unsigned char streamId);
  uint64_t tooSmallAnswers() const { return m_tooSmall; }

  // Routes the library's plain callback to a feeder by player id: pass &HostFeeder::Callback to
  // SetCallback and Register the feeder for the player before Open.
  static void Register(int playerId, HostFeeder* feeder);
  static void Unregister(int playerId);
  static int Callback(int playerId, unsigned char streamId, IMFSample* sample, int reserved);

  // When a unit of `sampleTime` is due on the wall clock (both 100-ns, from the first call) for a
  // feed whose clock runs `clockPpm` off: sampleTime / (1 + clockPpm / 1,000,000).
  static int64_t WallTime(int64_t sampleTime, double clockPpm);

 private:
  struct Stream {
    std::mutex lock;
    std::unique_ptr<AccessUnitReader> reader;
    AccessUnit pending;
    bool hasPending = false;
    int64_t loopOffset = 0;
    uint64_t delivered = 0;
  };
  // Waits until `time` (100-ns, from the first call) is due; false when aborted.
  bool waitUntil(int64_t time);
  int64_t now100ns();

  Options m_options;
  std::unique_ptr<Stream> m_streams[256];
  std::atomic<bool> m_aborted{false};
  std::atomic<uint64_t> m_tooSmall{0};
  std::once_flag m_startOnce;
  LARGE_INTEGER m_frequency{};
  LARGE_INTEGER m_start{};
};

}  // namespace orvo_hostkit
