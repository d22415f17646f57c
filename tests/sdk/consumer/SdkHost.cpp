// sdk-host: a host built from the installed package alone (find_package(OrvoMedia)). It checks that
// the DLL it loaded carries the version resource the header promises, then plays one second of a
// live H.264 feed through the low-latency engine and checks every result code on the way.
//
//   sdk-host demo-640x360-30fps.h264        exit 0 when every check passed
#include <windows.h>
#include <mfapi.h>

#include <OrvoMedia.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("  %-64s %s\n", what, ok ? "ok" : "MISMATCH");
  if (!ok) ++g_failures;
}

std::wstring VersionString(const void* info, const wchar_t* name) {
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(const_cast<void*>(info), key.c_str(), reinterpret_cast<void**>(&value), &length) || !value) {
    return L"";
  }
  return value;
}

void CheckVersionResource() {
  std::printf("version resource of the loaded ORVO.Media.dll\n");
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(GetModuleHandleW(L"ORVO.Media.dll"), path, MAX_PATH);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  std::vector<BYTE> info(size ? size : 1);
  Check(size > 0 && GetFileVersionInfoW(path, 0, size, info.data()), "GetFileVersionInfo");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  const bool hasFixed =
      VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) && fixed;
  const DWORD ms = MAKELONG(ORVO_MEDIA_VERSION_MINOR, ORVO_MEDIA_VERSION_MAJOR);
  const DWORD ls = MAKELONG(ORVO_MEDIA_VERSION_BUILD, ORVO_MEDIA_VERSION_PATCH);
  Check(hasFixed && fixed->dwFileVersionMS == ms && fixed->dwFileVersionLS == ls, "file version = ORVO_MEDIA_VERSION_*");
  Check(hasFixed && fixed->dwProductVersionMS == ms && fixed->dwProductVersionLS == ls, "product version = ORVO_MEDIA_VERSION_*");
  Check(hasFixed && fixed->dwFileType == VFT_DLL, "file type DLL");

  wchar_t dotted[64];
  swprintf(dotted, 64, L"%d.%d.%d.%d", ORVO_MEDIA_VERSION_MAJOR, ORVO_MEDIA_VERSION_MINOR, ORVO_MEDIA_VERSION_PATCH,
           ORVO_MEDIA_VERSION_BUILD);
  Check(VersionString(info.data(), L"FileVersion") == dotted, "FileVersion text");
  Check(VersionString(info.data(), L"ProductVersion") == dotted, "ProductVersion text");
  Check(VersionString(info.data(), L"OriginalFilename") == L"ORVO.Media.dll", "OriginalFilename");
  Check(VersionString(info.data(), L"ProductName") == L"ORVO.Media", "ProductName");
  Check(!VersionString(info.data(), L"FileDescription").empty(), "FileDescription");
  Check(VersionString(info.data(), L"LegalCopyright").rfind(L"Copyright", 0) == 0, "LegalCopyright");
}

// The access units of an H.264 Annex-B stream: a new unit starts at a slice whose first_mb_in_slice
// is 0 (header bit set) or at a parameter set, SEI or delimiter that follows a slice.
std::vector<std::vector<BYTE>> SplitAccessUnits(const std::vector<BYTE>& bytes) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) starts.push_back(i + 3);
  }
  std::vector<std::vector<BYTE>> units;
  bool unitHasSlice = false;
  size_t unitBegin = 0;
  for (size_t n = 0; n < starts.size(); ++n) {
    const int type = bytes[starts[n]] & 0x1F;
    const bool slice = type == 1 || type == 5;
    const bool firstSlice = slice && starts[n] + 1 < bytes.size() && (bytes[starts[n] + 1] & 0x80);
    const bool prefix = type == 6 || type == 7 || type == 8 || type == 9;
    // The start code (3 or 4 bytes) belongs to the NAL unit it introduces.
    const size_t nalBegin = starts[n] >= 4 && bytes[starts[n] - 4] == 0 ? starts[n] - 4 : starts[n] - 3;
    if (unitHasSlice && (firstSlice || prefix)) {
      units.emplace_back(bytes.begin() + unitBegin, bytes.begin() + nalBegin);
      unitBegin = nalBegin;
      unitHasSlice = false;
    }
    unitHasSlice = unitHasSlice || slice;
  }
  if (unitBegin < bytes.size()) units.emplace_back(bytes.begin() + unitBegin, bytes.end());
  return units;
}

// The host's side of the feed: unit n is due n/30 s after the first request, as from a camera.
struct Feed {
  std::vector<std::vector<BYTE>> units;
  std::atomic<size_t> next{0};
  std::atomic<bool> stopping{false};
  std::atomic<int> tooSmall{0};
  ULONGLONG start = 0;
};
Feed g_feed;

int RequestData(int /*playerId*/, unsigned char streamId, IMFSample* sample, int /*reserved*/) {
  if (streamId != 0 || g_feed.stopping) return 1;
  const size_t n = g_feed.next.load();
  if (n >= g_feed.units.size()) return 1;  // end of the feed
  if (n == 0) g_feed.start = GetTickCount64();
  while (!g_feed.stopping && GetTickCount64() < g_feed.start + n * 1000 / 30) Sleep(1);
  const std::vector<BYTE>& unit = g_feed.units[n];

  IMFMediaBuffer* buffer = nullptr;
  if (FAILED(sample->GetBufferByIndex(0, &buffer))) return 1;
  BYTE* data = nullptr;
  DWORD capacity = 0;
  HRESULT hr = buffer->Lock(&data, &capacity, nullptr);
  if (SUCCEEDED(hr) && capacity < unit.size()) {
    buffer->Unlock();
    buffer->Release();
    static const GUID kNeededSize = ORVO_NEEDED_SIZE_KEY_INIT;
    sample->SetUINT32(kNeededSize, static_cast<UINT32>(unit.size()));
    ++g_feed.tooSmall;
    return ORVO_REQUEST_BUFFER_TOO_SMALL;
  }
  if (SUCCEEDED(hr)) {
    memcpy(data, unit.data(), unit.size());
    buffer->Unlock();
    hr = buffer->SetCurrentLength(static_cast<DWORD>(unit.size()));
  }
  buffer->Release();
  if (FAILED(hr)) return 1;
  sample->SetSampleTime(static_cast<LONGLONG>(n) * 10000000 / 30);
  sample->SetSampleDuration(10000000 / 30);
  g_feed.next = n + 1;
  return ORVO_REQUEST_OK;
}

HWND CreateVideoWindow() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"SdkHost";
  RegisterClassW(&wc);
  HWND window = CreateWindowW(L"SdkHost", L"sdk-host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 656, 399, nullptr,
                              nullptr, wc.hInstance, nullptr);
  return window;
}

// Pumps the window's messages until the library has asked for `units` access units (one second of
// the feed) or the time is up; true when it has.
bool PumpUntilDelivered(size_t units, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (g_feed.next < units && GetTickCount64() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
  return g_feed.next >= units;
}

void PlayOneSecond(const wchar_t* file) {
  std::printf("one second of a live H.264 feed through the low-latency engine\n");
  std::ifstream in(file, std::ios::binary);
  const std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  g_feed.units = SplitAccessUnits(bytes);
  Check(g_feed.units.size() >= 60, "the feed has at least two seconds of access units");

  HWND window = CreateVideoWindow();
  int id = 0;
  Check(Create(&id) == Ok && id > 0, "Create");
  Check(SetCallback(id, RequestData) == Ok, "SetCallback");
  Check(SetPreviewWindow(id, window) == Ok, "SetPreviewWindow");
  IMFMediaType* type = nullptr;
  Check(CreateMediaType(id, &type) == Ok && type, "CreateMediaType");
  if (!type) return;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  MFSetAttributeSize(type, MF_MT_FRAME_SIZE, 640, 360);
  MFSetAttributeRatio(type, MF_MT_FRAME_RATE, 30, 1);
  Check(AddMediaType(id, type) == Ok, "AddMediaType");
  type->Release();  // the player holds its own reference

  Check(Open(id, L"orvo://sdk-host?renderingStrategy=lowlatency") == Ok, "Open");
  Check(IsStreamActive(id, 0) == Ok, "IsStreamActive(0)");
  Check(GetState(id) == Closed, "GetState before Play is Closed");
  Check(Play(id) == Ok, "Play");
  Check(Play(id) == InvalidState, "a second Play is InvalidState");
  Check(PumpUntilDelivered(30, 20000), "the library asked for one second (30 access units) of the feed");
  Check(GetState(id) == Started, "GetState while playing is Started");
  Check(Pause(id) == Failed && SetPosition(id, 0) == Failed, "Pause and SetPosition are Failed on this engine");
  Check(SetAlphaBitmap(id, nullptr) == InvalidState, "SetAlphaBitmap is InvalidState on this engine");
  Check(GetDuration(id) == 0 && GetPosition(id) == 0, "no duration or position for a live feed");
  Check(Stop(id) == Ok, "Stop");
  Check(GetState(id) == Stopped, "GetState after Stop is Stopped");
  g_feed.stopping = true;
  Check(Close(id) == Ok, "Close");
  Check(Close(id) == UnknownPlayer && GetState(id) == Closed, "a closed id is unknown");
  std::printf("  (%zu access units delivered, %d answered 'buffer too small')\n", g_feed.next.load(),
              g_feed.tooSmall.load());
  DestroyWindow(window);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sdk-host demo-640x360-30fps.h264\n");
    return 2;
  }
  CheckVersionResource();
  PlayOneSecond(argv[1]);
  std::printf("%s: %d mismatch(es)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}
