#include <gtest/gtest.h>

#include <mfobjects.h>

#include "source/OrvoSourceOp.h"

using ORVO::MediaFoundation::OrvoSourceOp;
using ORVO::MediaFoundation::OrvoStartOp;

TEST(OrvoSourceOp, KeepsItsDataAndAnswersOnlyIUnknown) {
  PROPVARIANT position;
  PropVariantInit(&position);
  position.vt = VT_I8;
  position.hVal.QuadPart = 42;
  OrvoStartOp* start = nullptr;
  ASSERT_EQ(OrvoStartOp::CreateStartOp(nullptr, &position, &start), S_OK);
  EXPECT_EQ(start->op(), OrvoSourceOp::SourceOpStart);
  EXPECT_EQ(start->data().vt, VT_I8);
  EXPECT_EQ(start->data().hVal.QuadPart, 42);
  void* object = nullptr;
  EXPECT_EQ(start->QueryInterface(__uuidof(IMFAsyncCallback), &object), E_NOINTERFACE);
  EXPECT_EQ(start->QueryInterface(__uuidof(IUnknown), &object), S_OK);
  static_cast<IUnknown*>(object)->Release();
  start->Release();

  OrvoSourceOp* pull = nullptr;
  ASSERT_EQ(OrvoSourceOp::CreatePullOp(3, &pull), S_OK);
  EXPECT_EQ(pull->op(), OrvoSourceOp::SourceOpPull);
  EXPECT_EQ(pull->data().vt, VT_INT);
  EXPECT_EQ(pull->data().intVal, 3);
  EXPECT_EQ(pull->Release(), 0u);
}
