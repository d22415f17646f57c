#include "session/MediaFoundationPlayer.h"

namespace ORVO {
namespace MediaFoundation {

// The session engine is built separately; until then creation fails and the facade reports it.
HRESULT MediaFoundationPlayer::CreateInstance(HWND, HWND, MediaFoundationPlayer** player) {
  if (!player) return E_POINTER;
  *player = nullptr;
  return E_NOTIMPL;
}

MediaFoundationPlayer::MediaFoundationPlayer(HWND videoWindow, HWND eventWindow)
    : m_videoWindow(videoWindow), m_eventWindow(eventWindow) {}
MediaFoundationPlayer::~MediaFoundationPlayer() = default;

ULONG MediaFoundationPlayer::AddRef() { return ++m_refCount; }
ULONG MediaFoundationPlayer::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT MediaFoundationPlayer::OpenURL(int, const wchar_t*, const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>&,
                                       RequestDataCallback) { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::RequestStart() { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::RequestPause() { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::RequestStop() { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::RequestSeek(LONGLONG) { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::RequestRate(double) { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::Shutdown() { return S_OK; }
PlayerState MediaFoundationPlayer::GetState() { return Closed; }
LONGLONG MediaFoundationPlayer::GetDuration() { return 0; }
LONGLONG MediaFoundationPlayer::GetPosition() { return 0; }
double MediaFoundationPlayer::GetPlaybackRate() { return 1.0; }
double MediaFoundationPlayer::GetVolume() { return 1.0; }
double MediaFoundationPlayer::GetBalance() { return 0.5; }
HRESULT MediaFoundationPlayer::SetVolume(double) { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::SetBalance(double) { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::SetAlphaBitmap(HBITMAP bitmap) {
  if (bitmap) DeleteObject(bitmap);
  return E_NOTIMPL;
}
HRESULT MediaFoundationPlayer::SetFullScreen(BOOL) { return E_NOTIMPL; }
HRESULT MediaFoundationPlayer::SetStretch(BOOL) { return E_NOTIMPL; }
void MediaFoundationPlayer::HandleEvent(IMFMediaEvent* event) {
  if (event) event->Release();
}
void MediaFoundationPlayer::OnSize(int, int) {}
bool MediaFoundationPlayer::OnPaint() { return false; }

}  // namespace MediaFoundation
}  // namespace ORVO
