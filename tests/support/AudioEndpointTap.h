#pragma once

#include <windows.h>
#include <strmif.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace orvo_test {

// Stands between the audio renderer and the real default endpoint: every call goes through to the
// platform, while the tap records the bytes the renderer releases to the endpoint and can inject
// the faults a real device shows (no device, a full buffer, a device that went away).
//
// Install it through WasapiRenderer::SetDeviceEnumeratorFactory(&AudioEndpointTap::CreateEnumerator).
class AudioEndpointTap {
 public:
  // Fault switches, read on every call.
  struct Faults {
    HRESULT defaultEndpoint = S_OK;  // failure returned by GetDefaultAudioEndpoint
    bool reportFull = false;         // GetCurrentPadding answers "no free frame"
    HRESULT padding = S_OK;          // failure returned by GetCurrentPadding
  };

  static HRESULT CreateEnumerator(IMMDeviceEnumerator** enumerator);

  // Clears the recording and faults.
  static void Reset();
  static Faults& faults();
  // Copy of every byte released to the endpoint, in order.
  static std::vector<uint8_t> written();
  static int audioClientsActivated();
  // The real audio client behind the most recent tapped one (for its clock); null before any.
  static IAudioClient* lastRealClient();

  // Called by the wrappers.
  static void record(const BYTE* data, size_t bytes);
  static void noteClient(IAudioClient* real);
};

}  // namespace orvo_test
