#include "render/VideoGeometry.h"

#include <mfapi.h>
#include <mferror.h>

#include <cmath>
#include <cstdlib>

namespace ORVO {
namespace MediaFoundation {

namespace {

UINT Gcd(UINT a, UINT b) {
  while (b != 0) {
    UINT t = a % b;
    a = b;
    b = t;
  }
  return a;
}

}  // namespace

int MulDivRound(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  int64_t product = static_cast<int64_t>(number) * numerator;
  int64_t d = denominator;
  bool negative = (product < 0) != (d < 0);
  int64_t p = product < 0 ? -product : product;
  int64_t q = d < 0 ? -d : d;
  int64_t result = (p + q / 2) / q;
  if (negative) result = -result;
  if (result > INT32_MAX || result < INT32_MIN) return -1;
  return static_cast<int>(result);
}

Ratio ReduceRatio(UINT a, UINT b) {
  UINT g = Gcd(a, b);
  if (g > 1) {
    a /= g;
    b /= g;
  }
  while (a > 65535 || b > 65535) {
    a >>= 1;
    b >>= 1;
  }
  return {a, b};
}

Ratio DisplayAspectRatio(UINT width, UINT height, UINT parNumerator, UINT parDenominator) {
  if (width == 0 || height == 0 || parNumerator == 0 || parDenominator == 0) return {0, 0};
  Ratio size = ReduceRatio(width, height);
  Ratio par = ReduceRatio(parNumerator, parDenominator);
  // Both factors are at most 65535 after reduction, so the products fit in 32 bits.
  UINT x = size.x * par.x;
  UINT y = size.y * par.y;
  UINT g = Gcd(x, y);
  if (g > 1) {
    x /= g;
    y /= g;
  }
  return {x, y};
}

DisplaySize ComputeDisplaySize(UINT areaWidth, UINT areaHeight, UINT parNumerator, UINT parDenominator) {
  Ratio ratio = DisplayAspectRatio(areaWidth, areaHeight, parNumerator, parDenominator);
  DisplaySize size;
  size.height = static_cast<int>(areaHeight);
  // width × height × x / (width × y) simplifies to height × x / y; computed in 64 bits it cannot
  // overflow where the product of the frame's sides would.
  if (ratio.y == 0) {
    size.width = -1;
  } else {
    int64_t w = (static_cast<int64_t>(areaHeight) * ratio.x * 2 + ratio.y) / (2 * static_cast<int64_t>(ratio.y));
    size.width = w > INT32_MAX ? -1 : static_cast<int>(w);
  }
  return size;
}

RECT AreaToRect(const MFVideoArea& area) {
  double x = area.OffsetX.value + area.OffsetX.fract / 65536.0;
  double y = area.OffsetY.value + area.OffsetY.fract / 65536.0;
  RECT r;
  r.left = static_cast<LONG>(x + 0.5);
  r.top = static_cast<LONG>(y + 0.5);
  r.right = static_cast<LONG>(area.Area.cx + x + 0.5);
  r.bottom = static_cast<LONG>(area.Area.cy + y + 0.5);
  return r;
}

RECT LetterBoxDstRect(RECT* source, const RECT& target, const RECT& displayArea, int displayWidth,
                      int displayHeight) {
  const RECT original = *source;
  int areaWidth = displayArea.right - displayArea.left;
  int areaHeight = displayArea.bottom - displayArea.top;
  source->left = MulDivRound(original.left, areaWidth, displayWidth) + displayArea.left;
  source->right = MulDivRound(original.right, areaWidth, displayWidth) + displayArea.left;
  source->top = MulDivRound(original.top, areaHeight, displayHeight) + displayArea.top;
  source->bottom = MulDivRound(original.bottom, areaHeight, displayHeight) + displayArea.top;

  int sw = original.right - original.left;
  int sh = original.bottom - original.top;
  int tw = target.right - target.left;
  int th = target.bottom - target.top;
  int w, h;
  if (MulDivRound(sw, th, sh) > tw) {
    w = tw;
    h = MulDivRound(tw, sh, sw);
  } else {
    w = MulDivRound(th, sw, sh);
    h = th;
  }
  RECT dst;
  dst.left = target.left + (tw - w) / 2;
  dst.top = target.top + (th - h) / 2;
  dst.right = dst.left + w;
  dst.bottom = dst.top + h;
  return dst;
}

namespace {

// One side of ZoomedDisplayRect: [from, to] of a side of size pixels.
void ZoomSpan(double from, double to, int size, LONG* low, LONG* high) {
  if (size <= 0) {
    *low = 0;
    *high = size;
    return;
  }
  LONG a = static_cast<LONG>(std::floor(from * size + 0.5));
  LONG b = static_cast<LONG>(std::floor(to * size + 0.5));
  if (a > size - 1) a = size - 1;
  if (a < 0) a = 0;
  if (b > size) b = size;
  if (b < a + 1) b = a + 1;
  *low = a;
  *high = b;
}

}  // namespace

RECT ZoomedDisplayRect(const SourceRect& zoom, int displayWidth, int displayHeight) {
  RECT r;
  ZoomSpan(zoom.left, zoom.right, displayWidth, &r.left, &r.right);
  ZoomSpan(zoom.top, zoom.bottom, displayHeight, &r.top, &r.bottom);
  return r;
}

HRESULT ReadDisplayAperture(IMFAttributes* pType, UINT32 width, UINT32 height, MFVideoArea* pArea) {
  const GUID* apertures[3];
  int count = 0;
  if (MFGetAttributeUINT32(pType, MF_MT_PAN_SCAN_ENABLED, 0) != 0) apertures[count++] = &MF_MT_PAN_SCAN_APERTURE;
  apertures[count++] = &MF_MT_MINIMUM_DISPLAY_APERTURE;
  apertures[count++] = &MF_MT_GEOMETRIC_APERTURE;
  for (int i = 0; i < count; ++i) {
    MFVideoArea area = {};
    UINT32 size = 0;
    HRESULT hr = pType->GetBlob(*apertures[i], reinterpret_cast<UINT8*>(&area), sizeof(area), &size);
    if (hr == MF_E_ATTRIBUTENOTFOUND) continue;
    // A shorter blob "succeeds" and would leave part of the area unset.
    if (SUCCEEDED(hr) && size != sizeof(area)) hr = MF_E_INVALIDMEDIATYPE;
    if (SUCCEEDED(hr)) *pArea = area;
    return hr;
  }
  *pArea = {};
  pArea->Area.cx = static_cast<LONG>(width);
  pArea->Area.cy = static_cast<LONG>(height);
  return S_OK;
}

bool NeedsProcessorRebuild(bool haveEnumerator, bool haveSwapChain, UINT textureWidth, UINT textureHeight,
                           UINT frameWidth, UINT frameHeight) {
  return !haveEnumerator || !haveSwapChain || textureWidth != frameWidth || textureHeight != frameHeight;
}

TransformUpdate DecideTransformUpdate(bool rebuilt, bool haveSwapChain, const RECT& previousDestination,
                                      const RECT& destination, const RECT& previousSource, const RECT& source) {
  TransformUpdate update;
  update.destinationChanged = !RectEquals(previousDestination, destination);
  update.sourceChanged = !RectEquals(previousSource, source);
  update.updateSwapChain = !haveSwapChain || update.destinationChanged;
  update.reconfigure = rebuilt || update.destinationChanged || update.sourceChanged;
  update.setOutputType = rebuilt || update.destinationChanged;
  return update;
}

}  // namespace MediaFoundation
}  // namespace ORVO
