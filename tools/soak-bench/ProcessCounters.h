#pragma once

#include <cstdint>
#include <string>

namespace soak_bench {

// What the process holds, read the way a host's own watchdog would: from Windows, and under Wine
// also from the Linux process that Wine runs it in. A figure that cannot be read is -1.
struct ProcessCounters {
  int64_t handles = -1;       // GetProcessHandleCount
  int64_t handleTable = -1;   // this process's entries in the system handle table (Wine fills it,
                              // although its GetProcessHandleCount answers 0)
  int64_t gdiObjects = -1;    // GetGuiResources(GR_GDIOBJECTS)
  int64_t userObjects = -1;   // GetGuiResources(GR_USEROBJECTS)
  int64_t threads = -1;       // this process's threads in a Toolhelp snapshot
  int64_t privateBytes = -1;  // GetProcessMemoryInfo: PrivateUsage
  int64_t linuxRssBytes = -1;  // /proc/<pid>/status VmRSS
  int64_t linuxAnonBytes = -1; // /proc/<pid>/status RssAnon: the part no file backs
  int64_t linuxThreads = -1;   // /proc/<pid>/status Threads
  int64_t linuxFds = -1;       // entries of /proc/<pid>/fd: Wine keeps a file descriptor beside many handles

  static ProcessCounters Read();

  // Where the Linux figures come from: the unix process id of this program when it runs under Wine
  // (0 elsewhere, or when it cannot be told), and the name its status file gives ("" when it cannot
  // be read).
  static int LinuxProcessId();
  static std::string LinuxProcessName();
};

}  // namespace soak_bench
