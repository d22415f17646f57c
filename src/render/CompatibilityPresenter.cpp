#include "render/CompatibilityPresenter.h"

#include <d3dcompiler.h>
#include <mfapi.h>
#include <mferror.h>

#include <cstring>

#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

// A quad from the vertex id (no vertex buffer); the constant buffer maps it to the part of the
// frame to show, in texture coordinates. Written for the older HLSL compilers too (no ternary
// operator, integer literal suffixes or calls to functions of our own: Wine's compiler rejects
// them, hence the macro). The pixel shaders force alpha to 1 because the fourth byte of RGB32 is
// undefined. One pixel shader per frame format: luma in t0, chroma in t1 (NV12: U and V interleaved; planar: U) and t2 (planar: V). A YUY2 row
// lies in an RGBA texture of half the width (Y0 U Y1 V per texel), read texel by texel because
// filtering would blend the two luma samples of a pair.
const char kShaderSource[] = R"(
cbuffer Placement : register(b0) { float4 uvRect; };
cbuffer Colour : register(b1) { float4 toR; float4 toG; float4 toB; float4 lumaSize; };
struct VSOut { float4 pos : SV_POSITION; float2 uv : TEXCOORD0; };
VSOut vs_main(uint id : SV_VertexID) {
  float v = id;
  float row = floor(v * 0.5);
  float2 corner = float2(v - 2.0 * row, row);
  VSOut o;
  o.pos = float4(corner.x * 2.0 - 1.0, 1.0 - corner.y * 2.0, 0.0, 1.0);
  o.uv = lerp(uvRect.xy, uvRect.zw, corner);
  return o;
}
Texture2D plane0 : register(t0);
Texture2D plane1 : register(t1);
Texture2D plane2 : register(t2);
SamplerState frameSampler : register(s0);
SamplerState chromaSampler : register(s1);
#define TO_RGB(yuv) float4(saturate(float3(dot(toR, yuv), dot(toG, yuv), dot(toB, yuv))), 1.0)
float4 ps_rgb32(VSOut i) : SV_TARGET { return float4(plane0.Sample(frameSampler, i.uv).rgb, 1.0); }
float4 ps_nv12(VSOut i) : SV_TARGET {
  float4 yuv = float4(plane0.Sample(frameSampler, i.uv).r, plane1.Sample(chromaSampler, i.uv).rg, 1.0);
  return TO_RGB(yuv);
}
float4 ps_planar(VSOut i) : SV_TARGET {
  float4 yuv = float4(plane0.Sample(frameSampler, i.uv).r, plane1.Sample(chromaSampler, i.uv).r,
                      plane2.Sample(chromaSampler, i.uv).r, 1.0);
  return TO_RGB(yuv);
}
float4 ps_yuy2(VSOut i) : SV_TARGET {
  float2 pixel = min(floor(i.uv * lumaSize.xy), lumaSize.xy - 1.0);
  float pair = floor(pixel.x * 0.5);
  float4 texel = plane0.Load(int3(pair, pixel.y, 0));
  float4 yuv = float4(lerp(texel.r, texel.b, pixel.x - 2.0 * pair), texel.g, texel.a, 1.0);
  return TO_RGB(yuv);
}
)";

// d3dcompiler_47 is loaded on first use: the library must load on systems where it is absent, and
// only this fallback needs it.
pD3DCompile LoadCompiler() {
  static pD3DCompile compile = [] {
    HMODULE module = LoadLibraryW(L"d3dcompiler_47.dll");
    if (module == nullptr) return static_cast<pD3DCompile>(nullptr);
    return reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(module, "D3DCompile")));
  }();
  return compile;
}

HRESULT Compile(pD3DCompile compile, const char* entry, const char* profile, ID3DBlob** ppCode) {
  ComPtr<ID3DBlob> errors;
  HRESULT hr = compile(kShaderSource, sizeof(kShaderSource) - 1, "compat", nullptr, nullptr, entry, profile, 0, 0,
                       ppCode, &errors);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: D3DCompile(%s) failed 0x%X %s", entry, (unsigned)hr,
                   errors ? static_cast<const char*>(errors->GetBufferPointer()) : "");
  }
  return hr;
}

const char* const kPixelShaderEntries[] = {"ps_rgb32", "ps_nv12", "ps_planar", "ps_planar", "ps_yuy2"};

}  // namespace

UINT CompatibilityPresenter::LumaRowBytes(Format format, UINT width) {
  if (format == Format::Rgb32) return width * 4;
  if (format == Format::Yuy2) return (width + 1) / 2 * 4;  // a texel per pair of pixels
  return width;                                            // the 8-bit luma plane of 4:2:0
}

bool CompatibilityPresenter::TakesSubtype(REFGUID subtype) { return FormatOf(subtype) != Format::Count; }

CompatibilityPresenter::Format CompatibilityPresenter::FormatOf(REFGUID subtype) {
  if (subtype == MFVideoFormat_RGB32 || subtype == MFVideoFormat_ARGB32) return Format::Rgb32;
  if (subtype == MFVideoFormat_NV12) return Format::Nv12;
  if (subtype == MFVideoFormat_I420 || subtype == MFVideoFormat_IYUV) return Format::I420;
  if (subtype == MFVideoFormat_YV12) return Format::Yv12;
  if (subtype == MFVideoFormat_YUY2) return Format::Yuy2;
  return Format::Count;
}

HRESULT CompatibilityPresenter::Initialize(ID3D11Device* pDevice) {
  if (pDevice == nullptr) return E_POINTER;
  m_pDevice = pDevice;
  for (Plane& plane : m_planes) plane = Plane();
  m_frameWidth = m_frameHeight = 0;

  pD3DCompile compile = LoadCompiler();
  if (compile == nullptr) {
    HRESULT hr = HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: LoadLibrary(d3dcompiler_47.dll) failed 0x%X", (unsigned)hr);
    return hr;
  }
  ComPtr<ID3DBlob> vsCode;
  HRESULT hr = Compile(compile, "vs_main", "vs_4_0", &vsCode);
  if (FAILED(hr)) return hr;
  hr = pDevice->CreateVertexShader(vsCode->GetBufferPointer(), vsCode->GetBufferSize(), nullptr, &m_pVertexShader);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreateVertexShader failed 0x%X", (unsigned)hr);
    return hr;
  }
  for (int format = 0; format < kFormats; ++format) {
    if (format > 0 && strcmp(kPixelShaderEntries[format], kPixelShaderEntries[format - 1]) == 0) {
      m_pPixelShaders[format] = m_pPixelShaders[format - 1];
      continue;
    }
    ComPtr<ID3DBlob> psCode;
    hr = Compile(compile, kPixelShaderEntries[format], "ps_4_0", &psCode);
    if (FAILED(hr)) return hr;
    hr = pDevice->CreatePixelShader(psCode->GetBufferPointer(), psCode->GetBufferSize(), nullptr,
                                    &m_pPixelShaders[format]);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreatePixelShader failed 0x%X", (unsigned)hr);
      return hr;
    }
  }
  D3D11_SAMPLER_DESC sampler = {};
  sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
  sampler.AddressU = sampler.AddressV = sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
  sampler.ComparisonFunc = D3D11_COMPARISON_NEVER;
  sampler.MaxLOD = D3D11_FLOAT32_MAX;
  hr = pDevice->CreateSamplerState(&sampler, &m_pLinear);
  if (SUCCEEDED(hr)) {
    sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
    hr = pDevice->CreateSamplerState(&sampler, &m_pPoint);
  }
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreateSamplerState failed 0x%X", (unsigned)hr);
    return hr;
  }
  D3D11_BUFFER_DESC constants = {};
  constants.ByteWidth = 16;
  constants.Usage = D3D11_USAGE_DYNAMIC;
  constants.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
  constants.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
  hr = pDevice->CreateBuffer(&constants, nullptr, &m_pPlacement);
  if (SUCCEEDED(hr)) {
    constants.ByteWidth = sizeof(YuvColourMatrix) + 16;
    hr = pDevice->CreateBuffer(&constants, nullptr, &m_pColour);
  }
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreateBuffer failed 0x%X", (unsigned)hr);
  }
  return hr;
}

HRESULT CompatibilityPresenter::CheckFrameType(IMFMediaType* pType, UINT32* pWidth, UINT32* pHeight) {
  GUID subtype = GUID_NULL;
  pType->GetGUID(MF_MT_SUBTYPE, &subtype);
  HRESULT hr;
  if (!TakesSubtype(subtype)) {
    hr = MF_E_INVALIDMEDIATYPE;
    ORVO_LOG_DEBUG(
        "Dx11Renderer::ProcessFrame[%p]: compatibility presentation takes RGB32, NV12, I420, YV12 and YUY2 only, "
        "failed 0x%X",
        m_owner, (unsigned)hr);
    return hr;
  }
  *pWidth = *pHeight = 0;
  hr = MFGetAttributeSize(pType, MF_MT_FRAME_SIZE, pWidth, pHeight);
  if (SUCCEEDED(hr) && (*pWidth == 0 || *pHeight == 0)) hr = MF_E_INVALIDMEDIATYPE;
  LogIfFailed(hr, "Dx11Renderer::ProcessFrame[%p]: MFGetAttributeSize(MF_MT_FRAME_SIZE)", m_owner);
  return hr;
}

HRESULT CompatibilityPresenter::UploadBuffer(ID3D11DeviceContext* pContext, IMFMediaType* pType,
                                             IMFMediaBuffer* pBuffer, UINT width, UINT height) {
  if (pContext == nullptr || pType == nullptr || pBuffer == nullptr || !m_pDevice) return E_POINTER;
  if (width == 0 || height == 0 || width > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
      height > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION) {
    return E_INVALIDARG;
  }
  GUID subtype = GUID_NULL;
  pType->GetGUID(MF_MT_SUBTYPE, &subtype);
  const Format format = FormatOf(subtype);
  if (format == Format::Count) return MF_E_INVALIDMEDIATYPE;
  if (format != Format::Rgb32) m_matrix = YuvColourMatrixForType(pType, height);
  const UINT rowBytes = LumaRowBytes(format, width);

  ComPtr<IMF2DBuffer2> buffer2D;
  BYTE *data = nullptr, *start = nullptr;
  LONG pitch = 0;
  DWORD length = 0;
  if (SUCCEEDED(pBuffer->QueryInterface(IID_PPV_ARGS(&buffer2D))) &&
      SUCCEEDED(buffer2D->Lock2DSize(MF2DBuffer_LockFlags_Read, &data, &pitch, &start, &length))) {
    HRESULT hr;
    if (static_cast<ULONG>(pitch < 0 ? -pitch : pitch) < rowBytes) {
      hr = MF_E_BUFFERTOOSMALL;
      ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pitch %ld below width %u failed 0x%X", m_owner, (long)pitch,
                     width, (unsigned)hr);
    } else {
      // A bottom-up buffer's first row lies at its end: all of it counts.
      const ULONGLONG available = pitch < 0 ? length : length - static_cast<ULONGLONG>(data - start);
      hr = uploadLocked(pContext, format, data, pitch, available, width, height);
    }
    buffer2D->Unlock2D();
    return hr;
  }

  DWORD maxLength = 0;
  ORVO_RETURN_IF_FAILED(pBuffer->Lock(&data, &maxLength, &length), "Dx11Renderer::ProcessFrame[%p]: pBuffer->Lock",
                        m_owner);
  LONG stride = static_cast<LONG>(rowBytes);
  UINT32 typeStride = 0;
  if (SUCCEEDED(pType->GetUINT32(MF_MT_DEFAULT_STRIDE, &typeStride))) {
    LONG signedStride = static_cast<LONG>(static_cast<INT32>(typeStride));
    LONG magnitude = signedStride < 0 ? -signedStride : signedStride;
    // Only RGB frames are stored bottom-up.
    if (magnitude >= stride && (signedStride > 0 || format == Format::Rgb32)) stride = signedStride;
  }
  const ULONGLONG rowDistance = static_cast<ULONGLONG>(stride < 0 ? -stride : stride);
  // A bottom-up frame starts at its last row in memory.
  const BYTE* firstRow = stride < 0 ? data + rowDistance * (height - 1) : data;
  const HRESULT hr = uploadLocked(pContext, format, firstRow, stride, length, width, height);
  pBuffer->Unlock();
  return hr;
}

HRESULT CompatibilityPresenter::uploadLocked(ID3D11DeviceContext* pContext, Format format, const BYTE* data,
                                             LONG pitch, ULONGLONG length, UINT width, UINT height) {
  const ULONGLONG rowDistance = static_cast<ULONGLONG>(pitch < 0 ? -pitch : pitch);
  const UINT rowBytes = LumaRowBytes(format, width);
  const UINT chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
  const bool planar = format == Format::Nv12 || format == Format::I420 || format == Format::Yv12;
  // 4:2:0 buffers hold 1.5 luma planes of coded rows, the chroma starting after the last of them.
  const ULONGLONG codedRows = planar ? length * 2 / (rowDistance * 3) : height;
  // The last byte read: the end of the last chroma row (I420 and YV12: two planes at half pitch).
  ULONGLONG needed = rowDistance * (height - 1) + rowBytes;
  if (format == Format::Nv12) {
    needed = rowDistance * codedRows + rowDistance * (chromaHeight - 1) + chromaWidth * 2;
  } else if (planar) {
    needed = rowDistance * codedRows + rowDistance / 2 * ((codedRows + 1) / 2 + chromaHeight - 1) + chromaWidth;
  }
  HRESULT hr;
  if (length < needed || codedRows < height || (planar && pitch < 0)) {
    hr = MF_E_BUFFERTOOSMALL;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: buffer of %lu bytes for %ux%u failed 0x%X", m_owner,
                   (unsigned long)length, width, height, (unsigned)hr);
    return hr;
  }
  const PlaneSource luma = {data, pitch, rowBytes, height};
  switch (format) {
    case Format::Rgb32:
      hr = uploadPlane(pContext, m_planes[0], DXGI_FORMAT_B8G8R8A8_UNORM, width, luma);
      break;
    case Format::Yuy2:
      hr = uploadPlane(pContext, m_planes[0], DXGI_FORMAT_R8G8B8A8_UNORM, chromaWidth, luma);
      break;
    case Format::Nv12: {
      hr = uploadPlane(pContext, m_planes[0], DXGI_FORMAT_R8_UNORM, width, luma);
      const PlaneSource chroma = {data + rowDistance * codedRows, pitch, chromaWidth * 2, chromaHeight};
      if (SUCCEEDED(hr)) hr = uploadPlane(pContext, m_planes[1], DXGI_FORMAT_R8G8_UNORM, chromaWidth, chroma);
      break;
    }
    default: {
      // The chroma planes have half the luma pitch; I420 stores U first, YV12 V first.
      const LONG chromaPitch = pitch / 2;
      const BYTE* first = data + rowDistance * codedRows;
      const BYTE* second = first + static_cast<ULONGLONG>(chromaPitch) * ((codedRows + 1) / 2);
      const PlaneSource u = {format == Format::I420 ? first : second, chromaPitch, chromaWidth, chromaHeight};
      const PlaneSource v = {format == Format::I420 ? second : first, chromaPitch, chromaWidth, chromaHeight};
      hr = uploadPlane(pContext, m_planes[0], DXGI_FORMAT_R8_UNORM, width, luma);
      if (SUCCEEDED(hr)) hr = uploadPlane(pContext, m_planes[1], DXGI_FORMAT_R8_UNORM, chromaWidth, u);
      if (SUCCEEDED(hr)) hr = uploadPlane(pContext, m_planes[2], DXGI_FORMAT_R8_UNORM, chromaWidth, v);
      break;
    }
  }
  if (FAILED(hr)) {
    m_frameWidth = m_frameHeight = 0;
    return hr;
  }
  m_format = format;
  m_frameWidth = width;
  m_frameHeight = height;
  return S_OK;
}

HRESULT CompatibilityPresenter::uploadPlane(ID3D11DeviceContext* pContext, Plane& plane, DXGI_FORMAT format,
                                            UINT texelWidth, const PlaneSource& source) {
  if (!plane.texture || plane.width != texelWidth || plane.height != source.rows || plane.format != format) {
    plane = Plane();
    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = texelWidth;
    desc.Height = source.rows;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DYNAMIC;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    // A new texture gets its first frame as initial data: the first map of a dynamic texture
    // waits for the device to finish everything before it (Wine's: a third of a second at start).
    const D3D11_SUBRESOURCE_DATA initial = {source.firstRow, static_cast<UINT>(source.pitch), 0};
    const bool withData = source.pitch > 0;
    HRESULT hr = m_pDevice->CreateTexture2D(&desc, withData ? &initial : nullptr, &plane.texture);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("CompatibilityPresenter::Upload: CreateTexture2D(%ux%u) failed 0x%X", texelWidth, source.rows,
                     (unsigned)hr);
      return hr;
    }
    hr = m_pDevice->CreateShaderResourceView(plane.texture.Get(), nullptr, &plane.view);
    if (FAILED(hr)) {
      plane = Plane();
      ORVO_LOG_DEBUG("CompatibilityPresenter::Upload: CreateShaderResourceView failed 0x%X", (unsigned)hr);
      return hr;
    }
    plane.width = texelWidth;
    plane.height = source.rows;
    plane.format = format;
    if (withData) return S_OK;
  }
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  HRESULT hr = pContext->Map(plane.texture.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Upload: Map failed 0x%X", (unsigned)hr);
    return hr;
  }
  BYTE* destination = static_cast<BYTE*>(mapped.pData);
  const BYTE* row = source.firstRow;
  if (source.pitch == static_cast<LONG>(mapped.RowPitch) && source.pitch == static_cast<LONG>(source.rowBytes)) {
    memcpy(destination, row, static_cast<size_t>(source.rowBytes) * source.rows);
  } else {
    for (UINT y = 0; y < source.rows; ++y) {
      memcpy(destination, row, source.rowBytes);
      destination += mapped.RowPitch;
      row += source.pitch;
    }
  }
  pContext->Unmap(plane.texture.Get(), 0);
  return S_OK;
}

HRESULT CompatibilityPresenter::Draw(ID3D11DeviceContext* pContext, ID3D11RenderTargetView* pTarget,
                                     const RECT& source, const RECT& destination) {
  if (pContext == nullptr || pTarget == nullptr || m_frameWidth == 0 || !m_planes[0].view) return E_POINTER;
  // Only the bars need black: a picture that fills the target overwrites every pixel.
  D3D11_TEXTURE2D_DESC target = {};
  ComPtr<ID3D11Resource> resource;
  pTarget->GetResource(&resource);
  ComPtr<ID3D11Texture2D> texture;
  if (resource && SUCCEEDED(resource.As(&texture))) texture->GetDesc(&target);
  const bool fills = target.Width > 0 && destination.left <= 0 && destination.top <= 0 &&
                     destination.right >= static_cast<LONG>(target.Width) &&
                     destination.bottom >= static_cast<LONG>(target.Height);
  const float black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  if (!fills) pContext->ClearRenderTargetView(pTarget, black);
  if (destination.right <= destination.left || destination.bottom <= destination.top) return S_OK;

  D3D11_MAPPED_SUBRESOURCE mapped = {};
  HRESULT hr = pContext->Map(m_pPlacement.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Draw: Map failed 0x%X", (unsigned)hr);
    return hr;
  }
  float* uv = static_cast<float*>(mapped.pData);
  uv[0] = static_cast<float>(source.left) / m_frameWidth;
  uv[1] = static_cast<float>(source.top) / m_frameHeight;
  uv[2] = static_cast<float>(source.right) / m_frameWidth;
  uv[3] = static_cast<float>(source.bottom) / m_frameHeight;
  pContext->Unmap(m_pPlacement.Get(), 0);
  if (m_format != Format::Rgb32) {
    hr = pContext->Map(m_pColour.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("CompatibilityPresenter::Draw: Map failed 0x%X", (unsigned)hr);
      return hr;
    }
    float* constants = static_cast<float*>(mapped.pData);
    memcpy(constants, &m_matrix, sizeof(m_matrix));
    constants[12] = static_cast<float>(m_frameWidth);
    constants[13] = static_cast<float>(m_frameHeight);
    constants[14] = constants[15] = 0.0f;
    pContext->Unmap(m_pColour.Get(), 0);
  }

  D3D11_VIEWPORT viewport = {};
  viewport.TopLeftX = static_cast<float>(destination.left);
  viewport.TopLeftY = static_cast<float>(destination.top);
  viewport.Width = static_cast<float>(destination.right - destination.left);
  viewport.Height = static_cast<float>(destination.bottom - destination.top);
  viewport.MaxDepth = 1.0f;

  ID3D11RenderTargetView* targets[1] = {pTarget};
  pContext->OMSetRenderTargets(1, targets, nullptr);
  pContext->RSSetViewports(1, &viewport);
  pContext->IASetInputLayout(nullptr);
  pContext->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
  pContext->VSSetShader(m_pVertexShader.Get(), nullptr, 0);
  ID3D11Buffer* buffers[1] = {m_pPlacement.Get()};
  pContext->VSSetConstantBuffers(0, 1, buffers);
  pContext->PSSetShader(m_pPixelShaders[static_cast<int>(m_format)].Get(), nullptr, 0);
  ID3D11Buffer* colour[1] = {m_pColour.Get()};
  pContext->PSSetConstantBuffers(1, 1, colour);
  ID3D11ShaderResourceView* views[kMaxPlanes] = {m_planes[0].view.Get(), m_planes[1].view.Get(),
                                                 m_planes[2].view.Get()};
  pContext->PSSetShaderResources(0, kMaxPlanes, views);
  // Drawn pixel for pixel, each pixel's centre falls on a texel's centre, where filtering returns
  // that texel: the nearest texel gives the same picture, and on a software rasteriser for much
  // less work. Chroma, at half resolution, is always filtered.
  const bool unscaled = source.right - source.left == destination.right - destination.left &&
                        source.bottom - source.top == destination.bottom - destination.top;
  ID3D11SamplerState* samplers[2] = {unscaled ? m_pPoint.Get() : m_pLinear.Get(), m_pLinear.Get()};
  pContext->PSSetSamplers(0, 2, samplers);
  pContext->Draw(4, 0);

  // Unbind the back buffer so that Present and ResizeBuffers find no outstanding binding.
  ID3D11RenderTargetView* none[1] = {nullptr};
  pContext->OMSetRenderTargets(1, none, nullptr);
  ID3D11ShaderResourceView* noViews[kMaxPlanes] = {nullptr, nullptr, nullptr};
  pContext->PSSetShaderResources(0, kMaxPlanes, noViews);
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
