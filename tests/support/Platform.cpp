#include "Platform.h"

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdlib>

namespace orvo_test {

std::string WineVersion() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) return std::string();
  using WineGetVersion = const char*(CDECL*)();
  auto get = reinterpret_cast<WineGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  return get != nullptr && get() != nullptr ? std::string(get()) : std::string();
}

int WineMajorVersion() {
  const std::string version = WineVersion();
  return version.empty() ? 0 : std::atoi(version.c_str());
}

namespace {

struct VideoProbe {
  bool device = false;
  bool processor = false;
};

VideoProbe ProbeVideo() {
  VideoProbe probe;
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr,
                               0, D3D11_SDK_VERSION, &device, nullptr, nullptr))) {
    return probe;
  }
  Microsoft::WRL::ComPtr<ID3D11VideoDevice> video;
  if (FAILED(device.As(&video))) return probe;
  probe.device = true;
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content = {};
  content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
  content.InputWidth = content.OutputWidth = 64;
  content.InputHeight = content.OutputHeight = 64;
  content.Usage = D3D11_VIDEO_USAGE_PLAYBACK_NORMAL;
  Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> enumerator;
  probe.processor = SUCCEEDED(video->CreateVideoProcessorEnumerator(&content, &enumerator));
  return probe;
}

const VideoProbe& Video() {
  static const VideoProbe probe = ProbeVideo();
  return probe;
}

}  // namespace

bool D3D11OffersVideoDevice() { return Video().device; }
bool D3D11OffersVideoProcessor() { return Video().processor; }

}  // namespace orvo_test
