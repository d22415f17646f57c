#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "common/Clock.h"
#include "common/CriticalSectionGuard.h"
#include "lowlatency/PacingRules.h"
#include "lowlatency/TimelineAdjuster.h"

namespace ORVO {
namespace Media {

// The start-time agreement of one low-latency player: every active stream reports the time of the
// first sample it wants to present, and once all have reported (or 3 s after Open, with those that
// have) the smallest becomes the common start timestamp. It is bound to the local time at which the
// reported samples were ready (Pacing::AgreedStartLocalTime): a sample that waited in its queue
// behind a busy renderer would otherwise hold every later frame back by that wait.
// All times are 100-ns units of the library clock; kUnsetTime means "not yet".
//
// Threads: the streams' rendering threads call everything concurrently; m_lock serialises them.
// Lock order: DxPlayer lock -> this lock (a stream's queue lock is never held together with it).
class TimestampSynchronizer {
 public:
  // instanceCount: the number of active streams. creationTime: the clock at Open; the 3 s grace
  // counts from it and it is never reset. strategy and maxDelay (100-ns; 0: the default) decide how
  // the agreed timeline moves afterwards (TimelineAdjuster).
  TimestampSynchronizer(int instanceCount, int64_t creationTime,
                        RenderingStrategy strategy = RenderingStrategy::LowLatency, int64_t maxDelay = 0);
  ~TimestampSynchronizer();
  TimestampSynchronizer(const TimestampSynchronizer&) = delete;
  TimestampSynchronizer& operator=(const TimestampSynchronizer&) = delete;

  // The agreed start timestamp, or kUnsetTime while the streams have not agreed. Reads the clock.
  // readyAt: when the sample became ready to present (kUnsetTime: now).
  int64_t GetStartStreamTime(int instanceIndex, int64_t timestamp, int64_t* startLocalTime = nullptr) {
    return GetStartStreamTime(instanceIndex, timestamp, kUnsetTime, startLocalTime);
  }
  int64_t GetStartStreamTime(int instanceIndex, int64_t timestamp, int64_t readyAt, int64_t* startLocalTime);
  // The same with the clock reading passed in. startLocalTime, when given, receives the local start
  // time read under the same lock as the answer, so a reset between two calls cannot pair an agreed
  // timestamp with an unset local time.
  int64_t getStartStreamTimeAt(int instanceIndex, int64_t timestamp, int64_t now, int64_t* startLocalTime) {
    return getStartStreamTimeAt(instanceIndex, timestamp, kUnsetTime, now, startLocalTime);
  }
  int64_t getStartStreamTimeAt(int instanceIndex, int64_t timestamp, int64_t readyAt, int64_t now,
                               int64_t* startLocalTime);

  // Forgets the agreement and every report; each stream drops samples until a new one exists.
  void Reset();
  // Smooth strategy: a late stream moves the common local start later by its lateness.
  void ShiftStartLocalTime(int64_t lateness);
  // A stream is about to present a sample that waits `wait` ticks for its due time (negative:
  // late). Moves the local start when the TimelineAdjuster says so and returns the shift
  // (negative: earlier); 0 while there is no agreement.
  int64_t ReportWait(int instanceIndex, int64_t wait, int64_t now);
  // The delay Smooth's jitter buffer has added since the agreement, 100-ns.
  int64_t addedDelay();

  int64_t startLocalTime();
  int64_t startTimestamp();
  int instanceCount() const { return static_cast<int>(m_instanceTimestamps.size()); }

 private:
  CRITICAL_SECTION m_lock;
  const int64_t m_creationTime;
  int64_t m_startLocalTime;
  int64_t m_startTimestamp;
  std::vector<int64_t> m_instanceTimestamps;
  std::vector<int64_t> m_instanceReadyTimes;  // when each reported sample was ready
  TimelineAdjuster m_adjuster;
};

}  // namespace Media
}  // namespace ORVO
