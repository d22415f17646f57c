#pragma once

#include <windows.h>
#include <mfidl.h>

namespace ORVO {
namespace MediaFoundation {

// What the current media type says about the picture: its frame size, the display aperture inside
// it, the display size after the pixel aspect ratio, and its stereo layout (which also says how
// many buffers a sample carries). The renderer's lock serialises every call.
class PictureGeometry {
 public:
  // owner: the renderer, for the address in log lines.
  explicit PictureGeometry(const void* owner) : m_owner(owner) {}

  // Reads type. *frameSizeChanged tells whether the frame size differs from the one before (the
  // renderer's processor objects and swap chain no longer fit), also when a later read fails;
  // a failure leaves the display area empty.
  HRESULT Apply(IMFMediaType* type, bool* frameSizeChanged);
  // Whether a per-frame type of this frame size still matches what Apply read from current.
  bool Matches(IMFMediaType* type, IMFMediaType* current, UINT32 width, UINT32 height) const {
    return type == current && width == m_frameWidth && height == m_frameHeight;
  }
  // How sample's fields lie: from its own flags where type mixes interlaced and progressive
  // frames, else unchanged from given.
  static UINT SampleInterlaceMode(IMFMediaType* type, IMFSample* sample, UINT given);
  // The picture buffer of sample, and the second view's buffer for a two-buffer stereo sample.
  HRESULT FrameBuffers(IMFSample* sample, IMFMediaBuffer** buffer, IMFMediaBuffer** secondView) const;

  bool HasDisplayArea() const {
    return m_displayWidth > 0 && m_displayHeight > 0 && m_displayArea.right > m_displayArea.left &&
           m_displayArea.bottom > m_displayArea.top;
  }
  bool stereo() const { return m_video3D != 0 && m_video3DFormat != 0; }
  UINT video3D() const { return m_video3D; }
  UINT format3D() const { return m_video3DFormat; }
  const RECT& displayArea() const { return m_displayArea; }
  int displayWidth() const { return m_displayWidth; }
  int displayHeight() const { return m_displayHeight; }
  UINT frameWidth() const { return m_frameWidth; }
  UINT frameHeight() const { return m_frameHeight; }
  // A video path that met another coded size.
  void SetFrameSize(UINT width, UINT height) {
    m_frameWidth = width;
    m_frameHeight = height;
  }

 private:
  const void* m_owner;
  UINT m_video3D = 0;
  UINT m_video3DFormat = 0;
  RECT m_displayArea = {};
  UINT m_frameWidth = 0;
  UINT m_frameHeight = 0;
  int m_displayWidth = 0;
  int m_displayHeight = 0;
};

}  // namespace MediaFoundation
}  // namespace ORVO
