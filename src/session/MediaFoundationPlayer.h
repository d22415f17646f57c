#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "api/PlayerTypes.h"

namespace ORVO {
namespace MediaFoundation {

// The Media Session engine: a topology from the media source to the system's renderers, played by
// the platform's session. Session events reach the preview window's thread as a posted message.
//
// Threads: host threads call the requests with the player lock held; the preview window's thread
// calls HandleEvent, OnSize and OnPaint from the facade's window procedure.
class MediaFoundationPlayer {
 public:
  static HRESULT CreateInstance(HWND videoWindow, HWND eventWindow, MediaFoundationPlayer** player);

  ULONG AddRef();
  ULONG Release();

  HRESULT OpenURL(int playerId, const wchar_t* uri,
                  const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                  RequestDataCallback callback);
  // Transport requests: queued behind commands in flight, otherwise issued to the session at once.
  HRESULT RequestStart();
  HRESULT RequestPause();
  HRESULT RequestStop();
  HRESULT RequestSeek(LONGLONG position);
  HRESULT RequestRate(double rate);
  HRESULT Shutdown();

  PlayerState GetState();
  LONGLONG GetDuration();
  LONGLONG GetPosition();
  double GetPlaybackRate();
  double GetVolume();
  double GetBalance();
  HRESULT SetVolume(double volume);
  HRESULT SetBalance(double balance);
  // Takes ownership of the bitmap.
  HRESULT SetAlphaBitmap(HBITMAP bitmap);
  HRESULT SetFullScreen(BOOL fullScreen);
  HRESULT SetStretch(BOOL stretch);

  // Window procedure hooks, on the preview window's thread.
  void HandleEvent(IMFMediaEvent* event);
  void OnSize(int width, int height);
  // True when the video display repainted; false asks the caller to paint the background.
  bool OnPaint();

 private:
  MediaFoundationPlayer(HWND videoWindow, HWND eventWindow);
  ~MediaFoundationPlayer();

  std::atomic<ULONG> m_refCount{1};
  HWND m_videoWindow;
  HWND m_eventWindow;
};

}  // namespace MediaFoundation
}  // namespace ORVO
