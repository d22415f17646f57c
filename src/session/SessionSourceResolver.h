#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <vector>

#include "common/PlayerTypes.h"

namespace ORVO {
namespace MediaFoundation {

// Turns the URI the host opens into a media source: the host-fed OrvoSource for the exact scheme
// "orvo", the platform's source resolver for everything else (files, network streams, and "ORVO://"
// too, which the platform then refuses).
//
// Runs on the host thread that opens the engine, under the engine's lock; it keeps no state.
class SessionSourceResolver {
 public:
  // logOwner: the engine, whose address the log lines carry.
  explicit SessionSourceResolver(const void* logOwner) : m_logOwner(logOwner) {}

  HRESULT Resolve(int playerId, const wchar_t* uri,
                  const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                  RequestDataCallback callback, IMFMediaSource** source) const;

 private:
  HRESULT openHostSource(int playerId, const wchar_t* uri,
                         const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& streamDescriptors,
                         RequestDataCallback callback, IMFMediaSource** source) const;
  HRESULT resolveWithPlatform(const wchar_t* uri, IMFMediaSource** source) const;

  const void* m_logOwner;
};

}  // namespace MediaFoundation
}  // namespace ORVO
