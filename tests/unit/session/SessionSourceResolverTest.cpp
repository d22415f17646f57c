// Which source a URI opens, and how a refused open leaves the engine.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include "SessionEngineFixture.h"
#include "ToneWav.h"

using SessionSourceResolverTest = session_test::SessionEngineTest;

namespace {

int NeverCalled(int, unsigned char, IMFSample*, int) { return 1; }

}  // namespace

TEST_F(SessionSourceResolverTest, UnreachableFileFailsOpenAndLeavesClosed) {
  const std::wstring missing = orvo_test::WorkingFilePath(L"no-such-file.wav");
  EXPECT_TRUE(FAILED(player->OpenURL(7, missing.c_str(), {}, nullptr)));
  EXPECT_EQ(player->GetState(), Closed);
  EXPECT_TRUE(player->inFlightCommands().empty());
  // Upper-case scheme is not host-fed: it goes to the platform resolver, which knows no such scheme.
  EXPECT_TRUE(FAILED(player->OpenURL(7, L"ORVO://stream", {}, nullptr)));
  EXPECT_EQ(player->GetState(), Closed);
}

TEST_F(SessionSourceResolverTest, HostFedSchemeWithoutStreamsIsRefusedByTheSource) {
  EXPECT_EQ(player->OpenURL(7, L"orvo://nothing", {}, &NeverCalled), MF_E_INVALIDREQUEST);
  EXPECT_EQ(player->GetState(), Closed);
  EXPECT_TRUE(player->inFlightCommands().empty());
}
