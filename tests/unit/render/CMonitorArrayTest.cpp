#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "render/CMonitorArray.h"
#include "FakeDisplay.h"

using namespace ORVO::MediaFoundation;
using orvo_test::FakeDisplay;

TEST(CMonitorArrayTest, EnumeratesMonitorsInOrderWithSizesAndRefreshRates) {
  FakeDisplay display;
  display.addMonitor(L"\\\\.\\DISPLAY1", 1920, 1080, 144);
  display.addMonitor(L"\\\\.\\DISPLAY2", 1280, 1024, 0);  // no frequency reported: default 60
  CMonitorArray array;
  EXPECT_EQ(S_OK, array.InitializeDisplaySystem(nullptr));
  ASSERT_EQ(2u, array.count());
  EXPECT_EQ(0u, array.entry(0).index);
  EXPECT_EQ(1u, array.entry(1).index);
  EXPECT_STREQ(L"\\\\.\\DISPLAY2", array.entry(1).deviceName);
  EXPECT_EQ(1920, array.entry(0).width);
  EXPECT_EQ(1024, array.entry(1).height);
  EXPECT_EQ(144u, array.entry(0).refreshRate);
  EXPECT_EQ(60u, array.entry(1).refreshRate);
  EXPECT_EQ(1u, array.entry(0).inUse);
  EXPECT_EQ(&array.entry(1), array.FindMonitor(display.handle(1)));
  EXPECT_EQ(nullptr, array.FindMonitor(reinterpret_cast<HMONITOR>(0x9999)));
}

TEST(CMonitorArrayTest, StopsAtSixteenEntries) {
  FakeDisplay display;
  for (int i = 0; i < 20; ++i) display.addMonitor(L"\\\\.\\DISPLAY" + std::to_wstring(i + 1), 800, 600, 60);
  CMonitorArray array;
  EXPECT_EQ(S_OK, array.InitializeDisplaySystem(nullptr));
  EXPECT_EQ(16u, array.count());
  EXPECT_EQ(16, display.monitorsVisited());  // enumeration ended once the table was full
}

TEST(CMonitorArrayTest, LeavesOutMonitorsWhoseNameDoesNotFit) {
  FakeDisplay display;
  display.addMonitor(std::wstring(32, L'X'), 800, 600, 60);  // 32 characters + terminator: too long
  display.addMonitor(L"\\\\.\\DISPLAY2", 800, 600, 60);
  CMonitorArray array;
  EXPECT_EQ(S_OK, array.InitializeDisplaySystem(nullptr));
  ASSERT_EQ(1u, array.count());
  EXPECT_EQ(display.handle(1), array.entry(0).monitor);
  EXPECT_EQ(0u, array.entry(0).index);
  EXPECT_EQ(nullptr, array.FindMonitor(display.handle(0)));
}

TEST(CMonitorArrayTest, NoMonitorGivesTheLastWin32Error) {
  FakeDisplay display;
  display.setLastErrorOnEnumerate(ERROR_ACCESS_DENIED);
  CMonitorArray array;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), array.InitializeDisplaySystem(nullptr));
  EXPECT_EQ(0u, array.count());
}

TEST(CMonitorArrayTest, MatchGuidFindsPositionByIndexAndTerminateClears) {
  FakeDisplay display;
  display.addMonitor(L"A", 1, 1, 60);
  display.addMonitor(L"B", 1, 1, 60);
  display.addMonitor(L"C", 1, 1, 60);
  CMonitorArray array;
  ASSERT_EQ(S_OK, array.InitializeDisplaySystem(nullptr));
  UINT position = 99;
  EXPECT_EQ(S_OK, array.MatchGUID(2, &position));
  EXPECT_EQ(2u, position);
  position = 99;
  EXPECT_EQ(S_FALSE, array.MatchGUID(7, &position));
  EXPECT_EQ(0u, position);
  array.TerminateDisplaySystem();
  EXPECT_EQ(0u, array.count());
  EXPECT_EQ(nullptr, array.FindMonitor(display.handle(0)));
  EXPECT_EQ(0u, array.entry(0).inUse);
}
