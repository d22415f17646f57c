#include "ProcessCounters.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace soak_bench {

namespace {

bool UnderWine() {
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

// Wine runs a Windows program as one Linux process, but it is the wineserver that opens files for
// it, so "/proc/self" would name the server. The program's own Linux process id comes from the
// getpid system call, made directly: under Wine, Windows code runs on the Linux kernel. Never on
// Windows, where the same instruction is an NT system call; compilers without GCC-style assembly
// (MSVC) build the fallback, which gives no Linux figures.
int QueryLinuxProcessId() {
#if defined(__GNUC__) && defined(__x86_64__)
  if (!UnderWine()) return 0;
  int64_t result = 39;  // __NR_getpid on x86-64 Linux
  asm volatile("syscall" : "+a"(result) : : "rcx", "r11", "memory");
  return result > 0 ? static_cast<int>(result) : 0;
#else
  return 0;
#endif
}

// The system handle table (NtQuerySystemInformation, SystemHandleInformation), as both Windows and
// Wine fill it: a count, then one entry per handle of every process.
int64_t CountOwnHandleTableEntries() {
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const Query query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  struct Entry {
    USHORT ownerPid;  // the owner's pid, cut to 16 bits
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
  };
  const ULONG kSystemHandleInformation = 16;
  const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<char> buffer(1 << 20);
  LONG status = 0;
  while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr)) ==
             kInfoLengthMismatch &&
         buffer.size() < (64u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return -1;
  const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
  const size_t room = (buffer.size() - sizeof(ULONG_PTR)) / sizeof(Entry);
  const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
  const USHORT self = static_cast<USHORT>(GetCurrentProcessId());
  int64_t own = 0;
  for (ULONG i = 0; i < count && i < room; ++i) {
    if (entries[i].ownerPid == self) ++own;
  }
  return own;
}

int64_t CountThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const USHORT self = static_cast<USHORT>(GetCurrentProcessId());
  int64_t count = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
    entry.dwSize = sizeof(entry);
  }
  CloseHandle(snapshot);
  return count;
}

std::wstring LinuxPath(const wchar_t* leaf) {
  wchar_t path[64];
  swprintf(path, 64, L"Z:\\proc\\%d\\%ls", ProcessCounters::LinuxProcessId(), leaf);
  return path;
}

// Reads the figures of this process's Linux status file into *counters (sizes are given in kB
// there); false when it cannot. *name gets the process's name when asked for.
bool ReadLinuxStatus(ProcessCounters* counters, std::string* name) {
  if (ProcessCounters::LinuxProcessId() <= 0) return false;
  FILE* file = _wfopen(LinuxPath(L"status").c_str(), L"r");
  if (!file) return false;
  char line[256];
  bool found = false;
  while (std::fgets(line, sizeof(line), file)) {
    long long value = 0;
    char text[64];
    if (std::sscanf(line, "VmRSS: %lld", &value) == 1) {
      counters->linuxRssBytes = value * 1024;
      found = true;
    } else if (std::sscanf(line, "RssAnon: %lld", &value) == 1) {
      counters->linuxAnonBytes = value * 1024;
    } else if (std::sscanf(line, "Threads: %lld", &value) == 1) {
      counters->linuxThreads = value;
    } else if (name && std::sscanf(line, "Name: %63s", text) == 1) {
      *name = text;
    }
  }
  std::fclose(file);
  return found;
}

int64_t CountLinuxFds() {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(LinuxPath(L"fd\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return -1;
  int64_t count = 0;
  do {
    if (wcscmp(entry.cFileName, L".") && wcscmp(entry.cFileName, L"..")) ++count;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return count;
}

}  // namespace

int ProcessCounters::LinuxProcessId() {
  static const int pid = QueryLinuxProcessId();
  return pid;
}

std::string ProcessCounters::LinuxProcessName() {
  ProcessCounters counters;
  std::string name;
  return ReadLinuxStatus(&counters, &name) ? name : std::string();
}

ProcessCounters ProcessCounters::Read() {
  ProcessCounters counters;
  HANDLE process = GetCurrentProcess();
  DWORD handles = 0;
  if (GetProcessHandleCount(process, &handles)) counters.handles = handles;
  counters.handleTable = CountOwnHandleTableEntries();
  // GetGuiResources answers 0 for an error as well as for none; both are printed as given.
  counters.gdiObjects = GetGuiResources(process, GR_GDIOBJECTS);
  counters.userObjects = GetGuiResources(process, GR_USEROBJECTS);
  counters.threads = CountThreads();
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof(memory);
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
    counters.privateBytes = static_cast<int64_t>(memory.PrivateUsage);
  }
  ReadLinuxStatus(&counters, nullptr);
  if (LinuxProcessId() > 0) counters.linuxFds = CountLinuxFds();
  return counters;
}

}  // namespace soak_bench
