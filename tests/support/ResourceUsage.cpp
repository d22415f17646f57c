#include "ResourceUsage.h"

#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "UnixCommand.h"
#include "Waiting.h"

namespace orvo_test {

namespace {

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Reads a whole file; /proc files report size 0, so read to the end instead of by size.
std::string ReadWhole(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string text;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) text.append(chunk, read);
  CloseHandle(file);
  return text;
}

int CountDirectoryEntries(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  do {
    if (found.cFileName[0] != '.') ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return count;
}

long long StatusField(const std::string& status, const char* field) {
  const size_t at = status.find(field);
  return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + strlen(field));
}

// Handles from the system handle table (the layout both Windows and Wine fill: the owner's pid in
// the first 16 bits).
template <typename Visit>
long long VisitOwnHandles(Visit visit) {
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const Query query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  struct Entry {
    USHORT ownerPid;
    USHORT reserved;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
  };
  const ULONG kSystemHandleInformation = 16;
  const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  LONG status;
  while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
         kInfoLengthMismatch) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return -1;
  const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
  const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
  const USHORT self = static_cast<USHORT>(GetCurrentProcessId());
  long long mine = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (entries[i].ownerPid != self) continue;
    ++mine;
    visit(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(entries[i].handle)));
  }
  return mine;
}

using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

QueryObject QueryObjectFunction() {
  return reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
}

// ObjectNameInformation (1) or ObjectTypeInformation (2): both start with a UNICODE_STRING.
std::string ObjectString(QueryObject query, HANDLE handle, ULONG what) {
  alignas(8) char buffer[1024];
  if (!query || query(handle, what, buffer, sizeof(buffer), nullptr) != 0) return "?";
  const UNICODE_STRING* text = reinterpret_cast<const UNICODE_STRING*>(buffer);
  std::string narrow;
  for (USHORT i = 0; text->Buffer && i < text->Length / 2; ++i) narrow += static_cast<char>(text->Buffer[i]);
  return narrow;
}

bool IsMftCategoryKey(QueryObject query, HANDLE handle) {
  static const char kCategories[] = "\\MediaFoundation\\Transforms\\Categories\\";
  return ObjectString(query, handle, 2) == "Key" &&
         ObjectString(query, handle, 1).find(kCategories) != std::string::npos;
}

// Wine keeps a GDI handle table per process behind PEB::GdiSharedHandleTable (offset 0xF8 in the
// 64-bit PEB); a live entry has its object type set.
long long GdiObjectsFromHandleTable() {
  struct GdiEntry {
    uint64_t object;
    uint32_t owner;
    uint16_t unique;
    uint8_t type;
    uint8_t flags;
    uint64_t user;
  };
  using Query = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const Query query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION basic = {};
  if (!query || query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic), nullptr) != 0) return -1;
  const char* peb = reinterpret_cast<const char*>(basic.PebBaseAddress);
  const GdiEntry* table = *reinterpret_cast<const GdiEntry* const*>(peb + 0xF8);
  if (!table) return -1;
  long long live = 0;
  for (int i = 0; i < 0x10000; ++i) live += table[i].type != 0 ? 1 : 0;
  return live;
}

BOOL CALLBACK CountWindow(HWND window, LPARAM counter) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != GetCurrentProcessId()) return TRUE;
  ++*reinterpret_cast<long long*>(counter);
  EnumChildWindows(
      window,
      [](HWND, LPARAM c) -> BOOL {
        ++*reinterpret_cast<long long*>(c);
        return TRUE;
      },
      counter);
  return TRUE;
}

long long WindowsOfThisProcess() {
  long long count = 0;
  EnumWindows(&CountWindow, reinterpret_cast<LPARAM>(&count));
  for (HWND window = nullptr; (window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) != nullptr;) {
    CountWindow(window, reinterpret_cast<LPARAM>(&count));
  }
  return count;
}

// Wine replaces a process's Linux command line with its Windows one: the program as started
// (quoted or not, with or without a folder), then its arguments.
bool SameExecutable(const std::string& commandLine, const std::string& exe) {
  const std::string line = commandLine.c_str();  // up to the first NUL
  std::string program;
  if (!line.empty() && line[0] == '"') {
    program = line.substr(1, line.find('"', 1) - 1);
  } else {
    program = line.substr(0, line.find(' '));
  }
  const size_t slash = program.find_last_of("\\/");
  if (slash != std::string::npos) program = program.substr(slash + 1);
  return _stricmp(program.c_str(), exe.c_str()) == 0;
}

}  // namespace

int WineUnixPid() {
  static const int pid = [] {
    if (!RunningUnderWine()) return 0;
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string exe = strrchr(path, '\\') ? strrchr(path, '\\') + 1 : path;
    const std::string prefix = TestbedEnv("WINEPREFIX");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int newest = 0;
    unsigned long long newestStart = 0;
    do {
      const int candidate = std::atoi(found.cFileName);
      if (candidate <= 0) continue;
      const std::string folder = std::string("Z:\\proc\\") + found.cFileName;
      if (!SameExecutable(ReadWhole(folder + "\\cmdline"), exe)) continue;
      if (!prefix.empty() && ReadWhole(folder + "\\environ").find("WINEPREFIX=" + prefix + '\0') == std::string::npos) {
        continue;
      }
      // A child process of this program (a death test) runs the same executable; it started last.
      const std::string stat = ReadWhole(folder + "\\stat");
      const size_t fields = stat.rfind(')');
      if (fields == std::string::npos) continue;
      const char* field = stat.c_str() + fields + 2;  // field 3, the state
      for (int skip = 3; skip < 22 && field; ++skip) field = strchr(field, ' ') ? strchr(field, ' ') + 1 : nullptr;
      const unsigned long long started = field ? std::strtoull(field, nullptr, 10) : 0;
      if (!newest || started >= newestStart) {
        newest = candidate;
        newestStart = started;
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return newest;
  }();
  return pid;
}

std::map<std::string, long long> HandlesByType() {
  const QueryObject query = QueryObjectFunction();
  std::map<std::string, long long> types;
  VisitOwnHandles([&](HANDLE handle) {
    ++types[IsMftCategoryKey(query, handle) ? "Key (MFT category)" : ObjectString(query, handle, 2)];
  });
  return types;
}

std::string HandleTypeGrowth(const std::map<std::string, long long>& before,
                             const std::map<std::string, long long>& after) {
  std::string text;
  for (const auto& type : after) {
    const auto it = before.find(type.first);
    const long long grown = type.second - (it == before.end() ? 0 : it->second);
    if (grown != 0) text += "  " + type.first + " " + std::to_string(grown) + "\n";
  }
  for (const auto& type : before) {
    if (!after.count(type.first)) text += "  " + type.first + " -" + std::to_string(type.second) + "\n";
  }
  return text;
}

ResourceUsage ResourceUsage::Take() {
  ResourceUsage usage;
  for (long long& value : usage.value) value = -1;
  HANDLE self = GetCurrentProcess();
  DWORD handles = 0;
  GetProcessHandleCount(self, &handles);
  if (handles > 0) {
    usage.value[Handles] = handles;
  } else {
    const QueryObject query = QueryObjectFunction();
    long long keys = 0;
    const long long all = VisitOwnHandles([&](HANDLE handle) { keys += IsMftCategoryKey(query, handle) ? 1 : 0; });
    usage.value[Handles] = all < 0 ? -1 : all - keys;
    if (RunningUnderWine() && all >= 0) usage.value[WineMftKeys] = keys;
  }
  const DWORD gdi = GetGuiResources(self, GR_GDIOBJECTS);
  usage.value[GdiObjects] = gdi > 0 ? gdi : (RunningUnderWine() ? GdiObjectsFromHandleTable() : 0);
  const DWORD user = GetGuiResources(self, GR_USEROBJECTS);
  usage.value[UserObjects] = user > 0 ? user : WindowsOfThisProcess();
  usage.value[Threads] = ProcessThreadCount();
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof(memory);
  if (GetProcessMemoryInfo(self, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory)) &&
      memory.PrivateUsage > 0) {
    usage.value[PrivateKb] = static_cast<long long>(memory.PrivateUsage / 1024);
  }
  if (const int pid = WineUnixPid()) {
    const std::string folder = "Z:\\proc\\" + std::to_string(pid);
    const std::string status = ReadWhole(folder + "\\status");
    usage.value[LinuxRssKb] = StatusField(status, "VmRSS:");
    usage.value[LinuxThreads] = StatusField(status, "Threads:");
    usage.value[LinuxFds] = CountDirectoryEntries(folder + "\\fd");
  }
  return usage;
}

const char* ResourceUsage::Name(Measure measure) {
  static const char* const names[kCount] = {"handles",       "GDI objects", "USER objects",
                                            "threads",       "private KiB", "Linux RSS KiB",
                                            "Linux fds",     "Linux threads", "Wine MFT keys"};
  return names[measure];
}

ResourceComparison Compare(const ResourceUsage& baseline, const ResourceUsage& end, const ResourceTolerance& tolerance) {
  ResourceComparison result;
  char line[160];
  for (int m = 0; m < ResourceUsage::kCount; ++m) {
    const char* name = ResourceUsage::Name(static_cast<ResourceUsage::Measure>(m));
    const long long before = baseline.value[m], after = end.value[m];
    if (before < 0 || after < 0) {
      snprintf(line, sizeof(line), "  %-14s not reported here\n", name);
    } else {
      const bool over = after - before > tolerance.allowed[m];
      snprintf(line, sizeof(line), "  %-14s %10lld -> %10lld  growth %+8lld  allowed %+8lld%s\n", name, before, after,
               after - before, tolerance.allowed[m], over ? "  LEAK" : "");
      if (over) result.exceeded.push_back(name);
    }
    result.table += line;
  }
  return result;
}

}  // namespace orvo_test
