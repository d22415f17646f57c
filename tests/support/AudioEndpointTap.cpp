#include "AudioEndpointTap.h"

#include <wrl/client.h>

#include <atomic>

using Microsoft::WRL::ComPtr;

namespace orvo_test {

namespace {

std::mutex g_lock;
AudioEndpointTap::Faults g_faults;
std::vector<uint8_t> g_written;
int g_clients = 0;
ComPtr<IAudioClient> g_lastClient;

// IUnknown for one interface, with an atomic count like the library's own objects.
template <class Interface>
class Wrapper : public Interface {
 public:
  virtual ~Wrapper() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

class TapRenderClient : public Wrapper<IAudioRenderClient> {
 public:
  TapRenderClient(ComPtr<IAudioRenderClient> real, UINT32 blockAlign) : m_real(real), m_blockAlign(blockAlign) {}
  HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) override {
    HRESULT hr = m_real->GetBuffer(frames, data);
    m_data = SUCCEEDED(hr) ? *data : nullptr;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) override {
    if (m_data && !(flags & AUDCLNT_BUFFERFLAGS_SILENT)) AudioEndpointTap::record(m_data, static_cast<size_t>(frames) * m_blockAlign);
    m_data = nullptr;
    return m_real->ReleaseBuffer(frames, flags);
  }

 private:
  ComPtr<IAudioRenderClient> m_real;
  UINT32 m_blockAlign;
  BYTE* m_data = nullptr;
};

class TapAudioClient : public Wrapper<IAudioClient> {
 public:
  explicit TapAudioClient(ComPtr<IAudioClient> real) : m_real(real) {}
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration, REFERENCE_TIME period,
                                       const WAVEFORMATEX* format, LPCGUID session) override {
    if (format) m_blockAlign = format->nBlockAlign;
    return m_real->Initialize(mode, flags, duration, period, format, session);
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    HRESULT hr = m_real->GetBufferSize(frames);
    if (SUCCEEDED(hr)) m_bufferFrames = *frames;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override { return m_real->GetStreamLatency(latency); }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* padding) override {
    AudioEndpointTap::Faults faults;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      faults = g_faults;
    }
    if (FAILED(faults.padding)) return faults.padding;
    HRESULT hr = m_real->GetCurrentPadding(padding);
    if (SUCCEEDED(hr) && faults.reportFull) *padding = m_bufferFrames;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format, WAVEFORMATEX** closest) override {
    return m_real->IsFormatSupported(mode, format, closest);
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override { return m_real->GetMixFormat(format); }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* period, REFERENCE_TIME* minimum) override {
    return m_real->GetDevicePeriod(period, minimum);
  }
  HRESULT STDMETHODCALLTYPE Start() override { return m_real->Start(); }
  HRESULT STDMETHODCALLTYPE Stop() override { return m_real->Stop(); }
  HRESULT STDMETHODCALLTYPE Reset() override { return m_real->Reset(); }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override { return m_real->SetEventHandle(event); }
  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override {
    if (iid != __uuidof(IAudioRenderClient)) return m_real->GetService(iid, out);
    ComPtr<IAudioRenderClient> real;
    HRESULT hr = m_real->GetService(IID_PPV_ARGS(&real));
    if (FAILED(hr)) return hr;
    *out = static_cast<IAudioRenderClient*>(new TapRenderClient(real, m_blockAlign));
    return S_OK;
  }

 private:
  ComPtr<IAudioClient> m_real;
  UINT32 m_blockAlign = 0;
  UINT32 m_bufferFrames = 0;
};

class TapDevice : public Wrapper<IMMDevice> {
 public:
  explicit TapDevice(ComPtr<IMMDevice> real) : m_real(real) {}
  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* params, void** out) override {
    if (iid != __uuidof(IAudioClient)) return m_real->Activate(iid, context, params, out);
    ComPtr<IAudioClient> real;
    HRESULT hr = m_real->Activate(iid, context, params, reinterpret_cast<void**>(real.GetAddressOf()));
    if (FAILED(hr)) return hr;
    AudioEndpointTap::noteClient(real.Get());
    *out = static_cast<IAudioClient*>(new TapAudioClient(real));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) override {
    return m_real->OpenPropertyStore(access, store);
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override { return m_real->GetId(id); }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override { return m_real->GetState(state); }

 private:
  ComPtr<IMMDevice> m_real;
};

class TapEnumerator : public Wrapper<IMMDeviceEnumerator> {
 public:
  explicit TapEnumerator(ComPtr<IMMDeviceEnumerator> real) : m_real(real) {}
  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** devices) override {
    return m_real->EnumAudioEndpoints(flow, mask, devices);
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** endpoint) override {
    HRESULT fault;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      fault = g_faults.defaultEndpoint;
    }
    if (FAILED(fault)) {
      *endpoint = nullptr;
      return fault;
    }
    ComPtr<IMMDevice> real;
    HRESULT hr = m_real->GetDefaultAudioEndpoint(flow, role, &real);
    if (FAILED(hr)) return hr;
    *endpoint = new TapDevice(real);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override { return m_real->GetDevice(id, device); }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    return m_real->RegisterEndpointNotificationCallback(client);
  }
  HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    return m_real->UnregisterEndpointNotificationCallback(client);
  }

 private:
  ComPtr<IMMDeviceEnumerator> m_real;
};

}  // namespace

HRESULT AudioEndpointTap::CreateEnumerator(IMMDeviceEnumerator** enumerator) {
  ComPtr<IMMDeviceEnumerator> real;
  HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&real));
  if (FAILED(hr)) return hr;
  *enumerator = new TapEnumerator(real);
  return S_OK;
}

void AudioEndpointTap::Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_faults = Faults();
  g_written.clear();
  g_clients = 0;
  g_lastClient.Reset();
}

AudioEndpointTap::Faults& AudioEndpointTap::faults() { return g_faults; }

std::vector<uint8_t> AudioEndpointTap::written() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_written;
}

int AudioEndpointTap::audioClientsActivated() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_clients;
}

IAudioClient* AudioEndpointTap::lastRealClient() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_lastClient.Get();
}

void AudioEndpointTap::record(const BYTE* data, size_t bytes) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_written.insert(g_written.end(), data, data + bytes);
}

void AudioEndpointTap::noteClient(IAudioClient* real) {
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_clients;
  g_lastClient = real;
}

}  // namespace orvo_test
