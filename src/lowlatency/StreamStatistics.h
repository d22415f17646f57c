#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "OrvoMedia.h"
#include "source/FeedObserver.h"

namespace ORVO {
namespace Media {

// What one low-latency stream did since Open, for GetStatistics and the periodic log summary.
// Written by the stream's pulling and rendering threads and the source's pulling thread, read by any
// host thread: counters are atomics, the time windows sit behind one small lock that is never held
// across a platform call. Times are 100-ns ticks of one monotonic clock that the callers read.
class StreamStatistics : public MediaFoundation::FeedObserver {
 public:
  enum class Stage { Decode, Convert, Process, Present };
  enum class Drop { Trimmed, Late, DecodeFailure, Other };
  static constexpr size_t kWindow = 512;  // samples each median and 99th percentile look back over

  void onRequested() override { ++m_requested; }
  // The host's callback returned a filled sample with this time stamp at `now`.
  void onReturned(int64_t sampleTime, int64_t now) override;
  // The decoder gave a sample with this time stamp at `now`: the decode stage runs from the host's
  // return of the sample with the same time stamp.
  void onDecoded(int64_t sampleTime, int64_t now);
  void onConverted(int64_t ticks);
  void onQueued(size_t depthAfter);
  void onDequeued(size_t depthAfter) { m_queueDepth.store(static_cast<unsigned>(depthAfter)); }
  void onStage(Stage stage, int64_t ticks);
  // The present step for the sample with this time stamp returned at `now`.
  void onPresented(int64_t sampleTime, int64_t now);
  void onDropped(Drop reason, uint64_t count = 1);
  // An audio sample was placed on the endpoint's timeline: written-to-heard latency of its first
  // frame, and the silence inserted, queued audio dropped and audio saved by a speed-up for it
  // (all 100-ns). catchUp: a catch-up of a large lateness began with it.
  void onAudioPlaced(int64_t heardAfter, int64_t inserted, int64_t dropped, int64_t saved, bool catchUp);
  uint64_t catchUps() const { return m_catchUps.load(); }

  void fill(OrvoStreamStatistics* out) const;
  uint64_t returned() const { return m_returned.load(); }
  uint64_t presented() const { return m_presented.load(); }
  // One line for the log: counts, queue depths and median/p99 per stage in milliseconds.
  std::string summary() const;

  // The value at `fraction` (0.5 median, 0.99) of `values`, in ticks; 0 for none. Reorders values.
  static int64_t Percentile(std::vector<int64_t>& values, double fraction);

 private:
  // The last kWindow durations of one stage, oldest overwritten first.
  struct Window {
    std::array<int64_t, kWindow> values{};
    size_t count = 0;
    size_t next = 0;
    void add(int64_t ticks);
    std::vector<int64_t> snapshot() const;
  };
  // When the host returned the recent samples, by time stamp, to match decoder output and presents.
  struct Returned {
    int64_t sampleTime;
    int64_t at;
  };
  static constexpr size_t kReturnedRing = 256;

  int64_t returnedAt(int64_t sampleTime) const;  // under m_lock; -1 when unknown
  void addLocked(Stage stage, int64_t ticks);

  std::atomic<uint64_t> m_requested{0}, m_returned{0}, m_decoded{0}, m_converted{0}, m_queued{0}, m_presented{0};
  std::atomic<uint64_t> m_dropped[4] = {};
  std::atomic<unsigned> m_queueDepth{0}, m_queueDepthMax{0};

  mutable std::mutex m_lock;
  Window m_stages[4];
  Window m_latency;
  Window m_endpointLatency;
  std::atomic<int64_t> m_audioInserted{0}, m_audioDropped{0}, m_audioSaved{0};
  std::atomic<uint64_t> m_catchUps{0};
  std::array<Returned, kReturnedRing> m_returnedRing{};
  size_t m_returnedNext = 0;
  size_t m_returnedCount = 0;
};

}  // namespace Media
}  // namespace ORVO
