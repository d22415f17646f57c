#include "session/SessionEventPump.h"

#include "log/Log.h"
#include "session/PostedSessionEvents.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

SessionEventPump::SessionEventPump(HWND notifyWindow, const void* logOwner)
    : m_notifyWindow(notifyWindow), m_logOwner(logOwner), m_owner(PostedSessionEvents::Instance().Register()) {}

HRESULT SessionEventPump::CreateCloseEvent() {
  m_closeEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (m_closeEvent) return S_OK;
  const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
  LogIfFailed(hr, "MediaFoundationPlayer::CreateInstance: CreateEventW");
  return hr;
}

HRESULT SessionEventPump::Arm(IMFMediaEventGenerator* session, IMFAsyncCallback* callback) {
  return session->BeginGetEvent(callback, session);
}

bool SessionEventPump::Receive(IMFAsyncResult* result, IMFAsyncCallback* callback, ComPtr<IMFMediaEvent>* event,
                               MediaEventType* type) {
  ComPtr<IUnknown> state;
  ComPtr<IMFMediaEventGenerator> session;
  HRESULT hr = result->GetState(&state);
  if (SUCCEEDED(hr)) hr = state.As(&session);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::Invoke[%p]: no session 0x%X", m_logOwner, static_cast<unsigned>(hr));
    return false;
  }
  hr = session->EndGetEvent(result, event->ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr) && !*event) hr = E_UNEXPECTED;
  if (LogIfFailed(hr, "MediaFoundationPlayer::Invoke[%p]: EndGetEvent", m_logOwner)) return false;
  *type = MEUnknown;
  if (LogIfFailed((*event)->GetType(type), "MediaFoundationPlayer::Invoke[%p]: GetType", m_logOwner)) return false;
  if (SettlesCommand(*type)) {
    // Never below zero: a session also completes on its own (the end of the presentation).
    long unsettled = m_unsettled.load();
    while (unsettled > 0 && !m_unsettled.compare_exchange_weak(unsettled, unsettled - 1)) {
    }
  }
  if (*type == MESessionClosed) {
    SetEvent(m_closeEvent.get());
    return false;
  }
  return !LogIfFailed(Arm(session.Get(), callback), "MediaFoundationPlayer::Invoke[%p]: BeginGetEvent", m_logOwner);
}

void SessionEventPump::Post(IMFMediaEvent* event, MediaEventType type) {
  PostedSessionEvents::Instance().Post(m_owner, m_notifyWindow, kMessage, event, static_cast<LPARAM>(type));
}

ComPtr<IMFMediaEvent> SessionEventPump::Claim(WPARAM wParam) {
  return PostedSessionEvents::Instance().Claim(m_owner, wParam);
}

void SessionEventPump::Discard(WPARAM wParam) { PostedSessionEvents::Instance().Discard(wParam); }

size_t SessionEventPump::Retire() { return PostedSessionEvents::Instance().Retire(m_owner); }

void SessionEventPump::Issued() { ++m_unsettled; }

bool SessionEventPump::SettlesCommand(MediaEventType type) {
  switch (type) {
    case MESessionStarted:
    case MESessionPaused:
    case MESessionStopped:
    case MESessionEnded:
    case MESessionRateChanged:
    case MESessionClosed:
      return true;
    default:
      return false;
  }
}

bool SessionEventPump::WaitForSettled(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (m_unsettled.load() > 0) {
    if (GetTickCount() - start >= milliseconds) return false;
    Sleep(1);
  }
  return true;
}

void SessionEventPump::ForgetCommands() { m_unsettled = 0; }

void SessionEventPump::PrepareClose() { ResetEvent(m_closeEvent.get()); }

bool SessionEventPump::WaitForClose(DWORD milliseconds) {
  return WaitForSingleObject(m_closeEvent.get(), milliseconds) == WAIT_OBJECT_0;
}

}  // namespace MediaFoundation
}  // namespace ORVO
