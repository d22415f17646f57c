#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>

namespace ORVO {
namespace MediaFoundation {

// Pure placement arithmetic of the video renderer: no platform calls, fed plain numbers.

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

inline bool RectEquals(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// Why ProcessFrame re-creates the device, if it does.
enum class RecreationReason { None, MonitorChanged, Forced, Period };

// The re-creation rule: only while a device exists; a monitor change first, then the force flag,
// then the period (non-zero) reached by the process-wide frame counter.
RecreationReason DeviceRecreationReason(bool hasDevice, bool monitorChanged, bool forceRecreation,
                                        UINT recreationPeriod, UINT frameCounter);

// Driver type for a re-creation: the period toggles the process-wide creation mode between a
// plain hardware device (1) and wrapper mode (5); other reasons keep the current mode.
UINT NextDeviceCreationMode(RecreationReason reason, UINT currentMode);

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
