#include <gtest/gtest.h>

#include "SourceTestSupport.h"

using namespace source_test;

namespace {

// Registered here once for the whole program: every source test needs Media Foundation.
::testing::Environment* const g_mediaFoundation =
    ::testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

const wchar_t kUri[] = L"orvo://low_latency_renderer";
constexpr int kPlayerId = 17;

// A source of one H.264 stream (identifier 0), opened and ready, with a host that fills every
// sample with 1000 bytes and increasing times unless the test says otherwise.
class OrvoSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptedHost::Instance().reset(fillingHost());
    ASSERT_EQ(OrvoSource::CreateInstance(&m_source), S_OK);
  }
  void TearDown() override {
    if (m_source) {
      m_source->Shutdown();
      m_source->Release();
    }
    ScriptedHost::Instance().reset(nullptr);
  }

  static ScriptedHost::Behaviour fillingHost() {
    auto next = std::make_shared<LONGLONG>(0);
    return [next](int, unsigned char, IMFSample* sample) {
      LONGLONG time = *next;
      *next += 333333;
      return FillSample(sample, 1000, 0xAB, time);
    };
  }

  void open(const Descriptors& descriptors) {
    ASSERT_EQ(m_source->Open(kPlayerId, kUri, descriptors, &ScriptedHost::Callback), S_OK);
  }
  void openVideo() { open({Descriptor(0, VideoType(640, 360).Get())}); }

  OrvoSource* m_source = nullptr;
};

PROPVARIANT I8(LONGLONG value) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_I8;
  v.hVal.QuadPart = value;
  return v;
}

}  // namespace

TEST_F(OrvoSourceTest, OpenChecksItsArguments) {
  Descriptors one{Descriptor(0, VideoType(640, 360).Get())};
  ComPtr<IMFPresentationDescriptor> pd;
  EXPECT_EQ(m_source->CreatePresentationDescriptor(&pd), MF_E_NOT_INITIALIZED);
  EXPECT_EQ(m_source->Open(kPlayerId, nullptr, one, &ScriptedHost::Callback), E_POINTER);
  EXPECT_EQ(m_source->Open(kPlayerId, kUri, one, nullptr), E_POINTER);
  EXPECT_EQ(m_source->Open(kPlayerId, kUri, Descriptors{}, &ScriptedHost::Callback), MF_E_INVALIDREQUEST);
  EXPECT_EQ(m_source->Open(kPlayerId, L"ORVO://low_latency_renderer", one, &ScriptedHost::Callback),
            MF_E_INVALIDREQUEST);
  EXPECT_EQ(m_source->state(), OrvoSource::SourceInvalid);  // refused opens leave it fresh
  EXPECT_EQ(m_source->Open(kPlayerId, kUri, one, &ScriptedHost::Callback), S_OK);
}

TEST(OrvoSourceOpen, SchemeIsCaseSensitiveAndASecondOpenFails) {
  OrvoSource* source = nullptr;
  ASSERT_EQ(OrvoSource::CreateInstance(&source), S_OK);
  Descriptors one{Descriptor(0, VideoType(640, 360).Get())};
  EXPECT_EQ(source->Open(1, L"file:///x.mp4", one, &ScriptedHost::Callback), MF_E_INVALIDREQUEST);
  EXPECT_EQ(source->Open(1, L"Orvo://x", one, &ScriptedHost::Callback), MF_E_INVALIDREQUEST);
  EXPECT_EQ(source->Open(1, L"orvo://x", one, &ScriptedHost::Callback), S_OK);
  EXPECT_EQ(source->state(), OrvoSource::SourceStopped);
  EXPECT_EQ(source->Open(1, L"orvo://x", one, &ScriptedHost::Callback), MF_E_INVALIDREQUEST);
  source->Shutdown();
  source->Release();
}

TEST_F(OrvoSourceTest, OneStreamPerDistinctIdentifierAllSelected) {
  auto video = VideoType(640, 360);
  auto audio = AudioType(16000);
  // 0x100 has the same low 8 bits as 0: no second stream, and left out of the presentation, which
  // must match the streams for Start to accept it.
  LogCapture log(L"source_streams.log");
  open({Descriptor(0, video.Get()), Descriptor(1, audio.Get()), Descriptor(0x100, video.Get())});
  EXPECT_EQ(m_source->streamCount(), 2u);
  EXPECT_TRUE(log.contains("OrvoSource::CreateStreams: stream identifier 256 repeats stream 0, left out"));
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(m_source->CreatePresentationDescriptor(&pd), S_OK);
  DWORD count = 0;
  pd->GetStreamDescriptorCount(&count);
  EXPECT_EQ(count, 2u);
  for (DWORD i = 0; i < count; ++i) {
    BOOL selected = FALSE;
    ComPtr<IMFStreamDescriptor> sd;
    pd->GetStreamDescriptorByIndex(i, &selected, &sd);
    EXPECT_TRUE(selected) << i;
  }
  DWORD characteristics = 0;
  EXPECT_EQ(m_source->GetCharacteristics(&characteristics), S_OK);
  EXPECT_EQ(characteristics, static_cast<DWORD>(MFMEDIASOURCE_IS_LIVE));
  HRESULT started = E_FAIL;
  EXPECT_EQ(StartAll(m_source, &started).size(), 2u);
  EXPECT_EQ(started, S_OK);
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(m_source->GetStreamAttributes(1, &attributes), S_OK);
  GUID major = GUID_NULL;
  attributes->GetGUID(MF_MT_MAJOR_TYPE, &major);
  EXPECT_EQ(major, MFMediaType_Audio);
}

TEST_F(OrvoSourceTest, StartChecksPositionFormatAndSelection) {
  openVideo();
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(m_source->CreatePresentationDescriptor(&pd), S_OK);
  PROPVARIANT five = I8(5000000);
  PROPVARIANT r8;
  PropVariantInit(&r8);
  r8.vt = VT_R8;
  r8.dblVal = 0.0;
  GUID otherFormat = MF_MT_SUBTYPE;
  PROPVARIANT zero = I8(0);
  EXPECT_EQ(m_source->Start(nullptr, &GUID_NULL, &zero), E_INVALIDARG);
  EXPECT_EQ(m_source->Start(pd.Get(), &GUID_NULL, nullptr), E_INVALIDARG);
  EXPECT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &five), MF_E_INVALIDREQUEST);
  EXPECT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &r8), MF_E_UNSUPPORTED_TIME_FORMAT);
  EXPECT_EQ(m_source->Start(pd.Get(), &otherFormat, &zero), MF_E_UNSUPPORTED_TIME_FORMAT);
  pd->DeselectStream(0);
  EXPECT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &zero), E_INVALIDARG);
  pd->SelectStream(0);

  EXPECT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &zero), S_OK);
  ComPtr<IMFMediaEvent> started = WaitForEvent(m_source, MESourceStarted);
  ASSERT_TRUE(started);
  EXPECT_EQ(StatusOf(started.Get()), S_OK);
  EXPECT_EQ(m_source->state(), OrvoSource::SourceStarted);
  // A live source cannot seek: a position is refused once started.
  PROPVARIANT zeroAgain = I8(0);
  EXPECT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &zeroAgain), MF_E_INVALIDREQUEST);
}

TEST_F(OrvoSourceTest, StartRestartStopAndShutdownRaiseTheirEvents) {
  openVideo();
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(m_source->CreatePresentationDescriptor(&pd), S_OK);
  PROPVARIANT empty;
  PropVariantInit(&empty);
  ASSERT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &empty), S_OK);

  ComPtr<IMFMediaEvent> event = NextEvent(m_source);
  ASSERT_EQ(TypeOf(event.Get()), MENewStream);
  ComPtr<IMFMediaStream> stream = StreamOf(event.Get());
  ASSERT_TRUE(stream);
  event = NextEvent(m_source);
  EXPECT_EQ(TypeOf(event.Get()), MESourceStarted);
  EXPECT_EQ(StatusOf(event.Get()), S_OK);
  event = NextEvent(stream.Get());
  EXPECT_EQ(TypeOf(event.Get()), MEStreamStarted);
  EXPECT_TRUE(m_source->hasPullingThread());

  // Restart while started: the stream is updated, not new.
  ASSERT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &empty), S_OK);
  event = NextEvent(m_source);
  EXPECT_EQ(TypeOf(event.Get()), MEUpdatedStream);
  EXPECT_EQ(StreamOf(event.Get()).Get(), stream.Get());
  EXPECT_EQ(TypeOf(NextEvent(m_source).Get()), MESourceStarted);
  EXPECT_TRUE(WaitForEvent(stream.Get(), MEStreamStarted));

  ASSERT_EQ(m_source->Stop(), S_OK);
  event = NextEvent(m_source);
  EXPECT_EQ(TypeOf(event.Get()), MESourceStopped);
  EXPECT_EQ(StatusOf(event.Get()), S_OK);
  EXPECT_TRUE(WaitForEvent(stream.Get(), MEStreamStopped));
  EXPECT_EQ(m_source->state(), OrvoSource::SourceStopped);
  EXPECT_FALSE(m_source->hasPullingThread());
  // Stopped streams refuse requests, reported on the source's queue too.
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_INVALIDREQUEST);
  event = NextEvent(m_source);
  EXPECT_EQ(TypeOf(event.Get()), MEError);
  EXPECT_EQ(StatusOf(event.Get()), MF_E_INVALIDREQUEST);

  // Started again from stopped: a position of 0 is fine now.
  PROPVARIANT zero = I8(0);
  ASSERT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &zero), S_OK);
  EXPECT_EQ(TypeOf(NextEvent(m_source).Get()), MEUpdatedStream);
  EXPECT_EQ(TypeOf(NextEvent(m_source).Get()), MESourceStarted);
  EXPECT_TRUE(m_source->hasPullingThread());

  EXPECT_EQ(m_source->Shutdown(), S_OK);
  EXPECT_FALSE(m_source->hasPullingThread());
  EXPECT_EQ(m_source->Shutdown(), MF_E_SHUTDOWN);
  EXPECT_EQ(m_source->Start(pd.Get(), &GUID_NULL, &empty), MF_E_SHUTDOWN);
  EXPECT_EQ(m_source->Stop(), MF_E_SHUTDOWN);
  ComPtr<IMFPresentationDescriptor> after;
  EXPECT_EQ(m_source->CreatePresentationDescriptor(&after), MF_E_SHUTDOWN);
  DWORD characteristics = 0;
  EXPECT_EQ(m_source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
  ComPtr<IMFMediaEvent> none;
  EXPECT_EQ(m_source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &none), MF_E_SHUTDOWN);
  EXPECT_EQ(m_source->Pause(), E_NOTIMPL);
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
  ComPtr<IMFMediaSource> owner;
  EXPECT_EQ(stream->GetMediaSource(&owner), MF_E_SHUTDOWN);
}

TEST_F(OrvoSourceTest, CallbackGetsPlayerIdAndStreamIdentifiersWithAnAlignedEmptyBuffer) {
  open({Descriptor(0, VideoType(640, 360).Get()), Descriptor(1, AudioType(24000).Get()),
        Descriptor(2, AudioType(4000).Get())});
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 3u);
  // Every stream asks ahead on its own once started; request one sample from each in turn.
  for (auto& stream : streams) ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  for (DWORD i = 0; i < 3; ++i) {
    ComPtr<IMFMediaEvent> sample = WaitForEvent(streams[i].Get(), MEMediaSample);
    ASSERT_TRUE(sample) << i;
  }
  std::vector<HostCall> calls = ScriptedHost::Instance().calls();
  ASSERT_GE(calls.size(), 3u);
  bool seen[3] = {false, false, false};
  DWORD thread = calls[0].threadId;
  for (const HostCall& call : calls) {
    EXPECT_EQ(call.playerId, kPlayerId);
    EXPECT_EQ(call.reserved, 0);
    EXPECT_EQ(call.bufferCount, 1u);
    EXPECT_EQ(call.currentLength, 0u);
    EXPECT_TRUE(call.aligned16);
    EXPECT_EQ(call.threadId, thread);  // one pulling thread per source
    ASSERT_LT(call.streamId, 3);
    seen[call.streamId] = true;
    // Each stream's own buffer size: video by area, audio one second (at least 10 KiB).
    DWORD expected = call.streamId == 0 ? 102400u : call.streamId == 1 ? 24000u : 10240u;
    EXPECT_GE(call.maxLength, expected) << "stream " << call.streamId;
    EXPECT_LT(call.maxLength, expected + 16) << "stream " << call.streamId;
  }
  EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
  EXPECT_NE(thread, GetCurrentThreadId());
}

TEST_F(OrvoSourceTest, BufferTooSmallRetriesTheSameRequestWithTheGrownSize) {
  openVideo();
  LogCapture log(L"source_grow.log");
  ScriptedHost::Instance().reset([](int, unsigned char, IMFSample* sample) {
    ComPtr<IMFMediaBuffer> buffer;
    sample->GetBufferByIndex(0, &buffer);
    DWORD maxLength = 0;
    buffer->GetMaxLength(&maxLength);
    if (maxLength < 150000) {
      sample->SetUINT32(ORVO::kNeededSizeKey, 150000);
      return 7;
    }
    return FillSample(sample, 150000, 0x11, 0);
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
  ComPtr<IMFMediaEvent> event = WaitForEvent(streams[0].Get(), MEMediaSample);
  ASSERT_TRUE(event);
  ComPtr<IMFSample> sample = SampleOf(event.Get());
  DWORD total = 0;
  sample->GetTotalLength(&total);
  EXPECT_EQ(total, 150000u);

  std::vector<HostCall> calls = ScriptedHost::Instance().calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_LT(calls[0].maxLength, 150000u);
  EXPECT_GE(calls[1].maxLength, 165888u);
  EXPECT_LT(calls[1].maxLength, 165888u + 16);
  ComPtr<OrvoStream> stream = m_source->streamAt(0);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->bufferSize(), 165888u);
  // Later requests start at the grown size: no further answers of 7.
  ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
  ASSERT_TRUE(WaitForEvent(streams[0].Get(), MEMediaSample));
  calls = ScriptedHost::Instance().calls();
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_GE(calls[i].maxLength, 165888u) << i;
  EXPECT_TRUE(log.contains("OrvoSource::requestData: stream 0 insufficient buffer size 102400, need 150000, "
                           "updating stream info"));
}

TEST_F(OrvoSourceTest, HostErrorEndsEveryStreamAndThePresentation) {
  open({Descriptor(0, VideoType(640, 360).Get()), Descriptor(1, AudioType(24000).Get())});
  LogCapture log(L"source_error.log");
  HANDLE threadHandle = nullptr;
  ScriptedHost::Instance().reset([&](int, unsigned char streamId, IMFSample* sample) {
    if (!threadHandle) {
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &threadHandle, SYNCHRONIZE,
                      FALSE, 0);
    }
    return streamId == 1 ? -1 : FillSample(sample, 100, 1, 0);
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 2u);
  for (auto& stream : streams) {
    ASSERT_TRUE(WaitForEvent(stream.Get(), MEStreamStarted));
    ASSERT_TRUE(WaitForEvent(stream.Get(), MEEndOfStream)) << "every selected stream ends";
  }
  ComPtr<IMFMediaEvent> end = WaitForEvent(m_source, MEEndOfPresentation);
  ASSERT_TRUE(end);
  EXPECT_EQ(StatusOf(end.Get()), S_OK);
  // After the end an empty stream refuses further requests.
  EXPECT_EQ(streams[0]->RequestSample(nullptr), MF_E_END_OF_STREAM);
  ASSERT_TRUE(threadHandle);
  EXPECT_EQ(WaitForSingleObject(threadHandle, 2000), WAIT_OBJECT_0) << "the pulling thread ends";
  CloseHandle(threadHandle);
  EXPECT_TRUE(log.contains("OrvoSource::requestData: stream 1 received error -1, stopping playback..."));

  // A stop and a new start bring a fresh pulling thread that asks the host again.
  ScriptedHost::Instance().reset(fillingHost());
  ASSERT_EQ(m_source->Stop(), S_OK);
  ASSERT_TRUE(WaitForEvent(m_source, MESourceStopped));
  streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 2u);
  ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
  EXPECT_TRUE(WaitForEvent(streams[0].Get(), MEMediaSample));
}

TEST_F(OrvoSourceTest, StopDuringASlowCallbackCompletesAfterItAndDropsTheSample) {
  openVideo();
  HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> returnedAt{0};
  HANDLE threadHandle = nullptr;
  ScriptedHost::Instance().reset([&](int, unsigned char, IMFSample* sample) {
    if (!threadHandle) {
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &threadHandle, SYNCHRONIZE,
                      FALSE, 0);
    }
    SetEvent(entered);
    Sleep(400);
    int result = FillSample(sample, 500, 2, 0);
    returnedAt = GetTickCount();
    return result;
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_TRUE(WaitForEvent(streams[0].Get(), MEStreamStarted));
  ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
  ASSERT_EQ(WaitForSingleObject(entered, 3000), WAIT_OBJECT_0);
  ASSERT_EQ(m_source->Stop(), S_OK);
  ComPtr<IMFMediaEvent> stopped = WaitForEvent(m_source, MESourceStopped, 5000);
  DWORD stoppedAt = GetTickCount();
  ASSERT_TRUE(stopped);
  EXPECT_EQ(StatusOf(stopped.Get()), S_OK);
  ASSERT_NE(returnedAt.load(), 0u) << "the stop waited for the host call";
  EXPECT_GE(stoppedAt, returnedAt.load());
  EXPECT_EQ(WaitForSingleObject(threadHandle, 0), WAIT_OBJECT_0) << "the pulling thread was joined";
  CloseHandle(threadHandle);
  // The sample filled during the stop never reached the stream.
  for (;;) {
    ComPtr<IMFMediaEvent> event = NextEvent(streams[0].Get(), 100);
    if (!event) break;
    EXPECT_NE(TypeOf(event.Get()), MEMediaSample);
  }
  EXPECT_EQ(m_source->streamAt(0)->queuedSampleCount(), 0u);
  CloseHandle(entered);
}

TEST_F(OrvoSourceTest, ShutdownLeavesNoThreadBehind) {
  openVideo();
  HANDLE threadHandle = nullptr;
  ScriptedHost::Instance().reset([&](int, unsigned char, IMFSample* sample) {
    if (!threadHandle) {
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &threadHandle, SYNCHRONIZE,
                      FALSE, 0);
    }
    return FillSample(sample, 10, 3, 0);
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  // The second call begins after the first has stored the handle (five samples are asked ahead).
  ASSERT_TRUE(orvo_test::WaitUntil([] { return ScriptedHost::Instance().callCount() >= 2; }, 3000));
  ASSERT_TRUE(threadHandle);
  EXPECT_EQ(WaitForSingleObject(threadHandle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(m_source->Shutdown(), S_OK);
  EXPECT_EQ(WaitForSingleObject(threadHandle, 0), WAIT_OBJECT_0);
  CloseHandle(threadHandle);
  m_source->Release();
  m_source = nullptr;
  // The stream outlives its source's shutdown safely and only answers MF_E_SHUTDOWN.
  EXPECT_EQ(streams[0]->RequestSample(nullptr), MF_E_SHUTDOWN);
}

TEST(OrvoSourceLifetime, RepeatedStartStopWithALiveHostEndsWithNothingHeld) {
  ScriptedHost::Instance().reset([](int, unsigned char, IMFSample* sample) {
    Sleep(1);
    return FillSample(sample, 100, 7, 0);
  });
  OrvoSource* source = nullptr;
  ASSERT_EQ(OrvoSource::CreateInstance(&source), S_OK);
  ASSERT_EQ(source->Open(1, L"orvo://x", {Descriptor(0, VideoType(640, 360).Get()), Descriptor(1, AudioType(16000).Get())},
                         &ScriptedHost::Callback),
            S_OK);
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(source->CreatePresentationDescriptor(&pd), S_OK);
  for (int cycle = 0; cycle < 15; ++cycle) {
    PROPVARIANT empty;
    PropVariantInit(&empty);
    ASSERT_EQ(source->Start(pd.Get(), &GUID_NULL, &empty), S_OK);
    ComPtr<IMFMediaEvent> started = WaitForEvent(source, MESourceStarted);
    ASSERT_TRUE(started) << cycle;
    EXPECT_EQ(StatusOf(started.Get()), S_OK);
    Sleep(cycle % 3);
    ASSERT_EQ(source->Stop(), S_OK);
    ComPtr<IMFMediaEvent> stopped = WaitForEvent(source, MESourceStopped);
    ASSERT_TRUE(stopped) << cycle;
    EXPECT_EQ(StatusOf(stopped.Get()), S_OK);
    EXPECT_FALSE(source->hasPullingThread()) << cycle;
  }
  ASSERT_EQ(source->Shutdown(), S_OK);
  pd.Reset();
  // Work items still queued hold the source briefly; then only the creator's reference is left.
  ULONG remaining = 0;
  for (int i = 0; i < 200; ++i) {
    source->AddRef();
    remaining = source->Release();
    if (remaining == 1) break;
    Sleep(5);
  }
  EXPECT_EQ(remaining, 1u);
  EXPECT_EQ(source->Release(), 0u);
  ScriptedHost::Instance().reset(nullptr);
}
