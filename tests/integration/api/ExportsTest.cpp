// The exported functions as a host sees them: ids, result codes, getter fallbacks, Media Foundation
// start-up and shut-down, the decoder registration span and the preview-window subclassing.
#include <gtest/gtest.h>

#include <cmath>

#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include "OrvoMedia.h"
#include "TestWindow.h"

using Microsoft::WRL::ComPtr;

namespace {

int createPlayer() {
  int id = -1;
  EXPECT_EQ(Create(&id), 0);
  return id;
}

// Whether Media Foundation's platform is up, seen from the host: work queues need it.
bool platformStarted() {
  DWORD queue = 0;
  const HRESULT hr = MFAllocateWorkQueue(&queue);
  if (SUCCEEDED(hr)) MFUnlockWorkQueue(queue);
  return SUCCEEDED(hr);
}

UINT32 h264Decoders(bool includeLocal) {
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_H264};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  const UINT32 flags = MFT_ENUM_FLAG_SYNCMFT | (includeLocal ? MFT_ENUM_FLAG_LOCALMFT : 0);
  if (FAILED(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, flags, &input, nullptr, &activates, &count))) return 0;
  for (UINT32 i = 0; i < count; ++i) activates[i]->Release();
  CoTaskMemFree(activates);
  return count;
}

int nullCallback(int, unsigned char, IMFSample*, int) { return 1; }

}  // namespace

TEST(Exports, IdsCountUpAndAreNeverReused) {
  const int a = createPlayer();
  const int b = createPlayer();
  EXPECT_GE(a, 1);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(Close(a), Ok);
  const int c = createPlayer();
  EXPECT_EQ(c, b + 1);
  EXPECT_EQ(Close(b), Ok);
  EXPECT_EQ(Close(c), Ok);
  EXPECT_EQ(Close(c), UnknownPlayer);
}

TEST(Exports, PlatformAndDecoderRegistrationLiveExactlyWhilePlayersExist) {
  ASSERT_FALSE(platformStarted());
  const UINT32 systemDecoders = h264Decoders(false);

  const int first = createPlayer();
  EXPECT_TRUE(platformStarted());
  EXPECT_EQ(h264Decoders(true), systemDecoders + 1);
  const int second = createPlayer();
  EXPECT_EQ(h264Decoders(true), systemDecoders + 1);  // registered once, not per player

  EXPECT_EQ(Close(first), Ok);
  EXPECT_TRUE(platformStarted());
  EXPECT_EQ(h264Decoders(true), systemDecoders + 1);
  EXPECT_EQ(Close(second), Ok);
  EXPECT_FALSE(platformStarted());

  // Started and registered again by the next player.
  const int third = createPlayer();
  EXPECT_TRUE(platformStarted());
  EXPECT_EQ(h264Decoders(true), systemDecoders + 1);
  EXPECT_EQ(Close(third), Ok);
  EXPECT_FALSE(platformStarted());
}

TEST(Exports, UnknownIdsAnswerUnknownPlayerOrTheGetterFallbacks) {
  const int closed = createPlayer();
  ASSERT_EQ(Close(closed), Ok);
  for (int id : {0, -1, closed, 0x7fffffff}) {
    SCOPED_TRACE(id);
    IMFMediaType* type = reinterpret_cast<IMFMediaType*>(0x1);
    EXPECT_EQ(Close(id), UnknownPlayer);
    EXPECT_EQ(SetCallback(id, nullCallback), UnknownPlayer);
    EXPECT_EQ(SetPreviewWindow(id, GetDesktopWindow()), UnknownPlayer);
    EXPECT_EQ(SetAudioOutputDevice(id, 1, L"device"), UnknownPlayer);
    EXPECT_EQ(UseLowLatencyRenderer(id, false), UnknownPlayer);
    EXPECT_EQ(CreateMediaType(id, &type), UnknownPlayer);
    EXPECT_EQ(type, reinterpret_cast<IMFMediaType*>(0x1));  // not written
    EXPECT_EQ(AddMediaType(id, nullptr), UnknownPlayer);
    EXPECT_EQ(Open(id, L"orvo://low_latency_renderer"), UnknownPlayer);
    EXPECT_EQ(Play(id), UnknownPlayer);
    EXPECT_EQ(Pause(id), UnknownPlayer);
    EXPECT_EQ(Stop(id), UnknownPlayer);
    EXPECT_EQ(SetPosition(id, 10), UnknownPlayer);
    EXPECT_EQ(SetPlaybackRate(id, 2.0), UnknownPlayer);
    EXPECT_EQ(GetState(id), Closed);
    EXPECT_EQ(GetDuration(id), 0);
    EXPECT_EQ(GetPosition(id), 0);
    EXPECT_EQ(GetPlaybackRate(id), 1.0);
    EXPECT_EQ(GetVolume(id), 1.0);
    EXPECT_EQ(GetBalance(id), 0.5);
    EXPECT_EQ(IsStreamActive(id, 0), UnknownPlayer);
    EXPECT_EQ(SetVolume(id, 0.5), UnknownPlayer);
    EXPECT_EQ(SetBalance(id, 0.5), UnknownPlayer);
    EXPECT_EQ(SetAlphaBitmap(id, nullptr), UnknownPlayer);
    EXPECT_EQ(SetFullScreen(id, TRUE), UnknownPlayer);
    EXPECT_EQ(SetStretch(id, TRUE), UnknownPlayer);
    EXPECT_EQ(SetSourceRect(id, 0.0, 0.0, 1.0, 1.0), UnknownPlayer);
    OrvoStreamStatistics statistics{};
    statistics.size = sizeof(statistics);
    EXPECT_EQ(GetStatistics(id, 0, &statistics), UnknownPlayer);
  }
}

TEST(Exports, NeverOpenedPlayerAnswersInvalidStateForEngineOperations) {
  const int id = createPlayer();
  EXPECT_EQ(GetState(id), Closed);
  EXPECT_EQ(Play(id), InvalidState);
  EXPECT_EQ(Pause(id), InvalidState);
  EXPECT_EQ(Stop(id), InvalidState);
  EXPECT_EQ(SetPosition(id, 0), InvalidState);
  EXPECT_EQ(SetPlaybackRate(id, 1.0), InvalidState);
  EXPECT_EQ(SetVolume(id, 1.0), InvalidState);
  EXPECT_EQ(SetBalance(id, 0.5), InvalidState);
  EXPECT_EQ(SetFullScreen(id, FALSE), InvalidState);
  EXPECT_EQ(SetStretch(id, FALSE), InvalidState);
  // The zoom is kept for the engine Open creates; a bad rectangle is refused before that.
  EXPECT_EQ(SetSourceRect(id, 0.0, 0.0, 0.5, 0.5), Ok);
  EXPECT_EQ(SetSourceRect(id, 0.5, 0.0, 0.5, 1.0), InvalidArgument);
  EXPECT_EQ(SetSourceRect(id, 0.0, 0.0, 1.0, 1.5), InvalidArgument);
  EXPECT_EQ(SetSourceRect(id, std::nan(""), 0.0, 1.0, 1.0), InvalidArgument);
  EXPECT_EQ(IsStreamActive(id, 0), Ok);
  OrvoStreamStatistics statistics{};
  statistics.size = sizeof(statistics);
  EXPECT_EQ(GetStatistics(id, 0, &statistics), InvalidState);
  EXPECT_EQ(GetVolume(id), 1.0);
  EXPECT_EQ(GetBalance(id), 0.5);
  EXPECT_EQ(SetPreviewWindow(id, nullptr), InvalidArgument);
  EXPECT_EQ(Close(id), Ok);
}

// With the default (low-latency) engine and no stream described, Open fails but keeps the engine:
// from then on the configuration answers InvalidState and engine-less operations answer Failed.
TEST(Exports, LowLatencyPlayerAfterOpen) {
  orvo_test::TestWindow window(320, 180);
  const int id = createPlayer();
  ASSERT_EQ(SetCallback(id, nullCallback), Ok);
  ASSERT_EQ(SetPreviewWindow(id, window.hwnd()), Ok);
  EXPECT_EQ(Open(id, L"orvo://low_latency_renderer"), Failed);  // no stream to play
  EXPECT_EQ(Open(id, L"orvo://low_latency_renderer"), InvalidState);

  EXPECT_EQ(SetCallback(id, nullCallback), InvalidState);
  EXPECT_EQ(SetAudioOutputDevice(id, 2, L"x"), InvalidState);
  EXPECT_EQ(SetPreviewWindow(id, window.hwnd()), InvalidState);
  IMFMediaType* type = reinterpret_cast<IMFMediaType*>(0x1);
  EXPECT_EQ(CreateMediaType(id, &type), Failed);
  EXPECT_EQ(type, nullptr);
  EXPECT_EQ(UseLowLatencyRenderer(id, false), Ok);  // stored, effective at a later Open

  EXPECT_EQ(Pause(id), Failed);
  EXPECT_EQ(SetPosition(id, 0), Failed);
  EXPECT_EQ(SetPlaybackRate(id, 2.0), Failed);
  EXPECT_EQ(SetFullScreen(id, TRUE), Failed);
  EXPECT_EQ(SetStretch(id, TRUE), InvalidState);
  EXPECT_EQ(SetAlphaBitmap(id, nullptr), InvalidState);
  EXPECT_EQ(GetDuration(id), 0);
  EXPECT_EQ(GetPosition(id), 0);
  EXPECT_EQ(GetPlaybackRate(id), 1.0);
  EXPECT_EQ(IsStreamActive(id, -1), Failed);
  EXPECT_EQ(IsStreamActive(id, 0), Failed);
  EXPECT_EQ(SetVolume(id, 0.3), Ok);  // no audio stream: accepted, nothing to apply
  EXPECT_EQ(GetVolume(id), 1.0);
  EXPECT_EQ(GetBalance(id), 0.5);
  EXPECT_EQ(GetState(id), Closed);  // the low-latency engine is Closed until Play
  EXPECT_EQ(Stop(id), Ok);
  EXPECT_EQ(GetState(id), Stopped);
  EXPECT_EQ(Close(id), Ok);
}

TEST(Exports, StreamDescriptionsAreAcceptedOnlyBeforeOpen) {
  const int id = createPlayer();
  ComPtr<IMFMediaType> video;
  ASSERT_EQ(CreateMediaType(id, &video), Ok);
  ASSERT_TRUE(video);
  video->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  video->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  MFSetAttributeSize(video.Get(), MF_MT_FRAME_SIZE, 640, 360);
  EXPECT_EQ(AddMediaType(id, video.Get()), Ok);
  EXPECT_EQ(AddMediaType(id, nullptr), InvalidArgument);
  EXPECT_EQ(Close(id), Ok);
  // The player kept its own reference and released it at Close.
  ULONG count = video->AddRef();
  video->Release();
  EXPECT_EQ(count, 2u);
}

TEST(Exports, DefaultEngineLeavesTheWindowAlone) {
  orvo_test::TestWindow window(320, 180);
  SetWindowLongPtrW(window.hwnd(), GWLP_USERDATA, 0x5150);
  const LONG_PTR hostProc = GetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC);
  const int id = createPlayer();
  EXPECT_EQ(SetPreviewWindow(id, window.hwnd()), Ok);
  EXPECT_EQ(GetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC), hostProc);
  EXPECT_EQ(GetWindowLongPtrW(window.hwnd(), GWLP_USERDATA), 0x5150);
  EXPECT_EQ(Close(id), Ok);
  EXPECT_EQ(GetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC), hostProc);
  EXPECT_EQ(GetWindowLongPtrW(window.hwnd(), GWLP_USERDATA), 0x5150);
}

TEST(Exports, SessionEngineSubclassesTheWindowUntilClose) {
  orvo_test::TestWindow window(320, 180);
  SetWindowLongPtrW(window.hwnd(), GWLP_USERDATA, 0x7007);
  const LONG_PTR hostProc = GetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC);
  const int id = createPlayer();
  ASSERT_EQ(UseLowLatencyRenderer(id, false), Ok);
  ASSERT_EQ(SetPreviewWindow(id, window.hwnd()), Ok);
  EXPECT_NE(GetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC), hostProc);
  EXPECT_EQ(GetWindowLongPtrW(window.hwnd(), GWLP_USERDATA), 0x7007);  // the host's, never written
  // A second call keeps chaining to the host's procedure, not to the library's own.
  ASSERT_EQ(SetPreviewWindow(id, window.hwnd()), Ok);

  // Messages still reach the host's procedure through the library's.
  const int before = orvo_test::TestWindow::hostMessageCount();
  SendMessageW(window.hwnd(), WM_USER + 5, 0, 0);
  EXPECT_EQ(orvo_test::TestWindow::hostMessageCount(), before + 1);

  Open(id, L"ORVO://not-a-host-fed-uri");  // whatever the engine answers, Close must restore
  EXPECT_EQ(Close(id), Ok);
  EXPECT_EQ(GetWindowLongPtrW(window.hwnd(), GWLP_WNDPROC), hostProc);
  EXPECT_EQ(GetWindowLongPtrW(window.hwnd(), GWLP_USERDATA), 0x7007);
  window.pump(20);
}
