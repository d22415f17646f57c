#include <gtest/gtest.h>

#include <mfapi.h>
#include <wrl/client.h>

#include "api/OrvoMediaPlayer.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::OrvoMediaPlayer;

namespace {

class MediaFoundationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK); }
};

::testing::Environment* const g_mediaFoundation =
    ::testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

}  // namespace

// The player's side of host-fed streams: the descriptions a host adds before Open.
TEST(OrvoMediaPlayer, IdentifiersFollowAddOrderAndRestartAfterClose) {
  OrvoMediaPlayer player(3);
  ComPtr<IMFMediaType> types[3];
  for (auto& type : types) {
    ASSERT_EQ(player.CreateMediaType(&type), Ok);
    ASSERT_TRUE(type);
    UINT32 count = 99;
    type->GetCount(&count);
    EXPECT_EQ(count, 0u) << "handed out empty";
  }
  types[0]->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  types[1]->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  types[2]->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  for (auto& type : types) EXPECT_EQ(player.AddMediaType(type.Get()), Ok);
  ASSERT_EQ(player.streamDescriptorCount(), 3u);
  EXPECT_EQ(player.mediaTypeCount(), 3u);
  for (DWORD i = 0; i < 3; ++i) EXPECT_EQ(player.streamIdentifierAt(i), i);
  EXPECT_EQ(player.AddMediaType(nullptr), InvalidArgument);
  EXPECT_EQ(player.mediaTypeCount(), 3u);

  player.Close();
  EXPECT_EQ(player.streamDescriptorCount(), 0u);
  EXPECT_EQ(player.mediaTypeCount(), 0u);
  EXPECT_EQ(player.AddMediaType(types[1].Get()), Ok);
  EXPECT_EQ(player.streamIdentifierAt(0), 0u);
}

TEST(OrvoMediaPlayer, CreateMediaTypeRefusesANullOutPointer) {
  OrvoMediaPlayer player(4);
  EXPECT_EQ(player.CreateMediaType(nullptr), InvalidArgument);
}
