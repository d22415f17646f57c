#pragma once

#include <windows.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "OrvoMedia.h"
#include "common/PlayerSnapshot.h"
#include "common/PlayerTypes.h"
#include "common/SourceRect.h"
#include "lowlatency/PacingRules.h"

namespace ORVO {
namespace Media {

class AvSyncMonitor;
class TimestampSynchronizer;

// The low-latency engine: one decoding and rendering pipeline (StreamInt) per host stream, each
// paced against a start time that all active streams agree on through the TimestampSynchronizer.
//
// Threads: the facade calls every public method on a host thread, with the player lock held. The
// streams' rendering threads call flush() and synchronizer(); every stream thread reads state()
// without a lock in each pass.
//
// Locks, always taken in this order and never the reverse: the facade's player lock -> m_lock ->
// one of (a stream's queue lock, the synchronizer's lock, an OrvoSource's lock, a renderer's lock).
// Stop and the destructor hold m_lock while they join the streams' threads, so a thread never
// waits for m_lock: flush() polls it and gives up once the state is no longer Started.
class DxPlayer {
 public:
  class StreamInt;

  DxPlayer(int playerId, HWND window, const std::vector<Microsoft::WRL::ComPtr<IMFMediaType>>& mediaTypes,
           RequestDataCallback callback, const std::wstring& uri, int audioDeviceValue,
           const std::wstring& audioDeviceId);
  ~DxPlayer();
  DxPlayer(const DxPlayer&) = delete;
  DxPlayer& operator=(const DxPlayer&) = delete;

  // PlayerResult: Failed without a callback, InvalidState once started, Failed when no stream is
  // active; Ok creates the synchronizer.
  int Open();
  // Ok and two threads per active stream, or InvalidState when already started (or Failed before
  // a successful Open). Failed, and the state Error, when a stream cannot be started again after a
  // stop, or its output that failed still finds no device or endpoint; the streams that did start
  // are stopped again.
  int Play();
  // Ends every stream's threads, shows a black frame and releases the readers and sources; the
  // state is Stopped afterwards, also after Error. Bounded even when a host callback never returns:
  // every source's feed is ended first, so no thread waits for the host.
  HRESULT Stop();

  PlayerState GetState();
  // Ok when the stream at index was set up, Failed otherwise or out of range.
  int IsStreamActive(int index);
  // Fills *out (size already checked) for the stream at index; InvalidArgument out of range.
  int GetStatistics(int index, OrvoStreamStatistics* out);
  // Copies the picture the video stream at index presented last (size already checked): Ok,
  // InvalidArgument (no such video stream, or a buffer too small: the sizes are filled in),
  // InvalidState (nothing presented yet), Failed (the picture could not be read back).
  int GetSnapshot(int index, OrvoSnapshot* out);
  // How far each stream has come, for the host's events.
  std::vector<StreamSnapshot> streamSnapshots();
  // How often the default audio endpoint took the place of the one the host chose, over all audio
  // streams, and why the last time (*why).
  uint64_t endpointFallbacks(HRESULT* why);
  // Whether the sound is within the lip-sync bounds of the picture (AvSyncMonitor); any thread.
  bool syncInBounds() const;
  // Requested volume and balance of the first audio stream: -1.0 while never set, the neutral
  // value (1.0, 0.5) without an audio stream. Setting is always accepted.
  double GetVolume();
  double GetBalance();
  void SetVolume(double volume);
  void SetBalance(double balance);
  // Every video stream shows this part of its picture from its next frame on.
  void SetSourceRect(const SourceRect& zoom);

  // For the streams' rendering threads.
  int state() const { return m_state.load(); }
  TimestampSynchronizer* synchronizer() const { return m_pSynchronizer.get(); }
  // How far the player's sound is from its picture; lives as long as the player.
  AvSyncMonitor* syncMonitor() const { return m_syncMonitor.get(); }
  // Trims every rendering queue to its newest sample when all active ones hold 3 or more, and
  // restarts the agreement. Never blocks on m_lock.
  void flush();
  // A stream's reader or output cannot go on: a player still Started moves to Error, which ends every
  // stream's threads at their next look at the state. Never takes m_lock.
  void streamFailed(int streamIndex);

  // Read-only views for tests.
  size_t streamCount() const { return m_streams.size(); }
  StreamInt* streamAt(size_t index) const { return index < m_streams.size() ? m_streams[index].Get() : nullptr; }

 private:
  StreamInt* firstAudioStream();
  // Stop's work, m_lock held.
  void stopStreams();

  int m_playerId;
  CRITICAL_SECTION m_lock;
  HWND m_window;
  // Guarded by m_lock.
  std::vector<Microsoft::WRL::ComPtr<StreamInt>> m_streams;  // in AddMediaType order
  RequestDataCallback m_callback;
  // Written under m_lock, read by the stream threads without it; streamFailed moves it from
  // Started to Error without the lock, by compare and exchange.
  std::atomic<int> m_state;
  std::unique_ptr<TimestampSynchronizer> m_pSynchronizer;
  std::unique_ptr<AvSyncMonitor> m_syncMonitor;
  RenderingStrategy m_strategy = RenderingStrategy::LowLatency;
  int64_t m_maxDelay = 0;  // Smooth's cap on its jitter buffer (100-ns); 0: the default
  int m_activeCount = 0;
};

}  // namespace Media
}  // namespace ORVO
