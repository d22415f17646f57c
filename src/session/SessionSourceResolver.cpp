#include "session/SessionSourceResolver.h"

#include <mfapi.h>

#include "common/Uri.h"
#include "log/Log.h"
#include "source/OrvoSource.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

HRESULT SessionSourceResolver::Resolve(int playerId, const wchar_t* uri,
                                       const std::vector<ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                                       RequestDataCallback callback, IMFMediaSource** source) const {
  *source = nullptr;
  const Common::Uri parsed(Common::Uri::ToUtf8(uri));
  // Only the exact lower-case scheme is host-fed; "ORVO://" goes to the platform like any other URI.
  if (parsed.scheme() == "orvo") return openHostSource(playerId, uri, streamDescriptors, callback, source);
  return resolveWithPlatform(uri, source);
}

HRESULT SessionSourceResolver::resolveWithPlatform(const wchar_t* uri, IMFMediaSource** source) const {
  ComPtr<IMFSourceResolver> resolver;
  ComPtr<IUnknown> object;
  MF_OBJECT_TYPE objectType = MF_OBJECT_INVALID;
  ORVO_RETURN_IF_FAILED(MFCreateSourceResolver(&resolver),
                        "MediaFoundationPlayer::ResolveSource[%p]: MFCreateSourceResolver", m_logOwner);
  ORVO_RETURN_IF_FAILED(resolver->CreateObjectFromURL(uri, MF_RESOLUTION_MEDIASOURCE, nullptr, &objectType, &object),
                        "MediaFoundationPlayer::ResolveSource[%p]: CreateObjectFromURL", m_logOwner);
  if (!object) return E_UNEXPECTED;
  const HRESULT hr = object->QueryInterface(IID_PPV_ARGS(source));
  LogIfFailed(hr, "MediaFoundationPlayer::ResolveSource[%p]: QueryInterface(IMFMediaSource)", m_logOwner);
  return hr;
}

HRESULT SessionSourceResolver::openHostSource(int playerId, const wchar_t* uri,
                                              const std::vector<ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                                              RequestDataCallback callback, IMFMediaSource** source) const {
  ComPtr<OrvoSource> hostSource;
  HRESULT hr = OrvoSource::CreateInstance(hostSource.GetAddressOf());
  if (SUCCEEDED(hr) && !hostSource) hr = E_UNEXPECTED;
  if (LogIfFailed(hr, "MediaFoundationPlayer::ResolveSource[%p]: OrvoSource::CreateInstance", m_logOwner)) return hr;
  hr = hostSource->Open(playerId, uri, streamDescriptors, callback);
  if (SUCCEEDED(hr)) {
    hr = hostSource->QueryInterface(IID_PPV_ARGS(source));
    LogIfFailed(hr, "MediaFoundationPlayer::ResolveSource[%p]: QueryInterface(IMFMediaSource)", m_logOwner);
  } else {
    LogIfFailed(hr, "MediaFoundationPlayer::ResolveSource[%p]: OrvoSource::Open", m_logOwner);
  }
  // The streams hold the source until it is shut down.
  if (FAILED(hr)) hostSource->Shutdown();
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
