#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/PlayerTypes.h"
#include "lowlatency/DxPlayer.h"
#include "lowlatency/PacingRules.h"

namespace ORVO {
namespace MediaFoundation {
class Dx11Renderer;
class OrvoSource;
class WasapiRenderer;
}  // namespace MediaFoundation

namespace Media {

// One host-fed elementary stream of the low-latency engine: its own OrvoSource read through a
// source reader that decodes it, a colour converter to RGB32 for video, and the stream's renderer
// (Dx11Renderer for video, WasapiRenderer for audio). A stream whose set-up fails stays inactive.
//
// Threads: constructed, started and stopped by the DxPlayer on a host thread (under the DxPlayer
// lock). While playing, the pulling thread owns the reader, source, converter and allocator; the
// rendering thread owns the renderers; m_lock guards m_queue only and no other lock is taken while
// it is held. The requested volume and balance are written by the host thread and read by the
// rendering thread (atomics).
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

  // Starts the pulling and then the rendering thread (the player is already Started).
  void start();
  // Joins both threads, shows a black frame (video) and releases source, reader and queue. The
  // player is no longer Started when this runs.
  void stop();

  bool active() const { return m_active; }
  bool isAudio() const { return m_isAudio; }
  int streamIndex() const { return m_streamIndex; }
  RenderingStrategy renderingStrategy() const { return m_renderingStrategy; }
  bool hasColourConverter() const { return m_pMFColorConverter != nullptr; }
  bool running() const { return m_pullingThread != nullptr || m_renderingThread != nullptr; }
  GUID decodedSubtype() const;
  IMFMediaType* presentationType() const { return m_pMediaType.Get(); }
  uint32_t frameBytes() const { return m_frameBytes; }

  // Rendering queue, under m_lock.
  size_t queueLength();
  // Drops all but the newest sample; returns how many were released.
  int trimQueueToNewest();

  // Measurement seam for benchmarks: called on the rendering thread after PresentFrame returned for
  // a video sample (sample time, clock at return, 100-ns). Null (the default) costs one load.
  using PresentObserver = void (*)(int streamIndex, int64_t sampleTime, int64_t presentedAt);
  static PresentObserver SetPresentObserver(PresentObserver observer);

  double requestedVolume() const { return m_requestedVolume.load(); }
  double requestedBalance() const { return m_requestedBalance.load(); }
  void requestVolume(double volume) { m_requestedVolume.store(volume); }
  void requestBalance(double balance) { m_requestedBalance.store(balance); }

 private:
  virtual ~StreamInt();
  void setUpVideo(HWND window);
  void setUpAudio();
  HRESULT createReader();
  HRESULT createColourConverter();
  HRESULT openSource(DWORD streamIdentifier, const char* method);
  void requestAllocator();
  void releaseReader();
  void createHiddenWindow();
  void pullingRoutine();
  void renderingRoutine();
  void queueSample(IMFSample* sample);
  void setPresentationType(IMFMediaType* type);
  HRESULT convertSample(IMFSample* sample, IMFSample** output);
  HRESULT copyToAllocatorSample(IMFSample* sample, DWORD streamFlags, LONGLONG timestamp, IMFSample** output);
  void presentBlackFrame();

  std::atomic<ULONG> m_refCount{1};
  DxPlayer* m_owner;
  int m_playerId;
  RequestDataCallback m_callback;
  int m_streamIndex;
  int m_syncIndex;
  std::wstring m_uri;
  std::wstring m_audioDeviceId;
  int m_audioDeviceValue;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pInputType;
  GUID m_inputSubtype = GUID_NULL;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pDecodedType;
  bool m_active = false;
  bool m_isAudio = false;
  RenderingStrategy m_renderingStrategy = RenderingStrategy::LowLatency;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pMediaType;
  uint32_t m_frameBytes = 102400;
  Microsoft::WRL::ComPtr<IMFAttributes> m_pAllocatorAttributes;
  Microsoft::WRL::ComPtr<IMFVideoSampleAllocatorEx> m_pAllocator;
  MediaFoundation::Dx11Renderer* m_pDx11Renderer = nullptr;  // one reference
  CRITICAL_SECTION m_lock;
  std::deque<IMFSample*> m_queue;  // guarded by m_lock; one reference each
  std::unique_ptr<std::thread> m_pullingThread;
  std::unique_ptr<std::thread> m_renderingThread;
  MediaFoundation::OrvoSource* m_pSource = nullptr;  // one reference
  Microsoft::WRL::ComPtr<IMFSourceReader> m_pReader;
  Microsoft::WRL::ComPtr<IMFTransform> m_pMFColorConverter;
  int64_t m_waitSum = 0;
  int64_t m_waitCount = 0;
  time_t m_lastWaitReport;
  std::atomic<int64_t> m_baseLocalTime{INT64_MIN};  // mirrors the rendering thread's pacer, for the black frame
  std::wstring m_windowClassName;
  HWND m_hiddenWindow = nullptr;
  double m_appliedVolume = -1.0;
  double m_appliedBalance = -1.0;
  std::atomic<double> m_requestedVolume{-1.0};
  std::atomic<double> m_requestedBalance{-1.0};
  DWORD m_outputStreamFlags = 0;
  std::vector<GUID> m_decodedSubtypes;
  // The subtype the current reader accepted; a restart after Stop asks for it again first.
  GUID m_acceptedSubtype = GUID_NULL;
  std::unique_ptr<MediaFoundation::WasapiRenderer> m_pAudioRenderer;
};

}  // namespace Media
}  // namespace ORVO
