// latency-bench: plays an H.264 clip through the low-latency engine as a live feed (real-time pace)
// and reports, per frame, the time from the host callback returning the frame to PresentFrame
// returning for it (median, 99th percentile), then decodes the same access units with the platform
// H.264 decoder alone and reports its time per frame.
//
//   latency-bench --video clip-1280x720.h264 --size 1280x720 [--seconds 60]
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "AnnexBReader.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "common/Clock.h"
#include "lowlatency/DxPlayer.h"
#include "lowlatency/StreamInt.h"

using Microsoft::WRL::ComPtr;
using namespace orvo_hostkit;

namespace {

std::mutex g_lock;
std::map<int64_t, int64_t> g_returned;  // sample time -> clock when the callback returned it
std::vector<double> g_latencies;         // milliseconds
HostFeeder* g_feeder = nullptr;

int Callback(int, unsigned char streamId, IMFSample* sample, int) {
  const int result = g_feeder->Fill(streamId, sample);
  if (result == 0) {
    LONGLONG time = 0;
    sample->GetSampleTime(&time);
    std::lock_guard<std::mutex> guard(g_lock);
    g_returned[time] = ORVO::elapsedTime(10000000);
  }
  return result;
}

void Presented(int, int64_t sampleTime, int64_t presentedAt) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_returned.find(sampleTime);
  if (it == g_returned.end()) return;
  g_latencies.push_back((presentedAt - it->second) / 10000.0);
  g_returned.erase(g_returned.begin(), ++it);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void Report(const char* what, std::vector<double> values) {
  if (values.empty()) {
    std::printf("%s: no frames\n", what);
    return;
  }
  std::sort(values.begin(), values.end());
  std::printf("%s: %zu frames, median %.2f ms, p99 %.2f ms, max %.2f ms\n", what, values.size(),
              values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)],
              values.back());
}

// The platform decoder alone over the same access units, one in, all available out.
std::vector<double> DecodeTimes(AnnexBReader& reader, UINT32 width, UINT32 height) {
  std::vector<double> times;
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_H264};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  if (FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER, &input,
                       nullptr, &activates, &count)) || count == 0)
    return times;
  ComPtr<IMFTransform> decoder;
  activates[0]->ActivateObject(IID_PPV_ARGS(&decoder));
  for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
  CoTaskMemFree(activates);
  if (!decoder) return times;
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  DescribeH264(type.Get(), width, height, 30, 1);
  decoder->SetInputType(0, type.Get(), 0);
  ComPtr<IMFMediaType> output;
  for (DWORD i = 0; SUCCEEDED(decoder->GetOutputAvailableType(0, i, &output)); ++i) {
    GUID subtype;
    output->GetGUID(MF_MT_SUBTYPE, &subtype);
    if (subtype == MFVideoFormat_YUY2 && SUCCEEDED(decoder->SetOutputType(0, output.Get(), 0))) break;
    output.Reset();
  }
  reader.Rewind();
  AccessUnit unit;
  while (reader.Next(&unit)) {
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    MFCreateSample(&sample);
    MFCreateMemoryBuffer(static_cast<DWORD>(unit.data.size()), &buffer);
    BYTE* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    memcpy(data, unit.data.data(), unit.data.size());
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(unit.data.size()));
    sample->AddBuffer(buffer.Get());
    sample->SetSampleTime(unit.time);
    const int64_t start = ORVO::elapsedTime(10000000);
    decoder->ProcessInput(0, sample.Get(), 0);
    for (;;) {
      MFT_OUTPUT_STREAM_INFO info = {};
      decoder->GetOutputStreamInfo(0, &info);
      ComPtr<IMFSample> out;
      ComPtr<IMFMediaBuffer> outBuffer;
      MFCreateSample(&out);
      MFCreateMemoryBuffer(info.cbSize ? info.cbSize : width * height * 2, &outBuffer);
      out->AddBuffer(outBuffer.Get());
      MFT_OUTPUT_DATA_BUFFER od = {};
      od.pSample = out.Get();
      DWORD status = 0;
      const HRESULT hr = decoder->ProcessOutput(0, 1, &od, &status);
      if (od.pEvents) od.pEvents->Release();
      if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
        for (DWORD i = 0; SUCCEEDED(decoder->GetOutputAvailableType(0, i, &output)); ++i) {
          GUID subtype;
          output->GetGUID(MF_MT_SUBTYPE, &subtype);
          if (subtype == MFVideoFormat_YUY2 && SUCCEEDED(decoder->SetOutputType(0, output.Get(), 0))) break;
        }
        continue;
      }
      if (FAILED(hr)) break;
      times.push_back((ORVO::elapsedTime(10000000) - start) / 10000.0);
    }
  }
  return times;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring path;
  UINT32 width = 1280, height = 720;
  double seconds = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!wcscmp(argv[i], L"--video")) path = argv[i + 1];
    else if (!wcscmp(argv[i], L"--size")) swscanf(argv[i + 1], L"%ux%u", &width, &height);
    else if (!wcscmp(argv[i], L"--seconds")) seconds = _wtof(argv[i + 1]);
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: latency-bench --video clip.h264 [--size 1280x720] [--seconds 60]\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET);

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"LatencyBench";
  RegisterClassExW(&wc);
  HWND window = CreateWindowExW(0, L"LatencyBench", L"latency-bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                static_cast<int>(width), static_cast<int>(height), nullptr, nullptr, wc.hInstance,
                                nullptr);

  std::unique_ptr<AnnexBReader> reader(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
  if (!reader->Open(path)) {
    std::fprintf(stderr, "cannot read the clip\n");
    return 1;
  }
  AnnexBReader& units = *reader;
  HostFeeder::Options options;
  options.realTime = true;
  options.loop = true;
  HostFeeder feeder(options);
  feeder.AddStream(0, std::move(reader));
  g_feeder = &feeder;

  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  DescribeH264(type.Get(), width, height, 30, 1);
  ORVO::Media::DxPlayer::StreamInt::SetPresentObserver(&Presented);
  {
    ORVO::Media::DxPlayer player(1, window, {type}, &Callback, L"orvo://bench?renderingStrategy=smooth", 6, L"");
    if (player.Open() != Ok) {
      std::fprintf(stderr, "the engine could not set the stream up\n");
      return 1;
    }
    player.Play();
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < seconds * 1000) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(20);
    }
    player.Stop();
    feeder.Abort();
  }
  ORVO::Media::DxPlayer::StreamInt::SetPresentObserver(nullptr);
  std::printf("%ux%u at 30 fps, fed in real time for %.0f s (Smooth strategy)\n", width, height, seconds);
  {
    std::lock_guard<std::mutex> guard(g_lock);
    Report("callback return -> PresentFrame return", g_latencies);
  }
  (void)units;
  std::unique_ptr<AnnexBReader> again(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
  again->Open(path);
  Report("decode alone (platform H.264 decoder, YUY2 out)", DecodeTimes(*again, width, height));
  DestroyWindow(window);
  MFShutdown();
  return 0;
}
