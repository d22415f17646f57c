// Measures what one 720p frame costs the video renderer in compatibility presentation (system
// memory RGB32 upload, letterboxed draw, present), on a real window. Not a test: it prints figures.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "render/Dx11Renderer.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::Dx11Renderer;

namespace {

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

ComPtr<IMFSample> Frame(UINT32 width, UINT32 height, UINT32 seed) {
  ComPtr<IMFMediaBuffer> buffer;
  MFCreateMemoryBuffer(width * height * 4, &buffer);
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  UINT32* pixels = reinterpret_cast<UINT32*>(data);
  for (UINT32 i = 0; i < width * height; ++i) pixels[i] = 0xFF000000u | ((i * 2654435761u + seed) & 0xFFFFFFu);
  buffer->Unlock();
  buffer->SetCurrentLength(width * height * 4);
  ComPtr<IMFSample> sample;
  MFCreateSample(&sample);
  sample->AddBuffer(buffer.Get());
  return sample;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * (values.size() - 1) + 0.5);
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(10, atoi(argv[1])) : 300;
  // "output": also ask for the render-target sample, as the low-latency engine does.
  const bool wantOutput = argc > 2 && strcmp(argv[2], "output") == 0;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);

  WNDCLASSW wc = {};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"OrvoRenderBench";
  RegisterClassW(&wc);
  RECT rect = {0, 0, 1280, 720};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  HWND hwnd = CreateWindowW(L"OrvoRenderBench", L"render bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                            rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, wc.hInstance, nullptr);
  Pump();

  Dx11Renderer* renderer = new Dx11Renderer();
  LARGE_INTEGER frequency, t0, t1, t2;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&t0);
  HRESULT hr = renderer->SetVideoWindow(hwnd);
  QueryPerformanceCounter(&t1);
  printf("SetVideoWindow 0x%08lX in %.1f ms, compatibility presentation: %s\n", static_cast<unsigned long>(hr),
         (t1.QuadPart - t0.QuadPart) * 1000.0 / frequency.QuadPart, renderer->IsCompatibilityMode() ? "yes" : "no");
  if (FAILED(hr)) return 1;

  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB32);
  MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 1280, 720);
  MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  renderer->SetCurrentMediaType(type.Get());
  ComPtr<IMFSample> samples[2] = {Frame(1280, 720, 1), Frame(1280, 720, 7)};

  std::vector<double> process, total;
  int failures = 0;
  for (int i = 0; i < frames + 10; ++i) {
    UINT interlace = MFVideoInterlace_Progressive;
    BOOL changed = FALSE, again = FALSE;
    QueryPerformanceCounter(&t0);
    ComPtr<IMFSample> output;
    hr = renderer->ProcessFrame(type.Get(), samples[i % 2].Get(), &interlace, &changed, &again,
                                wantOutput ? output.GetAddressOf() : nullptr);
    QueryPerformanceCounter(&t1);
    if (SUCCEEDED(hr)) hr = renderer->PresentFrame();
    QueryPerformanceCounter(&t2);
    if (FAILED(hr)) ++failures;
    Pump();
    if (i < 10) continue;  // warm-up: first uploads, swap chain creation
    process.push_back((t1.QuadPart - t0.QuadPart) * 1000.0 / frequency.QuadPart);
    total.push_back((t2.QuadPart - t0.QuadPart) * 1000.0 / frequency.QuadPart);
  }
  double sum = 0;
  for (double v : total) sum += v;
  printf("%d frames 1280x720 RGB32 into a 1280x720 window%s, %d failures\n", frames,
         wantOutput ? " (render-target sample requested)" : "", failures);
  printf("ProcessFrame:              median %.2f ms, p95 %.2f ms\n", Percentile(process, 0.5), Percentile(process, 0.95));
  printf("ProcessFrame+PresentFrame: mean %.2f ms, median %.2f ms, p95 %.2f ms, max %.2f ms (%.0f frames/s)\n",
         sum / total.size(), Percentile(total, 0.5), Percentile(total, 0.95), Percentile(total, 1.0),
         1000.0 * total.size() / sum);

  renderer->Shutdown();
  renderer->Release();
  DestroyWindow(hwnd);
  MFShutdown();
  return failures == 0 ? 0 : 2;
}
