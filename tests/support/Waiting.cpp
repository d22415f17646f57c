#include "Waiting.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace orvo_test {

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return condition();
    Sleep(pollMs);
  }
}

int ProcessThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

namespace {

// Calls `visit(id, module path, offset)` for every thread of this process, with the module and
// offset of the routine the thread was created with (ThreadQuerySetWin32StartAddress).
void ForEachThread(const std::function<void(DWORD, const char*, unsigned long long)>& visit) {
  using QueryThread = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  const auto query =
      reinterpret_cast<QueryThread>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread"));
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    void* start = nullptr;
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread && query) query(thread, 9, &start, sizeof(start), nullptr);
    if (thread) CloseHandle(thread);
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    if (start && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    static_cast<const char*>(start), &module)) {
      GetModuleFileNameA(module, name, MAX_PATH);
    }
    visit(entry.th32ThreadID, name,
          static_cast<unsigned long long>(static_cast<const char*>(start) - reinterpret_cast<const char*>(module)));
  }
  CloseHandle(snapshot);
}

}  // namespace

int ProcessThreadCountBesidesPoolWorkers() {
  int count = 0;
  ForEachThread([&](DWORD, const char* module, unsigned long long) {
    const size_t length = strlen(module);
    const char* base = length >= 9 ? module + length - 9 : module;
    if (_stricmp(base, "ntdll.dll") != 0) ++count;
  });
  return count;
}

std::string ProcessThreadReport() {
  std::string report;
  ForEachThread([&](DWORD id, const char* module, unsigned long long offset) {
    char line[MAX_PATH + 64];
    std::snprintf(line, sizeof(line), "thread %lu start %s+0x%llx\n", static_cast<unsigned long>(id), module, offset);
    report += line;
  });
  return report;
}

}  // namespace orvo_test
