#include <gtest/gtest.h>

#include "SourceTestSupport.h"

using namespace source_test;

namespace {

// Opens a source over one stream of the given type and hands back its stream object.
struct OpenedStream {
  OrvoSource* source = nullptr;
  ComPtr<OrvoStream> stream;
  OpenedStream(IMFMediaType* type, bool lowLatency) {
    EXPECT_EQ(OrvoSource::CreateInstance(&source), S_OK);
    source->m_lowLatency = lowLatency ? 1 : 0;
    EXPECT_EQ(source->Open(1, L"orvo://x", {Descriptor(0, type)}, &ScriptedHost::Callback), S_OK);
    stream = source->streamAt(0);
  }
  ~OpenedStream() {
    stream.Reset();
    source->Shutdown();
    source->Release();
  }
};

// The host holds its answers back until the test allows them, so tokens and samples can be paired
// in a known order.
class GatedHost {
 public:
  GatedHost() : m_gate(CreateSemaphoreW(nullptr, 0, 1000, nullptr)) {
    auto next = std::make_shared<LONGLONG>(0);
    HANDLE gate = m_gate;
    ScriptedHost::Instance().reset([gate, next](int, unsigned char, IMFSample* sample) {
      if (WaitForSingleObject(gate, 5000) != WAIT_OBJECT_0) return -1;
      LONGLONG time = *next;
      *next += 1;
      return FillSample(sample, 64, 5, time);
    });
  }
  ~GatedHost() {
    ReleaseSemaphore(m_gate, 100, nullptr);
    ScriptedHost::Instance().reset(nullptr);
    CloseHandle(m_gate);
  }
  void allow(LONG count) { ReleaseSemaphore(m_gate, count, nullptr); }

 private:
  HANDLE m_gate;
};

}  // namespace

TEST(OrvoStream, SizesBuffersAndReadAheadFromTheMediaType) {
  struct Case {
    ComPtr<IMFMediaType> type;
    bool lowLatency;
    UINT32 bufferSize;
    UINT32 samplesAhead;
  } cases[] = {
      {VideoType(3840, 2160), false, 2097152, 5},
      {VideoType(320, 240), false, 102400, 5},
      {VideoType(1920, 1080, 30000, 1001), false, 524288, 5},
      {VideoType(1920, 1080, 60, 1), false, 524288, 10},
      {VideoType(1920, 1080, 60, 1), true, 524288, 1},
      {VideoType(640, 360, 60, 0), false, 102400, 5},  // no usable rate
      {AudioType(192000), false, 192000, 5},
      {AudioType(8000), false, 10240, 5},
      {AudioType(0), true, 10240, 1},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    OpenedStream opened(cases[i].type.Get(), cases[i].lowLatency);
    ASSERT_TRUE(opened.stream) << i;
    EXPECT_EQ(opened.stream->bufferSize(), cases[i].bufferSize) << i;
    EXPECT_EQ(opened.stream->samplesAhead(), cases[i].samplesAhead) << i;
  }
  // Another major type keeps the defaults.
  ComPtr<IMFMediaType> other;
  MFCreateMediaType(&other);
  other->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Script);
  OpenedStream opened(other.Get(), false);
  EXPECT_EQ(opened.stream->bufferSize(), 102400u);
  EXPECT_EQ(opened.stream->samplesAhead(), 5u);
}

TEST(OrvoStream, AnswersItsInterfacesAndDescriptor) {
  auto type = VideoType(640, 360);
  OpenedStream opened(type.Get(), true);
  ComPtr<IMFMediaStream> stream;
  ASSERT_EQ(opened.stream->QueryInterface(IID_PPV_ARGS(&stream)), S_OK);
  ComPtr<IMFMediaEventGenerator> generator;
  EXPECT_EQ(stream.As(&generator), S_OK);
  ComPtr<IMFMediaSource> unrelated;
  EXPECT_EQ(stream.As(&unrelated), E_NOINTERFACE);
  ComPtr<IMFMediaSource> source;
  ASSERT_EQ(stream->GetMediaSource(&source), S_OK);
  ComPtr<IMFMediaSource> expected;
  opened.source->QueryInterface(IID_PPV_ARGS(&expected));
  EXPECT_EQ(source.Get(), expected.Get());
  ComPtr<IMFStreamDescriptor> descriptor;
  ASSERT_EQ(stream->GetStreamDescriptor(&descriptor), S_OK);
  DWORD id = 99;
  descriptor->GetStreamIdentifier(&id);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(stream->GetMediaSource(nullptr), E_POINTER);
}

TEST(OrvoStream, PairsTokensWithSamplesOldestFirst) {
  auto type = VideoType(640, 360);
  OpenedStream opened(type.Get(), false);
  GatedHost host;
  auto streams = StartAll(opened.source);
  ASSERT_EQ(streams.size(), 1u);
  ComPtr<IMFMediaStream> stream = streams[0];
  ASSERT_TRUE(WaitForEvent(stream.Get(), MEStreamStarted));

  // Three tokens, then two samples: two deliveries in token order, the third token waits.
  ComPtr<IMFSample> tokens[3];
  for (auto& token : tokens) {
    MFCreateSample(&token);
    ASSERT_EQ(stream->RequestSample(token.Get()), S_OK);
  }
  host.allow(2);
  for (int i = 0; i < 2; ++i) {
    ComPtr<IMFMediaEvent> event = WaitForEvent(stream.Get(), MEMediaSample);
    ASSERT_TRUE(event) << i;
    ComPtr<IMFSample> sample = SampleOf(event.Get());
    ComPtr<IUnknown> carried;
    ASSERT_EQ(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried)), S_OK);
    ComPtr<IUnknown> expected;
    tokens[i].As(&expected);
    EXPECT_EQ(carried.Get(), expected.Get()) << i;
    LONGLONG time = -1;
    sample->GetSampleTime(&time);
    EXPECT_EQ(time, i);
  }
  EXPECT_FALSE(NextEvent(stream.Get(), 100));
  EXPECT_EQ(opened.stream->tokenCount(), 1u);
  host.allow(1);
  EXPECT_TRUE(WaitForEvent(stream.Get(), MEMediaSample));
}

TEST(OrvoStream, NullTokenIsAllowedAndNotSetOnTheSample) {
  auto type = VideoType(640, 360);
  OpenedStream opened(type.Get(), true);
  GatedHost host;
  auto streams = StartAll(opened.source);
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
  host.allow(1);
  ComPtr<IMFMediaEvent> event = WaitForEvent(streams[0].Get(), MEMediaSample);
  ASSERT_TRUE(event);
  ComPtr<IUnknown> carried;
  EXPECT_EQ(SampleOf(event.Get())->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried)),
            MF_E_ATTRIBUTENOTFOUND);
}

TEST(OrvoStream, ReadAheadIsBoundedWhileThePipelineIsSlow) {
  auto type = VideoType(640, 360);
  OpenedStream opened(type.Get(), true);
  ScriptedHost::Instance().reset([](int, unsigned char, IMFSample* sample) { return FillSample(sample, 8, 1, 0); });
  auto streams = StartAll(opened.source);
  ASSERT_EQ(streams.size(), 1u);
  // Many requests, each served: in low-latency mode exactly one sample is kept ahead, so the host
  // is asked once per request plus one, not once more for every request round.
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(WaitForEvent(streams[0].Get(), MEMediaSample)) << i;
  }
  // The one sample ahead after the last request is fetched, and nothing beyond it.
  ASSERT_TRUE(orvo_test::WaitUntil([] { return ScriptedHost::Instance().callCount() >= 21; }, 3000));
  EXPECT_LE(ScriptedHost::Instance().callCount(), 21u);
  EXPECT_LE(opened.source->pullQueueLength(), 1u);
  EXPECT_LE(opened.stream->queuedSampleCount(), 1u);
  ScriptedHost::Instance().reset(nullptr);
}

TEST(OrvoStream, DeselectedStreamRefusesRequests) {
  auto video = VideoType(640, 360);
  auto audio = AudioType(16000);
  OrvoSource* source = nullptr;
  ASSERT_EQ(OrvoSource::CreateInstance(&source), S_OK);
  ASSERT_EQ(source->Open(1, L"orvo://x", {Descriptor(0, video.Get()), Descriptor(1, audio.Get())},
                         &ScriptedHost::Callback),
            S_OK);
  ScriptedHost::Instance().reset([](int, unsigned char, IMFSample* sample) { return FillSample(sample, 8, 1, 0); });
  ComPtr<IMFPresentationDescriptor> pd;
  source->CreatePresentationDescriptor(&pd);
  pd->DeselectStream(1);
  PROPVARIANT empty;
  PropVariantInit(&empty);
  ASSERT_EQ(source->Start(pd.Get(), &GUID_NULL, &empty), S_OK);
  ComPtr<IMFMediaEvent> event = NextEvent(source);
  ASSERT_EQ(TypeOf(event.Get()), MENewStream);
  EXPECT_EQ(TypeOf(NextEvent(source).Get()), MESourceStarted);
  ComPtr<OrvoStream> audioStream = source->streamAt(1);
  ASSERT_TRUE(audioStream);
  EXPECT_FALSE(audioStream->selected());
  EXPECT_EQ(audioStream->RequestSample(nullptr), MF_E_INVALIDREQUEST);
  event = WaitForEvent(source, MEError);
  ASSERT_TRUE(event);
  EXPECT_EQ(StatusOf(event.Get()), MF_E_INVALIDREQUEST);
  audioStream.Reset();
  source->Shutdown();
  source->Release();
  ScriptedHost::Instance().reset(nullptr);
}
