#pragma once

#include <atomic>
#include <cstdint>

#include "lowlatency/PacingRules.h"
#include "lowlatency/RenderPacer.h"

namespace ORVO {
namespace Media {

class LoopClock;
class SampleQueue;
class StreamOutput;
class StreamPlayer;
class StreamStatistics;

// The rendering thread of one low-latency stream: takes the queued samples in order, agrees the
// timeline with the player's other streams, and hands each sample to the output so that it is
// seen or heard at its due time on that timeline. Every decision runs on the injected clock, so
// the loop can be driven in virtual time; it waits in one place only (waitUntil), in short slices
// so that a stop is never held up and the output can keep its device fed meanwhile.
class RenderLoop {
 public:
  RenderLoop(int streamIndex, int syncIndex, RenderingStrategy strategy, bool audio, StreamPlayer& player,
             SampleQueue& queue, StreamOutput& output, StreamStatistics& statistics, LoopClock& clock);

  // Until the player no longer plays.
  void run();
  // One sample, or one idle wait when none is queued. False when it only waited.
  bool runOnce();
  // The pacer's base local time, kUnsetTime without an agreement; any thread.
  int64_t baseLocalTime() const { return m_baseLocalTime.load(); }

 private:
  // Sleeps until `deadline` on the clock (or the player stops), servicing the output meanwhile.
  void waitUntil(int64_t deadline);
  void report(size_t queued);

  const int m_streamIndex;
  const int m_syncIndex;
  const RenderingStrategy m_strategy;
  const bool m_audio;
  StreamPlayer& m_player;
  SampleQueue& m_queue;
  StreamOutput& m_output;
  StreamStatistics& m_statistics;
  LoopClock& m_clock;
  RenderPacer m_pacer;
  int64_t m_lastFlush;
  int64_t m_lastReport;
  std::atomic<int64_t> m_baseLocalTime{INT64_MIN};
};

}  // namespace Media
}  // namespace ORVO
