#include "log/Log.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/CriticalSectionGuard.h"

namespace ORVO {

namespace {

Log* g_log = nullptr;

constexpr int kOpenAttempts = 10;
constexpr DWORD kOpenRetryDelayMs = 1000;
const unsigned char kUtf8Bom[3] = {0xEF, 0xBB, 0xBF};

int64_t wallClockSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

Log* GlobalLog() { return g_log; }
void SetGlobalLog(Log* log) { g_log = log; }

void LogWrite(int level, const char* format, ...) {
  Log* log = g_log;
  if (!log || level > log->level()) return;
  va_list args;
  va_start(args, format);
  log->WriteV(level, format, args);
  va_end(args);
}

namespace {

bool LogFailure(int level, HRESULT hr, const char* what, va_list args) {
  if (SUCCEEDED(hr)) return false;
  Log* log = g_log;
  if (!log || level > log->level()) return true;
  char text[Log::kLineCapacity];
  vsnprintf(text, sizeof(text), what, args);
  log->Write(level, "%s failed 0x%X", text, static_cast<unsigned>(hr));
  return true;
}

}  // namespace

bool LogIfFailed(HRESULT hr, const char* what, ...) {
  va_list args;
  va_start(args, what);
  const bool failed = LogFailure(kLogDebug, hr, what, args);
  va_end(args);
  return failed;
}

bool LogErrorIfFailed(HRESULT hr, const char* what, ...) {
  va_list args;
  va_start(args, what);
  const bool failed = LogFailure(kLogError, hr, what, args);
  va_end(args);
  return failed;
}

Log::Log() : Log(Options()) {}

Log::Log(const Options& options) : m_options(options) {
  InitializeCriticalSection(&m_lock);
  m_line[0] = '\0';
  m_previous[0] = '\0';
}

Log::~Log() {
  {
    CriticalSectionGuard guard(&m_lock);
    closeFile();
  }
  DeleteCriticalSection(&m_lock);
}

const char* Log::LevelName(int level) {
  switch (level) {
    case kLogError: return "ERROR";
    case kLogWarn: return "WARN ";
    case kLogInfo: return "INFO ";
    case kLogDebug: return "DEBUG";
    case kLogTrace: return "TRACE";
    default: return "     ";
  }
}

std::wstring Log::BackupPath(const std::wstring& base, const std::wstring& extension, int number) {
  wchar_t digits[16];
  swprintf(digits, 16, L".%03d", number);
  return base + digits + extension;
}

std::wstring Log::path() const {
  CriticalSectionGuard guard(&m_lock);
  return m_path;
}

void Log::Reconfigure(int level, const wchar_t* path) {
  CriticalSectionGuard guard(&m_lock);
  closeFile();
  m_level = level;
  if (path && *path) {
    m_path = path;
    wchar_t drive[3], dir[256], name[256], ext[256];
    if (_wsplitpath_s(path, drive, 3, dir, 256, name, 256, ext, 256) == 0) {
      m_base = std::wstring(drive) + dir + name;
      m_extension = ext;
    } else {
      m_base = m_path;
      m_extension.clear();
    }
    if (level != 0) openFile();
  } else {
    m_path.clear();
    m_base.clear();
    m_extension.clear();
  }
  // The next line is always written, even if it repeats the last one before the change.
  m_previous[0] = '\0';
  m_compareOffset = 0;
}

void Log::openFile() {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    file = CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    Sleep(kOpenRetryDelayMs);
  }
  if (file == INVALID_HANDLE_VALUE) {
    printf("Unable to open log file %S, error %d\n", m_path.c_str(), static_cast<int>(GetLastError()));
    return;
  }
  m_file = file;
  // Other processes started from the same folder share this file; the lock on its first bytes
  // keeps a header from being written twice.
  LockFile(m_file, 0, 0, 2, 0);
  LARGE_INTEGER size{};
  GetFileSizeEx(m_file, &size);
  if (size.QuadPart != 0) {
    SetFilePointer(m_file, 0, nullptr, FILE_END);
  } else {
    DWORD written = 0;
    WriteFile(m_file, kUtf8Bom, sizeof(kUtf8Bom), &written, nullptr);
  }
  UnlockFile(m_file, 0, 0, 2, 0);
}

void Log::closeFile() {
  if (m_file == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(m_file);
  CloseHandle(m_file);
  m_file = INVALID_HANDLE_VALUE;
}

void Log::writeToFile(const char* text, size_t length) {
  DWORD written = 0;
  WriteFile(m_file, text, static_cast<DWORD>(length), &written, nullptr);
}

void Log::Write(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(level, format, args);
  va_end(args);
}

void Log::WriteV(int level, const char* format, va_list args) {
  if (level > m_level) return;
  CriticalSectionGuard guard(&m_lock);

  SYSTEMTIME now;
  GetLocalTime(&now);
  int prefix = snprintf(m_line, kLineCapacity, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%d] %s ", now.wYear,
                        now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                        static_cast<int>(GetCurrentThreadId()), LevelName(level));
  if (prefix < 0) prefix = 0;
  // An over-long message is cut so that the line still ends with CR LF.
  const size_t room = kLineCapacity - static_cast<size_t>(prefix) - 3;
  int message = vsnprintf(m_line + prefix, room + 1, format, args);
  size_t length = static_cast<size_t>(prefix);
  if (message > 0) length += (static_cast<size_t>(message) < room) ? static_cast<size_t>(message) : room;
  m_line[length++] = '\r';
  m_line[length++] = '\n';
  m_line[length] = '\0';

  if (m_compareOffset > 0 && strcmp(m_line + kTimestampLength, m_previous + m_compareOffset) == 0) {
    ++m_repeatCount;
    return;
  }

  char summary[256];
  int summaryLength = 0;
  if (m_repeatCount > 0) {
    summaryLength = snprintf(summary, sizeof(summary),
                             "%04d-%02d-%02d %02d:%02d:%02d.%03d %s previous message repeated %d times\r\n",
                             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                             now.wMilliseconds, LevelName(m_previousLevel), m_repeatCount);
    OutputDebugStringA(summary);
    m_repeatCount = 0;
  }
  if (m_file != INVALID_HANDLE_VALUE) {
    LockFile(m_file, 0, 0, 2, 0);
    SetFilePointer(m_file, 0, nullptr, FILE_END);
    if (summaryLength > 0) writeToFile(summary, static_cast<size_t>(summaryLength));
    writeToFile(m_line, length);
    UnlockFile(m_file, 0, 0, 2, 0);
  }
  OutputDebugStringA(m_line);

  memcpy(m_previous, m_line, length + 1);
  m_compareOffset = kTimestampLength;
  m_previousLevel = level;

  checkRotation();
}

void Log::checkRotation() {
  if (m_file == INVALID_HANDLE_VALUE) return;
  const int64_t now = wallClockSeconds();
  if (now - m_lastRotationCheck < m_options.rotationCheckSeconds) return;
  m_lastRotationCheck = now;

  LARGE_INTEGER size{};
  if (!GetFileSizeEx(m_file, &size) || static_cast<uint64_t>(size.QuadPart) < m_options.maxSize) return;

  closeFile();
  for (int k = m_options.backupCount; k >= 1; --k) {
    const std::wstring target = BackupPath(m_base, m_extension, k - 1);
    const std::wstring source = (k == 1) ? m_path : BackupPath(m_base, m_extension, k - 2);
    DeleteFileW(target.c_str());
    if (GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES) {
      MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
  }
  openFile();
}

}  // namespace ORVO
