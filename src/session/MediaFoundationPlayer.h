#pragma once

#include <windows.h>
// evr.h (strmif.h) must precede audiopolicy.h (ksmedia.h): mingw-w64's ksmedia.h redefines
// types that strmif.h declares unless strmif.h came first.
#include <d3d9.h>
#include <evr.h>
#include <evr9.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/PlayerTypes.h"
#include "common/SourceRect.h"
#include "session/SessionAudioVolume.h"
#include "session/SessionCommandQueue.h"
#include "session/SessionEventPump.h"
#include "session/SessionPlaybackClock.h"
#include "session/SessionSourceResolver.h"
#include "session/SessionTopologyBuilder.h"
#include "session/SessionVideoDisplay.h"

namespace ORVO {
namespace MediaFoundation {

// The Media Session engine: a topology from the media source to the system's audio and video
// renderers, played by the platform's Media Session. The session works asynchronously; its events
// travel from a work-queue thread to the notification window's thread as the posted message
// kSessionEventMessage and drive a small state machine there. Transport requests made while a
// command is unconfirmed wait in one slot per kind and are issued when the session confirms.
//
// Threads:
// - host threads: OpenURL, the requests, getters and setters (the facade holds its player lock);
// - the notification window's thread: HandleEvent / HandlePostedEvent, OnSize, OnPaint;
// - Media Foundation work-queue threads: Invoke, which reads m_state and signals the pump's close event only.
// Locks: facade player lock -> m_lock -> (inside the platform) the source's lock. m_lock is a
// recursive critical section held by every operation below (handlers re-enter public operations on
// the same thread); TearDownSession waits for the session's close event while holding it, which
// works because Invoke never takes it.
//
// The parts it delegates to, all guarded by m_lock: SessionSourceResolver and
// SessionTopologyBuilder (open), SessionEventPump (events to the window), SessionVideoDisplay
// (display settings, overlay, preview window) and SessionAudioVolume (volume and balance).
class MediaFoundationPlayer final : public IMFAsyncCallback {
 public:
  // The message posted to the notification window for each session event: wParam is the event,
  // lParam its type. Only HandlePostedEvent / DiscardPostedEvent may interpret wParam.
  static constexpr UINT kSessionEventMessage = SessionEventPump::kMessage;
  // How long TearDownSession waits for the session to confirm Close, the settling of commands in
  // flight included: short of 3 s, so that a Close export with its source and session shutdown
  // stays within the 3 s a host may expect of any call.
  static constexpr DWORD kCloseTimeoutMs = 2800;
  // Of that, the most a teardown waits for commands in flight before it asks for Close.
  static constexpr DWORD kSettleTimeoutMs = 1000;
  // How long a set topology may stay unanswered: past it the open counts as failed (Error), so a
  // host polling GetState is never left at OpenPending for good. Resolving takes well under a
  // second; only a session whose events cannot reach the window takes this long.
  static constexpr ULONGLONG kOpenTimeoutMs = 10000;

  using CommandMap = SessionCommandQueue::CommandMap;

  // Seam for tests: how the session is created. Defaults to MFCreateMediaSession. Returns the
  // previous function so that an override can be undone.
  using CreateSessionFunction = HRESULT (*)(IMFAttributes* configuration, IMFMediaSession** session);
  static CreateSessionFunction SetCreateSessionFunction(CreateSessionFunction function);

  // audioEndpointId: the render endpoint the audio plays on (SetAudioOutputDevice); empty for the
  // default console endpoint.
  static HRESULT CreateInstance(HWND videoWindow, HWND notifyWindow, MediaFoundationPlayer** player,
                                const std::wstring& audioEndpointId = std::wstring());

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

  // Transport requests: they wait in m_commands while a command is queued or in flight, else are issued.
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

  // Stopped, not Started or Paused, from the moment a Stop is accepted until the session confirms
  // it; Error once an open has waited kOpenTimeoutMs; every other state as the session last
  // confirmed it.
  PlayerState GetState();
  LONGLONG GetDuration();
  LONGLONG GetPosition();
  double GetPlaybackRate();
  double GetVolume();
  double GetBalance();
  HRESULT SetVolume(double volume);
  HRESULT SetBalance(double balance);
  // Stored and applied when the video renderer appears, like the stretch.
  HRESULT SetSourceRect(const SourceRect& zoom);
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
  // How often the default endpoint took the place of the chosen one; any thread, no lock.
  uint64_t endpointFallbacks(HRESULT* why) const { return m_topologyBuilder.endpointFallbacks(why); }

 private:
  MediaFoundationPlayer(HWND videoWindow, HWND notifyWindow, const std::wstring& audioEndpointId);
  ~MediaFoundationPlayer();

  // The handlers of HandleEvent, under m_lock.
  HRESULT onTopologyStatus(IMFMediaEvent* event);
  HRESULT onPresentationEnded();
  HRESULT onNewPresentation(IMFMediaEvent* event);
  using Command = SessionCommandQueue::Command;

  HRESULT request(const Command& command);
  HRESULT issue(const Command& command);
  void runQueued();
  // A transport event arrived: confirms its command and moves to Error on a failure status, else to
  // the state reached. Answers the failure, or S_OK.
  HRESULT settle(std::initializer_list<int32_t> commands, HRESULT status, PlayerState reached);
  void switchToError(const char* eventName, HRESULT status);
  bool retryWithConverters(HRESULT status);
  void readDuration(IMFPresentationDescriptor* descriptor);
  // A topology was set: OpenPending, from now.
  void awaitTopology();
  // The session while it plays, else null: volume controls are only looked for then.
  IMFMediaSession* startedSession() const;

  std::atomic<ULONG> m_refCount{1};
  CRITICAL_SECTION m_lock;

  // Guarded by m_lock.
  Microsoft::WRL::ComPtr<IMFMediaSession> m_session;
  Microsoft::WRL::ComPtr<IMFMediaSource> m_mediaSource;
  // Written under m_lock; Invoke reads it without the lock to stop forwarding while closing.
  std::atomic<int> m_state{Closed};
  ULONGLONG m_duration = 0;
  ULONGLONG m_openSince = 0;  // GetTickCount64 when the topology was set
  SessionCommandQueue m_commands;
  bool m_disposed = false;
  SessionSourceResolver m_sourceResolver;
  SessionTopologyBuilder m_topologyBuilder;
  SessionEventPump m_eventPump;
  SessionPlaybackClock m_clock;
  SessionVideoDisplay m_display;
  SessionAudioVolume m_audioVolume;
};

}  // namespace MediaFoundation
}  // namespace ORVO
