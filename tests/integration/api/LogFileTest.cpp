// The log file as a host finds it beside its executable.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <sstream>
#include <string>

#include "LogFile.h"
#include "OrvoMedia.h"

namespace {

std::wstring logPath() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + L"ORVO.Media.log";
}

int refuse(int, unsigned char, IMFSample*, int) { return 1; }

}  // namespace

TEST(LogFile, EnabledLogRecordsOpenFailuresInTheLineFormat) {
  SetLog(false);
  DeleteFileW(logPath().c_str());
  int id = 0;
  Create(&id);
  Open(id, L"orvo://before-the-log");
  EXPECT_EQ(GetFileAttributesW(logPath().c_str()), INVALID_FILE_ATTRIBUTES);  // nothing before SetLog

  EXPECT_EQ(SetLog(true), 0);
  int other = 0;
  Create(&other);
  SetCallback(other, refuse);
  EXPECT_EQ(Open(other, L"orvo://low_latency_renderer?renderingStrategy=smooth"), Failed);
  Close(other);
  Close(id);
  EXPECT_EQ(SetLog(false), 0);
  Create(&id);
  Open(id, L"orvo://after-the-log");
  Close(id);

  const std::string log = orvo_test::ReadLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log.substr(0, 3), "\xEF\xBB\xBF");
  std::istringstream lines(log.substr(3));
  std::string line;
  const std::regex format(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] (ERROR|INFO |DEBUG) .+\r$)");
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(std::regex_match(line, format)) << line;
  }
  EXPECT_GE(count, 3);
  EXPECT_NE(log.find("] INFO  SetLog: library v3.3.1.0030 log enabled\r\n"), std::string::npos);
  EXPECT_NE(log.find("] DEBUG OrvoMediaPlayer::Open: Opening URI orvo://low_latency_renderer?renderingStrategy=smooth\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("] ERROR OrvoMediaPlayer::Open: Open failed 0x1\r\n"), std::string::npos);
  EXPECT_EQ(log.find("before-the-log"), std::string::npos);
  EXPECT_EQ(log.find("after-the-log"), std::string::npos);
}
