#include "StreamStatistics.h"

#include <algorithm>
#include <cstdio>

namespace ORVO {
namespace Media {

namespace {
double Milliseconds(int64_t ticks) { return static_cast<double>(ticks) / 10000.0; }
}  // namespace

void StreamStatistics::Window::add(int64_t ticks) {
  values[next] = ticks;
  next = (next + 1) % kWindow;
  if (count < kWindow) ++count;
}

std::vector<int64_t> StreamStatistics::Window::snapshot() const {
  return std::vector<int64_t>(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(count));
}

int64_t StreamStatistics::Percentile(std::vector<int64_t>& values, double fraction) {
  if (values.empty()) return 0;
  // Nearest rank: the smallest value that at least `fraction` of the values do not exceed.
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
  rank = std::min(std::max<size_t>(rank, 1), values.size());
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank - 1), values.end());
  return values[rank - 1];
}

void StreamStatistics::onReturned(int64_t sampleTime, int64_t now) {
  ++m_returned;
  std::lock_guard<std::mutex> guard(m_lock);
  m_returnedRing[m_returnedNext] = {sampleTime, now};
  m_returnedNext = (m_returnedNext + 1) % kReturnedRing;
  if (m_returnedCount < kReturnedRing) ++m_returnedCount;
}

int64_t StreamStatistics::returnedAt(int64_t sampleTime) const {
  // Newest first: a live feed that restarts its clock reuses time stamps.
  for (size_t i = 1; i <= m_returnedCount; ++i) {
    const Returned& entry = m_returnedRing[(m_returnedNext + kReturnedRing - i) % kReturnedRing];
    if (entry.sampleTime == sampleTime) return entry.at;
  }
  return -1;
}

void StreamStatistics::addLocked(Stage stage, int64_t ticks) {
  m_stages[static_cast<int>(stage)].add(std::max<int64_t>(ticks, 0));
}

void StreamStatistics::onDecoded(int64_t sampleTime, int64_t now) {
  ++m_decoded;
  std::lock_guard<std::mutex> guard(m_lock);
  const int64_t returned = returnedAt(sampleTime);
  if (returned >= 0) addLocked(Stage::Decode, now - returned);
}

void StreamStatistics::onConverted(int64_t ticks) {
  ++m_converted;
  onStage(Stage::Convert, ticks);
}

void StreamStatistics::onQueued(size_t depthAfter) {
  ++m_queued;
  const unsigned depth = static_cast<unsigned>(depthAfter);
  m_queueDepth.store(depth);
  unsigned most = m_queueDepthMax.load();
  while (depth > most && !m_queueDepthMax.compare_exchange_weak(most, depth)) {
  }
}

void StreamStatistics::onStage(Stage stage, int64_t ticks) {
  std::lock_guard<std::mutex> guard(m_lock);
  addLocked(stage, ticks);
}

void StreamStatistics::onPresented(int64_t sampleTime, int64_t now) {
  ++m_presented;
  std::lock_guard<std::mutex> guard(m_lock);
  const int64_t returned = returnedAt(sampleTime);
  if (returned >= 0) m_latency.add(std::max<int64_t>(now - returned, 0));
}

void StreamStatistics::onDropped(Drop reason, uint64_t count) { m_dropped[static_cast<int>(reason)] += count; }

void StreamStatistics::onAudioPlaced(int64_t heardAfter, int64_t inserted, int64_t dropped, int64_t saved,
                                     bool catchUp) {
  m_audioInserted += inserted;
  m_audioDropped += dropped;
  m_audioSaved += saved;
  if (catchUp) ++m_catchUps;
  std::lock_guard<std::mutex> guard(m_lock);
  m_endpointLatency.add(std::max<int64_t>(heardAfter, 0));
}

void StreamStatistics::fill(OrvoStreamStatistics* out) const {
  const unsigned size = out->size;
  *out = OrvoStreamStatistics();
  out->size = size;
  out->queueDepth = m_queueDepth.load();
  out->queueDepthMax = m_queueDepthMax.load();
  out->requested = m_requested.load();
  out->returned = m_returned.load();
  out->decoded = m_decoded.load();
  out->converted = m_converted.load();
  out->queued = m_queued.load();
  out->presented = m_presented.load();
  out->droppedTrimmed = m_dropped[static_cast<int>(Drop::Trimmed)].load();
  out->droppedLate = m_dropped[static_cast<int>(Drop::Late)].load();
  out->droppedDecodeFailure = m_dropped[static_cast<int>(Drop::DecodeFailure)].load();
  out->droppedOther = m_dropped[static_cast<int>(Drop::Other)].load();

  out->audioInsertedMs = Milliseconds(m_audioInserted.load());
  out->audioDroppedMs = Milliseconds(m_audioDropped.load());
  out->audioStretchedMs = Milliseconds(m_audioSaved.load());
  out->latencyCatchUps = m_catchUps.load();

  std::vector<int64_t> windows[5];
  std::vector<int64_t> endpoint;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (int i = 0; i < 4; ++i) windows[i] = m_stages[i].snapshot();
    windows[4] = m_latency.snapshot();
    endpoint = m_endpointLatency.snapshot();
  }
  out->endpointLatencyMsMedian = Milliseconds(Percentile(endpoint, 0.5));
  out->endpointLatencyMsP99 = Milliseconds(Percentile(endpoint, 0.99));
  double* const pairs[5][2] = {{&out->decodeMsMedian, &out->decodeMsP99},
                               {&out->convertMsMedian, &out->convertMsP99},
                               {&out->processMsMedian, &out->processMsP99},
                               {&out->presentMsMedian, &out->presentMsP99},
                               {&out->latencyMsMedian, &out->latencyMsP99}};
  for (int i = 0; i < 5; ++i) {
    *pairs[i][0] = Milliseconds(Percentile(windows[i], 0.5));
    *pairs[i][1] = Milliseconds(Percentile(windows[i], 0.99));
  }
}

std::string StreamStatistics::summary() const {
  OrvoStreamStatistics s = {};
  s.size = sizeof(s);
  fill(&s);
  char line[640];
  std::snprintf(line, sizeof(line),
                "requested %llu returned %llu decoded %llu converted %llu queued %llu presented %llu dropped "
                "trimmed %llu late %llu decode %llu other %llu queue %u max %u ms p50/p99 decode %.1f/%.1f "
                "convert %.1f/%.1f process %.1f/%.1f present %.1f/%.1f latency %.1f/%.1f",
                s.requested, s.returned, s.decoded, s.converted, s.queued, s.presented, s.droppedTrimmed,
                s.droppedLate, s.droppedDecodeFailure, s.droppedOther, s.queueDepth, s.queueDepthMax,
                s.decodeMsMedian, s.decodeMsP99, s.convertMsMedian, s.convertMsP99, s.processMsMedian,
                s.processMsP99, s.presentMsMedian, s.presentMsP99, s.latencyMsMedian, s.latencyMsP99);
  return line;
}

}  // namespace Media
}  // namespace ORVO
