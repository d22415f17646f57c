#pragma once

#include <wrl/client.h>

namespace ORVO {

// Takes over a reference that the caller already owns, without adding one. mingw-w64's
// ComPtr::Attach adds a reference (Microsoft's does not), so code that adopts an owned pointer
// with Attach leaks one reference per call on this toolchain; use this instead.
template <typename T>
Microsoft::WRL::ComPtr<T> AdoptComPtr(T* owned) {
  Microsoft::WRL::ComPtr<T> adopted;
  *adopted.GetAddressOf() = owned;
  return adopted;
}

}  // namespace ORVO
