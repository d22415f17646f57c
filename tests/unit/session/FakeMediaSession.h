#pragma once

// A recording stand-in for the platform's Media Session, for driving MediaFoundationPlayer's state
// machine with synthetic events. Its event generator is a real Media Foundation event queue, so
// events travel through the player's real pump (Invoke -> posted message -> window thread).
#include <d3d9.h>
#include <evr.h>
#include <evr9.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <vector>

#include "session/MediaFoundationPlayer.h"

namespace session_test {

// A minimal IUnknown base with an atomic count; T is the most derived type.
template <typename... Interfaces>
class FakeComObject : public Interfaces... {
 public:
  virtual ~FakeComObject() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --m_refs;
    if (count == 0) delete this;
    return count;
  }

 protected:
  std::atomic<ULONG> m_refs{1};
};

// Per-channel volume, recording every SetAllVolumes.
class FakeStreamVolume : public FakeComObject<IMFAudioStreamVolume> {
 public:
  explicit FakeStreamVolume(UINT32 channels, float initial = 1.0f) : volumes(channels, initial) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP GetChannelCount(UINT32* count) override;
  STDMETHODIMP SetChannelVolume(UINT32 index, const float level) override;
  STDMETHODIMP GetChannelVolume(UINT32 index, float* level) override;
  STDMETHODIMP SetAllVolumes(UINT32 count, const float* levels) override;
  STDMETHODIMP GetAllVolumes(UINT32 count, float* levels) override;

  std::vector<float> volumes;
  int setCalls = 0;
  HRESULT channelCountResult = S_OK;
};

// Rate control and rate support in one object, as the session's rate service is.
class FakeRate : public FakeComObject<IMFRateControl, IMFRateSupport> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP SetRate(BOOL thin, float rate) override;
  STDMETHODIMP GetRate(BOOL* thin, float* rate) override;
  STDMETHODIMP GetSlowestRate(MFRATE_DIRECTION, BOOL, float* rate) override;
  STDMETHODIMP GetFastestRate(MFRATE_DIRECTION, BOOL, float* rate) override;
  STDMETHODIMP IsRateSupported(BOOL thin, float rate, float* nearest) override;

  // Rates up to these magnitudes are supported without / with thinning.
  float maxPlain = 2.0f;
  float maxThinned = 8.0f;
  float rate = 1.0f;
  BOOL thinned = FALSE;
  int setCalls = 0;
};

// Display control recording full screen, aspect mode, video position and repaints.
class FakeDisplayControl : public FakeComObject<IMFVideoDisplayControl> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP GetNativeVideoSize(SIZE*, SIZE*) override { return E_NOTIMPL; }
  STDMETHODIMP GetIdealVideoSize(SIZE*, SIZE*) override { return E_NOTIMPL; }
  STDMETHODIMP SetVideoPosition(const MFVideoNormalizedRect* source, const LPRECT destination) override;
  STDMETHODIMP GetVideoPosition(MFVideoNormalizedRect*, LPRECT) override { return E_NOTIMPL; }
  STDMETHODIMP SetAspectRatioMode(DWORD mode) override;
  STDMETHODIMP GetAspectRatioMode(DWORD* mode) override;
  STDMETHODIMP SetVideoWindow(HWND) override { return E_NOTIMPL; }
  STDMETHODIMP GetVideoWindow(HWND*) override { return E_NOTIMPL; }
  STDMETHODIMP RepaintVideo() override;
  STDMETHODIMP GetCurrentImage(BITMAPINFOHEADER*, BYTE**, DWORD*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetBorderColor(COLORREF) override { return E_NOTIMPL; }
  STDMETHODIMP GetBorderColor(COLORREF*) override { return E_NOTIMPL; }
  STDMETHODIMP SetRenderingPrefs(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetRenderingPrefs(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetFullscreen(BOOL fullscreen) override;
  STDMETHODIMP GetFullscreen(BOOL* fullscreen) override;

  BOOL fullScreen = -1;
  DWORD aspectMode = 0xFFFFFFFF;
  RECT lastDestination = {};
  MFVideoNormalizedRect lastSource = {0.0f, 0.0f, 1.0f, 1.0f};
  int positionCalls = 0;
  int repaints = 0;
};

// The mixer's bitmap interface, recording what was set or cleared.
class FakeMixerBitmap : public FakeComObject<IMFVideoMixerBitmap> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP SetAlphaBitmap(const MFVideoAlphaBitmap* bitmap) override;
  STDMETHODIMP ClearAlphaBitmap() override;
  STDMETHODIMP UpdateAlphaBitmapParameters(const MFVideoAlphaBitmapParams*) override { return E_NOTIMPL; }
  STDMETHODIMP GetAlphaBitmapParameters(MFVideoAlphaBitmapParams*) override { return E_NOTIMPL; }

  int setCalls = 0;
  int clearCalls = 0;
  MFVideoAlphaBitmapParams lastParams = {};
  BOOL lastFromDc = FALSE;
  LONG bitmapWidth = 0;  // read from the DC's selected bitmap during the call
};

// How the fake answers a service lookup.
enum class ServiceMode { Absent, NullWithSuccess, Present };

class FakeMediaSession : public FakeComObject<IMFMediaSession, IMFGetService> {
 public:
  FakeMediaSession();
  ~FakeMediaSession() override;

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  // IMFMediaEventGenerator: a real event queue.
  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override;
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override;
  // IMFMediaSession: records the calls.
  STDMETHODIMP SetTopology(DWORD flags, IMFTopology* topology) override;
  STDMETHODIMP ClearTopologies() override { return S_OK; }
  STDMETHODIMP Start(const GUID* format, const PROPVARIANT* position) override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP Close() override;
  STDMETHODIMP Shutdown() override;
  STDMETHODIMP GetClock(IMFClock** clock) override;
  STDMETHODIMP GetSessionCapabilities(DWORD* caps) override;
  STDMETHODIMP GetFullTopology(DWORD, TOPOID, IMFTopology**) override { return E_NOTIMPL; }
  // IMFGetService.
  STDMETHODIMP GetService(REFGUID service, REFIID riid, void** object) override;

  // Queues a session event the way the platform would.
  HRESULT Raise(MediaEventType type, HRESULT status = S_OK);
  HRESULT RaiseTopologyReady();

  // What the player called, in order: "SetTopology", "Start(empty)", "Start(position=N)", "Pause",
  // "Stop", "Close", "Shutdown".
  std::vector<std::string> calls;
  std::string callList() const;
  Microsoft::WRL::ComPtr<IMFTopology> lastTopology;

  // Behaviour.
  bool answerClose = true;  // false: Close succeeds but MESessionClosed never comes
  HRESULT startResult = S_OK;
  HRESULT pauseResult = S_OK;
  bool withClock = true;
  ServiceMode streamVolumeMode = ServiceMode::Absent;
  ServiceMode rateMode = ServiceMode::Present;
  ServiceMode displayMode = ServiceMode::Absent;
  ServiceMode mixerMode = ServiceMode::Absent;
  // Set them with ORVO::AdoptRef(new ...): a fresh fake already holds its first reference.
  Microsoft::WRL::ComPtr<FakeStreamVolume> streamVolume;
  Microsoft::WRL::ComPtr<FakeRate> rate;
  Microsoft::WRL::ComPtr<FakeDisplayControl> display;
  Microsoft::WRL::ComPtr<FakeMixerBitmap> mixer;
  Microsoft::WRL::ComPtr<IMFPresentationClock> clock;
  std::atomic<int> shutdownCalls{0};

 private:
  Microsoft::WRL::ComPtr<IMFMediaEventQueue> m_queue;
};

// Installs a factory that hands out the given session to the next players; undone at destruction.
class SessionOverride {
 public:
  explicit SessionOverride(FakeMediaSession* session);
  ~SessionOverride();

 private:
  ORVO::MediaFoundation::MediaFoundationPlayer::CreateSessionFunction m_previous;
};

}  // namespace session_test
