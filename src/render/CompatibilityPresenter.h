#pragma once

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include "render/YuvColourMatrix.h"

namespace ORVO {
namespace MediaFoundation {

// Draws system-memory frames into a render target with its own shaders: lock the sample's buffer,
// upload its planes to textures, clear the target to black, draw the chosen part of the frame into
// the letterboxed rectangle. RGB32 is drawn as it is; NV12, I420/IYUV, YV12 and YUY2 go up as their
// planes (R8 and R8G8 textures, which every Direct3D 11 implementation samples) and the pixel shader
// converts them, so that no CPU colour converter has to run. Used by Dx11Renderer where the device
// has no video processor. Not thread-safe: the renderer's lock serialises every call.
class CompatibilityPresenter {
 public:
  // owner: the renderer, for the address in log lines about the frames it hands over.
  explicit CompatibilityPresenter(const void* owner) : m_owner(owner) {}
  CompatibilityPresenter(const CompatibilityPresenter&) = delete;
  CompatibilityPresenter& operator=(const CompatibilityPresenter&) = delete;

  // Whether frames of this subtype can be handed over as they are.
  static bool TakesSubtype(REFGUID subtype);

  // Compiles the shaders and creates the fixed pipeline objects on the device.
  HRESULT Initialize(ID3D11Device* pDevice);

  // The frame size of a type this presenter takes: a subtype of TakesSubtype with a non-empty frame
  // size.
  HRESULT CheckFrameType(IMFMediaType* pType, UINT32* pWidth, UINT32* pHeight);

  // Locks the buffer and uploads its width × height pixels: a 2-D buffer by its own pitch, a plain
  // one by the type's default stride (bottom-up when negative, RGB32 only) or else packed rows.
  // The chroma planes follow the luma plane's coded rows, which decoders round up to whole
  // macroblocks (a 640x360 frame arrives as 640x368): their place comes from the buffer's length,
  // not from the type. Refuses buffers too small for the frame.
  HRESULT UploadBuffer(ID3D11DeviceContext* pContext, IMFMediaType* pType, IMFMediaBuffer* pBuffer, UINT width,
                       UINT height);

  // Draws source (frame pixels) into destination (target pixels) and black around it.
  HRESULT Draw(ID3D11DeviceContext* pContext, ID3D11RenderTargetView* pTarget, const RECT& source,
               const RECT& destination);

 private:
  enum class Format { Rgb32, Nv12, I420, Yv12, Yuy2, Count };
  static constexpr int kFormats = static_cast<int>(Format::Count);
  static constexpr int kMaxPlanes = 3;

  // One plane as it lies in the locked buffer: rows of rowBytes, pitch apart (negative: bottom-up).
  struct PlaneSource {
    const BYTE* firstRow;
    LONG pitch;
    UINT rowBytes;
    UINT rows;
  };
  struct Plane {
    Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> view;
    UINT width = 0;
    UINT height = 0;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
  };

  static Format FormatOf(REFGUID subtype);
  // Bytes of a row of width pixels in the first plane.
  static UINT LumaRowBytes(Format format, UINT width);
  HRESULT uploadLocked(ID3D11DeviceContext* pContext, Format format, const BYTE* data, LONG pitch, ULONGLONG length,
                       UINT width, UINT height);
  HRESULT uploadPlane(ID3D11DeviceContext* pContext, Plane& plane, DXGI_FORMAT format, UINT texelWidth,
                      const PlaneSource& source);

  const void* m_owner;
  Microsoft::WRL::ComPtr<ID3D11Device> m_pDevice;
  Microsoft::WRL::ComPtr<ID3D11VertexShader> m_pVertexShader;
  Microsoft::WRL::ComPtr<ID3D11PixelShader> m_pPixelShaders[kFormats];
  Microsoft::WRL::ComPtr<ID3D11SamplerState> m_pLinear;
  Microsoft::WRL::ComPtr<ID3D11SamplerState> m_pPoint;
  Microsoft::WRL::ComPtr<ID3D11Buffer> m_pPlacement;
  Microsoft::WRL::ComPtr<ID3D11Buffer> m_pColour;
  Plane m_planes[kMaxPlanes];
  Format m_format = Format::Rgb32;  // of the frame last uploaded
  YuvColourMatrix m_matrix = {};
  UINT m_frameWidth = 0;
  UINT m_frameHeight = 0;
};

}  // namespace MediaFoundation
}  // namespace ORVO
