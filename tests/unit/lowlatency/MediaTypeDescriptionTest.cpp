#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include "lowlatency/MediaTypeDescription.h"

using Microsoft::WRL::ComPtr;
using ORVO::Media::DescribeMediaType;
using ORVO::Media::GuidName;

namespace {

class MediaTypeDescriptionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
  }
  static void TearDownTestSuite() { MFShutdown(); }

  ComPtr<IMFMediaType> NewType() {
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(S_OK, MFCreateMediaType(&type));
    return type;
  }
};

// An attribute store whose GetItemByIndex fails for one index, to reach the failure line.
class FailingItemAttributes : public IMFAttributes {
 public:
  explicit FailingItemAttributes(IMFAttributes* inner, UINT32 failingIndex) : m_inner(inner), m_failing(failingIndex) {}
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetItem(REFGUID k, PROPVARIANT* v) override { return m_inner->GetItem(k, v); }
  STDMETHODIMP GetItemType(REFGUID k, MF_ATTRIBUTE_TYPE* t) override { return m_inner->GetItemType(k, t); }
  STDMETHODIMP CompareItem(REFGUID k, REFPROPVARIANT v, BOOL* r) override { return m_inner->CompareItem(k, v, r); }
  STDMETHODIMP Compare(IMFAttributes* a, MF_ATTRIBUTES_MATCH_TYPE m, BOOL* r) override {
    return m_inner->Compare(a, m, r);
  }
  STDMETHODIMP GetUINT32(REFGUID k, UINT32* v) override { return m_inner->GetUINT32(k, v); }
  STDMETHODIMP GetUINT64(REFGUID k, UINT64* v) override { return m_inner->GetUINT64(k, v); }
  STDMETHODIMP GetDouble(REFGUID k, double* v) override { return m_inner->GetDouble(k, v); }
  STDMETHODIMP GetGUID(REFGUID k, GUID* v) override { return m_inner->GetGUID(k, v); }
  STDMETHODIMP GetStringLength(REFGUID k, UINT32* v) override { return m_inner->GetStringLength(k, v); }
  STDMETHODIMP GetString(REFGUID k, LPWSTR v, UINT32 s, UINT32* l) override { return m_inner->GetString(k, v, s, l); }
  STDMETHODIMP GetAllocatedString(REFGUID k, LPWSTR* v, UINT32* l) override {
    return m_inner->GetAllocatedString(k, v, l);
  }
  STDMETHODIMP GetBlobSize(REFGUID k, UINT32* s) override { return m_inner->GetBlobSize(k, s); }
  STDMETHODIMP GetBlob(REFGUID k, UINT8* b, UINT32 s, UINT32* l) override { return m_inner->GetBlob(k, b, s, l); }
  STDMETHODIMP GetAllocatedBlob(REFGUID k, UINT8** b, UINT32* s) override { return m_inner->GetAllocatedBlob(k, b, s); }
  STDMETHODIMP GetUnknown(REFGUID k, REFIID r, LPVOID* p) override { return m_inner->GetUnknown(k, r, p); }
  STDMETHODIMP SetItem(REFGUID k, REFPROPVARIANT v) override { return m_inner->SetItem(k, v); }
  STDMETHODIMP DeleteItem(REFGUID k) override { return m_inner->DeleteItem(k); }
  STDMETHODIMP DeleteAllItems() override { return m_inner->DeleteAllItems(); }
  STDMETHODIMP SetUINT32(REFGUID k, UINT32 v) override { return m_inner->SetUINT32(k, v); }
  STDMETHODIMP SetUINT64(REFGUID k, UINT64 v) override { return m_inner->SetUINT64(k, v); }
  STDMETHODIMP SetDouble(REFGUID k, double v) override { return m_inner->SetDouble(k, v); }
  STDMETHODIMP SetGUID(REFGUID k, REFGUID v) override { return m_inner->SetGUID(k, v); }
  STDMETHODIMP SetString(REFGUID k, LPCWSTR v) override { return m_inner->SetString(k, v); }
  STDMETHODIMP SetBlob(REFGUID k, const UINT8* b, UINT32 s) override { return m_inner->SetBlob(k, b, s); }
  STDMETHODIMP SetUnknown(REFGUID k, IUnknown* u) override { return m_inner->SetUnknown(k, u); }
  STDMETHODIMP LockStore() override { return m_inner->LockStore(); }
  STDMETHODIMP UnlockStore() override { return m_inner->UnlockStore(); }
  STDMETHODIMP GetCount(UINT32* c) override { return m_inner->GetCount(c); }
  STDMETHODIMP GetItemByIndex(UINT32 i, GUID* k, PROPVARIANT* v) override {
    if (i == m_failing) return MF_E_INVALIDINDEX;
    return m_inner->GetItemByIndex(i, k, v);
  }
  STDMETHODIMP CopyAllItems(IMFAttributes* d) override { return m_inner->CopyAllItems(d); }

 private:
  IMFAttributes* m_inner;
  UINT32 m_failing;
};

}  // namespace

TEST_F(MediaTypeDescriptionTest, VideoTypeListsEachAttributeInStoreOrder) {
  ComPtr<IMFMediaType> type = NewType();
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 1920, 1080);
  type->SetUINT32(MF_MT_AVG_BITRATE, 5000000);
  MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30000, 1001);
  EXPECT_EQ(L"Item 0: MF_MT_MAJOR_TYPE, type 72, value: MFMediaType_Video\n"
            L"Item 1: MF_MT_SUBTYPE, type 72, value: MFVideoFormat_NV12\n"
            L"Item 2: MF_MT_FRAME_SIZE, type 21, value: 1920:1080\n"
            L"Item 3: MF_MT_AVG_BITRATE, type 19, value: 5000000\n"
            L"Item 4: MF_MT_FRAME_RATE, type 21, value: 30000:1001\n",
            DescribeMediaType(type.Get()));
}

TEST_F(MediaTypeDescriptionTest, EmptyStoreAndNullGiveEmptyText) {
  EXPECT_EQ(L"", DescribeMediaType(NewType().Get()));
  EXPECT_EQ(L"", DescribeMediaType(nullptr));
}

TEST_F(MediaTypeDescriptionTest, UnknownGuidsPrintInRegistryForm) {
  const GUID unknownKey = {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};
  const GUID unknownValue = {0x0000abcd, 0x0001, 0x0002, {0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a}};
  EXPECT_EQ(L"{9C27891A-ED7A-40E1-88E8-B22727A024EE}", GuidName(unknownKey));
  ComPtr<IMFMediaType> type = NewType();
  type->SetGUID(unknownKey, unknownValue);
  EXPECT_EQ(L"Item 0: {9C27891A-ED7A-40E1-88E8-B22727A024EE}, type 72, value: "
            L"{0000ABCD-0001-0002-0304-05060708090A}\n",
            DescribeMediaType(type.Get()));
}

TEST_F(MediaTypeDescriptionTest, NameTableCoversAliasesAndFormatBlocks) {
  EXPECT_EQ(L"MF_MT_VIDEO_PROFILE", GuidName(MF_MT_MPEG2_PROFILE));
  EXPECT_EQ(L"MF_MT_VIDEO_LEVEL", GuidName(MF_MT_MPEG2_LEVEL));
  EXPECT_EQ(L"MFVideoFormat_I420", GuidName(MFVideoFormat_I420));
  EXPECT_EQ(L"MFVideoFormat_IYUV", GuidName(MFVideoFormat_IYUV));
  EXPECT_EQ(L"MFAudioFormat_Dolby_DDPlus", GuidName(MFAudioFormat_Dolby_DDPlus));
  // FORMAT_MPEGStreams {05589F83-C356-11CE-BF01-00AA0055595A}, the table's last entry.
  const GUID mpegStreams = {0x05589f83, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
  EXPECT_EQ(L"FORMAT_MPEGStreams", GuidName(mpegStreams));
  // MFVideoFormat_H264 is the FourCC 'H264' in the media-type GUID template.
  const GUID h264 = {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  EXPECT_EQ(L"MFVideoFormat_H264", GuidName(h264));
}

TEST_F(MediaTypeDescriptionTest, BlobBreaksEverySixteenBytes) {
  ComPtr<IMFMediaType> type = NewType();
  UINT8 data[20];
  for (int i = 0; i < 20; ++i) data[i] = static_cast<UINT8>(i * 13);
  type->SetBlob(MF_MT_USER_DATA, data, sizeof(data));
  EXPECT_EQ(L"Item 0: MF_MT_USER_DATA, type 4113, value: "
            L"\n    00 0d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3 "
            L"\n    d0 dd ea f7 \n",
            DescribeMediaType(type.Get()));
}

TEST_F(MediaTypeDescriptionTest, NumbersAfterBlobAreDecimalAgain) {
  ComPtr<IMFMediaType> type = NewType();
  const UINT8 data[2] = {0xff, 0x10};
  type->SetBlob(MF_MT_USER_DATA, data, sizeof(data));
  type->SetUINT32(MF_MT_AVG_BITRATE, 255);
  EXPECT_EQ(L"Item 0: MF_MT_USER_DATA, type 4113, value: \n    ff 10 \n"
            L"Item 1: MF_MT_AVG_BITRATE, type 19, value: 255\n",
            DescribeMediaType(type.Get()));
}

TEST_F(MediaTypeDescriptionTest, ValueTypesFollowTheirOwnFormatting) {
  ComPtr<IMFMediaType> type = NewType();
  ComPtr<IMFMediaType> inner = NewType();
  type->SetUnknown(MF_MT_AM_FORMAT_TYPE, inner.Get());
  type->SetDouble(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 1.0 / 3.0);
  type->SetString(MF_MT_SUBTYPE, L"text");
  type->SetUINT64(MF_MT_SAMPLE_SIZE, (1ULL << 32) + 5);  // not a fraction key: one number
  MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 16, 15);
  EXPECT_EQ(L"Item 0: MF_MT_AM_FORMAT_TYPE, type 13, value: Not Implemented\n"
            L"Item 1: MF_MT_AUDIO_AVG_BYTES_PER_SECOND, type 5, value: 0.333333\n"
            L"Item 2: MF_MT_SUBTYPE, type 31, value: text\n"
            L"Item 3: MF_MT_SAMPLE_SIZE, type 21, value: 4294967301\n"
            L"Item 4: MF_MT_PIXEL_ASPECT_RATIO, type 21, value: 16:15\n",
            DescribeMediaType(type.Get()));
}

TEST_F(MediaTypeDescriptionTest, UnreadableItemReportsItsFailureInHex) {
  ComPtr<IMFMediaType> type = NewType();
  type->SetUINT32(MF_MT_AVG_BITRATE, 10);
  type->SetUINT32(MF_MT_INTERLACE_MODE, 2);
  type->SetUINT32(MF_MT_COMPRESSED, 1);
  FailingItemAttributes failing(type.Get(), 1);
  EXPECT_EQ(L"Item 0: MF_MT_AVG_BITRATE, type 19, value: 10\n"
            L"Item 1: failed c00d36bf\n"
            L"Item 2: MF_MT_COMPRESSED, type 19, value: 1\n",
            DescribeMediaType(&failing));
}
