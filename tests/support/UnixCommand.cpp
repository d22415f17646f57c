#include "UnixCommand.h"

#include <atomic>
#include <vector>

namespace orvo_test {

namespace {
std::atomic<int> g_commandCount{0};

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
}  // namespace

UnixCommand::UnixCommand(const std::string& command) {
  m_marker = "/tmp/orvo-unix-command-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(++g_commandCount) + ".done";
  DeleteFileA(m_marker.c_str());
  const std::string wrapped = "( " + command + " ) ; touch '" + m_marker + "'";
  std::string line = "/bin/sh -c \"";
  for (char c : wrapped) {
    if (c == '"' || c == '\\') line += '\\';
    line += c;
  }
  line += "\"";
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  // Wine sometimes reports failure (ERROR_INVALID_HANDLE) for a Unix program it did start, so the
  // result only tells whether there is a handle to close; the marker decides.
  if (CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    m_process = info.hProcess;
  }
  m_started = true;
}

UnixCommand::~UnixCommand() {
  if (m_process) CloseHandle(m_process);
  DeleteFileA(m_marker.c_str());
}

bool UnixCommand::wait(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  while (!fileExists(m_marker)) {
    if (GetTickCount() - start >= milliseconds) return false;
    Sleep(10);
  }
  return true;
}

bool UnixCommand::Run(const std::string& command, DWORD milliseconds) {
  UnixCommand process(command);
  return process.wait(milliseconds);
}

std::string TestbedEnv(const char* name) {
  char value[4096];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  if (length == 0 || length >= sizeof(value)) return std::string();
  return std::string(value, length);
}

std::string ScratchPath(const std::string& name) {
  std::string dir = TestbedEnv("ORVO_TESTBED_DIR");
  if (dir.empty()) dir = "/tmp";
  dir += "/scratch";
  UnixCommand::Run("mkdir -p '" + dir + "'", 10000);
  const std::string path = dir + "/" + std::to_string(GetCurrentProcessId()) + "-" + name;
  UnixCommand::Run("rm -f '" + path + "'", 10000);
  return path;
}

}  // namespace orvo_test
