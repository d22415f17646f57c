// Unloading the library: cleanly after every player was closed, early with players still open, and
// at process exit. Each case loads its own copy of the DLL, so it gets a fresh module instance.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "LogFile.h"
#include "OrvoMedia.h"

namespace {

std::wstring besideExecutable(const std::wstring& name) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

std::string readFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Copy {
  HMODULE module = nullptr;
  decltype(&::SetLog) setLog = nullptr;
  decltype(&::Create) create = nullptr;
  decltype(&::Close) close = nullptr;
  decltype(&::SetCallback) setCallback = nullptr;
};

// Copies get a per-process name: a copy still mapped by an earlier run cannot be overwritten.
std::wstring copyName(const wchar_t* kind) {
  return std::wstring(L"ORVO.Media.") + kind + L"." + std::to_wstring(GetCurrentProcessId()) + L".dll";
}

void deleteStaleCopies() {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(besideExecutable(L"ORVO.Media.*.*.dll").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileW(besideExecutable(found.cFileName).c_str());  // fails harmlessly for one in use
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

Copy loadCopy(const std::wstring& name) {
  deleteStaleCopies();
  Copy copy;
  const std::wstring target = besideExecutable(name);
  if (!CopyFileW(besideExecutable(L"ORVO.Media.dll").c_str(), target.c_str(), FALSE)) {
    ADD_FAILURE() << "CopyFile failed " << GetLastError();
    return copy;
  }
  copy.module = LoadLibraryW(target.c_str());
  if (!copy.module) {
    ADD_FAILURE() << "LoadLibrary failed " << GetLastError();
    return copy;
  }
  copy.setLog = reinterpret_cast<decltype(&::SetLog)>(reinterpret_cast<void*>(GetProcAddress(copy.module, "SetLog")));
  copy.create = reinterpret_cast<decltype(&::Create)>(reinterpret_cast<void*>(GetProcAddress(copy.module, "Create")));
  copy.close = reinterpret_cast<decltype(&::Close)>(reinterpret_cast<void*>(GetProcAddress(copy.module, "Close")));
  copy.setCallback = reinterpret_cast<decltype(&::SetCallback)>(
      reinterpret_cast<void*>(GetProcAddress(copy.module, "SetCallback")));
  return copy;
}

}  // namespace

TEST(Unload, CleanUnloadWritesTheLastLine) {
  const size_t logStart = orvo_test::LogSize();
  const std::wstring name = copyName(L"clean");
  Copy copy = loadCopy(name);
  ASSERT_TRUE(copy.module && copy.create && copy.close && copy.setLog);
  copy.setLog(true);
  int id = 0;
  copy.create(&id);
  EXPECT_EQ(id, 1);  // a fresh instance counts from 1
  EXPECT_EQ(copy.close(id), 0);
  ASSERT_TRUE(FreeLibrary(copy.module));
  EXPECT_EQ(GetModuleHandleW(name.c_str()), nullptr);
  DeleteFileW(besideExecutable(name).c_str());
  EXPECT_EQ(orvo_test::CountOccurrences(orvo_test::ReadLog(logStart), "INFO  ORVO library unloaded"), 1);
}

// Runs the sample host in its own process (its own module instance and decoder registration) and
// returns its exit code; dir receives the folder it ran in.
DWORD runHostcheck(const wchar_t* mode, std::wstring* dir) {
  std::string tool = ORVO_BINARY_DIR "/bin/orvo-hostcheck.exe";
  std::wstring command = L"Z:";
  for (char c : tool) command += (c == '/') ? L'\\' : static_cast<wchar_t>(c);
  *dir = command.substr(0, command.find_last_of(L'\\'));
  command += L" ";
  command += mode;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir->c_str(), &startup, &info)) {
    return 0xFFFFFFFF;
  }
  DWORD exitCode = 0xFFFFFFFE;
  if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(info.hProcess, &exitCode);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return exitCode;
}

// A host that unloads the library with a player still open must not pull the code from under the
// player: the module stays mapped until the process ends, and nothing crashes. It runs in a process
// of its own because the player's decoder registration stays behind, and Wine's MFTUnregisterLocal
// crashes on a list that holds another factory's registration.
TEST(Unload, UnloadWithPlayerStillOpenKeepsTheModule) {
  std::wstring dir;
  EXPECT_EQ(runHostcheck(L"--unload-early", &dir), 0u);
}

// At process exit with a player still registered the library writes its last line and destroys the
// log; the player is left to the OS. The exit code proves nothing crashed on the way out.
TEST(Unload, ProcessExitWithOpenPlayer) {
  std::wstring dir;
  EXPECT_EQ(runHostcheck(L"--leave-open", &dir), 0u);
  const std::string log = readFile(dir + L"\\ORVO.Media.log");
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log.substr(0, 3), "\xEF\xBB\xBF");
  const std::string last = "INFO  ORVO library unloaded\r\n";
  ASSERT_GE(log.size(), last.size());
  EXPECT_EQ(log.substr(log.size() - last.size()), last) << log;
}
