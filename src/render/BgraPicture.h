#pragma once

#include <windows.h>

#include <cstdint>

#include "render/YuvColourMatrix.h"

namespace ORVO {
namespace MediaFoundation {

// Turning a decoded frame into the 32-bit BGRA picture a host asks GetSnapshot for: plain
// arithmetic on bytes already read, no platform calls, so any thread may run it.

// The frame layouts the renderer presents, and so the ones a snapshot is made from.
enum class FrameLayout { Rgb32, Nv12, I420, Yv12, Yuy2, Unsupported };
FrameLayout FrameLayoutOf(REFGUID subtype);

// A BGRA picture of width x height with packed rows: stride = width * 4, bytes = stride * height.
struct BgraSize {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t stride = 0;
  uint32_t bytes = 0;
};
// False for an empty picture and for one whose bytes do not fit in 32 bits.
bool MeasureBgra(uint32_t width, uint32_t height, BgraSize* size);

// A frame as it lies in memory. firstRow is the top row; pitch the distance to the next row
// (negative for a bottom-up RGB32 frame); length the bytes that may be read: from firstRow on, or
// for a bottom-up frame from its last row in memory on. 4:2:0 chroma follows the luma plane's
// coded rows, which decoders round up to whole macroblocks (a 640x360 frame arrives as 640x368),
// so its place comes from the length: the buffer holds 1.5 luma planes of coded rows.
struct LockedFrame {
  FrameLayout layout = FrameLayout::Unsupported;
  const BYTE* firstRow = nullptr;
  LONG pitch = 0;
  uint64_t length = 0;
  uint32_t height = 0;  // the frame's rows
};

// Converts the part of the frame at (left, top), of picture's size, into picture.bytes at out,
// with matrix for YUV. False when the layout is unsupported or the frame's bytes do not hold that
// part; out is then left as it was.
bool ConvertToBgra(const LockedFrame& frame, uint32_t left, uint32_t top, const BgraSize& picture,
                   const YuvColourMatrix& matrix, BYTE* out);

}  // namespace MediaFoundation
}  // namespace ORVO
