#pragma once

// The fixture every engine test shares: a MediaFoundationPlayer on a fake session, whose synthetic
// events travel the real route (a Media Foundation event queue, the player's pump on a work-queue
// thread, a posted message, and a real window's procedure on this thread).
#include <gtest/gtest.h>

#include <mfapi.h>
#include <wrl/client.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FakeMediaSession.h"
#include "TestWindow.h"
#include "session/MediaFoundationPlayer.h"

namespace session_test {

constexpr LONGLONG kSecond = 10000000;

class SessionEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Pumps the window until done() holds; false after the time.
  bool pumpUntil(const std::function<bool()>& done, DWORD milliseconds = 3000);
  // Raises an event on the fake session and waits until the window has handled it.
  void deliver(MediaEventType type, HRESULT status = S_OK);
  // Raises the topology-ready status and waits until the window has handled it.
  void deliverTopologyReady();
  // The fake's event queue dies with its first shutdown: a second open needs a second session.
  void useNewSession();
  void open();
  void openReady();
  void startPlaying();
  // The command waiting / in flight in a slot, 0 for none.
  int queued(int slot);
  int inFlight(int slot);
  // Window messages with a session event that the window procedure has handled so far.
  static int handled();

  static std::wstring s_wavPath;
  Microsoft::WRL::ComPtr<FakeMediaSession> fake;
  std::vector<Microsoft::WRL::ComPtr<FakeMediaSession>> retired;
  std::unique_ptr<SessionOverride> override_;
  orvo_test::TestWindow* window = nullptr;
  ORVO::MediaFoundation::MediaFoundationPlayer* player = nullptr;
};

}  // namespace session_test
