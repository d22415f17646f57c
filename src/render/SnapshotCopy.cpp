#include "render/SnapshotCopy.h"

#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>

#include "common/CriticalSectionGuard.h"
#include "log/Log.h"
#include "render/VideoGeometry.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

// How long a read waits for the copy in video memory before it gives up; a healthy device takes
// a frame interval or two, a software rasteriser under load a few.
constexpr ULONGLONG kCopyBoundMs = 1000;

// What a texture holds, told by its own format rather than the type's subtype.
FrameLayout TextureLayout(DXGI_FORMAT format) {
  switch (format) {
    case DXGI_FORMAT_B8G8R8A8_UNORM:
    case DXGI_FORMAT_B8G8R8X8_UNORM:
      return FrameLayout::Rgb32;
    case DXGI_FORMAT_NV12:
      return FrameLayout::Nv12;
    case DXGI_FORMAT_YUY2:
      return FrameLayout::Yuy2;
    default:
      return FrameLayout::Unsupported;
  }
}

// The bytes of a row of width pixels in the first plane.
uint64_t LumaRowBytes(FrameLayout layout, uint32_t width) {
  if (layout == FrameLayout::Rgb32) return static_cast<uint64_t>(width) * 4;
  if (layout == FrameLayout::Yuy2) return (static_cast<uint64_t>(width) + 1) / 2 * 4;
  return width;
}

// The part of the frame the renderer shows: its display aperture (ReadDisplayAperture: pan-scan,
// minimum display or geometric) where it lies inside the frame (a 640x360 picture decodes as 368
// rows), else the whole frame.
void PictureArea(IMFMediaType* type, uint32_t width, uint32_t height, uint32_t* left, uint32_t* top,
                 uint32_t* areaWidth, uint32_t* areaHeight) {
  *left = *top = 0;
  *areaWidth = width;
  *areaHeight = height;
  MFVideoArea aperture = {};
  if (FAILED(ReadDisplayAperture(type, width, height, &aperture))) return;
  const LONG x = aperture.OffsetX.value, y = aperture.OffsetY.value;
  if (x < 0 || y < 0 || aperture.Area.cx <= 0 || aperture.Area.cy <= 0 ||
      static_cast<uint64_t>(x) + aperture.Area.cx > width || static_cast<uint64_t>(y) + aperture.Area.cy > height) {
    return;
  }
  *left = static_cast<uint32_t>(x);
  *top = static_cast<uint32_t>(y);
  *areaWidth = static_cast<uint32_t>(aperture.Area.cx);
  *areaHeight = static_cast<uint32_t>(aperture.Area.cy);
}

}  // namespace

SnapshotCopy::SnapshotCopy() { InitializeCriticalSection(&m_lock); }

SnapshotCopy::~SnapshotCopy() { DeleteCriticalSection(&m_lock); }

void SnapshotCopy::Drawn(IMFSample* sample, IMFMediaType* type) {
  m_drawn = sample;
  m_drawnType = type;
}

void SnapshotCopy::Presented() {
  if (!m_drawn) return;
  // The previous picture is released outside the lock: its last reference may return a frame to a
  // pool or free a texture.
  ComPtr<IMFSample> previous;
  ComPtr<IMFMediaType> previousType;
  CriticalSectionGuard guard(&m_lock);
  previous.Swap(m_presented);
  previousType.Swap(m_presentedType);
  m_presented.Swap(m_drawn);
  m_presentedType.Swap(m_drawnType);
}

void SnapshotCopy::Forget() {
  ComPtr<IMFSample> presented;
  ComPtr<IMFMediaType> presentedType;
  m_drawn.Reset();
  m_drawnType.Reset();
  CriticalSectionGuard guard(&m_lock);
  presented.Swap(m_presented);
  presentedType.Swap(m_presentedType);
}

HRESULT SnapshotCopy::Read(BYTE* pixels, uint32_t capacity, BgraSize* size) {
  ComPtr<IMFSample> sample;
  ComPtr<IMFMediaType> type;
  {
    CriticalSectionGuard guard(&m_lock);
    sample = m_presented;
    type = m_presentedType;
  }
  if (!sample || !type) return MF_E_NOT_INITIALIZED;

  UINT32 width = 0, height = 0;
  MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height);
  uint32_t left = 0, top = 0, areaWidth = 0, areaHeight = 0;
  PictureArea(type.Get(), width, height, &left, &top, &areaWidth, &areaHeight);
  if (!MeasureBgra(areaWidth, areaHeight, size)) {
    ORVO_LOG_DEBUG("SnapshotCopy::Read[%p]: picture of %ux%u failed 0x%X", this, areaWidth, areaHeight,
                   (unsigned)MF_E_INVALIDMEDIATYPE);
    return MF_E_INVALIDMEDIATYPE;
  }
  if (pixels == nullptr || capacity < size->bytes) return MF_E_BUFFERTOOSMALL;

  GUID subtype = GUID_NULL;
  type->GetGUID(MF_MT_SUBTYPE, &subtype);
  LockedFrame frame;
  frame.layout = FrameLayoutOf(subtype);
  frame.height = height;
  const YuvColourMatrix matrix = YuvColourMatrixForType(type.Get(), height);
  ComPtr<IMFMediaBuffer> buffer;
  ORVO_RETURN_IF_FAILED(sample->GetBufferByIndex(0, &buffer), "SnapshotCopy::Read[%p]: GetBufferByIndex", this);

  HRESULT hr = S_OK;
  bool converted = false;
  ComPtr<IMFDXGIBuffer> dxgiBuffer;
  ComPtr<IMF2DBuffer2> buffer2D;
  BYTE *data = nullptr, *start = nullptr;
  LONG pitch = 0;
  DWORD length = 0, maxLength = 0;
  if (SUCCEEDED(buffer.As(&dxgiBuffer))) {
    std::vector<BYTE> copy;
    hr = readTexture(dxgiBuffer.Get(), &copy, &frame);
    if (FAILED(hr)) return hr;
    converted = ConvertToBgra(frame, left, top, *size, matrix, pixels);
  } else if (SUCCEEDED(buffer.As(&buffer2D)) &&
             SUCCEEDED(buffer2D->Lock2DSize(MF2DBuffer_LockFlags_Read, &data, &pitch, &start, &length))) {
    frame.firstRow = data;
    frame.pitch = pitch;
    // A bottom-up buffer's first row lies at its end: all of it counts.
    frame.length = pitch < 0 ? length : length - static_cast<uint64_t>(data - start);
    converted = ConvertToBgra(frame, left, top, *size, matrix, pixels);
    buffer2D->Unlock2D();
  } else {
    ORVO_RETURN_IF_FAILED(buffer->Lock(&data, &maxLength, &length), "SnapshotCopy::Read[%p]: Lock", this);
    // A plain buffer: packed rows, or the type's default stride (bottom-up when negative, RGB32 only),
    // as the renderer reads it.
    const uint64_t rowBytes = LumaRowBytes(frame.layout, width);
    int64_t stride = static_cast<int64_t>(rowBytes);
    UINT32 typeStride = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &typeStride))) {
      const int64_t signedStride = static_cast<INT32>(typeStride);
      const uint64_t magnitude = static_cast<uint64_t>(signedStride < 0 ? -signedStride : signedStride);
      if (magnitude >= rowBytes && (signedStride > 0 || frame.layout == FrameLayout::Rgb32)) stride = signedStride;
    }
    const uint64_t rowDistance = static_cast<uint64_t>(stride < 0 ? -stride : stride);
    frame.firstRow = stride < 0 && height > 0 ? data + rowDistance * (height - 1) : data;
    frame.pitch = static_cast<LONG>(stride);
    frame.length = length;
    converted = ConvertToBgra(frame, left, top, *size, matrix, pixels);
    buffer->Unlock();
  }
  if (!converted) {
    hr = MF_E_INVALIDMEDIATYPE;
    ORVO_LOG_DEBUG("SnapshotCopy::Read[%p]: converting a %ux%u frame (layout %d, pitch %ld, %llu bytes) failed 0x%X",
                   this, width, height, static_cast<int>(frame.layout), (long)frame.pitch,
                   static_cast<unsigned long long>(frame.length), (unsigned)hr);
  }
  return hr;
}

HRESULT SnapshotCopy::readTexture(IMFDXGIBuffer* buffer, std::vector<BYTE>* copy, LockedFrame* frame) {
  ComPtr<ID3D11Texture2D> texture;
  ORVO_RETURN_IF_FAILED(buffer->GetResource(IID_PPV_ARGS(&texture)),
                        "SnapshotCopy::Read[%p]: GetResource(ID3D11Texture2D)", this);
  UINT subresource = 0;
  ORVO_RETURN_IF_FAILED(buffer->GetSubresourceIndex(&subresource), "SnapshotCopy::Read[%p]: GetSubresourceIndex",
                        this);
  D3D11_TEXTURE2D_DESC desc = {};
  texture->GetDesc(&desc);
  frame->layout = TextureLayout(desc.Format);
  if (frame->layout == FrameLayout::Unsupported) {
    ORVO_LOG_DEBUG("SnapshotCopy::Read[%p]: texture format %u failed 0x%X", this, (unsigned)desc.Format,
                   (unsigned)MF_E_INVALIDMEDIATYPE);
    return MF_E_INVALIDMEDIATYPE;
  }
  ComPtr<ID3D11Device> device;
  texture->GetDevice(&device);
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  ComPtr<ID3D10Multithread> multithread;
  ORVO_RETURN_IF_FAILED(context.As(&multithread), "SnapshotCopy::Read[%p]: QueryInterface(ID3D10Multithread)", this);

  D3D11_TEXTURE2D_DESC stagingDesc = desc;
  stagingDesc.MipLevels = 1;
  stagingDesc.ArraySize = 1;
  stagingDesc.SampleDesc = {1, 0};
  stagingDesc.Usage = D3D11_USAGE_STAGING;
  stagingDesc.BindFlags = 0;
  stagingDesc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  stagingDesc.MiscFlags = 0;
  ComPtr<ID3D11Texture2D> staging;
  ORVO_RETURN_IF_FAILED(device->CreateTexture2D(&stagingDesc, nullptr, &staging),
                        "SnapshotCopy::Read[%p]: CreateTexture2D(staging)", this);

  multithread->Enter();
  context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, texture.Get(), subresource, nullptr);
  context->Flush();
  multithread->Leave();

  // NV12 maps as its luma rows followed by half as many chroma rows, at the same pitch.
  const uint64_t rows = frame->layout == FrameLayout::Nv12 ? desc.Height + (desc.Height + 1) / 2 : desc.Height;
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  HRESULT hr = DXGI_ERROR_WAS_STILL_DRAWING;
  const ULONGLONG deadline = GetTickCount64() + kCopyBoundMs;
  for (;;) {
    // Without waiting: the protection is let go between tries, so nobody waits for the copy's end.
    multithread->Enter();
    hr = context->Map(staging.Get(), 0, D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT, &mapped);
    if (SUCCEEDED(hr)) {
      const BYTE* first = static_cast<const BYTE*>(mapped.pData);
      copy->assign(first, first + static_cast<uint64_t>(mapped.RowPitch) * rows);
      context->Unmap(staging.Get(), 0);
    }
    multithread->Leave();
    if (hr != DXGI_ERROR_WAS_STILL_DRAWING || GetTickCount64() >= deadline) break;
    Sleep(1);
  }
  if (LogIfFailed(hr, "SnapshotCopy::Read[%p]: Map(staging)", this)) return hr;
  frame->firstRow = copy->data();
  frame->pitch = static_cast<LONG>(mapped.RowPitch);
  frame->length = copy->size();
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
