#include "lowlatency/TimestampSynchronizer.h"

#include "common/Clock.h"
#include "log/Log.h"
#include "lowlatency/PacingRules.h"

namespace ORVO {
namespace Media {

TimestampSynchronizer::TimestampSynchronizer(int instanceCount, int64_t creationTime, RenderingStrategy strategy,
                                             int64_t maxDelay)
    : m_creationTime(creationTime),
      m_startLocalTime(kUnsetTime),
      m_startTimestamp(kUnsetTime),
      m_instanceTimestamps(instanceCount > 0 ? static_cast<size_t>(instanceCount) : 0, kUnsetTime),
      m_instanceReadyTimes(m_instanceTimestamps.size(), kUnsetTime),
      m_adjuster(strategy, instanceCount, maxDelay) {
  InitializeCriticalSection(&m_lock);
}

TimestampSynchronizer::~TimestampSynchronizer() { DeleteCriticalSection(&m_lock); }

int64_t TimestampSynchronizer::GetStartStreamTime(int instanceIndex, int64_t timestamp, int64_t readyAt,
                                                  int64_t* startLocalTime) {
  return getStartStreamTimeAt(instanceIndex, timestamp, readyAt, elapsedTime(10000000), startLocalTime);
}

int64_t TimestampSynchronizer::getStartStreamTimeAt(int instanceIndex, int64_t timestamp, int64_t readyAt, int64_t now,
                                                    int64_t* startLocalTime) {
  CriticalSectionGuard guard(&m_lock);
  if (startLocalTime) *startLocalTime = m_startLocalTime;
  if (instanceIndex < 0 || static_cast<size_t>(instanceIndex) >= m_instanceTimestamps.size() ||
      m_startTimestamp != kUnsetTime) {
    return m_startTimestamp;
  }

  int64_t candidate = kUnsetTime;
  int64_t& entry = m_instanceTimestamps[static_cast<size_t>(instanceIndex)];
  int64_t& entryReady = m_instanceReadyTimes[static_cast<size_t>(instanceIndex)];
  if (entry == kUnsetTime) {
    ORVO_LOG_DEBUG("TimestampSynchronizer::GetStartStreamTime: instance %d initialized start timestamp %lld",
                   instanceIndex, static_cast<long long>(timestamp));
    entry = timestamp;
    entryReady = readyAt;
    for (int64_t reported : m_instanceTimestamps) {
      if (reported == kUnsetTime) return kUnsetTime;  // not every stream has reported yet
    }
    for (int64_t reported : m_instanceTimestamps) {
      if (candidate == kUnsetTime || reported < candidate) candidate = reported;
    }
  } else {
    // A stream that never delivers holds the others back only for the grace after Open. The
    // report is refreshed with every call: agreeing on the first, long-dropped sample would make
    // every later sample wait as long as the grace lasted, and keep the stream that far behind
    // live for good.
    entry = timestamp;
    entryReady = readyAt;
    if (Pacing::SaturatingSub(now, m_creationTime) < Pacing::kStartGrace) return kUnsetTime;
    candidate = entry;
    for (int64_t reported : m_instanceTimestamps) {
      if (reported != kUnsetTime && reported < candidate) candidate = reported;
    }
  }

  m_startTimestamp = candidate;
  m_startLocalTime = Pacing::AgreedStartLocalTime(m_instanceTimestamps, m_instanceReadyTimes, candidate, now);
  m_adjuster.reset(now);
  if (startLocalTime) *startLocalTime = m_startLocalTime;
  ORVO_LOG_DEBUG("TimestampSynchronizer::GetStartStreamTime: all instances ready, start timestamp %lld, start local "
                 "time %lld",
                 static_cast<long long>(m_startTimestamp), static_cast<long long>(m_startLocalTime));
  return m_startTimestamp;
}

void TimestampSynchronizer::Reset() {
  CriticalSectionGuard guard(&m_lock);
  m_startLocalTime = kUnsetTime;
  m_startTimestamp = kUnsetTime;
  for (int64_t& reported : m_instanceTimestamps) reported = kUnsetTime;
  for (int64_t& ready : m_instanceReadyTimes) ready = kUnsetTime;
}

void TimestampSynchronizer::ShiftStartLocalTime(int64_t lateness) {
  CriticalSectionGuard guard(&m_lock);
  // A reset may have happened since the caller computed its lateness; there is nothing to shift then.
  if (m_startLocalTime == kUnsetTime) return;
  m_startLocalTime = Pacing::SaturatingSub(m_startLocalTime, -lateness);
}

int64_t TimestampSynchronizer::ReportWait(int instanceIndex, int64_t wait, int64_t now) {
  CriticalSectionGuard guard(&m_lock);
  if (m_startLocalTime == kUnsetTime) return 0;
  const int64_t shift = m_adjuster.onSample(instanceIndex, wait, now);
  if (shift != 0) m_startLocalTime = Pacing::SaturatingSub(m_startLocalTime, -shift);
  return shift;
}

int64_t TimestampSynchronizer::addedDelay() {
  CriticalSectionGuard guard(&m_lock);
  return m_adjuster.addedDelay();
}

int64_t TimestampSynchronizer::startLocalTime() {
  CriticalSectionGuard guard(&m_lock);
  return m_startLocalTime;
}

int64_t TimestampSynchronizer::startTimestamp() {
  CriticalSectionGuard guard(&m_lock);
  return m_startTimestamp;
}

}  // namespace Media
}  // namespace ORVO
