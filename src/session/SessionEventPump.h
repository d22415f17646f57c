#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace ORVO {
namespace MediaFoundation {

// Carries the session's events from Media Foundation's work-queue threads to the notification
// window's thread: it re-arms the session's event generator for each event, posts the event to the
// window through PostedSessionEvents, and hands the window's message back as the event. The one
// event it keeps for itself is MESessionClosed, which signals the close event TearDownSession waits
// for.
//
// Threads: Receive and Post run on work-queue threads without any lock (so that a teardown holding
// the engine's lock can wait for the close event); Claim on the window's thread; the rest on host
// threads under the engine's lock.
class SessionEventPump {
 public:
  // The message posted to the notification window for each session event: wParam is the event,
  // lParam its type.
  static constexpr UINT kMessage = WM_APP + 1;

  // logOwner: the engine, whose address the log lines carry.
  SessionEventPump(HWND notifyWindow, const void* logOwner);

  // True when the notification window exists (the session's events have somewhere to go).
  bool HasWindow() const { return IsWindow(m_notifyWindow) != FALSE; }
  // Creates the close event; fails with the system's error.
  HRESULT CreateCloseEvent();

  // Asks the session for its next event; the session travels as the state object, so Receive never
  // reads the engine's session pointer while a host thread replaces it.
  HRESULT Arm(IMFMediaEventGenerator* session, IMFAsyncCallback* callback);
  // Takes the event out of a completed request and re-arms for the next one. False when there is
  // nothing to forward: a failure (logged), or MESessionClosed (signalled to the close event).
  bool Receive(IMFAsyncResult* result, IMFAsyncCallback* callback, Microsoft::WRL::ComPtr<IMFMediaEvent>* event,
               MediaEventType* type);
  void Post(IMFMediaEvent* event, MediaEventType type);
  // The posted message's event when this pump posted it and it is still travelling, else null.
  Microsoft::WRL::ComPtr<IMFMediaEvent> Claim(WPARAM wParam);
  // Releases a posted event that reached a window whose engine is gone.
  static void Discard(WPARAM wParam);
  // Releases the events still travelling and refuses later posts; answers how many were released.
  size_t Retire();

  // A transport or rate command went to the session; its completion event settles it. (A topology
  // is set at once, with nothing to wait for.)
  void Issued();
  // True when the event completes a session command (the session then runs its next one).
  static bool SettlesCommand(MediaEventType type);
  // True when every command issued has been settled within the time.
  bool WaitForSettled(DWORD milliseconds);
  // The session is gone: what it left unsettled is never settled.
  void ForgetCommands();

  // Before asking the session to close: a confirmation that came too late for an earlier
  // teardown must not end the next wait early.
  void PrepareClose();
  // True when the session confirmed Close within the time.
  bool WaitForClose(DWORD milliseconds);

 private:
  struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
  };

  HWND m_notifyWindow;
  const void* m_logOwner;
  uint64_t m_owner;
  // Lives as long as the engine, not just its session: a session that answers Close after the
  // time limit may still signal it from Receive.
  std::unique_ptr<std::remove_pointer<HANDLE>::type, HandleCloser> m_closeEvent;
  // Commands issued whose completion event has not been received; Receive settles them.
  std::atomic<long> m_unsettled{0};
};

}  // namespace MediaFoundation
}  // namespace ORVO
