#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <string>

namespace ORVO {

enum LogLevel : int {
  kLogError = 1,
  kLogWarn = 2,
  kLogInfo = 3,
  kLogDebug = 4,
  kLogTrace = 5,
};

// The process-wide diagnostic log: one UTF-8 file beside the host executable plus the debugger
// output. Runs of identical lines collapse into one line and a count; the file rotates once it has
// grown past its maximum size. All methods are safe to call from any thread.
class Log {
 public:
  static constexpr size_t kLineCapacity = 10240;
  static constexpr int kTimestampLength = 24;  // "YYYY-MM-DD hh:mm:ss.mmm "

  struct Options {
    uint64_t maxSize = 0x200000;
    int backupCount = 1;
    // The size check touches the file system, so it runs at most this often.
    int64_t rotationCheckSeconds = 60;
  };

  Log();
  explicit Log(const Options& options);
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // level 0 writes nothing; path null or empty: no file (debugger output only).
  void Reconfigure(int level, const wchar_t* path);
  void Write(int level, const char* format, ...);
  void WriteV(int level, const char* format, va_list args);
  int level() const { return m_level; }
  std::wstring path() const;

  // Five characters wide, as they appear in a line; unknown levels give five spaces.
  static const char* LevelName(int level);
  // Rotated file name: base + "." + three-digit backup number + extension.
  static std::wstring BackupPath(const std::wstring& base, const std::wstring& extension, int number);

 private:
  void openFile();
  void closeFile();
  void writeToFile(const char* text, size_t length);
  void checkRotation();

  mutable CRITICAL_SECTION m_lock;
  volatile int m_level = 0;
  Options m_options;
  char m_line[kLineCapacity];
  char m_previous[kLineCapacity];
  int m_compareOffset = 0;
  int m_previousLevel = kLogTrace;
  int m_repeatCount = 0;
  int64_t m_lastRotationCheck = 0;
  std::wstring m_path;
  std::wstring m_base;
  std::wstring m_extension;
  HANDLE m_file = INVALID_HANDLE_VALUE;
};

// The log the library writes to; null outside the span between process attach and detach.
Log* GlobalLog();
void SetGlobalLog(Log* log);

// The single entry every component logs through. A no-op while no global log exists.
void LogWrite(int level, const char* format, ...);

// When hr is a failure, writes "<what> failed 0x<hr>" once and answers true; otherwise writes nothing
// and answers false. `what` is a printf format ("Class::method: call"), so every message keeps its
// exact text while the caller's failure branch shrinks to one line.
bool LogIfFailed(HRESULT hr, const char* what, ...);
bool LogErrorIfFailed(HRESULT hr, const char* what, ...);

}  // namespace ORVO

// Messages start with "Class::method" and end failed calls with "failed 0x%X".
#define ORVO_LOG_DEBUG(...) ::ORVO::LogWrite(::ORVO::kLogDebug, __VA_ARGS__)
#define ORVO_LOG_ERROR(...) ::ORVO::LogWrite(::ORVO::kLogError, __VA_ARGS__)
#define ORVO_LOG_INFO(...) ::ORVO::LogWrite(::ORVO::kLogInfo, __VA_ARGS__)

// Evaluates a call once; on failure logs "<what> failed 0x%X" at DEBUG and returns its HRESULT.
#define ORVO_RETURN_IF_FAILED(call, ...)                                       \
  do {                                                                         \
    const HRESULT orvo_hr_ = (call);                                           \
    if (::ORVO::LogIfFailed(orvo_hr_, __VA_ARGS__)) return orvo_hr_;           \
  } while (0)
