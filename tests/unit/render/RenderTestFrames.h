#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <cstring>

namespace orvo_test {

// Colours of the four quadrants of the test pattern, as 0xAARRGGBB (RGB32 stores B, G, R, X).
constexpr UINT32 kTopLeft = 0xFFFF0000;      // red
constexpr UINT32 kTopRight = 0xFF00FF00;     // green
constexpr UINT32 kBottomLeft = 0xFF0000FF;   // blue
constexpr UINT32 kBottomRight = 0xFFFFFF00;  // yellow

inline Microsoft::WRL::ComPtr<IMFMediaType> Rgb32Type(UINT32 width, UINT32 height, UINT32 parX = 1, UINT32 parY = 1) {
  Microsoft::WRL::ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
  MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height);
  MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, parX, parY);
  MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
  type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  return type;
}

// A system-memory RGB32 sample: four coloured quadrants split at (splitX, splitY), top-down rows.
inline Microsoft::WRL::ComPtr<IMFSample> QuadrantSample(UINT32 width, UINT32 height, UINT32 splitX, UINT32 splitY,
                                                        bool bottomUp = false) {
  Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
  const DWORD size = width * height * 4;
  if (FAILED(MFCreateMemoryBuffer(size, &buffer))) return nullptr;
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  for (UINT32 y = 0; y < height; ++y) {
    UINT32* row = reinterpret_cast<UINT32*>(data + static_cast<size_t>(bottomUp ? height - 1 - y : y) * width * 4);
    for (UINT32 x = 0; x < width; ++x) {
      row[x] = y < splitY ? (x < splitX ? kTopLeft : kTopRight) : (x < splitX ? kBottomLeft : kBottomRight);
    }
  }
  buffer->Unlock();
  buffer->SetCurrentLength(size);
  Microsoft::WRL::ComPtr<IMFSample> sample;
  MFCreateSample(&sample);
  sample->AddBuffer(buffer.Get());
  sample->SetSampleTime(0);
  sample->SetSampleDuration(333333);
  return sample;
}

// One of the quadrant colours as BT.601 limited-range codes (what SD frames carry when their type
// names no matrix): Y = 16 + 219 E'y, U/V = 128 + 224 E'pb/E'pr.
inline void Bt601Codes(UINT32 argb, BYTE* y, BYTE* u, BYTE* v) {
  const double r = ((argb >> 16) & 0xFF) / 255.0, g = ((argb >> 8) & 0xFF) / 255.0, b = (argb & 0xFF) / 255.0;
  const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
  auto code = [](double value) { return static_cast<BYTE>(value < 0 ? 0 : value > 255 ? 255 : value + 0.5); };
  *y = code(16 + 219 * luma);
  *u = code(128 + 224 * (b - luma) / 1.772);
  *v = code(128 + 224 * (r - luma) / 1.402);
}

// The quadrant picture as a system-memory NV12, I420 or YUY2 sample of width x codedHeight,
// packed rows; rows from splitY on down are the bottom quadrants, rows from height on are
// decoder padding painted white.
inline Microsoft::WRL::ComPtr<IMFSample> YuvQuadrantSample(const GUID& subtype, UINT32 width, UINT32 codedHeight,
                                                           UINT32 splitX, UINT32 splitY, UINT32 height) {
  const bool packed = subtype == MFVideoFormat_YUY2;
  const DWORD lumaBytes = width * codedHeight, size = packed ? lumaBytes * 2 : lumaBytes * 3 / 2;
  Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(MFCreateMemoryBuffer(size, &buffer))) return nullptr;
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  auto colourAt = [&](UINT32 x, UINT32 y) {
    if (y >= height) return 0xFFFFFFFFu;
    return y < splitY ? (x < splitX ? kTopLeft : kTopRight) : (x < splitX ? kBottomLeft : kBottomRight);
  };
  for (UINT32 y = 0; y < codedHeight; ++y) {
    for (UINT32 x = 0; x < width; ++x) {
      BYTE luma, u, v;
      Bt601Codes(colourAt(x, y), &luma, &u, &v);
      if (packed) {
        BYTE* pair = data + (static_cast<size_t>(y) * width + (x & ~1u)) * 2;
        pair[(x & 1) * 2] = luma;
        pair[1] = u;
        pair[3] = v;
        continue;
      }
      data[static_cast<size_t>(y) * width + x] = luma;
      if ((x & 1) || (y & 1)) continue;
      const size_t cy = y / 2, cx = x / 2;
      if (subtype == MFVideoFormat_NV12) {
        data[lumaBytes + cy * width + cx * 2] = u;
        data[lumaBytes + cy * width + cx * 2 + 1] = v;
      } else {
        data[lumaBytes + cy * (width / 2) + cx] = u;
        data[lumaBytes + lumaBytes / 4 + cy * (width / 2) + cx] = v;
      }
    }
  }
  buffer->Unlock();
  buffer->SetCurrentLength(size);
  Microsoft::WRL::ComPtr<IMFSample> sample;
  MFCreateSample(&sample);
  sample->AddBuffer(buffer.Get());
  return sample;
}

}  // namespace orvo_test
