#include "session/SessionVideoDisplay.h"

#include <mferror.h>

#include "common/Guids.h"
#include "log/Log.h"
#include "session/SessionServices.h"

namespace ORVO {
namespace MediaFoundation {

SessionVideoDisplay::SessionVideoDisplay(HWND videoWindow, const void* logOwner)
    : m_videoWindow(videoWindow), m_logOwner(logOwner) {}

void SessionVideoDisplay::Attach(IMFMediaSession* session, bool started) {
  if (SUCCEEDED(GetSessionService(session, kMR_VIDEO_RENDER_SERVICE, m_displayControl))) {
    m_displayControl->SetFullscreen(m_fullScreen);
    m_displayControl->SetAspectRatioMode(m_aspectRatioMode);
    if (!IsWholePicture(m_zoom)) applySourceRect();
  }
  const HRESULT hr = GetSessionService(session, kMR_VIDEO_MIXER_SERVICE, m_mixerBitmap);
  if (SUCCEEDED(hr)) {
    applyAlphaBitmap(started);
  } else if (m_displayControl) {
    // A video renderer without the mixer's bitmap interface (Wine's session does not hand out
    // MR_VIDEO_MIXER_SERVICE): an overlay is kept, but nothing draws it in this topology.
    LogIfFailed(hr, "MediaFoundationPlayer::Attach[%p]: video mixer bitmap service", m_logOwner);
  }
}

void SessionVideoDisplay::Detach() {
  m_displayControl.Reset();
  m_mixerBitmap.Reset();
}

void SessionVideoDisplay::DeleteBitmap() { m_alphaBitmap.reset(); }

HRESULT SessionVideoDisplay::SetFullScreen(BOOL fullScreen) {
  m_fullScreen = fullScreen;
  if (!m_displayControl) return S_OK;
  const HRESULT hr = m_displayControl->SetFullscreen(fullScreen);
  LogIfFailed(hr, "MediaFoundationPlayer::SetFullScreen[%p]: SetFullscreen", m_logOwner);
  return hr;
}

HRESULT SessionVideoDisplay::SetStretch(BOOL stretch) {
  m_aspectRatioMode = stretch ? MFVideoARMode_None : MFVideoARMode_PreservePicture;
  if (!m_displayControl) return S_OK;
  const HRESULT hr = m_displayControl->SetAspectRatioMode(m_aspectRatioMode);
  LogIfFailed(hr, "MediaFoundationPlayer::SetStretch[%p]: SetAspectRatioMode", m_logOwner);
  return hr;
}

HRESULT SessionVideoDisplay::SetSourceRect(const SourceRect& zoom) {
  m_zoom = zoom;
  if (!m_displayControl) return S_OK;
  return applySourceRect();
}

HRESULT SessionVideoDisplay::applySourceRect() {
  // The renderer's own source rectangle: the mixer shows that part, the presenter letterboxes it.
  const MFVideoNormalizedRect source = {static_cast<float>(m_zoom.left), static_cast<float>(m_zoom.top),
                                        static_cast<float>(m_zoom.right), static_cast<float>(m_zoom.bottom)};
  const HRESULT hr = m_displayControl->SetVideoPosition(&source, nullptr);
  LogIfFailed(hr, "MediaFoundationPlayer::SetSourceRect[%p]: SetVideoPosition", m_logOwner);
  return hr;
}

HRESULT SessionVideoDisplay::SetAlphaBitmap(HBITMAP bitmap, bool started) {
  // The same handle given twice must not be deleted while it stays in use.
  if (m_alphaBitmap.get() != bitmap) m_alphaBitmap.reset(bitmap);
  if (!m_mixerBitmap) return S_OK;
  return applyAlphaBitmap(started);
}

HRESULT SessionVideoDisplay::applyAlphaBitmap(bool started) {
  if (!m_mixerBitmap) return MF_E_INVALIDREQUEST;
  HRESULT hr = S_OK;
  if (m_alphaBitmap) {
    HDC windowDc = GetDC(m_videoWindow);
    HDC memoryDc = windowDc ? CreateCompatibleDC(windowDc) : nullptr;
    if (!memoryDc) {
      if (windowDc) ReleaseDC(m_videoWindow, windowDc);
      ORVO_LOG_DEBUG("MediaFoundationPlayer::ApplyAlphaBitmap[%p]: no device context", m_logOwner);
      return E_FAIL;
    }
    HGDIOBJ previous = SelectObject(memoryDc, m_alphaBitmap.get());
    BITMAP info = {};
    if (GetObjectW(m_alphaBitmap.get(), sizeof(info), &info) == 0) {
      hr = E_INVALIDARG;
    } else {
      MFVideoAlphaBitmap alpha = {};
      alpha.GetBitmapFromDC = TRUE;
      alpha.bitmap.hdc = memoryDc;
      alpha.params.dwFlags = MFVideoAlphaBitmap_SrcColorKey | MFVideoAlphaBitmap_DestRect;
      alpha.params.clrSrcKey = RGB(0, 0, 0);  // black pixels are transparent
      alpha.params.rcSrc = {0, 0, info.bmWidth, info.bmHeight};
      alpha.params.nrcDest = {0.0f, 0.0f, 1.0f, 1.0f};
      alpha.params.fAlpha = 0.0f;
      alpha.params.dwFilterMode = 0;
      hr = m_mixerBitmap->SetAlphaBitmap(&alpha);
    }
    SelectObject(memoryDc, previous);
    DeleteDC(memoryDc);
    ReleaseDC(m_videoWindow, windowDc);
  } else {
    hr = m_mixerBitmap->ClearAlphaBitmap();
  }
  LogIfFailed(hr, "MediaFoundationPlayer::ApplyAlphaBitmap[%p]:", m_logOwner);
  // A paused or stopped picture shows the change only when repainted.
  if (!started && m_displayControl) m_displayControl->RepaintVideo();
  return hr;
}

void SessionVideoDisplay::OnSize(int width, int height) {
  if (!m_displayControl) return;
  RECT destination = {0, 0, width, height};
  m_displayControl->SetVideoPosition(nullptr, &destination);
}

bool SessionVideoDisplay::Repaint() {
  if (!m_displayControl) return false;
  m_displayControl->RepaintVideo();
  return true;
}

}  // namespace MediaFoundation
}  // namespace ORVO
