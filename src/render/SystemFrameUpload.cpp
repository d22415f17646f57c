#include "render/SystemFrameUpload.h"

#include <mfapi.h>
#include <mferror.h>

#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

HRESULT SystemFrameUpload::ensureTexture(ID3D11Device* device, UINT width, UINT height) {
  if (m_pTexture) {
    D3D11_TEXTURE2D_DESC desc = {};
    m_pTexture->GetDesc(&desc);
    ComPtr<ID3D11Device> owner;
    m_pTexture->GetDevice(&owner);
    if (desc.Width == width && desc.Height == height && owner.Get() == device) return S_OK;
    m_pTexture.Reset();
  }
  D3D11_TEXTURE2D_DESC desc = {};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  const HRESULT hr = device->CreateTexture2D(&desc, nullptr, &m_pTexture);
  LogIfFailed(hr, "Dx11Renderer::ProcessFrame[%p]: CreateTexture2D(system-memory frame)", m_owner);
  return hr;
}

HRESULT SystemFrameUpload::Upload(ID3D11Device* device, ID3D11DeviceContext* context, IMFMediaType* type,
                                  IMFMediaBuffer* buffer, ID3D11Texture2D** texture) {
  *texture = nullptr;
  GUID subtype = GUID_NULL;
  UINT32 width = 0, height = 0;
  type->GetGUID(MF_MT_SUBTYPE, &subtype);
  if ((subtype != MFVideoFormat_RGB32 && subtype != MFVideoFormat_ARGB32) ||
      FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) || width == 0 || height == 0 ||
      width > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION || height > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION) {
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: system-memory frame of %ux%u not RGB32 failed 0x%X", m_owner,
                   width, height, (unsigned)MF_E_INVALIDMEDIATYPE);
    return MF_E_INVALIDMEDIATYPE;
  }
  HRESULT hr = ensureTexture(device, width, height);
  if (FAILED(hr)) return hr;

  ComPtr<IMF2DBuffer> buffer2D;
  BYTE* data = nullptr;
  LONG pitch = 0;
  const bool locked2D = SUCCEEDED(buffer->QueryInterface(IID_PPV_ARGS(&buffer2D))) &&
                        SUCCEEDED(buffer2D->Lock2D(&data, &pitch));
  DWORD length = 0;
  if (!locked2D) {
    ORVO_RETURN_IF_FAILED(buffer->Lock(&data, nullptr, &length), "Dx11Renderer::ProcessFrame[%p]: pBuffer->Lock",
                          m_owner);
    pitch = static_cast<LONG>(width * 4);
    UINT32 typeStride = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &typeStride))) {
      const LONG stride = static_cast<LONG>(static_cast<INT32>(typeStride));
      if ((stride < 0 ? -stride : stride) >= pitch) pitch = stride;
    }
  }
  const ULONGLONG rowBytes = static_cast<ULONGLONG>(pitch < 0 ? -pitch : pitch);
  if (rowBytes < width * 4ull || (!locked2D && length < rowBytes * (height - 1) + width * 4ull)) {
    hr = MF_E_BUFFERTOOSMALL;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: buffer of %lu bytes for %ux%u failed 0x%X", m_owner,
                   (unsigned long)length, width, height, (unsigned)hr);
  } else {
    // A bottom-up plain buffer starts at its last row in memory; Lock2D already points at the top.
    const BYTE* firstRow = (!locked2D && pitch < 0) ? data + rowBytes * (height - 1) : data;
    if (pitch < 0) {
      for (UINT row = 0; row < height; ++row) {
        const D3D11_BOX box = {0, row, 0, width, row + 1, 1};
        context->UpdateSubresource(m_pTexture.Get(), 0, &box, firstRow + static_cast<LONGLONG>(pitch) * row, 0, 0);
      }
    } else {
      context->UpdateSubresource(m_pTexture.Get(), 0, nullptr, firstRow, static_cast<UINT>(pitch), 0);
    }
  }
  if (locked2D) {
    buffer2D->Unlock2D();
  } else {
    buffer->Unlock();
  }
  if (FAILED(hr)) return hr;
  *texture = m_pTexture.Get();
  (*texture)->AddRef();
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
