// Ownership of session events travelling to a window as posted messages.
#include <gtest/gtest.h>

#include <mfapi.h>

#include "TestWindow.h"
#include "session/PostedSessionEvents.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::PostedSessionEvents;

namespace {

constexpr UINT kMessage = WM_APP + 1;

ComPtr<IMFMediaEvent> makeEvent() {
  ComPtr<IMFMediaEvent> event;
  MFCreateMediaEvent(MESessionStarted, GUID_NULL, S_OK, nullptr, &event);
  return event;
}

// The reference count, read without changing it.
ULONG references(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

class PostedSessionEventsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    s_window = new orvo_test::TestWindow(64, 64);
  }
  static void TearDownTestSuite() {
    delete s_window;
    MFShutdown();
  }
  void TearDown() override {
    // Drop our test messages without dispatching them to anyone.
    MSG msg;
    while (PeekMessageW(&msg, s_window->hwnd(), kMessage, kMessage, PM_REMOVE)) {
    }
  }
  static orvo_test::TestWindow* s_window;
};

orvo_test::TestWindow* PostedSessionEventsTest::s_window = nullptr;

}  // namespace

TEST_F(PostedSessionEventsTest, TheOwnerClaimsItsEventWithTheReferenceThatWasPosted) {
  PostedSessionEvents& table = PostedSessionEvents::Instance();
  const uint64_t owner = table.Register();
  ComPtr<IMFMediaEvent> event = makeEvent();
  ASSERT_TRUE(table.Post(owner, s_window->hwnd(), kMessage, event.Get(), MESessionStarted));
  EXPECT_EQ(references(event.Get()), 2u);
  MSG msg = {};
  ASSERT_TRUE(PeekMessageW(&msg, s_window->hwnd(), kMessage, kMessage, PM_REMOVE));
  EXPECT_EQ(msg.wParam, reinterpret_cast<WPARAM>(event.Get()));
  EXPECT_EQ(msg.lParam, static_cast<LPARAM>(MESessionStarted));
  {
    ComPtr<IMFMediaEvent> claimed = table.Claim(owner, msg.wParam);
    EXPECT_EQ(claimed.Get(), event.Get());
    EXPECT_EQ(references(event.Get()), 2u);  // the table's reference moved, none was added
  }
  EXPECT_EQ(references(event.Get()), 1u);
  // A second delivery of the same message finds nothing.
  EXPECT_FALSE(table.Claim(owner, msg.wParam));
  table.Retire(owner);
}

TEST_F(PostedSessionEventsTest, RetiringAnEngineReleasesItsUndeliveredEventsAndRefusesNewOnes) {
  PostedSessionEvents& table = PostedSessionEvents::Instance();
  const uint64_t owner = table.Register();
  const uint64_t other = table.Register();
  ComPtr<IMFMediaEvent> mine = makeEvent();
  ComPtr<IMFMediaEvent> theirs = makeEvent();
  ASSERT_TRUE(table.Post(owner, s_window->hwnd(), kMessage, mine.Get(), 0));
  ASSERT_TRUE(table.Post(other, s_window->hwnd(), kMessage, theirs.Get(), 0));
  EXPECT_EQ(table.Retire(owner), 1u);
  EXPECT_EQ(references(mine.Get()), 1u);
  EXPECT_EQ(references(theirs.Get()), 2u);
  // The stale message is ignored, and the retired engine cannot post again.
  EXPECT_FALSE(table.Claim(owner, reinterpret_cast<WPARAM>(mine.Get())));
  EXPECT_FALSE(table.Post(owner, s_window->hwnd(), kMessage, mine.Get(), 0));
  EXPECT_EQ(references(mine.Get()), 1u);
  table.Retire(other);
  EXPECT_EQ(references(theirs.Get()), 1u);
}

TEST_F(PostedSessionEventsTest, AnEventOfAnotherEngineIsDroppedNotHandled) {
  PostedSessionEvents& table = PostedSessionEvents::Instance();
  const uint64_t first = table.Register();
  const uint64_t second = table.Register();
  ComPtr<IMFMediaEvent> event = makeEvent();
  ASSERT_TRUE(table.Post(first, s_window->hwnd(), kMessage, event.Get(), 0));
  EXPECT_FALSE(table.Claim(second, reinterpret_cast<WPARAM>(event.Get())));
  EXPECT_EQ(references(event.Get()), 1u);
  table.Retire(first);
  table.Retire(second);
}

TEST_F(PostedSessionEventsTest, DiscardReleasesAnEventThatReachedAWindowWithoutEngine) {
  PostedSessionEvents& table = PostedSessionEvents::Instance();
  const uint64_t owner = table.Register();
  ComPtr<IMFMediaEvent> event = makeEvent();
  ASSERT_TRUE(table.Post(owner, s_window->hwnd(), kMessage, event.Get(), 0));
  table.Discard(reinterpret_cast<WPARAM>(event.Get()));
  EXPECT_EQ(references(event.Get()), 1u);
  table.Discard(reinterpret_cast<WPARAM>(event.Get()));  // already gone: nothing happens
  table.Discard(0x1234);                                    // never posted: never dereferenced
  EXPECT_EQ(references(event.Get()), 1u);
  table.Retire(owner);
}

TEST_F(PostedSessionEventsTest, PostingToAWindowThatIsGoneKeepsNothing) {
  PostedSessionEvents& table = PostedSessionEvents::Instance();
  const uint64_t owner = table.Register();
  ComPtr<IMFMediaEvent> event = makeEvent();
  const size_t before = table.InFlight();
  EXPECT_FALSE(table.Post(owner, reinterpret_cast<HWND>(static_cast<uintptr_t>(0xDEAD0)), kMessage, event.Get(), 0));
  EXPECT_EQ(references(event.Get()), 1u);
  EXPECT_EQ(table.InFlight(), before);
  table.Retire(owner);
}
