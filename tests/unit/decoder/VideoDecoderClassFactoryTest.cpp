#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/ComAdopt.h"
#include "decoder/VideoDecoderClassFactory.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::VideoDecoderClassFactory;

namespace {

class DecoderFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    m_logPath = std::wstring(dir) + L"orvo-decoder-test-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    DeleteFileW(m_logPath.c_str());
    m_log.Reconfigure(4, m_logPath.c_str());
    ORVO::SetGlobalLog(&m_log);
  }
  void TearDown() override {
    ORVO::SetGlobalLog(nullptr);
    m_log.Reconfigure(0, nullptr);
    VideoDecoderClassFactory::SetDecoderSubtype(GUID_NULL);
    MFShutdown();
  }
  std::string logText() {
    m_log.Reconfigure(4, m_logPath.c_str());  // flushes
    std::ifstream in(m_logPath.c_str(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Wine's activation objects for local registrations carry no friendly name, so a registration
  // is seen as one more entry when local decoders are included.
  UINT32 countDecoders(const GUID& subtype, bool includeLocal) {
    MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, subtype};
    IMFActivate** activates = nullptr;
    UINT32 count = 0;
    const UINT32 flags = MFT_ENUM_FLAG_SYNCMFT | (includeLocal ? MFT_ENUM_FLAG_LOCALMFT : 0);
    if (FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, flags, &input, nullptr, &activates, &count))) return 0;
    for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
    CoTaskMemFree(activates);
    return count;
  }

  ORVO::Log m_log;
  std::wstring m_logPath;
};

}  // namespace

TEST_F(DecoderFactoryTest, QueryInterfaceRules) {
  ComPtr<VideoDecoderClassFactory> factory;
  factory = ORVO::AdoptRef(new VideoDecoderClassFactory());
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  ComPtr<IClassFactory> asFactory;
  ASSERT_EQ(factory->QueryInterface(IID_PPV_ARGS(&asFactory)), S_OK);
  ComPtr<IUnknown> asUnknown;
  ASSERT_EQ(factory->QueryInterface(IID_PPV_ARGS(&asUnknown)), S_OK);
  EXPECT_EQ(asUnknown.Get(), static_cast<IUnknown*>(asFactory.Get()));

  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->QueryInterface(IID_IMFTransform, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);

  // Counts are shared by all interfaces and return the new value.
  asFactory.Reset();
  asUnknown.Reset();
  VideoDecoderClassFactory* raw = factory.Get();
  EXPECT_EQ(raw->AddRef(), 2u);
  EXPECT_EQ(raw->Release(), 1u);
}

TEST_F(DecoderFactoryTest, LockServerCountsBothWays) {
  ComPtr<VideoDecoderClassFactory> factory;
  factory = ORVO::AdoptRef(new VideoDecoderClassFactory());
  const LONG before = VideoDecoderClassFactory::ServerLockCount();
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(VideoDecoderClassFactory::ServerLockCount(), before + 2);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(VideoDecoderClassFactory::ServerLockCount(), before);
}

TEST_F(DecoderFactoryTest, AggregationIsRefusedUnlessUnknownIsAsked) {
  ComPtr<VideoDecoderClassFactory> factory;
  factory = ORVO::AdoptRef(new VideoDecoderClassFactory());
  VideoDecoderClassFactory::SetDecoderSubtype(MFVideoFormat_H264);
  ComPtr<IUnknown> outer;
  factory.As(&outer);
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IMFTransform, &object), E_NOINTERFACE);
  // Accepted and ignored: the decoder comes back unaggregated.
  ComPtr<IUnknown> decoder;
  ASSERT_EQ(factory->CreateInstance(outer.Get(), IID_PPV_ARGS(&decoder)), S_OK);
  ComPtr<IMFTransform> transform;
  EXPECT_EQ(decoder.As(&transform), S_OK);
}

// Wine has one software H.264 decoder, without a friendly name and without ICodecAPI: the hardware
// search finds nothing, the software search finds it, and it is handed out all the same.
TEST_F(DecoderFactoryTest, HandsOutTheSoftwareH264DecoderWhenNoHardwareExists) {
  ComPtr<VideoDecoderClassFactory> factory;
  factory = ORVO::AdoptRef(new VideoDecoderClassFactory());
  VideoDecoderClassFactory::SetDecoderSubtype(MFVideoFormat_H264);

  ComPtr<IMFTransform> decoder;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&decoder)), S_OK);
  ASSERT_TRUE(decoder);

  // It really is an H.264 decoder: it takes an H.264 input type.
  ComPtr<IMFMediaType> input;
  ASSERT_EQ(MFCreateMediaType(&input), S_OK);
  input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  input->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  MFSetAttributeSize(input.Get(), MF_MT_FRAME_SIZE, 640, 360);
  EXPECT_EQ(decoder->SetInputType(0, input.Get(), 0), S_OK);

  const std::string log = logText();
  EXPECT_NE(log.find("VideoDecoderClassFactory::findDecoderEx: found decoder 0: unknown"), std::string::npos) << log;
  EXPECT_NE(log.find("VideoDecoderClassFactory::findDecoderEx: using decoder 0"), std::string::npos) << log;
}

TEST_F(DecoderFactoryTest, SubtypeWithoutAnyDecoderIsCodecNotFound) {
  ComPtr<VideoDecoderClassFactory> factory;
  factory = ORVO::AdoptRef(new VideoDecoderClassFactory());
  // A FourCC nobody decodes.
  GUID unknown = MFVideoFormat_H264;
  unknown.Data1 = 0x5A5A5A5A;
  VideoDecoderClassFactory::SetDecoderSubtype(unknown);
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IMFTransform, &object), MF_E_TOPO_CODEC_NOT_FOUND);
  EXPECT_EQ(object, reinterpret_cast<void*>(0x1));  // not touched on failure
}

TEST_F(DecoderFactoryTest, RegistrationIsVisibleOnlyAsLocalDecoderAndOnlyWhileRegistered) {
  UINT32 inputs = 0, outputs = 0;
  const MFT_REGISTER_TYPE_INFO* in = VideoDecoderClassFactory::InputTypes(&inputs);
  const MFT_REGISTER_TYPE_INFO* out = VideoDecoderClassFactory::OutputTypes(&outputs);
  ASSERT_EQ(inputs, 13u);
  ASSERT_EQ(outputs, 10u);
  EXPECT_EQ(in[0].guidSubtype, MFVideoFormat_H264);
  EXPECT_EQ(in[1].guidSubtype, MFVideoFormat_HEVC);
  EXPECT_EQ(in[4].guidSubtype, MFVideoFormat_MPEG2);
  EXPECT_EQ(in[12].guidSubtype, MFVideoFormat_WVC1);
  EXPECT_EQ(out[4].guidSubtype, MFVideoFormat_RGB24);
  EXPECT_EQ(out[5].guidSubtype, MFVideoFormat_RGB32);
  EXPECT_EQ(out[7].guidSubtype, MFVideoFormat_NV12);
  EXPECT_EQ(out[9].guidSubtype, MFVideoFormat_Y216);
  for (UINT32 i = 0; i < inputs; ++i) EXPECT_EQ(in[i].guidMajorType, MFMediaType_Video);

  ComPtr<VideoDecoderClassFactory> factory;
  factory = ORVO::AdoptRef(new VideoDecoderClassFactory());
  const UINT32 system = countDecoders(MFVideoFormat_H264, false);
  const UINT32 systemWmv = countDecoders(MFVideoFormat_WMV3, false);
  EXPECT_EQ(countDecoders(MFVideoFormat_H264, true), system);
  ASSERT_EQ(factory->Register(), S_OK);
  EXPECT_EQ(countDecoders(MFVideoFormat_H264, true), system + 1);
  EXPECT_EQ(countDecoders(MFVideoFormat_WMV3, true), systemWmv + 1);
  EXPECT_EQ(countDecoders(MFVideoFormat_H264, false), system);  // the factory never finds itself
  ASSERT_EQ(factory->Unregister(), S_OK);
  EXPECT_EQ(countDecoders(MFVideoFormat_H264, true), system);
}

// Two players of different codecs opening at once: each records its subtype on its own thread and
// its reader then asks the factory on that same thread, while the other player's record lands in
// between. Each must get a decoder for its own codec.
TEST_F(DecoderFactoryTest, PlayersOpeningAtOnceOnTwoThreadsEachGetTheirOwnCodec) {
  GUID other = GUID_NULL;
  for (const GUID& candidate : {MFVideoFormat_WMV3, MFVideoFormat_HEVC, MFVideoFormat_MPEG2, MFVideoFormat_MJPG}) {
    if (countDecoders(candidate, false) > 0) {
      other = candidate;
      break;
    }
  }
  if (other == GUID_NULL) GTEST_SKIP() << "the platform decodes no video codec besides H.264";

  ComPtr<VideoDecoderClassFactory> factory = ORVO::AdoptRef(new VideoDecoderClassFactory());
  HANDLE recorded[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  // Some platform decoders describe no input type, so each decoder is told apart by whether it
  // takes H.264: the H.264 player's must, the other's must not.
  bool created[2] = {false, false}, takesH264[2] = {false, false};
  auto open = [&](int player, const GUID& subtype) {
    VideoDecoderClassFactory::SetDecoderSubtype(subtype);
    SetEvent(recorded[player]);
    WaitForMultipleObjects(2, recorded, TRUE, 5000);  // the other player has recorded its own
    ComPtr<IMFTransform> decoder;
    ComPtr<IMFMediaType> h264;
    created[player] = SUCCEEDED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&decoder)));
    if (!created[player] || FAILED(MFCreateMediaType(&h264))) return;
    h264->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    h264->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    MFSetAttributeSize(h264.Get(), MF_MT_FRAME_SIZE, 320, 240);
    takesH264[player] = SUCCEEDED(decoder->SetInputType(0, h264.Get(), MFT_SET_TYPE_TEST_ONLY));
  };
  std::thread first(open, 0, MFVideoFormat_H264);
  std::thread second(open, 1, other);
  first.join();
  second.join();
  CloseHandle(recorded[0]);
  CloseHandle(recorded[1]);
  ASSERT_TRUE(created[0] && created[1]);
  EXPECT_TRUE(takesH264[0]) << "the H.264 player got another codec's decoder";
  EXPECT_FALSE(takesH264[1]) << "the second player got the H.264 decoder";
}
