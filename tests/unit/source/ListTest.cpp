#include <gtest/gtest.h>

#include <vector>

#include "source/List.h"

using ORVO::MediaFoundation::List;

namespace {

std::vector<int> Items(List<int>& list) {
  std::vector<int> items;
  for (auto* node = list.FrontNode(); node != list.Sentinel(); node = node->next) items.push_back(node->item);
  return items;
}

}  // namespace

TEST(List, InsertsAtBothEndsAndRemovesInOrder) {
  List<int> list;
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.InsertBack(2), S_OK);
  EXPECT_EQ(list.InsertFront(1), S_OK);
  EXPECT_EQ(list.InsertBack(3), S_OK);
  EXPECT_EQ(list.GetCount(), 3u);
  EXPECT_EQ(Items(list), (std::vector<int>{1, 2, 3}));

  int item = 0;
  EXPECT_EQ(list.GetFront(&item), S_OK);
  EXPECT_EQ(item, 1);
  EXPECT_EQ(list.GetBack(&item), S_OK);
  EXPECT_EQ(item, 3);
  EXPECT_EQ(list.RemoveBack(&item), S_OK);
  EXPECT_EQ(item, 3);
  EXPECT_EQ(list.RemoveFront(&item), S_OK);
  EXPECT_EQ(item, 1);
  EXPECT_EQ(Items(list), (std::vector<int>{2}));
  list.Clear();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.GetCount(), 0u);
  EXPECT_EQ(list.RemoveFront(&item), E_FAIL);
}

TEST(List, RefusesNullNodesAndTheSentinel) {
  List<int> list;
  list.InsertBack(7);
  int item = 0;
  EXPECT_EQ(list.InsertAfter(1, nullptr), E_POINTER);
  EXPECT_EQ(list.GetItem(nullptr, &item), E_POINTER);
  EXPECT_EQ(list.GetItem(list.FrontNode(), nullptr), E_POINTER);
  EXPECT_EQ(list.RemoveItem(nullptr, &item), E_POINTER);
  EXPECT_EQ(list.RemoveItem(list.Sentinel(), &item), E_INVALIDARG);
  EXPECT_EQ(list.GetCount(), 1u);
  EXPECT_EQ(Items(list), (std::vector<int>{7}));
}
