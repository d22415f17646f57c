#pragma once

#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

namespace ORVO {
namespace MediaFoundation {

// Looks a service of the session up. MFGetService may succeed without an interface (Wine's
// MR_VIDEO_MIXER_SERVICE does): a null result counts as absent, so callers can rely on
// "succeeded" meaning "usable".
template <typename T>
HRESULT GetSessionService(IUnknown* object, REFGUID service, Microsoft::WRL::ComPtr<T>& out) {
  out.Reset();
  if (!object) return E_POINTER;
  HRESULT hr = MFGetService(object, service, __uuidof(T), reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
  if (SUCCEEDED(hr) && !out) hr = E_NOINTERFACE;
  if (FAILED(hr)) out.Reset();
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
