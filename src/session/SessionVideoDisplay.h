#pragma once

#include <windows.h>
// evr.h (strmif.h) must precede any header that pulls ksmedia.h in (see MediaFoundationPlayer.h).
#include <d3d9.h>
#include <evr.h>
#include <evr9.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <memory>
#include <type_traits>

#include "common/SourceRect.h"

namespace ORVO {
namespace MediaFoundation {

// The video renderer's side of the engine: full screen, aspect ratio, the host's overlay bitmap,
// and the preview window's resize and repaint. Settings given before the renderer exists are kept
// and applied each time a topology becomes ready, so they also survive topology changes.
//
// Not locked itself: every call comes from MediaFoundationPlayer under its m_lock, from host threads
// (the setters) or the preview window's thread (OnSize, Repaint, the session events).
class SessionVideoDisplay {
 public:
  // logOwner: the engine, whose address the log lines carry.
  SessionVideoDisplay(HWND videoWindow, const void* logOwner);

  // The topology is ready: takes the renderer's display control and the mixer's bitmap interface
  // from the session and applies the stored settings. started: whether the session plays now.
  void Attach(IMFMediaSession* session, bool started);
  // The session ends: lets go of the renderer's interfaces.
  void Detach();
  // Deletes the owned overlay bitmap (the session that showed it is gone).
  void DeleteBitmap();

  HRESULT SetFullScreen(BOOL fullScreen);
  HRESULT SetStretch(BOOL stretch);
  HRESULT SetSourceRect(const SourceRect& zoom);
  // Takes ownership of the bitmap (null removes the overlay), also when it fails.
  HRESULT SetAlphaBitmap(HBITMAP bitmap, bool started);

  void OnSize(int width, int height);
  // True when the video display repainted; false when there is none yet.
  bool Repaint();

  bool hasDisplayControl() const { return m_displayControl != nullptr; }
  bool hasMixerBitmap() const { return m_mixerBitmap != nullptr; }

 private:
  struct BitmapDeleter {
    void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
  };
  using OwnedBitmap = std::unique_ptr<std::remove_pointer<HBITMAP>::type, BitmapDeleter>;

  HRESULT applyAlphaBitmap(bool started);
  HRESULT applySourceRect();

  HWND m_videoWindow;
  const void* m_logOwner;
  Microsoft::WRL::ComPtr<IMFVideoDisplayControl> m_displayControl;
  Microsoft::WRL::ComPtr<IMFVideoMixerBitmap> m_mixerBitmap;
  BOOL m_fullScreen = FALSE;
  DWORD m_aspectRatioMode = MFVideoARMode_PreservePicture;
  SourceRect m_zoom;
  OwnedBitmap m_alphaBitmap;
};

}  // namespace MediaFoundation
}  // namespace ORVO
