#pragma once

#include <windows.h>

#include <string>

namespace orvo_test {

// Wine starts native Linux programs through CreateProcess; tests use this to reach the test bed's
// tools (xwd, convert, parec). Wine's process handle for such a program signals at once and its exit
// code means nothing, so the command touches a marker file when it ends and wait() polls for it.
class UnixCommand {
 public:
  // Starts /bin/sh -c "command" without waiting.
  explicit UnixCommand(const std::string& command);
  ~UnixCommand();
  UnixCommand(const UnixCommand&) = delete;
  UnixCommand& operator=(const UnixCommand&) = delete;

  bool started() const { return m_started; }
  // True when the command ended within the time.
  bool wait(DWORD milliseconds);

  // Runs a command to its end (bounded by the time); true when it ended in time.
  static bool Run(const std::string& command, DWORD milliseconds = 30000);

 private:
  HANDLE m_process = nullptr;
  std::string m_marker;
  bool m_started = false;
};

// An environment variable of the test bed (DISPLAY, ORVO_TESTBED_DIR, ...); empty when unset.
std::string TestbedEnv(const char* name);
// A fresh file path under the test bed's scratch folder, as a Unix path usable by both sides.
std::string ScratchPath(const std::string& name);

}  // namespace orvo_test
