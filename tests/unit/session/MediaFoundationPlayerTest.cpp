// The session engine's state machine and command queue, driven by synthetic session events that
// travel the real route: a Media Foundation event queue, the player's pump on a work-queue thread,
// a posted message, and a real window's procedure on this thread.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "FakeMediaSession.h"
#include "TestWindow.h"
#include "ToneWav.h"
#include "session/MediaFoundationPlayer.h"
#include "session/PostedSessionEvents.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::MediaFoundationPlayer;
using ORVO::MediaFoundation::PostedSessionEvents;
using ORVO::MediaFoundation::SessionCommandQueue;
using session_test::FakeDisplayControl;
using session_test::FakeMediaSession;
using session_test::FakeMixerBitmap;
using session_test::FakeStreamVolume;
using session_test::ServiceMode;
using session_test::SessionOverride;

namespace {

MediaFoundationPlayer* g_player = nullptr;
WNDPROC g_hostProc = nullptr;
int g_handled = 0;

// What the facade's window procedure does with the session's message.
LRESULT CALLBACK RouteProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == MediaFoundationPlayer::kSessionEventMessage) {
    if (g_player) {
      g_player->HandlePostedEvent(wParam);
    } else {
      MediaFoundationPlayer::DiscardPostedEvent(wParam);
    }
    ++g_handled;
    return 0;
  }
  return CallWindowProcW(g_hostProc, window, message, wParam, lParam);
}

constexpr LONGLONG kSecond = 10000000;

}  // namespace

class SessionEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    s_wavPath = orvo_test::WorkingFilePath(L"session-unit-tone.wav");
    ASSERT_TRUE(orvo_test::WriteToneWav(s_wavPath, 1.0, 440.0));
    // One window for the suite: destroying a window costs about 2 s under the test bed.
    s_window = new orvo_test::TestWindow(320, 240);
  }
  static void TearDownTestSuite() {
    delete s_window;
    s_window = nullptr;
    MFShutdown();
  }

  void SetUp() override {
    fake = new FakeMediaSession();
    override_.reset(new SessionOverride(fake));
    window = s_window;
    ASSERT_EQ(MediaFoundationPlayer::CreateInstance(window->hwnd(), window->hwnd(), &player), S_OK);
    g_player = player;
    g_hostProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window->hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RouteProc)));
  }

  void TearDown() override {
    if (player) {
      player->Dispose();
      g_player = nullptr;
      player->Release();
      player = nullptr;
    }
    window->pump(0);  // stale messages of this test meet a disposed player, not the next test's
    SetWindowLongPtrW(window->hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_hostProc));
    override_.reset();
    fake->Release();
    for (FakeMediaSession* old : retired) old->Release();
  }

  bool pumpUntil(const std::function<bool()>& done, DWORD milliseconds = 3000) {
    const DWORD start = GetTickCount();
    while (!done()) {
      if (GetTickCount() - start > milliseconds) return false;
      window->pump(0);
      Sleep(1);
    }
    return true;
  }

  // Raises an event on the fake session and waits until the window has handled it.
  void deliver(MediaEventType type, HRESULT status = S_OK) {
    const int before = g_handled;
    ASSERT_EQ(fake->Raise(type, status), S_OK);
    ASSERT_TRUE(pumpUntil([&] { return g_handled > before; })) << "event " << type << " never reached the window";
  }

  // The fake's event queue dies with its first shutdown: a second open needs a second session.
  void useNewSession() {
    retired.push_back(fake);
    fake = new FakeMediaSession();
    override_.reset();
    override_.reset(new SessionOverride(fake));
  }

  void open() { ASSERT_EQ(player->OpenURL(7, s_wavPath.c_str(), {}, nullptr), S_OK); }

  void openReady() {
    open();
    const int before = g_handled;
    ASSERT_EQ(fake->RaiseTopologyReady(), S_OK);
    ASSERT_TRUE(pumpUntil([&] { return g_handled > before; }));
  }

  void startPlaying() {
    openReady();
    ASSERT_EQ(player->RequestStart(), S_OK);
    deliver(MESessionStarted);
    ASSERT_EQ(player->GetState(), Started);
  }

  int queued(int slot) {
    auto map = player->queuedCommands();
    auto it = map.find(slot);
    return it == map.end() ? 0 : it->second.command;
  }
  int inFlight(int slot) {
    auto map = player->inFlightCommands();
    auto it = map.find(slot);
    return it == map.end() ? 0 : it->second.command;
  }

  static std::wstring s_wavPath;
  FakeMediaSession* fake = nullptr;
  std::vector<FakeMediaSession*> retired;
  std::unique_ptr<SessionOverride> override_;
  static orvo_test::TestWindow* s_window;
  orvo_test::TestWindow* window = nullptr;
  MediaFoundationPlayer* player = nullptr;
};

std::wstring SessionEngineTest::s_wavPath;
orvo_test::TestWindow* SessionEngineTest::s_window = nullptr;

// ---- Open and topology ---------------------------------------------------------------------

TEST_F(SessionEngineTest, OpenBuildsASourceToRendererTopologyAndWaitsForTheSession) {
  EXPECT_EQ(player->GetState(), Closed);
  open();
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandOpen);
  EXPECT_EQ(fake->callList(), "SetTopology");
  // One audio stream: one source node connected straight to one audio renderer node.
  ASSERT_TRUE(fake->lastTopology);
  WORD nodes = 0;
  ASSERT_EQ(fake->lastTopology->GetNodeCount(&nodes), S_OK);
  ASSERT_EQ(nodes, 2);
  int sources = 0, outputs = 0;
  for (WORD i = 0; i < nodes; ++i) {
    ComPtr<IMFTopologyNode> node;
    ASSERT_EQ(fake->lastTopology->GetNode(i, &node), S_OK);
    MF_TOPOLOGY_TYPE type;
    node->GetNodeType(&type);
    if (type == MF_TOPOLOGY_SOURCESTREAM_NODE) {
      ++sources;
      ComPtr<IMFTopologyNode> downstream;
      DWORD input = 99;
      ASSERT_EQ(node->GetOutput(0, &downstream, &input), S_OK);
      MF_TOPOLOGY_TYPE downstreamType;
      downstream->GetNodeType(&downstreamType);
      EXPECT_EQ(downstreamType, MF_TOPOLOGY_OUTPUT_NODE);  // no decoder node in between
      EXPECT_EQ(input, 0u);
    } else if (type == MF_TOPOLOGY_OUTPUT_NODE) {
      ++outputs;
      ComPtr<IUnknown> object;
      ASSERT_EQ(node->GetObject(&object), S_OK);
      ComPtr<IMFActivate> activate;
      EXPECT_EQ(object.As(&activate), S_OK);
      UINT32 noShutdown = 7;
      EXPECT_EQ(node->GetUINT32(MF_TOPONODE_NOSHUTDOWN_ON_REMOVE, &noShutdown), S_OK);
      EXPECT_EQ(noShutdown, 0u);
    }
  }
  EXPECT_EQ(sources, 1);
  EXPECT_EQ(outputs, 1);
  // The duration is read from the presentation at open: 1 s of tone.
  EXPECT_NEAR(static_cast<double>(player->GetDuration()), static_cast<double>(kSecond), kSecond * 0.05);

  // Ready topology: Stopped, the open confirmed, the clock taken; playback does not start by itself.
  const int before = g_handled;
  ASSERT_EQ(fake->RaiseTopologyReady(), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; }));
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_TRUE(player->inFlightCommands().empty());
  EXPECT_TRUE(player->hasPresentationClock());
  EXPECT_EQ(fake->callList(), "SetTopology");
}

TEST_F(SessionEngineTest, UnreachableFileFailsOpenAndLeavesClosed) {
  const std::wstring missing = orvo_test::WorkingFilePath(L"no-such-file.wav");
  EXPECT_TRUE(FAILED(player->OpenURL(7, missing.c_str(), {}, nullptr)));
  EXPECT_EQ(player->GetState(), Closed);
  EXPECT_TRUE(player->inFlightCommands().empty());
  // Upper-case scheme is not host-fed: it goes to the platform resolver, which knows no such scheme.
  EXPECT_TRUE(FAILED(player->OpenURL(7, L"ORVO://stream", {}, nullptr)));
  EXPECT_EQ(player->GetState(), Closed);
}

// ---- Requests while opening ----------------------------------------------------------------

TEST_F(SessionEngineTest, PlayDuringOpenWaitsAndStartsWhenTheTopologyIsReady) {
  open();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(queued(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandStart);
  EXPECT_EQ(fake->callList(), "SetTopology");

  const int before = g_handled;
  ASSERT_EQ(fake->RaiseTopologyReady(), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; }));
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty)");
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandStart);
  EXPECT_TRUE(player->queuedCommands().empty());

  deliver(MESessionStarted);
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_TRUE(player->inFlightCommands().empty());
}

TEST_F(SessionEngineTest, LaterRequestsReplaceWaitingOnesInTheirSlot) {
  open();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->queuedCommands().size(), 1u);
  EXPECT_EQ(player->RequestStop(), S_OK);
  EXPECT_EQ(queued(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandStop);
  EXPECT_EQ(player->RequestSeek(3 * kSecond), S_OK);
  EXPECT_EQ(player->RequestSeek(4 * kSecond), S_OK);
  EXPECT_EQ(player->RequestRate(1.5), S_OK);
  EXPECT_EQ(player->RequestRate(0.5), S_OK);
  const auto map = player->queuedCommands();
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at(SessionCommandQueue::SlotSeek).position, 4 * kSecond);
  EXPECT_DOUBLE_EQ(map.at(SessionCommandQueue::SlotRate).rate, 0.5);
  // Queries report what is waiting.
  EXPECT_EQ(player->GetPosition(), 4 * kSecond);
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 0.5);
  EXPECT_EQ(fake->callList(), "SetTopology");
}

// ---- Issuing and confirming ----------------------------------------------------------------

TEST_F(SessionEngineTest, PauseThenSeekWaitBehindStartAndRunInSlotOrder) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);  // nothing in flight: issued at once
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty)");
  EXPECT_EQ(player->RequestSeek(5 * kSecond), S_OK);
  EXPECT_EQ(player->RequestPause(), S_OK);
  EXPECT_EQ(player->GetPosition(), 5 * kSecond);

  deliver(MESessionStarted);  // transport slot before seek slot
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty) Pause");
  EXPECT_EQ(queued(SessionCommandQueue::SlotSeek), SessionCommandQueue::CommandSeek);

  deliver(MESessionPaused);
  EXPECT_EQ(player->GetState(), Paused);
  EXPECT_EQ(fake->callList(), "SetTopology Start(empty) Pause Start(position=50000000)");
  EXPECT_EQ(player->GetPosition(), 5 * kSecond);  // in flight until confirmed

  deliver(MESessionStarted);
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_TRUE(player->queuedCommands().empty());
  EXPECT_TRUE(player->inFlightCommands().empty());
}

TEST_F(SessionEngineTest, RunQueuedIssuesTransportThenSeekThenRate) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestRate(2.0), S_OK);
  EXPECT_EQ(player->RequestSeek(kSecond), S_OK);
  EXPECT_EQ(player->RequestStop(), S_OK);

  deliver(MESessionStarted);
  EXPECT_EQ(fake->calls.back(), "Stop");
  deliver(MESessionStopped);
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_EQ(fake->calls.back(), "Start(position=10000000)");  // a seek has no state condition
  EXPECT_EQ(fake->rate->setCalls, 0);
  deliver(MESessionStarted);
  EXPECT_EQ(fake->rate->setCalls, 1);
  EXPECT_FLOAT_EQ(fake->rate->rate, 2.0f);
  EXPECT_FALSE(fake->rate->thinned);
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotRate), SessionCommandQueue::CommandRate);
  fake->rate->rate = 1.75f;  // the session's own answer is only read once the change is confirmed
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 2.0);
  deliver(MESessionRateChanged);
  EXPECT_EQ(player->GetState(), Started);  // a rate change leaves the state alone
  EXPECT_TRUE(player->inFlightCommands().empty());
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 1.75);
}

TEST_F(SessionEngineTest, ARefusedQueuedCommandGivesWayToTheNext) {
  openReady();
  EXPECT_EQ(player->RequestStart(), S_OK);
  EXPECT_EQ(player->RequestSeek(2 * kSecond), S_OK);
  EXPECT_EQ(player->RequestStart(), S_OK);  // will be refused: already started by then
  deliver(MESessionStarted);
  EXPECT_EQ(fake->calls.back(), "Start(position=20000000)");
  EXPECT_TRUE(player->queuedCommands().empty());
}

TEST_F(SessionEngineTest, TransportPreconditionsRefuseImpossibleCommands) {
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

TEST_F(SessionEngineTest, SeekWithoutAClockWaitsWhileOpeningAndFailsOnceReady) {
  fake->withClock = false;
  open();
  EXPECT_EQ(player->RequestSeek(kSecond), S_OK);  // only waits: the open is in flight
  const int before = g_handled;
  ASSERT_EQ(fake->RaiseTopologyReady(), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; }));
  EXPECT_FALSE(player->hasPresentationClock());
  EXPECT_TRUE(player->queuedCommands().empty());  // refused by RunQueued and dropped
  EXPECT_EQ(player->RequestSeek(kSecond), MF_E_NO_CLOCK);
  EXPECT_EQ(player->GetPosition(), 0);
}

TEST_F(SessionEngineTest, RatesOnlySupportedThinnedAreSetThinnedAndUnsupportedOnesFail) {
  startPlaying();
  EXPECT_EQ(player->RequestRate(4.0), S_OK);
  EXPECT_TRUE(fake->rate->thinned);
  EXPECT_FLOAT_EQ(fake->rate->rate, 4.0f);
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 4.0);
  deliver(MESessionRateChanged);
  EXPECT_EQ(player->RequestRate(16.0), MF_E_UNSUPPORTED_RATE);
  EXPECT_EQ(fake->rate->setCalls, 1);
  EXPECT_EQ(player->RequestRate(std::numeric_limits<double>::quiet_NaN()), E_INVALIDARG);
}

TEST_F(SessionEngineTest, NoRateServiceRefusesRateChanges) {
  fake->rateMode = ServiceMode::NullWithSuccess;
  startPlaying();
  EXPECT_EQ(player->RequestRate(1.5), MF_E_INVALIDREQUEST);
  EXPECT_DOUBLE_EQ(player->GetPlaybackRate(), 1.0);
}

// ---- Failures --------------------------------------------------------------------------------

TEST_F(SessionEngineTest, FailedStartWithNothingWaitingLeavesErrorAndRefusesTransport) {
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

TEST_F(SessionEngineTest, FailedStartWithAPauseWaitingKeepsEverythingWaiting) {
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

TEST_F(SessionEngineTest, FailedTopologyEventsSwitchToErrorAndKeepTheOpenInFlight) {
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

TEST_F(SessionEngineTest, FailedPauseAndStopSwitchToError) {
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

TEST_F(SessionEngineTest, SuccessfulTopologySetAndInformationalEventsChangeNothing) {
  open();
  deliver(MESessionTopologySet);
  deliver(MESessionNotifyPresentationTime);
  deliver(MESessionStreamSinkFormatChanged);
  deliver(MEExtendedType);
  deliver(MESessionCapabilitiesChanged);
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandOpen);
}

TEST_F(SessionEngineTest, EndOfPresentationStopsAndIssuesWhatWaits) {
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

TEST_F(SessionEngineTest, NewPresentationBuildsAndSetsANewTopology) {
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
  const int before = g_handled;
  ASSERT_EQ(fake->QueueEvent(MENewPresentation, GUID_NULL, S_OK, &value), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; }));
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(player->GetDuration(), 3 * kSecond);
  EXPECT_EQ(fake->calls.back(), "SetTopology");
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandOpen);
  source->Shutdown();
}

TEST_F(SessionEngineTest, NullEventIsRefused) { EXPECT_EQ(player->HandleEvent(nullptr), E_POINTER); }

TEST_F(SessionEngineTest, SyntheticEventHandedStraightToHandleEventIsConsumed) {
  openReady();
  ASSERT_EQ(player->RequestStart(), S_OK);
  IMFMediaEvent* event = nullptr;
  ASSERT_EQ(MFCreateMediaEvent(MESessionStarted, GUID_NULL, S_OK, nullptr, &event), S_OK);
  const ULONG held = event->AddRef();  // keep one to see that HandleEvent released its own
  EXPECT_EQ(player->HandleEvent(event), S_OK);
  EXPECT_EQ(player->GetState(), Started);
  EXPECT_EQ(event->Release(), held - 2);
}

// ---- Close -----------------------------------------------------------------------------------

TEST_F(SessionEngineTest, DisposeClosesThenShutsDownPromptly) {
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

TEST_F(SessionEngineTest, DisposeOfASessionThatNeverConfirmsCloseReturnsAfterTheLimit) {
  startPlaying();
  fake->answerClose = false;  // as Wine's session after a rate change: no further events
  const DWORD start = GetTickCount();
  EXPECT_EQ(player->Dispose(), S_OK);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, MediaFoundationPlayer::kCloseTimeoutMs - 100);
  EXPECT_LT(elapsed, MediaFoundationPlayer::kCloseTimeoutMs + 1500);
  EXPECT_EQ(fake->shutdownCalls.load(), 1);  // shut down all the same
  EXPECT_EQ(player->GetState(), Closed);
}

TEST_F(SessionEngineTest, EventsStillTravellingWhenTheEngineGoesAreReleased) {
  startPlaying();
  const size_t before = PostedSessionEvents::Instance().InFlight();
  // Raise events but do not pump: they wait in the window's queue.
  ASSERT_EQ(fake->Raise(MESessionNotifyPresentationTime), S_OK);
  ASSERT_EQ(fake->Raise(MESessionNotifyPresentationTime), S_OK);
  const DWORD start = GetTickCount();
  while (PostedSessionEvents::Instance().InFlight() < before + 2 && GetTickCount() - start < 3000) Sleep(5);
  ASSERT_EQ(PostedSessionEvents::Instance().InFlight(), before + 2);
  player->Dispose();
  EXPECT_EQ(PostedSessionEvents::Instance().InFlight(), before);
  // The messages still arrive; the window procedure must ignore their stale pointers.
  const int handled = g_handled;
  ASSERT_TRUE(pumpUntil([&] { return g_handled >= handled + 2; }));
  EXPECT_EQ(player->GetState(), Closed);
}

TEST_F(SessionEngineTest, OpeningAgainTearsTheFirstSessionDown) {
  startPlaying();
  EXPECT_EQ(player->RequestPause(), S_OK);  // left in flight
  FakeMediaSession* first = fake;
  useNewSession();
  open();
  EXPECT_EQ(player->GetState(), OpenPending);
  const std::string calls = first->callList();
  EXPECT_NE(calls.find("Pause Close Shutdown"), std::string::npos) << calls;
  // Only the new open is in flight: the old pause does not carry over.
  const auto map = player->inFlightCommands();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second.command, SessionCommandQueue::CommandOpen);
}

// ---- Volume and balance ----------------------------------------------------------------------

TEST_F(SessionEngineTest, VolumeGivenBeforePlaybackIsAppliedOnStarted) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(2, 1.0f);
  openReady();
  EXPECT_EQ(player->SetVolume(0.8), S_OK);  // no control before Started: remembered
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  EXPECT_EQ(fake->streamVolume->setCalls, 1);
  // The unset balance is read back from equal channels as centre.
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{0.8f, 0.8f}));
  EXPECT_NEAR(player->GetVolume(), 0.8, 1e-6);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
}

TEST_F(SessionEngineTest, BalanceGivenAloneBeforePlaybackIsAppliedOnStarted) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(2, 0.6f);
  openReady();
  EXPECT_EQ(player->SetBalance(0.75), S_OK);
  EXPECT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  // The volume is read from the renderer (0.6) and the left side faded to half of it.
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{0.3f, 0.6f}));
}

TEST_F(SessionEngineTest, StereoBalanceThenVolume) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(2);
  startPlaying();
  EXPECT_EQ(player->SetBalance(0.25), S_OK);
  EXPECT_EQ(player->SetVolume(1.0), S_OK);
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{1.0f, 0.5f}));
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.25);
  EXPECT_DOUBLE_EQ(player->GetVolume(), 1.0);
}

TEST_F(SessionEngineTest, SixChannelBalanceFadesEveryEvenChannel) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(6);
  startPlaying();
  EXPECT_EQ(player->SetVolume(1.0), S_OK);
  EXPECT_EQ(player->SetBalance(0.75), S_OK);
  EXPECT_EQ(fake->streamVolume->volumes, (std::vector<float>{0.5f, 1.0f, 0.5f, 1.0f, 0.5f, 1.0f}));
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.75);
}

TEST_F(SessionEngineTest, MonoReportsCentreWhateverWasSet) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(1);
  startPlaying();
  EXPECT_EQ(player->SetBalance(0.2), S_OK);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
}

TEST_F(SessionEngineTest, VolumeOutsideTheUnitRangeIsRefusedAndNothingChanges) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(2, 0.7f);
  startPlaying();
  EXPECT_EQ(player->SetVolume(1.5), E_INVALIDARG);
  EXPECT_EQ(player->SetVolume(-0.1), E_INVALIDARG);
  EXPECT_EQ(player->SetBalance(std::numeric_limits<double>::quiet_NaN()), E_INVALIDARG);
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_NEAR(player->GetVolume(), 0.7, 1e-6);
}

TEST_F(SessionEngineTest, GetVolumeWithoutAControlReportsFullAndRemembersNothing) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(2, 0.4f);
  openReady();
  // Stopped: no control may be created yet.
  EXPECT_DOUBLE_EQ(player->GetVolume(), 1.0);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
  EXPECT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  // Neither query stored a setting, so nothing was applied on Started.
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_NEAR(player->GetVolume(), 0.4, 1e-6);
}

TEST_F(SessionEngineTest, ServicesThatSucceedWithoutAnInterfaceCountAsAbsent) {
  // Wine answers MR_VIDEO_MIXER_SERVICE with S_OK and a null pointer.
  fake->streamVolumeMode = ServiceMode::NullWithSuccess;
  fake->displayMode = ServiceMode::NullWithSuccess;
  fake->mixerMode = ServiceMode::NullWithSuccess;
  fake->rateMode = ServiceMode::NullWithSuccess;
  startPlaying();
  EXPECT_FALSE(player->hasDisplayControl());
  EXPECT_FALSE(player->hasMixerBitmap());
  EXPECT_EQ(player->SetVolume(0.5), S_OK);
  EXPECT_EQ(player->SetBalance(0.3), S_OK);
  EXPECT_EQ(player->SetFullScreen(TRUE), S_OK);
  EXPECT_EQ(player->SetStretch(TRUE), S_OK);
  EXPECT_EQ(player->SetAlphaBitmap(nullptr), S_OK);
  EXPECT_FALSE(player->OnPaint());
  player->OnSize(100, 100);
}

TEST_F(SessionEngineTest, ChannelCountFailureDropsTheStreamVolume) {
  fake->streamVolumeMode = ServiceMode::Present;
  fake->streamVolume = new FakeStreamVolume(2);
  fake->streamVolume->channelCountResult = E_FAIL;
  startPlaying();
  EXPECT_EQ(player->SetVolume(0.5), S_OK);  // falls back; nothing reaches the stream volume
  EXPECT_EQ(fake->streamVolume->setCalls, 0);
  EXPECT_DOUBLE_EQ(player->GetBalance(), 0.5);
}

// ---- Display controls and overlay ------------------------------------------------------------

TEST_F(SessionEngineTest, DisplaySettingsAreStoredThenAppliedWhenTheTopologyIsReady) {
  fake->displayMode = ServiceMode::Present;
  fake->display = new FakeDisplayControl();
  open();
  EXPECT_EQ(player->SetFullScreen(TRUE), S_OK);
  EXPECT_EQ(player->SetStretch(TRUE), S_OK);
  EXPECT_EQ(fake->display->fullScreen, -1);  // not reached yet
  const int before = g_handled;
  ASSERT_EQ(fake->RaiseTopologyReady(), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; }));
  EXPECT_TRUE(player->hasDisplayControl());
  EXPECT_EQ(fake->display->fullScreen, TRUE);
  EXPECT_EQ(fake->display->aspectMode, static_cast<DWORD>(MFVideoARMode_None));

  EXPECT_EQ(player->SetStretch(FALSE), S_OK);
  EXPECT_EQ(fake->display->aspectMode, static_cast<DWORD>(MFVideoARMode_PreservePicture));
  EXPECT_EQ(player->SetFullScreen(FALSE), S_OK);
  EXPECT_EQ(fake->display->fullScreen, FALSE);

  player->OnSize(640, 360);
  EXPECT_EQ(fake->display->positionCalls, 1);
  EXPECT_EQ(fake->display->lastDestination.right, 640);
  EXPECT_EQ(fake->display->lastDestination.bottom, 360);
  const int repaints = fake->display->repaints;
  EXPECT_TRUE(player->OnPaint());
  EXPECT_EQ(fake->display->repaints, repaints + 1);
}

TEST_F(SessionEngineTest, AlphaBitmapIsLaidOverTheWholeVideoWithBlackTransparent) {
  fake->displayMode = ServiceMode::Present;
  fake->display = new FakeDisplayControl();
  fake->mixerMode = ServiceMode::Present;
  fake->mixer = new FakeMixerBitmap();
  open();
  HBITMAP first = CreateBitmap(64, 32, 1, 32, nullptr);
  ASSERT_TRUE(first);
  EXPECT_EQ(player->SetAlphaBitmap(first), S_OK);  // stored until the mixer exists
  EXPECT_EQ(fake->mixer->setCalls, 0);
  const int before = g_handled;
  ASSERT_EQ(fake->RaiseTopologyReady(), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; }));
  ASSERT_EQ(fake->mixer->setCalls, 1);
  EXPECT_TRUE(fake->mixer->lastFromDc);
  EXPECT_EQ(fake->mixer->bitmapWidth, 64);  // selected into the DC during the call
  EXPECT_EQ(fake->mixer->lastParams.dwFlags, 0x0Au);
  EXPECT_EQ(fake->mixer->lastParams.clrSrcKey, RGB(0, 0, 0));
  EXPECT_EQ(fake->mixer->lastParams.rcSrc.right, 64);
  EXPECT_EQ(fake->mixer->lastParams.rcSrc.bottom, 32);
  EXPECT_FLOAT_EQ(fake->mixer->lastParams.nrcDest.right, 1.0f);
  EXPECT_FLOAT_EQ(fake->mixer->lastParams.nrcDest.bottom, 1.0f);
  EXPECT_GE(fake->display->repaints, 1);  // not playing: repainted so the change shows

  // A new bitmap replaces the first, which the player deletes; null clears the overlay.
  HBITMAP second = CreateBitmap(16, 16, 1, 32, nullptr);
  EXPECT_EQ(player->SetAlphaBitmap(second), S_OK);
  BITMAP info;
  EXPECT_EQ(GetObjectW(first, sizeof(info), &info), 0) << "the replaced bitmap must be deleted";
  EXPECT_EQ(fake->mixer->lastParams.rcSrc.right, 16);
  EXPECT_EQ(player->SetAlphaBitmap(nullptr), S_OK);
  EXPECT_EQ(fake->mixer->clearCalls, 1);
  EXPECT_EQ(GetObjectW(second, sizeof(info), &info), 0);
}

TEST_F(SessionEngineTest, TeardownDeletesTheOwnedBitmap) {
  openReady();
  HBITMAP bitmap = CreateBitmap(8, 8, 1, 32, nullptr);
  EXPECT_EQ(player->SetAlphaBitmap(bitmap), S_OK);
  // Setting the same handle again must not delete it while in use.
  EXPECT_EQ(player->SetAlphaBitmap(bitmap), S_OK);
  BITMAP info;
  EXPECT_NE(GetObjectW(bitmap, sizeof(info), &info), 0);
  player->Dispose();
  EXPECT_EQ(GetObjectW(bitmap, sizeof(info), &info), 0);
}

// ---- Host-fed source -------------------------------------------------------------------------

namespace {

int NeverCalled(int, unsigned char, IMFSample*, int) { return 1; }

ComPtr<IMFStreamDescriptor> describe(DWORD id, const GUID& major, const GUID& subtype) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, major);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (major == MFMediaType_Video) {
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 640, 360);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
  } else {
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 4);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 192000);
  }
  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[1] = {type.Get()};
  MFCreateStreamDescriptor(id, 1, types, &descriptor);
  ComPtr<IMFMediaTypeHandler> handler;
  descriptor->GetMediaTypeHandler(&handler);
  handler->SetCurrentMediaType(type.Get());
  return descriptor;
}

}  // namespace

TEST_F(SessionEngineTest, HostFedAudioAndVideoBecomeTwoDirectBranches) {
  std::vector<ComPtr<IMFStreamDescriptor>> streams = {describe(0, MFMediaType_Audio, MFAudioFormat_PCM),
                                                      describe(1, MFMediaType_Video, MFVideoFormat_H264)};
  ASSERT_EQ(player->OpenURL(7, L"orvo://two-streams", streams, &NeverCalled), S_OK);
  EXPECT_EQ(player->GetState(), OpenPending);
  ASSERT_TRUE(fake->lastTopology);
  WORD nodes = 0;
  ASSERT_EQ(fake->lastTopology->GetNodeCount(&nodes), S_OK);
  ASSERT_EQ(nodes, 4);
  std::vector<GUID> majors;
  for (WORD i = 0; i < nodes; ++i) {
    ComPtr<IMFTopologyNode> node;
    fake->lastTopology->GetNode(i, &node);
    MF_TOPOLOGY_TYPE type;
    node->GetNodeType(&type);
    if (type != MF_TOPOLOGY_SOURCESTREAM_NODE) continue;
    ComPtr<IMFStreamDescriptor> stream;
    ASSERT_EQ(node->GetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, IID_PPV_ARGS(&stream)), S_OK);
    ComPtr<IMFMediaTypeHandler> handler;
    stream->GetMediaTypeHandler(&handler);
    GUID major;
    handler->GetMajorType(&major);
    majors.push_back(major);
    // Each source stream feeds its renderer directly: the session's loader adds the decoders.
    ComPtr<IMFTopologyNode> downstream;
    DWORD input = 0;
    ASSERT_EQ(node->GetOutput(0, &downstream, &input), S_OK);
    MF_TOPOLOGY_TYPE downstreamType;
    downstream->GetNodeType(&downstreamType);
    EXPECT_EQ(downstreamType, MF_TOPOLOGY_OUTPUT_NODE);
  }
  ASSERT_EQ(majors.size(), 2u);
  EXPECT_TRUE(majors[0] == MFMediaType_Audio || majors[1] == MFMediaType_Audio);
  EXPECT_TRUE(majors[0] == MFMediaType_Video || majors[1] == MFMediaType_Video);
}

TEST_F(SessionEngineTest, HostFedSchemeWithoutStreamsIsRefusedByTheSource) {
  EXPECT_EQ(player->OpenURL(7, L"orvo://nothing", {}, &NeverCalled), MF_E_INVALIDREQUEST);
  EXPECT_EQ(player->GetState(), Closed);
  EXPECT_TRUE(player->inFlightCommands().empty());
}
