// The session engine's state machine: requests while opening, confirmations, failures, events and close.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include <string>

#include "SessionEngineFixture.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::MediaFoundationPlayer;
using ORVO::MediaFoundation::SessionCommandQueue;
using session_test::FakeMediaSession;
using session_test::kSecond;

using MediaFoundationPlayerTest = session_test::SessionEngineTest;

TEST_F(MediaFoundationPlayerTest, PlayDuringOpenWaitsAndStartsWhenTheTopologyIsReady) {
  open();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(queued(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandStart);
  EXPECT_EQ(fake->callList(), "SetTopology");

  deliverTopologyReady();
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty)");
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandStart);
  EXPECT_TRUE(player->queuedCommands().empty());

  deliver(MESessionStarted);
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_TRUE(player->inFlightCommands().empty());
}

TEST_F(MediaFoundationPlayerTest, ARefusedQueuedCommandGivesWayToTheNext) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestSeek(2 * kSecond), S_OK);
  EXPECT_EQ(player->RequestStart(), S_OK);  // will be refused: already started by then
  deliver(MESessionStarted);
  EXPECT_EQ(fake->calls.back(), "Start(position=20000000)");
  EXPECT_TRUE(player->queuedCommands().empty());
}

TEST_F(MediaFoundationPlayerTest, TransportPreconditionsRefuseImpossibleCommands) {
  openReady();
  EXPECT_EQ(player->RequestPause(), MF_E_INVALIDREQUEST);  // paused only from Started
  EXPECT_EQ(player->RequestStop(), MF_E_INVALIDREQUEST);   // stopping needs Started or Paused
  EXPECT_EQ(fake->callList(), "SetTopology");
  EXPECT_TRUE(player->inFlightCommands().empty());
  // A session that refuses the call leaves nothing in flight.
  fake->startResult = MF_E_INVALIDREQUEST;
  EXPECT_EQ(player->RequestStart(), MF_E_INVALIDREQUEST);
  EXPECT_TRUE(player->inFlightCommands().empty());
}

TEST_F(MediaFoundationPlayerTest, FailedStartWithNothingWaitingLeavesErrorAndRefusesTransport) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted, E_FAIL);
  EXPECT_EQ(player->GetState(), Error);
  EXPECT_TRUE(player->queuedCommands().empty());
  EXPECT_TRUE(player->inFlightCommands().empty());
  EXPECT_EQ(player->RequestStart(), MF_E_INVALIDREQUEST);
  EXPECT_EQ(player->RequestPause(), MF_E_INVALIDREQUEST);
  EXPECT_EQ(player->RequestStop(), MF_E_INVALIDREQUEST);
  // Seeking has no state condition.
  EXPECT_EQ(player->RequestSeek(kSecond), S_OK);
}

TEST_F(MediaFoundationPlayerTest, FailedStartWithAPauseWaitingKeepsEverythingWaiting) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestPause(), S_OK);
  deliver(MESessionStarted, E_FAIL);
  EXPECT_EQ(player->GetState(), Error);
  EXPECT_EQ(queued(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandPause);
  EXPECT_EQ(player->RequestSeek(kSecond), S_OK);  // waits behind the pause
  EXPECT_EQ(player->queuedCommands().size(), 2u);
  EXPECT_EQ(player->GetState(), Error);
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty)");
}

TEST_F(MediaFoundationPlayerTest, FailedTopologyEventsSwitchToErrorAndKeepTheOpenInFlight) {
  const MediaEventType failing[] = {MESessionTopologySet, MESessionTopologyStatus, MENewPresentation};
  for (MediaEventType type : failing) {
    SCOPED_TRACE(type);
    if (type != failing[0]) useNewSession();
    open();
    deliver(type, MF_E_TOPO_CODEC_NOT_FOUND);
    EXPECT_EQ(player->GetState(), Error);
    EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandOpen);
    EXPECT_EQ(player->RequestStart(), S_OK);  // waits behind the open
    EXPECT_EQ(queued(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandStart);
  }
}

TEST_F(MediaFoundationPlayerTest, FailedPauseAndStopSwitchToError) {
  startPlaying();
  EXPECT_EQ(player->RequestPause(), S_OK);
  deliver(MESessionPaused, E_FAIL);
  EXPECT_EQ(player->GetState(), Error);
  EXPECT_TRUE(player->inFlightCommands().empty());

  // A stop confirmation with a failure as well.
  deliver(MESessionStarted);
  EXPECT_EQ(player->RequestStop(), S_OK);
  deliver(MESessionStopped, E_FAIL);
  EXPECT_EQ(player->GetState(), Error);
}

TEST_F(MediaFoundationPlayerTest, SuccessfulTopologySetAndInformationalEventsChangeNothing) {
  open();
  deliver(MESessionTopologySet);
  deliver(MESessionNotifyPresentationTime);
  deliver(MESessionStreamSinkFormatChanged);
  deliver(MEExtendedType);
  deliver(MESessionCapabilitiesChanged);
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandOpen);
}

TEST_F(MediaFoundationPlayerTest, EndOfPresentationStopsAndIssuesWhatWaits) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestSeek(kSecond / 2), S_OK);
  deliver(MEEndOfPresentation);
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_EQ(fake->calls.back(), "Start(position=5000000)");
  deliver(MESessionStarted);
  EXPECT_EQ(player->GetState(), Started);
  deliver(MESessionEnded);
  EXPECT_EQ(player->GetState(), Stopped);
}

TEST_F(MediaFoundationPlayerTest, NewPresentationBuildsAndSetsANewTopology) {
  startPlaying();
  ComPtr<IMFPresentationDescriptor> descriptor;
  ComPtr<IMFSourceResolver> resolver;
  ComPtr<IUnknown> object;
  MF_OBJECT_TYPE type;
  ASSERT_EQ(MFCreateSourceResolver(&resolver), S_OK);
  ASSERT_EQ(resolver->CreateObjectFromURL(s_wavPath.c_str(), MF_RESOLUTION_MEDIASOURCE, nullptr, &type, &object), S_OK);
  ComPtr<IMFMediaSource> source;
  ASSERT_EQ(object.As(&source), S_OK);
  ASSERT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
  ASSERT_EQ(descriptor->SetUINT64(MF_PD_DURATION, 3 * kSecond), S_OK);
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_UNKNOWN;
  value.punkVal = descriptor.Get();
  const int before = handled();
  ASSERT_EQ(fake->QueueEvent(MENewPresentation, GUID_NULL, S_OK, &value), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return handled() > before; }));
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(player->GetDuration(), 3 * kSecond);
  EXPECT_EQ(fake->calls.back(), "SetTopology");
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandOpen);
  source->Shutdown();
}

TEST_F(MediaFoundationPlayerTest, NullEventIsRefused) { EXPECT_EQ(player->HandleEvent(nullptr), E_POINTER); }

TEST_F(MediaFoundationPlayerTest, SyntheticEventHandedStraightToHandleEventIsConsumed) {
  openReady();
  ASSERT_EQ(player->RequestStart(), S_OK);
  IMFMediaEvent* event = nullptr;
  ASSERT_EQ(MFCreateMediaEvent(MESessionStarted, GUID_NULL, S_OK, nullptr, &event), S_OK);
  const ULONG held = event->AddRef();  // keep one to see that HandleEvent released its own
  EXPECT_EQ(player->HandleEvent(event), S_OK);
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_EQ(event->Release(), held - 2);
}

TEST_F(MediaFoundationPlayerTest, DisposeClosesThenShutsDownPromptly) {
  startPlaying();
  const DWORD start = GetTickCount();
  EXPECT_EQ(player->Dispose(), S_OK);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_LT(elapsed, 1000u);
  EXPECT_EQ(player->GetState(), Closed);
  const std::string calls = fake->callList();
  EXPECT_NE(calls.find("Close Shutdown"), std::string::npos) << calls;
  // Disposed: further events and requests do nothing.
  EXPECT_EQ(player->RequestStart(), MF_E_INVALIDREQUEST);
  EXPECT_EQ(player->OpenURL(7, s_wavPath.c_str(), {}, nullptr), MF_E_SHUTDOWN);
}

TEST_F(MediaFoundationPlayerTest, OpeningAgainTearsTheFirstSessionDown) {
  startPlaying();
  EXPECT_EQ(player->RequestPause(), S_OK);  // left in flight, so the old session gets no Close
  const ComPtr<FakeMediaSession> first = fake;
  useNewSession();
  open();
  EXPECT_EQ(player->GetState(), OpenPending);
  const std::string calls = first->callList();
  EXPECT_NE(calls.find("Pause Shutdown"), std::string::npos) << calls;
  // Only the new open is in flight: the old pause does not carry over.
  const auto map = player->inFlightCommands();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second.command, SessionCommandQueue::CommandOpen);
}

// The session's events reach the engine only through its window: with none (a host whose preview
// window was refused) the open fails at once instead of waiting at OpenPending for good.
TEST_F(MediaFoundationPlayerTest, AnOpenWithoutAWindowFailsAtOnce) {
  MediaFoundationPlayer* windowless = nullptr;
  ASSERT_EQ(MediaFoundationPlayer::CreateInstance(nullptr, nullptr, &windowless), S_OK);
  const ComPtr<MediaFoundationPlayer> owned(windowless);
  windowless->Release();
  EXPECT_EQ(owned->OpenURL(7, s_wavPath.c_str(), {}, nullptr), HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(owned->GetState(), Closed);
  EXPECT_TRUE(fake->callList().empty()) << fake->callList();  // no session was made for it
  owned->Dispose();
}
