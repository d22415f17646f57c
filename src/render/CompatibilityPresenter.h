#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// Draws system-memory RGB32 frames into a render target with its own shaders: lock the sample's
// buffer, upload it to a texture, clear the target to black, draw the chosen part of the frame into
// the letterboxed rectangle. Used by Dx11Renderer where the device has no video processor. Not
// thread-safe: the renderer's lock serialises every call.
class CompatibilityPresenter {
 public:
  // owner: the renderer, for the address in log lines about the frames it hands over.
  explicit CompatibilityPresenter(const void* owner) : m_owner(owner) {}
  CompatibilityPresenter(const CompatibilityPresenter&) = delete;
  CompatibilityPresenter& operator=(const CompatibilityPresenter&) = delete;

  // Compiles the shaders and creates the fixed pipeline objects on the device.
  HRESULT Initialize(ID3D11Device* pDevice);

  // The frame size of a type this presenter takes: RGB32 or ARGB32 with a non-empty frame size.
  HRESULT CheckFrameType(IMFMediaType* pType, UINT32* pWidth, UINT32* pHeight);

  // Locks the buffer and uploads its width × height pixels: a 2-D buffer by its own pitch, a plain
  // one by the type's default stride (bottom-up when negative) or else packed rows. Refuses buffers
  // too small for the frame.
  HRESULT UploadBuffer(ID3D11DeviceContext* pContext, IMFMediaType* pType, IMFMediaBuffer* pBuffer, UINT width,
                       UINT height);

  // Copies height rows of width 32-bit pixels; firstRow is the top row and pitch the signed byte
  // distance to the next row (negative for bottom-up frames).
  HRESULT Upload(ID3D11DeviceContext* pContext, const BYTE* firstRow, LONG pitch, UINT width, UINT height);

  // Clears the whole target to black and draws source (frame pixels) into destination (target
  // pixels).
  HRESULT Draw(ID3D11DeviceContext* pContext, ID3D11RenderTargetView* pTarget, const RECT& source,
               const RECT& destination);

 private:
  HRESULT uploadPlainBuffer(ID3D11DeviceContext* pContext, IMFMediaType* pType, IMFMediaBuffer* pBuffer, UINT width,
                            UINT height);

  const void* m_owner;
  Microsoft::WRL::ComPtr<ID3D11Device> m_pDevice;
  Microsoft::WRL::ComPtr<ID3D11VertexShader> m_pVertexShader;
  Microsoft::WRL::ComPtr<ID3D11PixelShader> m_pPixelShader;
  Microsoft::WRL::ComPtr<ID3D11SamplerState> m_pSampler;
  Microsoft::WRL::ComPtr<ID3D11Buffer> m_pPlacement;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> m_pFrame;
  Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> m_pFrameView;
  UINT m_frameWidth = 0;
  UINT m_frameHeight = 0;
};

}  // namespace MediaFoundation
}  // namespace ORVO
