#include "render/AudioEndpoint.h"

#include <audioclient.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

HRESULT AudioEndpoint::Find(IMMDeviceEnumerator* enumerator, const std::wstring& id, IMMDevice** device) {
  *device = nullptr;
  if (!enumerator) return E_POINTER;
  if (id.empty()) return enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device);
  ComPtr<IMMDevice> found;
  HRESULT hr = enumerator->GetDevice(id.c_str(), &found);
  if (FAILED(hr)) return hr;
  if (!found) return E_NOINTERFACE;
  DWORD state = 0;
  hr = found->GetState(&state);
  if (FAILED(hr)) return hr;
  if (state != DEVICE_STATE_ACTIVE) return AUDCLNT_E_DEVICE_INVALIDATED;
  *device = found.Detach();
  return S_OK;
}

HRESULT AudioEndpoint::CanPlay(const std::wstring& id) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
  if (FAILED(hr)) return hr;
  ComPtr<IMMDevice> device;
  hr = Find(enumerator.Get(), id, &device);
  if (FAILED(hr)) return hr;
  ComPtr<IAudioClient> client;
  hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(client.GetAddressOf()));
  if (FAILED(hr)) return hr;
  WAVEFORMATEX* mixFormat = nullptr;
  hr = client->GetMixFormat(&mixFormat);
  if (FAILED(hr)) return hr;
  // A second of buffer: the client is never started, only opened and released again.
  hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, mixFormat, nullptr);
  CoTaskMemFree(mixFormat);
  return hr;
}

}  // namespace MediaFoundation
}  // namespace ORVO
