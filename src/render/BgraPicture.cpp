#include "render/BgraPicture.h"

#include <mfapi.h>

namespace ORVO {
namespace MediaFoundation {

namespace {

BYTE ToByte(float value) {
  const float scaled = value * 255.0f + 0.5f;
  if (scaled <= 0.0f) return 0;
  if (scaled >= 255.0f) return 255;
  return static_cast<BYTE>(scaled);
}

void PutYuv(BYTE* pixel, BYTE y, BYTE u, BYTE v, const YuvColourMatrix& m) {
  const float fy = y / 255.0f, fu = u / 255.0f, fv = v / 255.0f;
  float rgb[3];
  for (int i = 0; i < 3; ++i) rgb[i] = m.rows[i][0] * fy + m.rows[i][1] * fu + m.rows[i][2] * fv + m.rows[i][3];
  pixel[0] = ToByte(rgb[2]);
  pixel[1] = ToByte(rgb[1]);
  pixel[2] = ToByte(rgb[0]);
  pixel[3] = 255;
}

}  // namespace

FrameLayout FrameLayoutOf(REFGUID subtype) {
  if (subtype == MFVideoFormat_RGB32 || subtype == MFVideoFormat_ARGB32) return FrameLayout::Rgb32;
  if (subtype == MFVideoFormat_NV12) return FrameLayout::Nv12;
  if (subtype == MFVideoFormat_I420 || subtype == MFVideoFormat_IYUV) return FrameLayout::I420;
  if (subtype == MFVideoFormat_YV12) return FrameLayout::Yv12;
  if (subtype == MFVideoFormat_YUY2) return FrameLayout::Yuy2;
  return FrameLayout::Unsupported;
}

bool MeasureBgra(uint32_t width, uint32_t height, BgraSize* size) {
  const uint64_t bytes = static_cast<uint64_t>(width) * 4 * height;
  if (width == 0 || height == 0 || bytes > UINT32_MAX) return false;
  size->width = width;
  size->height = height;
  size->stride = width * 4;
  size->bytes = static_cast<uint32_t>(bytes);
  return true;
}

bool ConvertToBgra(const LockedFrame& frame, uint32_t left, uint32_t top, const BgraSize& picture,
                   const YuvColourMatrix& matrix, BYTE* out) {
  if (frame.layout == FrameLayout::Unsupported || frame.firstRow == nullptr || picture.bytes == 0) return false;
  const uint64_t right = static_cast<uint64_t>(left) + picture.width;
  const uint64_t bottom = static_cast<uint64_t>(top) + picture.height;
  if (bottom > frame.height) return false;
  const bool rgb = frame.layout == FrameLayout::Rgb32, packed = frame.layout == FrameLayout::Yuy2;
  if (frame.pitch < 0 && !rgb) return false;
  const int64_t pitch = frame.pitch;
  const uint64_t rowDistance = static_cast<uint64_t>(pitch < 0 ? -pitch : pitch);
  // The bytes of a row the area reads: up to its right edge (YUY2: whole pixel pairs).
  const uint64_t rowBytes = rgb ? right * 4 : packed ? (right + 1) / 2 * 4 : right;
  if (rowDistance < rowBytes) return false;
  const bool planar = !rgb && !packed;
  const uint64_t codedRows = planar ? frame.length * 2 / (rowDistance * 3) : frame.height;
  if (codedRows < frame.height) return false;
  // The last byte read: the end of the area's last luma row, or of its last chroma row (NV12: one
  // plane at the luma pitch; I420 and YV12: two planes at half of it).
  const uint64_t chromaBottom = (bottom + 1) / 2, chromaRight = (right + 1) / 2;
  uint64_t needed = rowDistance * (bottom - 1) + rowBytes;
  if (frame.layout == FrameLayout::Nv12) {
    needed = rowDistance * (codedRows + chromaBottom - 1) + chromaRight * 2;
  } else if (planar) {
    needed = rowDistance * codedRows + rowDistance / 2 * ((codedRows + 1) / 2 + chromaBottom - 1) + chromaRight;
  }
  if (frame.length < needed) return false;

  const BYTE* chroma = frame.firstRow + rowDistance * codedRows;
  const uint64_t chromaPitch = rowDistance / 2;
  const BYTE* secondChroma = chroma + chromaPitch * ((codedRows + 1) / 2);
  const BYTE* uPlane = frame.layout == FrameLayout::Yv12 ? secondChroma : chroma;
  const BYTE* vPlane = frame.layout == FrameLayout::Yv12 ? chroma : secondChroma;
  for (uint32_t row = 0; row < picture.height; ++row) {
    const uint32_t y = top + row;
    const BYTE* source = frame.firstRow + static_cast<int64_t>(frame.pitch) * y;
    BYTE* pixel = out + static_cast<uint64_t>(picture.stride) * row;
    for (uint32_t column = 0; column < picture.width; ++column, pixel += 4) {
      const uint32_t x = left + column;
      switch (frame.layout) {
        case FrameLayout::Rgb32:
          pixel[0] = source[x * 4];
          pixel[1] = source[x * 4 + 1];
          pixel[2] = source[x * 4 + 2];
          pixel[3] = 255;  // the fourth byte of RGB32 is undefined
          break;
        case FrameLayout::Yuy2: {
          const BYTE* pair = source + x / 2 * 4;  // Y0 U Y1 V
          PutYuv(pixel, pair[(x % 2) * 2], pair[1], pair[3], matrix);
          break;
        }
        case FrameLayout::Nv12: {
          const BYTE* uv = chroma + rowDistance * (y / 2) + x / 2 * 2;
          PutYuv(pixel, source[x], uv[0], uv[1], matrix);
          break;
        }
        default: {
          const uint64_t at = chromaPitch * (y / 2) + x / 2;
          PutYuv(pixel, source[x], uPlane[at], vPlane[at], matrix);
          break;
        }
      }
    }
  }
  return true;
}

}  // namespace MediaFoundation
}  // namespace ORVO
