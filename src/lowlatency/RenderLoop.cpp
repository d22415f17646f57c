#include "lowlatency/RenderLoop.h"

#include <mfobjects.h>
#include <wrl/client.h>

#include <algorithm>
#include <utility>

#include "common/Clock.h"
#include "log/Log.h"
#include "lowlatency/AvSyncMonitor.h"
#include "lowlatency/LoopClock.h"
#include "lowlatency/SampleQueue.h"
#include "lowlatency/StreamOutput.h"
#include "lowlatency/StreamPlayer.h"
#include "lowlatency/StreamStatistics.h"
#include "lowlatency/TimestampSynchronizer.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

// With nothing queued the rendering thread waits for the next sample, and looks at the player's
// state and the flush schedule at least this often.
constexpr int64_t kIdleWait = 100000;  // 10 ms
// A wait for a due time is cut into slices of at most this, so that Stop never waits for a frame
// scheduled far ahead.
constexpr int64_t kWaitSlice = 200000;  // 20 ms
constexpr int64_t kReportInterval = 100000000;  // the queue and statistics lines, every 10 s

}  // namespace

RenderLoop::RenderLoop(int streamIndex, int syncIndex, RenderingStrategy strategy, bool audio, StreamPlayer& player,
                       SampleQueue& queue, StreamOutput& output, StreamStatistics& statistics, LoopClock& clock)
    : m_streamIndex(streamIndex),
      m_syncIndex(syncIndex),
      m_strategy(strategy),
      m_audio(audio),
      m_player(player),
      m_queue(queue),
      m_output(output),
      m_statistics(statistics),
      m_clock(clock),
      m_lastFlush(clock.now()),
      m_lastReport(clock.now()) {}

void RenderLoop::run() {
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering thread started", m_streamIndex);
  while (m_player.playing()) runOnce();
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering thread finished", m_streamIndex);
}

void RenderLoop::waitUntil(int64_t deadline) {
  const int64_t interval = m_output.serviceInterval();
  const int64_t slice = interval > 0 ? std::min(interval, kWaitSlice) : kWaitSlice;
  for (int64_t left = deadline - m_clock.now(); left > 0 && m_player.playing(); left = deadline - m_clock.now()) {
    m_clock.wait(nullptr, std::min(left, slice));
    m_output.service();
  }
}

bool RenderLoop::runOnce() {
  TimestampSynchronizer* sync = m_player.synchronizer();
  if (m_strategy == RenderingStrategy::LowLatency && Pacing::IsFlushDue(m_clock.now(), m_lastFlush)) {
    m_player.flush();
    m_lastFlush = m_clock.now();
  }

  RenderQueue::Entry entry;
  size_t trimmed = 0, queued = 0, after = 0;
  // Before an agreement only the newest sample matters: that is where playback will start.
  const bool popped = m_queue.pop(&entry, !m_pacer.synchronised(), &trimmed, &queued, &after);
  if (trimmed) m_statistics.onDropped(StreamStatistics::Drop::Trimmed, trimmed);
  m_statistics.onDequeued(after);
  const ComPtr<IMFSample> sample = std::move(entry.sample);
  if (!popped || !sample) {
    m_output.service();
    const int64_t interval = m_output.serviceInterval();
    m_clock.wait(m_queue.wakeEvent(), interval > 0 ? std::min(interval, kIdleWait) : kIdleWait);
    return false;
  }

  LONGLONG sampleTime = 0;
  if (FAILED(sample->GetSampleTime(&sampleTime))) sampleTime = 0;
  int64_t startLocalTime = kUnsetTime;
  const int64_t canBeOnTime =
      entry.readyAt == kUnsetTime ? kUnsetTime : Pacing::SaturatingSub(entry.readyAt, -m_output.readyLatency());
  const int64_t agreed =
      sync ? sync->getStartStreamTimeAt(m_syncIndex, sampleTime, canBeOnTime, m_clock.now(), &startLocalTime)
           : kUnsetTime;
  const RenderPacer::Decision decision = m_pacer.onSample(sampleTime, agreed, startLocalTime, m_clock.now());
  m_baseLocalTime = m_pacer.baseLocalTime();
  if (decision.startTimeAdopted) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d playback start time resync", m_streamIndex);
  }
  if (decision.newAgreement) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d received base timestamp %lld current timestamp "
                   "%lld",
                   m_streamIndex, static_cast<long long>(m_pacer.baseTimestamp()),
                   static_cast<long long>(m_pacer.baseLocalTime()));
    if (AvSyncMonitor* monitor = m_player.syncMonitor()) monitor->reset();
  }
  if (decision.step == RenderPacer::Step::Drop) {
    m_statistics.onDropped(StreamStatistics::Drop::Late);
    return true;
  }
  if (decision.step == RenderPacer::Step::TimestampGap) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d too big timestamp gap, last %lld current %lld "
                   "gap %lld, resynchronizing...",
                   m_streamIndex, static_cast<long long>(decision.last), static_cast<long long>(sampleTime),
                   static_cast<long long>(Pacing::SaturatingSub(sampleTime, decision.last)));
    sync->Reset();
    m_statistics.onDropped(StreamStatistics::Drop::Other);
    return true;
  }
  if (decision.step == RenderPacer::Step::PlaybackGap) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d too big playback gap, playback time %lld "
                   "presentation time %lld gap %lld, resynchronizing...",
                   m_streamIndex, static_cast<long long>(decision.playback),
                   static_cast<long long>(decision.presentation),
                   static_cast<long long>(Pacing::SaturatingSub(decision.playback, decision.presentation)));
    sync->Reset();
    m_statistics.onDropped(StreamStatistics::Drop::Other);
    return true;
  }

  const int64_t processStart = m_clock.now();
  const bool ready = m_output.process(sample.Get());
  m_statistics.onStage(StreamStatistics::Stage::Process, m_clock.now() - processStart);

  // Local time at which the sample is to be seen or heard, and when it goes to the output. Sound
  // follows a picture that goes on screen late.
  AvSyncMonitor* monitor = m_player.syncMonitor();
  const int64_t due = Pacing::SaturatingSub(m_pacer.baseLocalTime(), -decision.presentation);
  const int64_t follow = m_audio && monitor ? monitor->videoLateness() : 0;
  const int64_t heardAt = Pacing::SaturatingSub(due, -follow);
  const int64_t handOver = Pacing::SaturatingSub(heardAt, m_output.lead());
  const int64_t now = m_clock.now();
  const int64_t wait = Pacing::SaturatingSub(handOver, now);
  const int64_t shift = sync ? sync->ReportWait(m_syncIndex, wait, now) : 0;
  if (shift > 0) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d big playback jitter %lld, resync local "
                   "playback time...",
                   m_streamIndex, static_cast<long long>(shift));
  } else if (shift < 0) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d every stream early by %lld, timeline moved "
                   "earlier",
                   m_streamIndex, static_cast<long long>(-shift));
  }
  if (wait > 0) waitUntil(handOver);

  if (ready) {
    const int64_t presentStart = m_clock.now();
    m_output.presentAt(sample.Get(), sampleTime, heardAt, presentStart);
    const int64_t presentEnd = m_clock.now();
    m_statistics.onStage(StreamStatistics::Stage::Present, presentEnd - presentStart);
    m_statistics.onPresented(sampleTime, presentEnd);
    if (monitor) {
      int64_t error = 0;
      if (m_audio && m_output.lastPlacementError(&error)) {
        monitor->onAudio(Pacing::SaturatingSub(error, -follow), presentEnd);
      } else if (!m_audio) {
        monitor->onVideo(Pacing::SaturatingSub(presentEnd, due), presentEnd);
      }
    }
  } else {
    m_statistics.onDropped(StreamStatistics::Drop::Other);
  }
  report(queued);
  m_pacer.presented(sampleTime);
  return true;
}

void RenderLoop::report(size_t queued) {
  const int64_t now = m_clock.now();
  if (Pacing::SaturatingSub(now, m_lastReport) < kReportInterval) return;
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering queue size %d", m_streamIndex,
                 static_cast<int>(queued));
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::reportStatistics: stream %d %s", m_streamIndex,
                 m_statistics.summary().c_str());
  m_lastReport = now;
}

}  // namespace Media
}  // namespace ORVO
