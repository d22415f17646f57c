#pragma once

#include <cmath>

namespace ORVO {

// The part of the picture a player shows (digital zoom), in normalised coordinates of the picture
// after its display aperture and pixel aspect ratio: {0, 0, 1, 1} is the whole picture. The part
// fills the window as the whole picture would: aspect ratio kept, black bars around.
struct SourceRect {
  double left = 0.0;
  double top = 0.0;
  double right = 1.0;
  double bottom = 1.0;
};

// Finite edges inside [0, 1] with left < right and top < bottom.
inline bool IsValidSourceRect(const SourceRect& r) {
  const double edges[4] = {r.left, r.top, r.right, r.bottom};
  for (double edge : edges) {
    if (!std::isfinite(edge) || edge < 0.0 || edge > 1.0) return false;
  }
  return r.left < r.right && r.top < r.bottom;
}

inline bool IsWholePicture(const SourceRect& r) {
  return r.left == 0.0 && r.top == 0.0 && r.right == 1.0 && r.bottom == 1.0;
}

}  // namespace ORVO
