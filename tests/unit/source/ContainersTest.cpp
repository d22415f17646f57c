#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <vector>

#include "SourceTestSupport.h"
#include "source/ComPtrList.h"
#include "source/GrowableArray.h"
#include "source/List.h"
#include "source/TinyMap.h"

using namespace ORVO::MediaFoundation;
using Microsoft::WRL::ComPtr;

namespace {

// Registered here once for the whole program: every source test needs Media Foundation.
::testing::Environment* const g_mediaFoundation =
    ::testing::AddGlobalTestEnvironment(new source_test::MediaFoundationEnvironment);

std::vector<int> Items(List<int>& list) {
  std::vector<int> items;
  for (auto* node = list.FrontNode(); node != list.Sentinel(); node = node->next) items.push_back(node->item);
  return items;
}

ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
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

TEST(ComPtrList, HoldsOneReferencePerEntryAndHandsOutItsOwn) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(&sample), S_OK);
  ULONG base = RefCount(sample.Get());
  {
    ComPtrList<IMFSample, false> list;
    EXPECT_EQ(list.InsertBack(sample.Get()), S_OK);
    EXPECT_EQ(list.InsertBack(sample.Get()), S_OK);
    EXPECT_EQ(RefCount(sample.Get()), base + 2);

    IMFSample* read = nullptr;
    EXPECT_EQ(list.GetFront(&read), S_OK);
    EXPECT_EQ(RefCount(sample.Get()), base + 3);
    read->Release();

    IMFSample* removed = nullptr;
    EXPECT_EQ(list.RemoveFront(&removed), S_OK);
    EXPECT_EQ(RefCount(sample.Get()), base + 2);  // the list's reference moved to `removed`
    removed->Release();
    EXPECT_EQ(list.RemoveFront(nullptr), S_OK);  // without an output it is released
    EXPECT_EQ(RefCount(sample.Get()), base);

    list.InsertBack(sample.Get());
    list.InsertBack(sample.Get());
  }  // destruction clears
  EXPECT_EQ(RefCount(sample.Get()), base);
}

TEST(ComPtrList, NullItemsOnlyWhereAllowed) {
  ComPtrList<IMFSample, false> samples;
  EXPECT_EQ(samples.InsertBack(nullptr), E_POINTER);
  EXPECT_EQ(samples.GetCount(), 0u);

  ComPtrList<IUnknown, true> tokens;
  EXPECT_EQ(tokens.InsertBack(nullptr), S_OK);
  EXPECT_EQ(tokens.GetCount(), 1u);
  IUnknown* token = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(tokens.RemoveFront(&token), S_OK);
  EXPECT_EQ(token, nullptr);
}

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
