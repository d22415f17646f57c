#include <gtest/gtest.h>

#include "render/DeviceRecreationPolicy.h"

using namespace ORVO::MediaFoundation;

TEST(DeviceRecreationPolicyTest, RecreationRuleNeedsDeviceAndRanksReasons) {
  EXPECT_EQ(RecreationReason::None, DeviceRecreationReason(false, true, true, 5, 5));
  EXPECT_EQ(RecreationReason::None, DeviceRecreationReason(true, false, false, 0, 0));
  EXPECT_EQ(RecreationReason::MonitorChanged, DeviceRecreationReason(true, true, true, 5, 5));
  EXPECT_EQ(RecreationReason::Forced, DeviceRecreationReason(true, false, true, 5, 5));
  EXPECT_EQ(RecreationReason::Period, DeviceRecreationReason(true, false, false, 5, 5));
  EXPECT_EQ(RecreationReason::None, DeviceRecreationReason(true, false, false, 5, 4));
  EXPECT_EQ(RecreationReason::None, DeviceRecreationReason(true, false, false, 5, 6));
}

TEST(DeviceRecreationPolicyTest, OnlyThePeriodTogglesTheCreationMode) {
  EXPECT_EQ(5u, NextDeviceCreationMode(RecreationReason::Period, 1));
  EXPECT_EQ(1u, NextDeviceCreationMode(RecreationReason::Period, 5));
  EXPECT_EQ(1u, NextDeviceCreationMode(RecreationReason::MonitorChanged, 1));
  EXPECT_EQ(5u, NextDeviceCreationMode(RecreationReason::Forced, 5));
}

// The policy over several frames: the period counts frames since the last re-creation, each period
// flips the driver type, and a forced re-creation stays pending until a device has been built.
TEST(DeviceRecreationPolicyTest, PeriodCountsFramesSinceTheLastRecreationAndForceWaitsForADevice) {
  DeviceRecreationPolicy policy(3);
  policy.Recreated();  // the counter is process-wide: start from a re-creation
  UINT driverType = 0;
  UINT types[2] = {};
  for (UINT& type : types) {
    for (int frame = 0; frame < 3; ++frame) {
      EXPECT_EQ(RecreationReason::None, policy.Check(true, false, &driverType));
      policy.CountFrame();
    }
    ASSERT_EQ(RecreationReason::Period, policy.Check(true, false, &driverType));
    type = driverType;
    policy.Recreated();
  }
  EXPECT_NE(types[0], types[1]);
  EXPECT_TRUE((types[0] == 1 && types[1] == 5) || (types[0] == 5 && types[1] == 1));

  policy.Force();
  EXPECT_EQ(RecreationReason::None, policy.Check(false, false, &driverType));  // no device yet
  EXPECT_EQ(RecreationReason::Forced, policy.Check(true, false, &driverType));
  EXPECT_EQ(types[1], driverType);  // only the period changes the driver type
  policy.Satisfied();
  EXPECT_EQ(RecreationReason::None, policy.Check(true, false, &driverType));
}
