#pragma once

#include <windows.h>
// evr.h (strmif.h) must precede audiopolicy.h (ksmedia.h): mingw-w64's ksmedia.h redefines
// types that strmif.h declares unless strmif.h came first.
#include <d3d9.h>
#include <evr.h>
#include <evr9.h>
#include <mfidl.h>
#include <audiopolicy.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <vector>

#include "common/PlayerTypes.h"

namespace ORVO {
namespace MediaFoundation {

class OrvoSource;

// The Media Session engine: a topology from the media source to the system's audio and video
// renderers, played by the platform's Media Session. The session works asynchronously; its events
// travel from a work-queue thread to the notification window's thread as the posted message
// kSessionEventMessage and drive a small state machine there. Transport requests made while a
// command is unconfirmed wait in one slot per kind and are issued when the session confirms.
//
// Threads:
// - host threads: OpenURL, the requests, getters and setters (the facade holds its player lock);
// - the notification window's thread: HandleEvent / HandlePostedEvent, OnSize, OnPaint;
// - Media Foundation work-queue threads: Invoke, which reads m_state and signals m_closeEvent only.
// Locks: facade player lock -> m_lock -> (inside the platform) the source's lock. m_lock is a
// recursive critical section held by every operation below; TearDownSession waits for
// m_closeEvent while holding it, which works because Invoke never takes it.
class MediaFoundationPlayer : public IMFAsyncCallback {
 public:
  // The message posted to the notification window for each session event: wParam is the event,
  // lParam its type. Only HandlePostedEvent / DiscardPostedEvent may interpret wParam.
  static constexpr UINT kSessionEventMessage = WM_APP + 1;
  // How long TearDownSession waits for the session to confirm Close.
  static constexpr DWORD kCloseTimeoutMs = 3000;

  enum CommandCode : int32_t {
    CommandNone = 0,
    CommandOpen = 1,
    CommandStop = 2,
    CommandStart = 3,
    CommandPause = 4,
    CommandSeek = 5,
    CommandRate = 6,
  };
  // Slots order the queue: RunQueued issues the lowest slot first.
  enum CommandSlot : int32_t {
    SlotTransport = 1,
    SlotSeek = 2,
    SlotRate = 4,
  };
  struct Command {
    int32_t command = CommandNone;
    double rate = 1.0;
    LONGLONG position = 0;
  };
  using CommandMap = std::map<int32_t, Command>;

  // Seam for tests: how the session is created. Defaults to MFCreateMediaSession. Returns the
  // previous function so that an override can be undone.
  using CreateSessionFunction = HRESULT (*)(IMFAttributes* configuration, IMFMediaSession** session);
  static CreateSessionFunction SetCreateSessionFunction(CreateSessionFunction function);

  static HRESULT CreateInstance(HWND videoWindow, HWND notifyWindow, MediaFoundationPlayer** player);

  // IUnknown / IMFAsyncCallback. Invoke is the session event pump.
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP GetParameters(DWORD* flags, DWORD* queue) override;
  STDMETHODIMP Invoke(IMFAsyncResult* result) override;

  HRESULT OpenURL(int playerId, const wchar_t* uri,
                  const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                  RequestDataCallback callback);
  // Ends the session, closes the close event, releases the volume controls and the events still
  // travelling to the window. Returns the result of TearDownSession.
  HRESULT Dispose();
  HRESULT TearDownSession();

  // Transport requests: stored in m_queued while a command is queued or in flight, else issued.
  HRESULT RequestStart();
  HRESULT RequestPause();
  HRESULT RequestStop();
  HRESULT RequestSeek(LONGLONG position);
  HRESULT RequestRate(double rate);
  HRESULT IssueStart();
  HRESULT IssuePause();
  HRESULT IssueStop();
  HRESULT IssueSeek(LONGLONG position);
  HRESULT IssueRate(double rate);
  // The facade's name for Dispose.
  HRESULT Shutdown() { return Dispose(); }

  PlayerState GetState();
  LONGLONG GetDuration();
  LONGLONG GetPosition();
  double GetPlaybackRate();
  double GetVolume();
  double GetBalance();
  HRESULT SetVolume(double volume);
  HRESULT SetBalance(double balance);
  // Takes ownership of the bitmap (null removes the overlay), also when it fails.
  HRESULT SetAlphaBitmap(HBITMAP bitmap);
  HRESULT SetFullScreen(BOOL fullScreen);
  HRESULT SetStretch(BOOL stretch);

  // The state machine, on the notification window's thread. Consumes one reference to the event.
  HRESULT HandleEvent(IMFMediaEvent* event);
  // Routes a posted kSessionEventMessage: handles it when this engine posted it, else drops it.
  HRESULT HandlePostedEvent(WPARAM wParam);
  // For a kSessionEventMessage that reaches a window without an engine: releases its event if it
  // is still travelling, without ever dereferencing a stale pointer.
  static void DiscardPostedEvent(WPARAM wParam);
  void OnSize(int width, int height);
  // True when the video display repainted; false asks the caller to paint the background.
  bool OnPaint();

  // Read-only views for tests.
  CommandMap queuedCommands();
  CommandMap inFlightCommands();
  bool hasDisplayControl();
  bool hasMixerBitmap();
  bool hasPresentationClock();

 protected:
  MediaFoundationPlayer(HWND videoWindow, HWND notifyWindow);
  virtual ~MediaFoundationPlayer();

  virtual HRESULT OnTopologyStatus(IMFMediaEvent* event);
  virtual HRESULT OnPresentationEnded(IMFMediaEvent* event);
  virtual HRESULT OnNewPresentation(IMFMediaEvent* event);
  virtual HRESULT OnSessionEvent(IMFMediaEvent* event, MediaEventType type);

 private:
  class Guard;

  HRESULT resolveSource(int playerId, const wchar_t* uri,
                        const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                        RequestDataCallback callback, IMFMediaSource** source);
  // The host-fed source for the scheme "orvo".
  HRESULT openHostSource(int playerId, const wchar_t* uri,
                         const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                         RequestDataCallback callback, IMFMediaSource** source);
  HRESULT buildTopology(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFTopology** topology);
  HRESULT addStreamBranch(IMFTopology* topology, IMFMediaSource* source, IMFPresentationDescriptor* descriptor,
                          DWORD index);
  HRESULT request(CommandSlot slot, const Command& command);
  void runQueued();
  void confirm(std::initializer_list<int32_t> commands);
  void switchToError(const char* eventName, HRESULT status);
  void createVolumeControl();
  void findProcessAudioSession();
  HRESULT applyAlphaBitmap();
  void readDuration(IMFPresentationDescriptor* descriptor);

  std::atomic<ULONG> m_refCount{1};
  CRITICAL_SECTION m_lock;
  uint64_t m_eventOwner;

  // Guarded by m_lock.
  Microsoft::WRL::ComPtr<IMFMediaSession> m_session;
  Microsoft::WRL::ComPtr<IMFMediaSource> m_mediaSource;
  Microsoft::WRL::ComPtr<OrvoSource> m_hostSource;  // the same object as m_mediaSource for "orvo"
  Microsoft::WRL::ComPtr<IMFVideoDisplayControl> m_displayControl;
  Microsoft::WRL::ComPtr<IMFVideoMixerBitmap> m_mixerBitmap;
  Microsoft::WRL::ComPtr<IMFRateControl> m_rateControl;
  Microsoft::WRL::ComPtr<IMFRateSupport> m_rateSupport;
  Microsoft::WRL::ComPtr<IMFPresentationClock> m_presentationClock;
  HWND m_videoWindow;
  HWND m_notifyWindow;
  // Written under m_lock; Invoke reads it without the lock to stop forwarding while closing.
  std::atomic<int> m_state{Closed};
  HANDLE m_closeEvent = nullptr;
  ULONGLONG m_duration = 0;
  HBITMAP m_alphaBitmap = nullptr;
  CommandMap m_queued;
  CommandMap m_inFlight;
  Microsoft::WRL::ComPtr<ISimpleAudioVolume> m_simpleVolume;
  Microsoft::WRL::ComPtr<IMFAudioStreamVolume> m_streamVolume;
  double m_volume = -1.0;
  double m_balance = -1.0;
  BOOL m_fullScreen = FALSE;
  DWORD m_aspectRatioMode = MFVideoARMode_PreservePicture;
  UINT32 m_channelCount = 0;
  std::vector<float> m_channelVolumes;
  bool m_disposed = false;
};

}  // namespace MediaFoundation
}  // namespace ORVO
