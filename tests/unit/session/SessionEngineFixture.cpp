#include "SessionEngineFixture.h"

#include "ToneWav.h"
#include "Waiting.h"
#include "common/ComAdopt.h"

using ORVO::MediaFoundation::MediaFoundationPlayer;

namespace session_test {

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

// One window for the whole program: destroying a window costs about 2 s under the test bed.
orvo_test::TestWindow& sharedWindow() {
  static orvo_test::TestWindow window(320, 240);
  return window;
}

}  // namespace

std::wstring SessionEngineTest::s_wavPath;

void SessionEngineTest::SetUpTestSuite() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  s_wavPath = orvo_test::WorkingFilePath(L"session-unit-tone.wav");
  ASSERT_TRUE(orvo_test::WriteToneWav(s_wavPath, 1.0, 440.0));
}

void SessionEngineTest::TearDownTestSuite() { MFShutdown(); }

void SessionEngineTest::SetUp() {
  fake = ORVO::AdoptRef(new FakeMediaSession());
  override_.reset(new SessionOverride(fake.Get()));
  window = &sharedWindow();
  ASSERT_EQ(MediaFoundationPlayer::CreateInstance(window->hwnd(), window->hwnd(), &player), S_OK);
  g_player = player;
  g_hostProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window->hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RouteProc)));
}

void SessionEngineTest::TearDown() {
  if (player) {
    player->Dispose();
    g_player = nullptr;
    player->Release();
    player = nullptr;
  }
  window->pump(0);  // stale messages of this test meet a disposed player, not the next test's
  SetWindowLongPtrW(window->hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_hostProc));
  override_.reset();
}

bool SessionEngineTest::pumpUntil(const std::function<bool()>& done, DWORD milliseconds) {
  return orvo_test::WaitUntil(
      [&] {
        window->pump(0);
        return done();
      },
      milliseconds, 1);
}

void SessionEngineTest::deliver(MediaEventType type, HRESULT status) {
  const int before = g_handled;
  ASSERT_EQ(fake->Raise(type, status), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; })) << "event " << type << " never reached the window";
}

void SessionEngineTest::deliverTopologyReady() {
  const int before = g_handled;
  ASSERT_EQ(fake->RaiseTopologyReady(), S_OK);
  ASSERT_TRUE(pumpUntil([&] { return g_handled > before; })) << "the topology status never reached the window";
}

void SessionEngineTest::useNewSession() {
  retired.push_back(fake);
  fake = ORVO::AdoptRef(new FakeMediaSession());
  override_.reset();
  override_.reset(new SessionOverride(fake.Get()));
}

void SessionEngineTest::open() { ASSERT_EQ(player->OpenURL(7, s_wavPath.c_str(), {}, nullptr), S_OK); }

void SessionEngineTest::openReady() {
  open();
  deliverTopologyReady();
}

void SessionEngineTest::startPlaying() {
  openReady();
  ASSERT_EQ(player->RequestStart(), S_OK);
  deliver(MESessionStarted);
  ASSERT_EQ(player->GetState(), Started);
}

int SessionEngineTest::queued(int slot) {
  auto map = player->queuedCommands();
  auto it = map.find(slot);
  return it == map.end() ? 0 : it->second.command;
}

int SessionEngineTest::inFlight(int slot) {
  auto map = player->inFlightCommands();
  auto it = map.find(slot);
  return it == map.end() ? 0 : it->second.command;
}

int SessionEngineTest::handled() { return g_handled; }

}  // namespace session_test
