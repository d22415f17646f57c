#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>

#include "common/SourceRect.h"

namespace ORVO {
namespace MediaFoundation {

// Placement arithmetic of the video renderer: pure functions fed plain numbers, and the reading of
// a media type's display aperture.

// number × numerator / denominator in 64 bits, rounded half away from zero; -1 when the
// denominator is 0 or the result does not fit in 32 bits (the contract of Win32 MulDiv).
int MulDivRound(int number, int numerator, int denominator);

struct Ratio {
  UINT x;
  UINT y;
};

// Reduces a:b by their greatest common divisor, then halves both together while either exceeds
// 65535.
Ratio ReduceRatio(UINT a, UINT b);

// Display aspect ratio of an area of width × height with the given pixel aspect ratio; {0, 0}
// when any term is 0.
Ratio DisplayAspectRatio(UINT width, UINT height, UINT parNumerator, UINT parDenominator);

struct DisplaySize {
  int width;
  int height;
};

// Picture size after the pixel aspect ratio: height stays, width follows the display aspect ratio
// (-1 when that ratio is undefined).
DisplaySize ComputeDisplaySize(UINT areaWidth, UINT areaHeight, UINT parNumerator, UINT parDenominator);

// An MFVideoArea (16.16 fixed-point offsets) as a rectangle in frame pixels, each edge rounded half up.
RECT AreaToRect(const MFVideoArea& area);

// Scales a source rectangle given in display coordinates to a destination inside target, keeping
// its aspect ratio and centring it (black bars around). On return *source holds the same rectangle
// converted to frame pixels (inside displayArea).
RECT LetterBoxDstRect(RECT* source, const RECT& target, const RECT& displayArea, int displayWidth,
                      int displayHeight);

// The part of a displayWidth × displayHeight picture that zoom selects, in display coordinates
// (what LetterBoxDstRect takes as its source): each edge rounded to the nearest pixel, at least one
// pixel wide and high and inside the picture. An empty picture gives {0, 0, width, height}.
RECT ZoomedDisplayRect(const SourceRect& zoom, int displayWidth, int displayHeight);

// The display aperture of a video media type whose frame is width × height: the pan-scan aperture
// when pan-scan is enabled, else the minimum display aperture, else the geometric aperture, else the
// whole frame. An aperture blob of another size than MFVideoArea is MF_E_INVALIDMEDIATYPE.
HRESULT ReadDisplayAperture(IMFAttributes* pType, UINT32 width, UINT32 height, MFVideoArea* pArea);

inline bool RectEquals(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The video processor objects and the swap chain are rebuilt only when one of them is missing or
// the decoded texture's size differs from the stored frame size.
bool NeedsProcessorRebuild(bool haveEnumerator, bool haveSwapChain, UINT textureWidth, UINT textureHeight,
                           UINT frameWidth, UINT frameHeight);

// What the transform path must redo for one frame, from the placement before and after it.
struct TransformUpdate {
  bool destinationChanged;
  bool sourceChanged;
  bool updateSwapChain;    // create it, or ResizeBuffers to the new target
  bool reconfigure;        // end streaming, apply the changes below, begin streaming
  bool setOutputType;      // a new RGB32 output type of the target size
};
TransformUpdate DecideTransformUpdate(bool rebuilt, bool haveSwapChain, const RECT& previousDestination,
                                      const RECT& destination, const RECT& previousSource, const RECT& source);

}  // namespace MediaFoundation
}  // namespace ORVO
