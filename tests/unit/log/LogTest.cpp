#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"

using ORVO::Log;

namespace {

std::wstring tempLogPath(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  std::wstring folder = std::wstring(dir) + L"orvo-log-test-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring path = folder + L"\\" + name;
  DeleteFileW(path.c_str());
  return path;
}

std::string readAll(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Lines after the byte-order mark, each without its CR LF.
std::vector<std::string> linesOf(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start < content.size()) {
    size_t end = content.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(content.substr(start));
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

const std::regex kLinePattern(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] (ERROR|WARN |INFO |DEBUG|TRACE) .*$)");

}  // namespace

TEST(Log, NewFileStartsWithBomAndLinesFollowTheFormat) {
  const std::wstring path = tempLogPath(L"format.log");
  {
    Log log;
    log.Reconfigure(4, path.c_str());
    log.Write(4, "Widget::poke: [%p] value %d", reinterpret_cast<void*>(0x1234), 42);
    log.Write(3, "SetLog: library v%s log enabled", "3.3.1.0030");
    log.Write(1, "Thing::open: failed 0x%X", 0xC00D36B2u);
  }
  const std::string content = readAll(path);
  ASSERT_GE(content.size(), 3u);
  EXPECT_EQ(content.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(content.substr(content.size() - 2), "\r\n");
  const auto lines = linesOf(content);
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, kLinePattern)) << line;
  EXPECT_NE(lines[0].find("] DEBUG Widget::poke: ["), std::string::npos);
  EXPECT_NE(lines[0].find("] value 42"), std::string::npos);
  // The level name is five characters wide, so INFO lines show two spaces before the message.
  EXPECT_NE(lines[1].find("] INFO  SetLog: library v3.3.1.0030 log enabled"), std::string::npos);
  EXPECT_NE(lines[2].find("] ERROR Thing::open: failed 0xC00D36B2"), std::string::npos);
  const std::string thread = "[" + std::to_string(GetCurrentThreadId()) + "]";
  EXPECT_EQ(lines[0].substr(24, thread.size()), thread);
}

TEST(Log, ExistingContentIsAppendedWithoutSecondBomAndEmptyFileGetsOne) {
  const std::wstring path = tempLogPath(L"append.log");
  {
    Log log;
    log.Reconfigure(4, path.c_str());
    log.Write(4, "first");
  }
  {
    Log log;
    log.Reconfigure(4, path.c_str());
    log.Write(4, "second");
  }
  const std::string content = readAll(path);
  EXPECT_EQ(content.find("\xEF\xBB\xBF"), 0u);
  EXPECT_EQ(content.find("\xEF\xBB\xBF", 3), std::string::npos);
  ASSERT_EQ(linesOf(content).size(), 2u);

  const std::wstring empty = tempLogPath(L"empty.log");
  HANDLE file = CreateFileW(empty.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  {
    Log log;
    log.Reconfigure(4, empty.c_str());
    log.Write(4, "into an empty file");
  }
  EXPECT_EQ(readAll(empty).substr(0, 3), "\xEF\xBB\xBF");
}

TEST(Log, RepeatedLinesCollapseIntoASummaryWithTheRepeatedLevel) {
  const std::wstring path = tempLogPath(L"repeat.log");
  {
    Log log;
    log.Reconfigure(4, path.c_str());
    for (int i = 0; i < 5; ++i) log.Write(1, "Same::thing: failed 0x%X", 5u);
    log.Write(4, "Other::thing: done");
  }
  const auto lines = linesOf(readAll(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("ERROR Same::thing: failed 0x5"), std::string::npos);
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} ERROR previous message repeated 4 times$)")))
      << lines[1];
  EXPECT_NE(lines[2].find("DEBUG Other::thing: done"), std::string::npos);
}

TEST(Log, SameMessageFromAnotherThreadIsWrittenAgain) {
  const std::wstring path = tempLogPath(L"threads.log");
  {
    Log log;
    log.Reconfigure(4, path.c_str());
    log.Write(4, "Shared::message");
    std::thread other([&log] { log.Write(4, "Shared::message"); });
    other.join();
  }
  const auto lines = linesOf(readAll(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].substr(24, 12), lines[1].substr(24, 12));
}

TEST(Log, NothingIsWrittenWhileDisabled) {
  const std::wstring path = tempLogPath(L"disabled.log");
  {
    Log log;
    log.Reconfigure(0, path.c_str());
    log.Write(1, "an error nobody asked for");
  }
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);

  {
    Log log;
    log.Reconfigure(4, path.c_str());
    log.Write(4, "visible");
    log.Reconfigure(0, nullptr);
    log.Write(1, "after switching off");
    EXPECT_TRUE(log.path().empty());
  }
  const auto lines = linesOf(readAll(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("visible"), std::string::npos);
}

TEST(Log, ReconfiguringReopensAndForgetsThePreviousLine) {
  const std::wstring path = tempLogPath(L"reopen.log");
  {
    Log log;
    log.Reconfigure(4, path.c_str());
    log.Write(3, "SetLog: enabled");
    log.Reconfigure(4, path.c_str());
    log.Write(3, "SetLog: enabled");
  }
  EXPECT_EQ(linesOf(readAll(path)).size(), 2u);
}

TEST(Log, OverlongMessageIsCutAndStillEndsWithCrLf) {
  const std::wstring path = tempLogPath(L"long.log");
  const std::string huge(3 * Log::kLineCapacity, 'x');
  {
    Log log;
    log.Reconfigure(4, path.c_str());
    log.Write(4, "Big::message: %s", huge.c_str());
    log.Write(4, "after");
  }
  const std::string content = readAll(path);
  const auto lines = linesOf(content);
  ASSERT_EQ(lines.size(), 2u);
  // The whole line, CR LF and the terminating zero fit the line buffer.
  EXPECT_EQ(lines[0].size() + 3, Log::kLineCapacity);
  EXPECT_EQ(lines[0].back(), 'x');
  EXPECT_NE(lines[1].find("after"), std::string::npos);
}

TEST(Log, RotatesPastTheMaximumSizeIntoOneBackup) {
  const std::wstring path = tempLogPath(L"ORVO.Media.log");
  const std::wstring backup = Log::BackupPath(path.substr(0, path.size() - 4), L".log", 0);
  EXPECT_EQ(backup.substr(backup.size() - 18), L"ORVO.Media.000.log");
  {
    // An older backup is replaced.
    std::ofstream old(backup.c_str(), std::ios::binary);
    old << "stale backup";
  }
  Log::Options options;
  options.maxSize = 4096;
  options.rotationCheckSeconds = 0;
  {
    Log log(options);
    log.Reconfigure(4, path.c_str());
    for (int i = 0; i < 60; ++i) log.Write(4, "Filler::line: number %d with some padding text", i);
    log.Write(4, "Last::line");
  }
  const std::string rotated = readAll(backup);
  EXPECT_EQ(rotated.find("stale backup"), std::string::npos);
  EXPECT_EQ(rotated.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_GE(rotated.size(), 4096u);
  const std::string live = readAll(path);
  EXPECT_EQ(live.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_LT(live.size(), 4096u + 200u);
  EXPECT_NE(live.find("Last::line"), std::string::npos);
}

TEST(Log, SizeIsCheckedAtMostOncePerInterval) {
  const std::wstring path = tempLogPath(L"interval.log");
  Log::Options options;
  options.maxSize = 1024;
  options.rotationCheckSeconds = 3600;
  {
    Log log(options);
    log.Reconfigure(4, path.c_str());
    for (int i = 0; i < 100; ++i) log.Write(4, "Filler::line: %d", i);
  }
  // The first line triggered the only check (file still small), so no rotation happened since.
  EXPECT_GT(readAll(path).size(), 1024u);
  EXPECT_EQ(GetFileAttributesW(Log::BackupPath(path.substr(0, path.size() - 4), L".log", 0).c_str()),
            INVALID_FILE_ATTRIBUTES);
}

TEST(Log, LevelNamesAreFiveCharactersWide) {
  EXPECT_STREQ(Log::LevelName(1), "ERROR");
  EXPECT_STREQ(Log::LevelName(2), "WARN ");
  EXPECT_STREQ(Log::LevelName(3), "INFO ");
  EXPECT_STREQ(Log::LevelName(4), "DEBUG");
  EXPECT_STREQ(Log::LevelName(5), "TRACE");
  EXPECT_STREQ(Log::LevelName(9), "     ");
}

TEST(Log, GlobalEntryIsANoOpWithoutALog) {
  ORVO::SetGlobalLog(nullptr);
  ORVO::LogWrite(1, "nobody listens %d", 1);  // must not crash
  const std::wstring path = tempLogPath(L"global.log");
  Log log;
  log.Reconfigure(4, path.c_str());
  ORVO::SetGlobalLog(&log);
  ORVO::LogWrite(5, "too verbose");
  ORVO::LogWrite(4, "Global::entry: %s", "ok");
  ORVO::SetGlobalLog(nullptr);
  log.Reconfigure(0, nullptr);
  const auto lines = linesOf(readAll(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Global::entry: ok"), std::string::npos);
}
