// Full screen, aspect ratio, the overlay bitmap and the preview window's resize and repaint.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include "SessionEngineFixture.h"
#include "common/ComAdopt.h"

using session_test::FakeDisplayControl;
using session_test::FakeMixerBitmap;
using session_test::ServiceMode;

using SessionVideoDisplayTest = session_test::SessionEngineTest;

TEST_F(SessionVideoDisplayTest, ServicesThatSucceedWithoutAnInterfaceCountAsAbsent) {
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

TEST_F(SessionVideoDisplayTest, DisplaySettingsAreStoredThenAppliedWhenTheTopologyIsReady) {
  fake->displayMode = ServiceMode::Present;
  fake->display = ORVO::AdoptRef(new FakeDisplayControl());
  open();
  EXPECT_EQ(player->SetFullScreen(TRUE), S_OK);
  EXPECT_EQ(player->SetStretch(TRUE), S_OK);
  EXPECT_EQ(player->SetSourceRect(ORVO::SourceRect{0.25, 0.5, 0.75, 1.0}), S_OK);
  EXPECT_EQ(fake->display->fullScreen, -1);  // not reached yet
  EXPECT_EQ(fake->display->positionCalls, 0);
  deliverTopologyReady();
  EXPECT_TRUE(player->hasDisplayControl());
  EXPECT_EQ(fake->display->fullScreen, TRUE);
  EXPECT_EQ(fake->display->aspectMode, static_cast<DWORD>(MFVideoARMode_None));
  EXPECT_EQ(fake->display->lastSource.left, 0.25f);
  EXPECT_EQ(fake->display->lastSource.top, 0.5f);
  EXPECT_EQ(fake->display->lastSource.right, 0.75f);
  EXPECT_EQ(fake->display->lastSource.bottom, 1.0f);
  // Zoomed out again while shown.
  EXPECT_EQ(player->SetSourceRect(ORVO::SourceRect{}), S_OK);
  EXPECT_EQ(fake->display->lastSource.left, 0.0f);
  EXPECT_EQ(fake->display->lastSource.bottom, 1.0f);
  fake->display->positionCalls = 0;

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

TEST_F(SessionVideoDisplayTest, AlphaBitmapIsLaidOverTheWholeVideoWithBlackTransparent) {
  fake->displayMode = ServiceMode::Present;
  fake->display = ORVO::AdoptRef(new FakeDisplayControl());
  fake->mixerMode = ServiceMode::Present;
  fake->mixer = ORVO::AdoptRef(new FakeMixerBitmap());
  open();
  HBITMAP first = CreateBitmap(64, 32, 1, 32, nullptr);
  ASSERT_TRUE(first);
  EXPECT_EQ(player->SetAlphaBitmap(first), S_OK);  // stored until the mixer exists
  EXPECT_EQ(fake->mixer->setCalls, 0);
  deliverTopologyReady();
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

TEST_F(SessionVideoDisplayTest, TeardownDeletesTheOwnedBitmap) {
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
