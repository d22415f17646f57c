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
#include "lowlatency/RenderQueue.h"
#include "lowlatency/StreamOutput.h"
#include "lowlatency/StreamStatistics.h"
#include "lowlatency/VideoDecodeLoop.h"
#include "lowlatency/VideoOutput.h"

namespace ORVO {
namespace MediaFoundation {
class OrvoSource;
}  // namespace MediaFoundation

namespace Media {

// One host-fed elementary stream of the low-latency engine: its own OrvoSource read through a
// source reader, a queue, and a StreamOutput that turns decoded samples into pictures
// (VideoOutput) or sound (AudioOutput). A stream whose set-up fails stays inactive. The reader
// decodes audio, and video drawn on a video device; for video in compatibility presentation it
// hands over the compressed samples and the pulling thread drives the decoder itself
// (VideoDecodeLoop), into pooled frames. A video decoder that cannot be driven so is left to the
// reader.
//
// Threads: constructed, started and stopped by the DxPlayer on a host thread (under the DxPlayer
// lock). While playing, the pulling thread owns the reader and source and feeds the output's
// prepare(); the rendering thread paces the queue and calls the output's process() and present().
// m_lock guards m_queue and the m_pSource pointer (the pulling thread replaces the source when it
// re-creates the reader, while a stop ends the current one's feed); no other lock is taken while it
// is held.
class DxPlayer::StreamInt : public IMFSourceReaderCallback {
 public:
  StreamInt(DxPlayer* owner, int playerId, int streamIndex, int syncIndex, IMFMediaType* inputType, HWND window,
            RequestDataCallback callback, const std::wstring& uri, int audioDeviceValue,
            const std::wstring& audioDeviceId);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IMFSourceReaderCallback; the reader is used synchronously: the pulling thread calls
  // OnReadSample itself after each ReadSample.
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
  bool ended() const { return m_ended.load(); }
  HRESULT failure() const { return m_failure.load(); }
  bool isAudio() const { return m_audio != nullptr; }
  int streamIndex() const { return m_streamIndex; }
  RenderingStrategy renderingStrategy() const { return m_renderingStrategy; }
  bool running() const { return m_pullingThread != nullptr || m_renderingThread != nullptr; }
  GUID decodedSubtype() const;
  StreamOutput* output() const { return m_output.get(); }
  Microsoft::WRL::ComPtr<IMFMediaType> presentationType() const;
  uint32_t frameBytes() const;

  // Rendering queue, under m_lock.
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
  virtual ~StreamInt();
  HRESULT createReader();
  // A reader that delivers compressed samples, and the decode loop for them. *decoderRefused: the
  // failure was the decoder's (the reader with its own decoder may do better).
  HRESULT createCompressedReader(bool* decoderRefused);
  // Decoded subtypes to ask for, the one accepted last first.
  std::vector<GUID> subtypeCandidates() const;
  // Pulling thread: one decoded sample, from the reader or the decode loop.
  void deliver(IMFSample* sample, DWORD streamFlags, LONGLONG timestamp);
  HRESULT openSource();
  void releaseReader();
  // Pulling thread: a new reader (and conversion) in place of the current one. False, with the
  // player moved to Error, when none can be made.
  bool remakeReader();
  // The source the current reader reads from; null while none is open.
  Microsoft::WRL::ComPtr<MediaFoundation::OrvoSource> currentSource();
  void pullingRoutine();
  void renderingRoutine();
  void queueSample(IMFSample* sample);

  std::atomic<ULONG> m_refCount{1};
  DxPlayer* m_owner;
  int m_playerId;
  RequestDataCallback m_callback;
  int m_streamIndex;
  int m_syncIndex;
  // The stream identifier the host sees in its callback.
  DWORD m_sourceStreamId = 0;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pInputType;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pDecodedType;
  bool m_active = false;
  RenderingStrategy m_renderingStrategy = RenderingStrategy::LowLatency;
  std::unique_ptr<StreamOutput> m_output;
  AudioOutput* m_audio = nullptr;  // m_output when it plays sound
  VideoOutput* m_video = nullptr;  // m_output when it draws pictures
  // Whether the pulling thread decodes video itself; cleared for good once that could not be set up.
  bool m_directDecoding = true;
  // The decoder the pulling thread drives; lives and goes with the reader.
  std::unique_ptr<VideoDecodeLoop> m_decodeLoop;
  CRITICAL_SECTION m_lock;
  RenderQueue m_queue;  // guarded by m_lock
  HANDLE m_queuedEvent = nullptr;  // auto-reset; set when a sample joins m_queue
  std::unique_ptr<std::thread> m_pullingThread;
  std::unique_ptr<std::thread> m_renderingThread;
  Microsoft::WRL::ComPtr<MediaFoundation::OrvoSource> m_pSource;  // set and cleared under m_lock
  Microsoft::WRL::ComPtr<IMFSourceReader> m_pReader;
  int64_t m_waitSum = 0;
  int64_t m_waitCount = 0;
  time_t m_lastWaitReport;
  std::atomic<bool> m_ended{false};
  std::atomic<HRESULT> m_failure{S_OK};
  std::atomic<int64_t> m_baseLocalTime{INT64_MIN};  // mirrors the rendering thread's pacer, for the black frame
  std::vector<GUID> m_decodedSubtypes;
  // The subtype the current reader accepted; a new reader asks for it first.
  GUID m_acceptedSubtype = GUID_NULL;
  // Shared with the source, whose pulling thread may outlive this stream when left behind.
  std::shared_ptr<StreamStatistics> m_statistics = std::make_shared<StreamStatistics>();
};

}  // namespace Media
}  // namespace ORVO
