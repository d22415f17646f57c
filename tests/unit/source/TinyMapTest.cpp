#include <gtest/gtest.h>

#include <mferror.h>

#include <vector>

#include "source/TinyMap.h"

using ORVO::MediaFoundation::TinyMap;

TEST(TinyMap, KeepsKeysInOrderAndRefusesDuplicates) {
  TinyMap<unsigned char, unsigned long> map;
  EXPECT_EQ(map.Insert(2, 20), S_OK);
  EXPECT_EQ(map.Insert(0, 0), S_OK);
  EXPECT_EQ(map.Insert(1, 10), S_OK);
  std::vector<int> keys;
  for (auto* node = map.FrontNode(); node != map.Sentinel(); node = node->next) keys.push_back(node->item.key);
  EXPECT_EQ(keys, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(map.Insert(1, 99), static_cast<HRESULT>(0xC00D36E2));
  EXPECT_EQ(map.GetCount(), 3u);

  unsigned long value = 0;
  EXPECT_EQ(map.Find(1, &value), S_OK);
  EXPECT_EQ(value, 10u);
  EXPECT_EQ(map.Find(3, &value), MF_E_INVALID_KEY);
  EXPECT_EQ(map.lastWalkLength(), 3u);  // walked to the end
  map.Clear();
  EXPECT_EQ(map.GetCount(), 0u);
}

TEST(TinyMap, LookupStopsAtTheFirstLargerKey) {
  TinyMap<unsigned char, unsigned long> map;
  map.Insert(0, 0);
  map.Insert(2, 2);
  map.Insert(5, 5);
  EXPECT_EQ(map.Find(1, nullptr), MF_E_INVALID_KEY);
  EXPECT_EQ(map.lastWalkLength(), 1u);  // passed 0, stopped at 2
}
