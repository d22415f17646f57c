#include <gtest/gtest.h>

#include "source/GrowableArray.h"

using ORVO::MediaFoundation::GrowableArray;

TEST(GrowableArray, GrowsToExactlyTheSizeWithZeroedSlotsAndKeepsStorageOnShrink) {
  GrowableArray<int*> array;
  int a = 1, b = 2;
  ASSERT_EQ(array.SetSize(1), S_OK);
  EXPECT_EQ(array[0], nullptr);
  array[0] = &a;
  ASSERT_EQ(array.SetSize(3), S_OK);
  EXPECT_EQ(array.capacity(), 3u);
  EXPECT_EQ(array[0], &a);  // copied on growth
  EXPECT_EQ(array[1], nullptr);
  EXPECT_EQ(array[2], nullptr);
  array[2] = &b;
  ASSERT_EQ(array.SetSize(0), S_OK);
  EXPECT_EQ(array.GetCount(), 0u);
  EXPECT_EQ(array.capacity(), 3u);
}
