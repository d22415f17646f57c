#pragma once

#include <wrl/client.h>

namespace ORVO {

// Takes over a reference the caller already owns (a freshly created object, an out parameter that
// was filled by hand). Use this instead of ComPtr::Attach: mingw-w64's Attach adds a reference of
// its own, unlike the platform's, so an object attached with it is never freed.
template <typename T>
Microsoft::WRL::ComPtr<T> AdoptRef(T* object) {
  Microsoft::WRL::ComPtr<T> owner;
  *owner.GetAddressOf() = object;
  return owner;
}

}  // namespace ORVO
