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
// operator or integer literal suffixes: Wine's compiler rejects them). The pixel shader forces alpha to 1 because the fourth
// byte of RGB32 is undefined.
const char kShaderSource[] = R"(
cbuffer Placement : register(b0) { float4 uvRect; };
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
Texture2D frame : register(t0);
SamplerState frameSampler : register(s0);
float4 ps_main(VSOut i) : SV_TARGET { return float4(frame.Sample(frameSampler, i.uv).rgb, 1.0); }
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

}  // namespace

HRESULT CompatibilityPresenter::Initialize(ID3D11Device* pDevice) {
  if (pDevice == nullptr) return E_POINTER;
  m_pDevice = pDevice;
  m_pFrame.Reset();
  m_pFrameView.Reset();
  m_frameWidth = m_frameHeight = 0;

  pD3DCompile compile = LoadCompiler();
  if (compile == nullptr) {
    HRESULT hr = HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: LoadLibrary(d3dcompiler_47.dll) failed 0x%X", (unsigned)hr);
    return hr;
  }
  ComPtr<ID3DBlob> vsCode, psCode;
  HRESULT hr = Compile(compile, "vs_main", "vs_4_0", &vsCode);
  if (FAILED(hr)) return hr;
  hr = Compile(compile, "ps_main", "ps_4_0", &psCode);
  if (FAILED(hr)) return hr;
  hr = pDevice->CreateVertexShader(vsCode->GetBufferPointer(), vsCode->GetBufferSize(), nullptr, &m_pVertexShader);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreateVertexShader failed 0x%X", (unsigned)hr);
    return hr;
  }
  hr = pDevice->CreatePixelShader(psCode->GetBufferPointer(), psCode->GetBufferSize(), nullptr, &m_pPixelShader);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreatePixelShader failed 0x%X", (unsigned)hr);
    return hr;
  }
  D3D11_SAMPLER_DESC sampler = {};
  sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
  sampler.AddressU = sampler.AddressV = sampler.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
  sampler.ComparisonFunc = D3D11_COMPARISON_NEVER;
  sampler.MaxLOD = D3D11_FLOAT32_MAX;
  hr = pDevice->CreateSamplerState(&sampler, &m_pSampler);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreateSamplerState failed 0x%X", (unsigned)hr);
    return hr;
  }
  D3D11_BUFFER_DESC placement = {};
  placement.ByteWidth = 16;
  placement.Usage = D3D11_USAGE_DYNAMIC;
  placement.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
  placement.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
  hr = pDevice->CreateBuffer(&placement, nullptr, &m_pPlacement);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Initialize: CreateBuffer failed 0x%X", (unsigned)hr);
  }
  return hr;
}

HRESULT CompatibilityPresenter::CheckFrameType(IMFMediaType* pType, UINT32* pWidth, UINT32* pHeight) {
  GUID subtype = GUID_NULL;
  pType->GetGUID(MF_MT_SUBTYPE, &subtype);
  HRESULT hr;
  if (subtype != MFVideoFormat_RGB32 && subtype != MFVideoFormat_ARGB32) {
    hr = MF_E_INVALIDMEDIATYPE;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: compatibility presentation takes RGB32 only, failed 0x%X", m_owner,
                   (unsigned)hr);
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
  ComPtr<IMF2DBuffer> buffer2D;
  BYTE* data = nullptr;
  LONG pitch = 0;
  if (FAILED(pBuffer->QueryInterface(IID_PPV_ARGS(&buffer2D))) || FAILED(buffer2D->Lock2D(&data, &pitch))) {
    return uploadPlainBuffer(pContext, pType, pBuffer, width, height);
  }
  HRESULT hr;
  if (static_cast<ULONG>(pitch < 0 ? -pitch : pitch) < width * 4) {
    hr = MF_E_BUFFERTOOSMALL;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: pitch %ld below width %u failed 0x%X", m_owner, (long)pitch, width,
                   (unsigned)hr);
  } else {
    hr = Upload(pContext, data, pitch, width, height);
  }
  buffer2D->Unlock2D();
  return hr;
}

HRESULT CompatibilityPresenter::uploadPlainBuffer(ID3D11DeviceContext* pContext, IMFMediaType* pType,
                                                  IMFMediaBuffer* pBuffer, UINT width, UINT height) {
  BYTE* data = nullptr;
  DWORD maxLength = 0, length = 0;
  ORVO_RETURN_IF_FAILED(pBuffer->Lock(&data, &maxLength, &length), "Dx11Renderer::ProcessFrame[%p]: pBuffer->Lock",
                        m_owner);
  LONG stride = static_cast<LONG>(width * 4);
  UINT32 typeStride = 0;
  if (SUCCEEDED(pType->GetUINT32(MF_MT_DEFAULT_STRIDE, &typeStride))) {
    LONG signedStride = static_cast<LONG>(static_cast<INT32>(typeStride));
    LONG magnitude = signedStride < 0 ? -signedStride : signedStride;
    if (magnitude >= stride) stride = signedStride;
  }
  const ULONGLONG rowBytes = static_cast<ULONGLONG>(stride < 0 ? -stride : stride);
  const ULONGLONG needed = rowBytes * (height - 1) + static_cast<ULONGLONG>(width) * 4;
  HRESULT hr;
  if (length < needed) {
    hr = MF_E_BUFFERTOOSMALL;
    ORVO_LOG_DEBUG("Dx11Renderer::ProcessFrame[%p]: buffer of %lu bytes for %ux%u failed 0x%X", m_owner,
                   (unsigned long)length, width, height, (unsigned)hr);
  } else {
    // A bottom-up frame starts at its last row in memory.
    const BYTE* firstRow = stride < 0 ? data + rowBytes * (height - 1) : data;
    hr = Upload(pContext, firstRow, stride, width, height);
  }
  pBuffer->Unlock();
  return hr;
}

HRESULT CompatibilityPresenter::Upload(ID3D11DeviceContext* pContext, const BYTE* firstRow, LONG pitch, UINT width,
                                       UINT height) {
  if (pContext == nullptr || firstRow == nullptr || !m_pDevice) return E_POINTER;
  if (width == 0 || height == 0 || width > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
      height > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION) {
    return E_INVALIDARG;
  }
  if (!m_pFrame || width != m_frameWidth || height != m_frameHeight) {
    m_pFrame.Reset();
    m_pFrameView.Reset();
    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DYNAMIC;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    HRESULT hr = m_pDevice->CreateTexture2D(&desc, nullptr, &m_pFrame);
    if (FAILED(hr)) {
      ORVO_LOG_DEBUG("CompatibilityPresenter::Upload: CreateTexture2D(%ux%u) failed 0x%X", width, height, (unsigned)hr);
      return hr;
    }
    hr = m_pDevice->CreateShaderResourceView(m_pFrame.Get(), nullptr, &m_pFrameView);
    if (FAILED(hr)) {
      m_pFrame.Reset();
      ORVO_LOG_DEBUG("CompatibilityPresenter::Upload: CreateShaderResourceView failed 0x%X", (unsigned)hr);
      return hr;
    }
    m_frameWidth = width;
    m_frameHeight = height;
  }
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  HRESULT hr = pContext->Map(m_pFrame.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("CompatibilityPresenter::Upload: Map failed 0x%X", (unsigned)hr);
    return hr;
  }
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  BYTE* destination = static_cast<BYTE*>(mapped.pData);
  const BYTE* row = firstRow;
  for (UINT y = 0; y < height; ++y) {
    memcpy(destination, row, rowBytes);
    destination += mapped.RowPitch;
    row += pitch;
  }
  pContext->Unmap(m_pFrame.Get(), 0);
  return S_OK;
}

HRESULT CompatibilityPresenter::Draw(ID3D11DeviceContext* pContext, ID3D11RenderTargetView* pTarget,
                                     const RECT& source, const RECT& destination) {
  if (pContext == nullptr || pTarget == nullptr || !m_pFrameView) return E_POINTER;
  const float black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  pContext->ClearRenderTargetView(pTarget, black);
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
  pContext->PSSetShader(m_pPixelShader.Get(), nullptr, 0);
  ID3D11ShaderResourceView* views[1] = {m_pFrameView.Get()};
  pContext->PSSetShaderResources(0, 1, views);
  ID3D11SamplerState* samplers[1] = {m_pSampler.Get()};
  pContext->PSSetSamplers(0, 1, samplers);
  pContext->Draw(4, 0);

  // Unbind the back buffer so that Present and ResizeBuffers find no outstanding binding.
  ID3D11RenderTargetView* none[1] = {nullptr};
  pContext->OMSetRenderTargets(1, none, nullptr);
  ID3D11ShaderResourceView* noViews[1] = {nullptr};
  pContext->PSSetShaderResources(0, 1, noViews);
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
