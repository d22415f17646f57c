#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// Puts a system-memory RGB32 frame into a texture of the renderer's device, for the Direct3D 11
// video processor path. Frames arrive in system memory there when the engine's allocator could not
// be set up, for the black frame of a stop, and from hosts of the renderer that draw their own
// frames. Rows are read as the compatibility presenter reads them: a 2-D buffer by its pitch, a
// plain one by the type's default stride (bottom-up when negative), else packed. The renderer's
// lock serialises every call.
class SystemFrameUpload {
 public:
  explicit SystemFrameUpload(const void* owner) : m_owner(owner) {}
  SystemFrameUpload(const SystemFrameUpload&) = delete;
  SystemFrameUpload& operator=(const SystemFrameUpload&) = delete;

  // The frame's pixels in a BGRA texture of device's, valid until the next call or Release.
  HRESULT Upload(ID3D11Device* device, ID3D11DeviceContext* context, IMFMediaType* type, IMFMediaBuffer* buffer,
                 ID3D11Texture2D** texture);
  void Release() { m_pTexture.Reset(); }

 private:
  HRESULT ensureTexture(ID3D11Device* device, UINT width, UINT height);

  const void* m_owner;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> m_pTexture;
};

}  // namespace MediaFoundation
}  // namespace ORVO
