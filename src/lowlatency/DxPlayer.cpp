#include "lowlatency/DxPlayer.h"

#include <mferror.h>

#include <cstddef>
#include <cstring>

#include "common/Clock.h"
#include "common/ComAdopt.h"
#include "common/ComInit.h"
#include "log/Log.h"
#include "common/CriticalSectionGuard.h"
#include "common/Uri.h"
#include "lowlatency/AvSyncMonitor.h"
#include "lowlatency/PacingRules.h"
#include "lowlatency/StreamInt.h"
#include "lowlatency/TimestampSynchronizer.h"

namespace ORVO {
namespace Media {

static_assert(offsetof(OrvoStreamStatistics, endpointLatencyMsMedian) == ORVO_STREAM_STATISTICS_V1_SIZE,
              "the first version of the statistics ends where the second begins");

DxPlayer::DxPlayer(int playerId, HWND window, const std::vector<Microsoft::WRL::ComPtr<IMFMediaType>>& mediaTypes,
                   RequestDataCallback callback, const std::wstring& uri, int audioDeviceValue,
                   const std::wstring& audioDeviceId)
    : m_playerId(playerId), m_window(window), m_callback(callback), m_state(Closed), m_syncMonitor(new AvSyncMonitor()) {
  InitializeCriticalSection(&m_lock);
  const Common::Uri parsed(Common::Uri::ToUtf8(uri.c_str()));
  m_strategy = Pacing::StrategyFromQueryValue(parsed.queryValue("renderingStrategy"));
  m_maxDelay = Pacing::MaxDelayFromQueryValue(parsed.queryValue("maxDelayMs"));
  InitializeComForThread();
  for (size_t index = 0; index < mediaTypes.size(); ++index) {
    // An inactive stream shares its synchronizer index with the next stream; it never asks.
    Microsoft::WRL::ComPtr<StreamInt> stream =
        AdoptRef(new StreamInt(this, m_playerId, static_cast<int>(index), m_activeCount, mediaTypes[index].Get(),
                               m_window, m_callback, uri, audioDeviceValue, audioDeviceId));
    m_streams.push_back(stream);
    if (stream->active()) {
      ++m_activeCount;
    } else {
      ORVO_LOG_DEBUG("DxPlayer::DxPlayer: [%p] stream %d stays inactive: its media type could not be set up", this,
                     static_cast<int>(index));
    }
    // An output whose device or endpoint is gone for good ends playback like a failing reader.
    const int streamIndex = static_cast<int>(index);
    if (StreamOutput* output = stream->output()) output->setFailureListener([this, streamIndex] { streamFailed(streamIndex); });
  }
}

DxPlayer::~DxPlayer() {
  Stop();
  {
    CriticalSectionGuard guard(&m_lock);
    m_streams.clear();
    m_pSynchronizer.reset();
  }
  DeleteCriticalSection(&m_lock);
}

int DxPlayer::Open() {
  CriticalSectionGuard guard(&m_lock);
  if (!m_callback) return Failed;
  if (m_state.load() >= Started) return InvalidState;
  if (m_streams.empty() || m_activeCount == 0) {
    ORVO_LOG_DEBUG("DxPlayer::Open: [%p] no stream could be set up", this);
    return Failed;
  }
  m_pSynchronizer.reset(new TimestampSynchronizer(m_activeCount, elapsedTime(10000000), m_strategy, m_maxDelay));
  return Ok;
}

int DxPlayer::Play() {
  CriticalSectionGuard guard(&m_lock);
  if (m_state.load() == Started) return InvalidState;
  // Without a successful Open there is no synchronizer to pace against.
  if (!m_pSynchronizer) return Failed;
  // After Error the streams' threads have ended, or are ending, but were never joined.
  bool running = false;
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) running = running || stream->running();
  if (running) stopStreams();
  m_state.store(Started);
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) {
    // An output that failed (no device, no endpoint) gets its one new try here.
    if (!stream->active() || (SUCCEEDED(stream->output()->restart()) && SUCCEEDED(stream->start()))) continue;
    // Half a player is not playing: a stream that cannot start fails the whole Play.
    m_state.store(Error);
    stopStreams();
    return Failed;
  }
  return Ok;
}

HRESULT DxPlayer::Stop() {
  CriticalSectionGuard guard(&m_lock);
  m_state.store(Stopped);
  stopStreams();
  return S_OK;
}

void DxPlayer::stopStreams() {
  // Every feed ends before the first join, so the streams' waits for their host callbacks overlap
  // instead of adding up.
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) stream->endFeed();
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) stream->stop();
}

void DxPlayer::streamFailed(int streamIndex) {
  int expected = Started;
  if (m_state.compare_exchange_strong(expected, Error)) {
    ORVO_LOG_ERROR("DxPlayer::streamFailed: [%p] stream %d cannot go on, player in error", static_cast<void*>(this),
                   streamIndex);
  }
}

PlayerState DxPlayer::GetState() {
  CriticalSectionGuard guard(&m_lock);
  // The outputs tell the player themselves; asking here too keeps the answer true whatever the order.
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) {
    if (stream->active() && FAILED(stream->output()->failure())) streamFailed(stream->streamIndex());
  }
  return static_cast<PlayerState>(m_state.load());
}

int DxPlayer::IsStreamActive(int index) {
  CriticalSectionGuard guard(&m_lock);
  if (index < 0 || static_cast<size_t>(index) >= m_streams.size()) return Failed;
  return m_streams[static_cast<size_t>(index)]->active() ? Ok : Failed;
}

int DxPlayer::GetStatistics(int index, OrvoStreamStatistics* out) {
  CriticalSectionGuard guard(&m_lock);
  if (index < 0 || static_cast<size_t>(index) >= m_streams.size()) return InvalidArgument;
  OrvoStreamStatistics all = {};
  all.size = sizeof(all);
  m_streams[static_cast<size_t>(index)]->statistics().fill(&all);
  const AvSyncMonitor::Figures sync = m_syncMonitor->figures();
  all.avOffsetMsMedian = sync.offsetMsMedian;
  all.avOffsetMsLargest = sync.offsetMsLargest;
  // Only what the host's version of the struct has room for.
  const unsigned size = out->size < sizeof(all) ? out->size : static_cast<unsigned>(sizeof(all));
  all.size = out->size;
  memcpy(out, &all, size);
  return Ok;
}

int DxPlayer::GetSnapshot(int index, OrvoSnapshot* out) {
  CriticalSectionGuard guard(&m_lock);
  if (index < 0 || static_cast<size_t>(index) >= m_streams.size()) return InvalidArgument;
  const StreamInt& stream = *m_streams[static_cast<size_t>(index)].Get();
  // Audio, or neither; a video stream whose set-up failed has a picture output that drew nothing.
  if (!stream.video()) return InvalidArgument;
  MediaFoundation::BgraSize size;
  const HRESULT hr = stream.video()->snapshot().Read(out->pixels, out->bufferSize, &size);
  if (hr == MF_E_NOT_INITIALIZED) return InvalidState;
  if (FAILED(hr) && hr != MF_E_BUFFERTOOSMALL) return Failed;
  out->neededSize = size.bytes;
  out->width = size.width;
  out->height = size.height;
  out->stride = size.stride;
  return hr == MF_E_BUFFERTOOSMALL ? InvalidArgument : Ok;
}

std::vector<StreamSnapshot> DxPlayer::streamSnapshots() {
  CriticalSectionGuard guard(&m_lock);
  std::vector<StreamSnapshot> snapshots(m_streams.size());
  for (size_t i = 0; i < m_streams.size(); ++i) {
    const StreamInt& stream = *m_streams[i].Get();
    snapshots[i].active = stream.active();
    snapshots[i].returned = stream.statistics().returned();
    snapshots[i].presented = stream.statistics().presented();
    snapshots[i].ended = stream.ended();
    // The reader's failure first; else the output's (device or endpoint gone).
    snapshots[i].error = FAILED(stream.failure()) || !stream.output() ? stream.failure() : stream.output()->failure();
    snapshots[i].catchUps = stream.statistics().catchUps();
  }
  return snapshots;
}

uint64_t DxPlayer::endpointFallbacks(HRESULT* why) {
  CriticalSectionGuard guard(&m_lock);
  uint64_t count = 0;
  *why = S_OK;
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) {
    HRESULT reason = S_OK;
    const uint64_t fallbacks = stream->endpointFallbacks(&reason);
    if (fallbacks == 0) continue;
    count += fallbacks;
    *why = reason;
  }
  return count;
}

bool DxPlayer::syncInBounds() const { return m_syncMonitor->inBounds(); }

DxPlayer::StreamInt* DxPlayer::firstAudioStream() {
  // An audio stream the decoder or the endpoint refused has no volume to take.
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) {
    if (stream->isAudio() && stream->active()) return stream.Get();
  }
  return nullptr;
}

double DxPlayer::GetVolume() {
  CriticalSectionGuard guard(&m_lock);
  StreamInt* audio = firstAudioStream();
  return audio ? audio->requestedVolume() : 1.0;
}

double DxPlayer::GetBalance() {
  CriticalSectionGuard guard(&m_lock);
  StreamInt* audio = firstAudioStream();
  return audio ? audio->requestedBalance() : 0.5;
}

void DxPlayer::SetVolume(double volume) {
  CriticalSectionGuard guard(&m_lock);
  if (StreamInt* audio = firstAudioStream()) audio->requestVolume(volume);
}

void DxPlayer::SetBalance(double balance) {
  CriticalSectionGuard guard(&m_lock);
  if (StreamInt* audio = firstAudioStream()) audio->requestBalance(balance);
}

void DxPlayer::SetSourceRect(const SourceRect& zoom) {
  CriticalSectionGuard guard(&m_lock);
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) {
    if (stream->video()) stream->video()->setSourceRect(zoom);
  }
}

void DxPlayer::flush() {
  // Stop holds m_lock while it joins the thread that called this, so never wait for it blindly.
  while (!TryEnterCriticalSection(&m_lock)) {
    if (m_state.load() != Started) return;
    Sleep(1);
  }
  std::vector<size_t> lengths;
  for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) {
    if (stream->active()) lengths.push_back(stream->queueLength());
  }
  if (Pacing::ShouldTrimQueues(lengths)) {
    ORVO_LOG_DEBUG("DxPlayer::flush: flushing...");
    for (const Microsoft::WRL::ComPtr<StreamInt>& stream : m_streams) {
      const int released = stream->trimQueueToNewest();
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d flushed %d buffers", stream->streamIndex(),
                     released);
    }
    if (m_pSynchronizer) m_pSynchronizer->Reset();
  }
  LeaveCriticalSection(&m_lock);
}

}  // namespace Media
}  // namespace ORVO
