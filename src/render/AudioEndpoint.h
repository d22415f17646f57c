#pragma once

#include <windows.h>
// strmif.h before mmdeviceapi.h and audioclient.h: see WasapiRenderer.h.
#include <strmif.h>
#include <mmdeviceapi.h>

#include <string>

namespace ORVO {
namespace MediaFoundation {

// Finds the render endpoint a host chose by its id (IMMDevice::GetId, as SetAudioOutputDevice
// takes it), for both engines' audio. An empty id stands for the default console render endpoint.
class AudioEndpoint {
 public:
  // The endpoint with the id, or the default console one for an empty id. Fails with the
  // platform's answer when no endpoint has the id, and with AUDCLNT_E_DEVICE_INVALIDATED when it
  // exists but is not active (disabled, unplugged). Logs nothing: the caller decides what a missing
  // endpoint means.
  static HRESULT Find(IMMDeviceEnumerator* enumerator, const std::wstring& id, IMMDevice** device);
  // Whether the endpoint can play now: found, active, and a shared-mode client opens on it with its
  // mix format. Some platforms keep the id and the active state of an endpoint whose device went
  // away (Wine with PulseAudio, when a sink is removed); only opening a client tells. Logs nothing.
  // COM must be initialised on the calling thread.
  static HRESULT CanPlay(const std::wstring& id);
};

}  // namespace MediaFoundation
}  // namespace ORVO
