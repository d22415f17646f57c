// orvo-hostcheck: loads ORVO.Media.dll with LoadLibrary, resolves all 27 exports by name, calls
// each with an id that does not exist, then creates, configures and closes players with the log
// switched on, and prints the log the library wrote beside this executable.
//
//   orvo-hostcheck              run the checks, print results and the log; exit 1 on a mismatch
//   orvo-hostcheck --leave-open create a player and exit without closing it (unload at exit)
//   orvo-hostcheck --unload-early create a player, FreeLibrary without Close; exit 0 when the
//                               library kept itself loaded for the player
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "OrvoMedia.h"

namespace {

int g_failures = 0;

void check(bool ok, const char* what) {
  printf("  %-58s %s\n", what, ok ? "ok" : "MISMATCH");
  if (!ok) ++g_failures;
}

// The exports, resolved by name as a host that loads the library at run time does.
struct Api {
  decltype(&::SetLog) SetLog;
  decltype(&::Create) Create;
  decltype(&::Close) Close;
  decltype(&::SetCallback) SetCallback;
  decltype(&::SetPreviewWindow) SetPreviewWindow;
  decltype(&::SetAudioOutputDevice) SetAudioOutputDevice;
  decltype(&::UseLowLatencyRenderer) UseLowLatencyRenderer;
  decltype(&::CreateMediaType) CreateMediaType;
  decltype(&::AddMediaType) AddMediaType;
  decltype(&::Open) Open;
  decltype(&::Play) Play;
  decltype(&::Pause) Pause;
  decltype(&::Stop) Stop;
  decltype(&::SetPosition) SetPosition;
  decltype(&::SetPlaybackRate) SetPlaybackRate;
  decltype(&::GetState) GetState;
  decltype(&::GetDuration) GetDuration;
  decltype(&::GetPosition) GetPosition;
  decltype(&::GetPlaybackRate) GetPlaybackRate;
  decltype(&::GetVolume) GetVolume;
  decltype(&::GetBalance) GetBalance;
  decltype(&::IsStreamActive) IsStreamActive;
  decltype(&::SetVolume) SetVolume;
  decltype(&::SetBalance) SetBalance;
  decltype(&::SetAlphaBitmap) SetAlphaBitmap;
  decltype(&::SetFullScreen) SetFullScreen;
  decltype(&::SetStretch) SetStretch;
};

template <typename T>
bool resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (!*out) {
    printf("  missing export %s\n", name);
    ++g_failures;
  }
  return *out != nullptr;
}

bool loadApi(HMODULE m, Api* a) {
  bool ok = true;
#define ORVO_RESOLVE(name) ok &= resolve(m, #name, &a->name);
  ORVO_RESOLVE(SetLog) ORVO_RESOLVE(Create) ORVO_RESOLVE(Close) ORVO_RESOLVE(SetCallback)
  ORVO_RESOLVE(SetPreviewWindow) ORVO_RESOLVE(SetAudioOutputDevice) ORVO_RESOLVE(UseLowLatencyRenderer)
  ORVO_RESOLVE(CreateMediaType) ORVO_RESOLVE(AddMediaType) ORVO_RESOLVE(Open) ORVO_RESOLVE(Play)
  ORVO_RESOLVE(Pause) ORVO_RESOLVE(Stop) ORVO_RESOLVE(SetPosition) ORVO_RESOLVE(SetPlaybackRate)
  ORVO_RESOLVE(GetState) ORVO_RESOLVE(GetDuration) ORVO_RESOLVE(GetPosition) ORVO_RESOLVE(GetPlaybackRate)
  ORVO_RESOLVE(GetVolume) ORVO_RESOLVE(GetBalance) ORVO_RESOLVE(IsStreamActive) ORVO_RESOLVE(SetVolume)
  ORVO_RESOLVE(SetBalance) ORVO_RESOLVE(SetAlphaBitmap) ORVO_RESOLVE(SetFullScreen) ORVO_RESOLVE(SetStretch)
#undef ORVO_RESOLVE
  return ok;
}

std::wstring besideExecutable(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  wchar_t* slash = wcsrchr(path, L'\\');
  if (slash) slash[1] = L'\0';
  return std::wstring(path) + name;
}

int refuseData(int, unsigned char, IMFSample*, int) { return 1; }

void checkUnknownId(const Api& api, int id) {
  printf("Every export with the unknown id %d:\n", id);
  IMFMediaType* type = nullptr;
  check(api.Close(id) == UnknownPlayer, "Close -> UnknownPlayer");
  check(api.SetCallback(id, refuseData) == UnknownPlayer, "SetCallback -> UnknownPlayer");
  check(api.SetPreviewWindow(id, GetDesktopWindow()) == UnknownPlayer, "SetPreviewWindow -> UnknownPlayer");
  check(api.SetAudioOutputDevice(id, 0, L"") == UnknownPlayer, "SetAudioOutputDevice -> UnknownPlayer");
  check(api.UseLowLatencyRenderer(id, true) == UnknownPlayer, "UseLowLatencyRenderer -> UnknownPlayer");
  check(api.CreateMediaType(id, &type) == UnknownPlayer && !type, "CreateMediaType -> UnknownPlayer");
  check(api.AddMediaType(id, nullptr) == UnknownPlayer, "AddMediaType -> UnknownPlayer");
  check(api.Open(id, L"orvo://low_latency_renderer") == UnknownPlayer, "Open -> UnknownPlayer");
  check(api.Play(id) == UnknownPlayer, "Play -> UnknownPlayer");
  check(api.Pause(id) == UnknownPlayer, "Pause -> UnknownPlayer");
  check(api.Stop(id) == UnknownPlayer, "Stop -> UnknownPlayer");
  check(api.SetPosition(id, 0) == UnknownPlayer, "SetPosition -> UnknownPlayer");
  check(api.SetPlaybackRate(id, 1.0) == UnknownPlayer, "SetPlaybackRate -> UnknownPlayer");
  check(api.GetState(id) == Closed, "GetState -> Closed (0)");
  check(api.GetDuration(id) == 0, "GetDuration -> 0");
  check(api.GetPosition(id) == 0, "GetPosition -> 0");
  check(api.GetPlaybackRate(id) == 1.0, "GetPlaybackRate -> 1.0");
  check(api.GetVolume(id) == 1.0, "GetVolume -> 1.0");
  check(api.GetBalance(id) == 0.5, "GetBalance -> 0.5");
  check(api.IsStreamActive(id, 0) == UnknownPlayer, "IsStreamActive -> UnknownPlayer");
  check(api.SetVolume(id, 1.0) == UnknownPlayer, "SetVolume -> UnknownPlayer");
  check(api.SetBalance(id, 0.5) == UnknownPlayer, "SetBalance -> UnknownPlayer");
  check(api.SetAlphaBitmap(id, nullptr) == UnknownPlayer, "SetAlphaBitmap -> UnknownPlayer");
  check(api.SetFullScreen(id, FALSE) == UnknownPlayer, "SetFullScreen -> UnknownPlayer");
  check(api.SetStretch(id, FALSE) == UnknownPlayer, "SetStretch -> UnknownPlayer");
}

void exercisePlayers(const Api& api) {
  printf("Players with the log on:\n");
  int a = 0, b = 0;
  api.Create(&a);
  api.Create(&b);
  check(b == a + 1, "second Create returns the next id");
  check(api.SetCallback(a, refuseData) == Ok, "SetCallback -> Ok");
  check(api.SetAudioOutputDevice(a, 6, L"") == Ok, "SetAudioOutputDevice -> Ok");
  check(api.UseLowLatencyRenderer(b, false) == Ok, "UseLowLatencyRenderer(false) -> Ok");
  check(api.SetPreviewWindow(a, nullptr) == InvalidArgument, "SetPreviewWindow(null) -> InvalidArgument");
  check(api.GetState(a) == Closed, "GetState before Open -> Closed");
  const int open = api.Open(a, L"orvo://low_latency_renderer");
  printf("  Open without stream descriptions -> %d\n", open);
  check(open == Failed, "Open with nothing to play -> Failed");
  check(api.Open(a, L"orvo://low_latency_renderer") == InvalidState, "second Open -> InvalidState");
  check(api.Close(a) == Ok && api.Close(b) == Ok, "Close both -> Ok");
  int c = 0;
  api.Create(&c);
  check(c == b + 1, "ids are not reused after Close");
  check(api.Close(c) == Ok, "Close -> Ok");
}

}  // namespace

int main(int argc, char** argv) {
  const bool leaveOpen = argc > 1 && strcmp(argv[1], "--leave-open") == 0;
  const bool unloadEarly = argc > 1 && strcmp(argv[1], "--unload-early") == 0;
  setvbuf(stdout, nullptr, _IONBF, 0);

  HMODULE module = LoadLibraryW(L"ORVO.Media.dll");
  if (!module) {
    printf("cannot load ORVO.Media.dll (error %lu)\n", GetLastError());
    return 2;
  }
  Api api = {};
  if (!loadApi(module, &api)) return 1;

  const std::wstring logPath = besideExecutable(L"ORVO.Media.log");
  DeleteFileW(logPath.c_str());
  api.SetLog(true);

  if (leaveOpen) {
    int id = 0;
    api.Create(&id);
    api.SetCallback(id, refuseData);
    printf("player %d left open; exiting without Close\n", id);
    return 0;  // the library is unloaded at process exit with the player still registered
  }

  if (unloadEarly) {
    int id = 0;
    api.Create(&id);
    api.SetCallback(id, refuseData);
    FreeLibrary(module);
    const bool stillLoaded = GetModuleHandleW(L"ORVO.Media.dll") != nullptr;
    printf("player %d open, FreeLibrary done: library %s\n", id, stillLoaded ? "still loaded" : "unloaded");
    Sleep(100);
    return stillLoaded ? 0 : 1;
  }

  checkUnknownId(api, 4711);
  exercisePlayers(api);
  FreeLibrary(module);  // with the log still on, the library's last line says it was unloaded
  check(GetModuleHandleW(L"ORVO.Media.dll") == nullptr, "library unloaded after FreeLibrary");

  printf("\nThe log the library wrote (%ls):\n", logPath.c_str());
  FILE* log = _wfopen(logPath.c_str(), L"rb");
  if (log) {
    char line[10240];
    while (fgets(line, sizeof(line), log)) fputs(line, stdout);
    fclose(log);
  } else {
    check(false, "log file exists");
  }
  printf("\n%s: %d mismatch(es)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}
