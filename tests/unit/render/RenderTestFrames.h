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

}  // namespace orvo_test
