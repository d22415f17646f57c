#include <gtest/gtest.h>

#include <initguid.h>
#include <mfapi.h>
#include <uuids.h>
#include <wrl/client.h>

#include "lowlatency/MediaTypeDescription.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::DescribeMediaType;
using ORVO::Media::GuidName;

namespace {
class MediaTypeDescription : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET), S_OK); }
  void TearDown() override { MFShutdown(); }
};
}  // namespace

TEST_F(MediaTypeDescription, VideoTypeLinesInStoreOrder) {
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(MFCreateMediaType(&type), S_OK);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 1920, 1080);
  type->SetUINT32(MF_MT_AVG_BITRATE, 5000000);
  EXPECT_EQ(DescribeMediaType(type.Get()),
            L"Item 0: MF_MT_MAJOR_TYPE, type 72, value: MFMediaType_Video\n"
            L"Item 1: MF_MT_SUBTYPE, type 72, value: MFVideoFormat_NV12\n"
            L"Item 2: MF_MT_FRAME_SIZE, type 21, value: 1920:1080\n"
            L"Item 3: MF_MT_AVG_BITRATE, type 19, value: 5000000\n");
}

TEST_F(MediaTypeDescription, UnknownKeysBlobsAndInterfaces) {
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(&attributes, 4), S_OK);
  const GUID unknown = {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};
  attributes->SetUINT64(unknown, 7);
  UINT8 blob[20];
  for (int i = 0; i < 20; ++i) blob[i] = static_cast<UINT8>(i * 13);
  attributes->SetBlob(MF_MT_USER_DATA, blob, sizeof(blob));
  ComPtr<IMFAttributes> inner;
  MFCreateAttributes(&inner, 1);
  attributes->SetUnknown(MF_MT_AM_FORMAT_TYPE, inner.Get());
  attributes->SetDouble(MF_MT_AUDIO_PREFER_WAVEFORMATEX, 0.5);
  EXPECT_EQ(DescribeMediaType(attributes.Get()),
            L"Item 0: {9C27891A-ED7A-40E1-88E8-B22727A024EE}, type 21, value: 7\n"
            L"Item 1: MF_MT_USER_DATA, type 4113, value: \n"
            L"    00 0d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3 \n"
            L"    d0 dd ea f7 \n"
            L"Item 2: MF_MT_AM_FORMAT_TYPE, type 13, value: Not Implemented\n"
            L"Item 3: MF_MT_AUDIO_PREFER_WAVEFORMATEX, type 5, value: 0.5\n");
}

TEST_F(MediaTypeDescription, EmptyStoreAndNamesOfTheTable) {
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
  EXPECT_EQ(DescribeMediaType(attributes.Get()), L"");
  EXPECT_EQ(GuidName(MFVideoFormat_HEVC), L"MFVideoFormat_HEVC");
  EXPECT_EQ(GuidName(MFAudioFormat_AAC), L"MFAudioFormat_AAC");
  EXPECT_EQ(GuidName(FORMAT_MPEGStreams), L"FORMAT_MPEGStreams");
  const GUID profile = {0xad76a80b, 0x2d5c, 0x4e0b, {0xb3, 0x75, 0x64, 0xe5, 0x20, 0x13, 0x70, 0x36}};
  EXPECT_EQ(GuidName(profile), L"MF_MT_VIDEO_PROFILE");
}
