#include <gtest/gtest.h>

#include <windows.h>
#include <mferror.h>

#include <atomic>

#include "SourceTestSupport.h"

using namespace source_test;

namespace {

// A host that misbehaves must never hang or crash the source: each case ends in a log line and in
// either the stream ending cleanly or the request being served later.
class BadHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_log.reset(new LogCapture(L"source_bad_host.log"));
    ASSERT_EQ(OrvoSource::CreateInstance(&m_source), S_OK);
    ASSERT_EQ(m_source->Open(5, L"orvo://x", {Descriptor(0, VideoType(640, 360).Get())}, &ScriptedHost::Callback),
              S_OK);
  }
  void TearDown() override {
    m_source->Shutdown();
    m_source->Release();
    ScriptedHost::Instance().reset(nullptr);
    m_log.reset();
  }

  // Starts, asks for one sample and expects the stream and the presentation to end.
  void expectCleanEnd() {
    auto streams = StartAll(m_source);
    ASSERT_EQ(streams.size(), 1u);
    // Starting already asks the host once; when that answer ended the stream before this request,
    // the stream says so (MF_E_END_OF_STREAM). Either way the end must reach the pipeline.
    const HRESULT requested = streams[0]->RequestSample(nullptr);
    ASSERT_TRUE(requested == S_OK || requested == MF_E_END_OF_STREAM) << std::hex << requested;
    EXPECT_TRUE(WaitForEvent(streams[0].Get(), MEEndOfStream));
    EXPECT_TRUE(WaitForEvent(m_source, MEEndOfPresentation));
  }

  void answerTooSmall(UINT32 needed) {
    ScriptedHost::Instance().reset([needed](int, unsigned char, IMFSample* sample) {
      sample->SetUINT32(ORVO::kNeededSizeKey, needed);
      return 7;
    });
  }

  std::unique_ptr<LogCapture> m_log;
  OrvoSource* m_source = nullptr;
};

}  // namespace

TEST_F(BadHostTest, TooSmallWithANeedOfZeroEndsTheStream) {
  answerTooSmall(0);
  expectCleanEnd();
  EXPECT_LE(ScriptedHost::Instance().callCount(), 2u);
  EXPECT_TRUE(m_log->contains("OrvoSource::requestData: stream 0 cannot grow its buffer from 102400 to a need of 0 "
                              "bytes, stopping playback..."));
}

TEST_F(BadHostTest, TooSmallWithoutAskingForMoreEndsTheStreamInsteadOfLooping) {
  answerTooSmall(102400);
  expectCleanEnd();
  EXPECT_LE(ScriptedHost::Instance().callCount(), 2u);
  EXPECT_TRUE(m_log->contains("cannot grow its buffer from 102400 to a need of 102400 bytes"));
}

TEST_F(BadHostTest, TooSmallNearFourGigabytesIsRefusedNotWrappedAround) {
  answerTooSmall(0xFFFFFF00u);
  expectCleanEnd();
  EXPECT_TRUE(m_log->contains("cannot grow its buffer from 102400 to a need of 4294967040 bytes"));
  ComPtr<OrvoStream> stream = m_source->streamAt(0);
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->bufferSize(), 102400u);  // never shrunk by a wrapped size
}

TEST_F(BadHostTest, FilledWithoutDataIsAskedAgainAndNothingEmptyIsDelivered) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  ScriptedHost::Instance().reset([calls](int, unsigned char, IMFSample* sample) {
    // The first three answers claim success but write nothing.
    if (++*calls <= 3) return 0;
    return FillSample(sample, 32, 9, 1234);
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
  ComPtr<IMFMediaEvent> event = WaitForEvent(streams[0].Get(), MEMediaSample);
  ASSERT_TRUE(event);
  DWORD length = 0;
  SampleOf(event.Get())->GetTotalLength(&length);
  EXPECT_EQ(length, 32u);
  EXPECT_GE(calls->load(), 4);
  EXPECT_TRUE(m_log->contains("OrvoSource::requestData: stream 0 returned an empty sample, asking again"));
}

TEST_F(BadHostTest, SamplesWithoutATimeAreDeliveredAndReportedOnce) {
  ScriptedHost::Instance().reset([](int, unsigned char, IMFSample* sample) { return FillSample(sample, 16, 4, -1); });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  for (int i = 0; i < 3; ++i) {
    // Starting already asks the host once; when that answer ended the stream before this request,
    // the stream says so (MF_E_END_OF_STREAM). Either way the end must reach the pipeline.
    const HRESULT requested = streams[0]->RequestSample(nullptr);
    ASSERT_TRUE(requested == S_OK || requested == MF_E_END_OF_STREAM) << std::hex << requested;
    ComPtr<IMFMediaEvent> event = WaitForEvent(streams[0].Get(), MEMediaSample);
    ASSERT_TRUE(event) << i;
    LONGLONG time = 0;
    EXPECT_EQ(SampleOf(event.Get())->GetSampleTime(&time), MF_E_NO_SAMPLE_TIMESTAMP);
  }
  std::string text = m_log->text();
  const std::string line = "OrvoSource::requestData: stream 0 delivered a sample without a time";
  size_t first = text.find(line);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find(line, first + 1), std::string::npos) << "logged once per stream";
}

TEST_F(BadHostTest, HostThatNeverAnswersDoesNotHangShutdown) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ScriptedHost::Instance().reset([release, entered](int, unsigned char, IMFSample* sample) {
    SetEvent(entered);
    WaitForSingleObject(release, 10000);
    return FillSample(sample, 16, 4, 0);
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_EQ(WaitForSingleObject(entered, 3000), WAIT_OBJECT_0);
  // Shutdown joins the pulling thread, which is inside the host: it returns once the host does.
  HANDLE releaser = CreateThread(
      nullptr, 0, [](void* event) -> DWORD {
        Sleep(200);
        SetEvent(static_cast<HANDLE>(event));
        return 0;
      },
      release, 0, nullptr);
  DWORD before = GetTickCount();
  EXPECT_EQ(m_source->Shutdown(), S_OK);
  EXPECT_GE(GetTickCount() - before, 100u);
  WaitForSingleObject(releaser, 5000);
  CloseHandle(releaser);
  CloseHandle(release);
  CloseHandle(entered);
}

TEST_F(BadHostTest, ShutdownFromInsideTheCallbackDoesNotJoinItself) {
  OrvoSource* source = m_source;
  HANDLE threadHandle = nullptr;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> started{false};  // shut down only once StartAll has read the start events
  ScriptedHost::Instance().reset([source, &threadHandle, done, &started](int, unsigned char, IMFSample* sample) {
    if (started && !threadHandle) {
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &threadHandle, SYNCHRONIZE,
                      FALSE, 0);
      // A host that closes its player from the callback shuts the source down on this thread.
      EXPECT_EQ(source->Shutdown(), S_OK);
      SetEvent(done);
    }
    return FillSample(sample, 16, 4, 0);
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  started = true;
  streams[0]->RequestSample(nullptr);  // takes a read-ahead sample, so the host is asked again
  ASSERT_EQ(WaitForSingleObject(done, 3000), WAIT_OBJECT_0);
  EXPECT_EQ(m_source->state(), OrvoSource::SourceShutdown);
  EXPECT_EQ(WaitForSingleObject(threadHandle, 2000), WAIT_OBJECT_0) << "the pulling thread left by itself";
  EXPECT_TRUE(m_log->contains("stopped from the pulling thread itself"));
  CloseHandle(threadHandle);
  CloseHandle(done);
}

TEST_F(BadHostTest, EndingTheFeedDuringABusyCallbackEndsTheStreamAtOnceAndDropsItsAnswer) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ScriptedHost::Instance().reset([release, entered](int, unsigned char, IMFSample* sample) {
    SetEvent(entered);
    WaitForSingleObject(release, 10000);
    return FillSample(sample, 16, 4, 0);
  });
  auto streams = StartAll(m_source);
  ASSERT_EQ(streams.size(), 1u);
  ASSERT_EQ(streams[0]->RequestSample(nullptr), S_OK);
  ASSERT_EQ(WaitForSingleObject(entered, 3000), WAIT_OBJECT_0);
  // A reader waiting for this stream must learn of its end while the host still holds the request.
  m_source->EndFeed();
  ComPtr<IMFMediaEvent> event;
  for (event = NextEvent(streams[0].Get(), 500); event && TypeOf(event.Get()) != MEEndOfStream;
       event = NextEvent(streams[0].Get(), 500)) {
    EXPECT_NE(TypeOf(event.Get()), MEMediaSample);
  }
  EXPECT_TRUE(event) << "no end of stream while the host callback is busy";
  EXPECT_EQ(WaitForSingleObject(entered, 0), WAIT_OBJECT_0);
  SetEvent(release);
  // The host's late answer reaches nobody, and it is asked nothing more.
  Sleep(100);
  EXPECT_EQ(NextEvent(streams[0].Get(), 200), nullptr);
  EXPECT_EQ(ScriptedHost::Instance().callCount(), 1u);
  EXPECT_EQ(m_source->Shutdown(), S_OK);
  CloseHandle(release);
  CloseHandle(entered);
}
