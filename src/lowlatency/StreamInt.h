#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/PlayerTypes.h"
#include "lowlatency/DxPlayer.h"
#include "lowlatency/AudioOutput.h"
#include "lowlatency/PacingRules.h"
#include "lowlatency/PullLoop.h"
#include "lowlatency/RenderLoop.h"
#include "lowlatency/SampleQueue.h"
#include "lowlatency/StreamReader.h"
#include "lowlatency/StreamOutput.h"
#include "lowlatency/StreamStatistics.h"
#include "lowlatency/VideoOutput.h"

namespace ORVO {
namespace Media {

// One host-fed elementary stream of the low-latency engine, put together from three pieces: its
// StreamReader (own OrvoSource read through a source reader, or a decoder the pulling thread drives
// itself), a PullLoop on the pulling thread that turns what the reader gives into prepared samples
// in the SampleQueue, and a RenderLoop on the rendering thread that paces the queue against the
// player's timeline and hands each sample to the StreamOutput (VideoOutput for pictures,
// AudioOutput for sound). A stream whose set-up fails stays inactive.
//
// Threads: constructed, started and stopped by the DxPlayer on a host thread (under the DxPlayer
// lock). While playing, the pulling thread owns the reader; the rendering thread the pacing. The
// queue has its own lock (SampleQueue), never held together with another.
class DxPlayer::StreamInt : public IMFSourceReaderCallback {
 public:
  StreamInt(DxPlayer* owner, int playerId, int streamIndex, int syncIndex, IMFMediaType* inputType, HWND window,
            RequestDataCallback callback, const std::wstring& uri, int audioDeviceValue,
            const std::wstring& audioDeviceId);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IMFSourceReaderCallback; the reader is used synchronously: the pulling thread hands each sample
  // on itself after each ReadSample.
  STDMETHODIMP OnReadSample(HRESULT hrStatus, DWORD dwStreamIndex, DWORD dwStreamFlags, LONGLONG llTimestamp,
                            IMFSample* pSample) override;
  STDMETHODIMP OnFlush(DWORD) override { return S_OK; }
  STDMETHODIMP OnEvent(DWORD, IMFMediaEvent*) override { return S_OK; }

  // Starts the pulling and then the rendering thread (the player is already Started). Fails when
  // the reader that an earlier stop released cannot be made again; nothing runs then.
  HRESULT start();
  // Ends the source's feed, so that a pulling thread waiting in ReadSample returns even when the
  // host callback it waits for never does. Called on every stream before the first stop(), so the
  // streams' bounded waits for their host callbacks overlap. The player is no longer Started.
  void endFeed();
  // Joins both threads, lets the output finish (a black frame for video) and releases source,
  // reader and queue. The player is no longer Started when this runs.
  void stop();

  bool active() const { return m_active; }
  // Since the last start: the host ended the stream; why the stream could not go on (S_OK while it can).
  bool ended() const { return m_pull && m_pull->ended(); }
  HRESULT failure() const { return m_pull ? m_pull->failure() : S_OK; }
  bool isAudio() const { return m_audio != nullptr; }
  // See AudioOutput::endpointFallbacks; 0 for video.
  uint64_t endpointFallbacks(HRESULT* why) const { return m_audio ? m_audio->endpointFallbacks(why) : 0; }
  int streamIndex() const { return m_streamIndex; }
  RenderingStrategy renderingStrategy() const { return m_renderingStrategy; }
  bool running() const { return m_pullingThread != nullptr || m_renderingThread != nullptr; }
  GUID decodedSubtype() const;
  StreamOutput* output() const { return m_output.get(); }
  // The output when it draws pictures; null for audio.
  VideoOutput* video() const { return m_video; }
  Microsoft::WRL::ComPtr<IMFMediaType> presentationType() const;
  uint32_t frameBytes() const;

  // Rendering queue.
  size_t queueLength();
  // Drops all but the newest sample; returns how many were released.
  int trimQueueToNewest();

  // What the stream did since Open; any thread.
  const StreamStatistics& statistics() const { return *m_statistics; }

  // Measurement seam for benchmarks (see VideoOutput::SetPresentObserver).
  using PresentObserver = VideoOutput::PresentObserver;
  static PresentObserver SetPresentObserver(PresentObserver observer) {
    return VideoOutput::SetPresentObserver(observer);
  }

  // The host's volume and balance for an audio stream: -1.0 while never set; video ignores them.
  double requestedVolume() const { return m_audio ? m_audio->requestedVolume() : -1.0; }
  double requestedBalance() const { return m_audio ? m_audio->requestedBalance() : -1.0; }
  void requestVolume(double volume) {
    if (m_audio) m_audio->requestVolume(volume);
  }
  void requestBalance(double balance) {
    if (m_audio) m_audio->requestBalance(balance);
  }

 private:
  class Player;
  virtual ~StreamInt();

  std::atomic<ULONG> m_refCount{1};
  int m_streamIndex;
  int m_syncIndex;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pInputType;
  bool m_active = false;
  RenderingStrategy m_renderingStrategy = RenderingStrategy::LowLatency;
  std::unique_ptr<StreamOutput> m_output;
  AudioOutput* m_audio = nullptr;  // m_output when it plays sound
  VideoOutput* m_video = nullptr;  // m_output when it draws pictures
  // Shared with the source, whose pulling thread may outlive this stream when left behind.
  std::shared_ptr<StreamStatistics> m_statistics = std::make_shared<StreamStatistics>();
  std::unique_ptr<Player> m_player;
  SampleQueue m_queue;
  std::unique_ptr<StreamReader> m_reader;
  std::unique_ptr<PullLoop> m_pull;
  std::unique_ptr<RenderLoop> m_render;
  std::unique_ptr<std::thread> m_pullingThread;
  std::unique_ptr<std::thread> m_renderingThread;
};

}  // namespace Media
}  // namespace ORVO
