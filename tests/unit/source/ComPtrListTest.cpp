#include <gtest/gtest.h>

#include <mfapi.h>
#include <wrl/client.h>

#include "source/ComPtrList.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::ComPtrList;

namespace {

ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

}  // namespace

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
