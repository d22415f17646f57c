#include <gtest/gtest.h>

#include <mferror.h>

#include <string>

#include "RenderTestFrames.h"
#include "Screenshot.h"
#include "TestWindow.h"
#include "log/Log.h"
#include "render/Dx11Renderer.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::Dx11Renderer;
using orvo_test::Rgb;
using orvo_test::Screenshot;
using orvo_test::TestWindow;

namespace {

constexpr int kTolerance = 48;  // llvmpipe's filtering and the X server's 24-bit visual

Rgb ToRgb(UINT32 argb) {
  return {static_cast<uint8_t>(argb >> 16), static_cast<uint8_t>(argb >> 8), static_cast<uint8_t>(argb)};
}

// Set by the gpu-real configuration, whose Direct3D 11 (DXVK) has the video device.
bool GpuReal() {
  char value[4] = {};
  return GetEnvironmentVariableA("ORVO_GPU_REAL", value, sizeof(value)) == 1 && value[0] == '1';
}

std::string Describe(Rgb c) {
  return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// What the test bed shows once the renderer has presented on a real window under Xvfb, checked
// against placements worked out by hand (not by the renderer's own geometry code). The gpu-real
// configuration runs the same checks with the pictures drawn by the Direct3D 11 video processor.
class CompatibilityPresentationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    // The gpu-real run reads from the log which path presented.
    if (ORVO::GlobalLog() == nullptr) {
      ORVO::SetGlobalLog(new ORVO::Log);
      ORVO::GlobalLog()->Reconfigure(4, L"unit_render.log");
    }
    s_window = new TestWindow(480, 360, L"compatibility presentation");
    s_renderer = new Dx11Renderer();
    s_setUp = s_renderer->SetVideoWindow(s_window->hwnd());
  }
  static void TearDownTestSuite() {
    s_renderer->Shutdown();
    s_renderer->Release();
    delete s_window;
    MFShutdown();
  }
  void SetUp() override { ASSERT_EQ(S_OK, s_setUp); }

  // Sends one frame through ProcessFrame and PresentFrame and photographs the display.
  Screenshot Show(IMFMediaType* type, IMFSample* sample, const std::string& png) {
    // Under DXVK, Wine's Vulkan surface keeps its old size for the first presents after a window
    // resize (those pictures are scaled to the old size); a live feed's later frames are right, so
    // the gpu-real run shows each frame four times.
    for (int i = GpuReal() ? 0 : 3; i < 4; ++i) {
      UINT interlace = MFVideoInterlace_Progressive;
      BOOL changed = FALSE, again = FALSE;
      EXPECT_EQ(S_OK, s_renderer->ProcessFrame(type, sample, &interlace, &changed, &again, nullptr));
      EXPECT_EQ(S_OK, s_renderer->PresentFrame());
      s_window->pump(150);
    }
    // A Direct3D 11 whose video device cannot build a processor (Wine 10's own) is found out at
    // the first frame, so the path is checked after drawing.
    EXPECT_NE(GpuReal(), s_renderer->IsCompatibilityMode())
        << (GpuReal() ? "DXVK's video processor should have drawn"
                      : "this platform's Direct3D 11 has no usable video processor");
    return Screenshot::Capture(std::string(ORVO_BINARY_DIR) + "/tests/unit_render/" + png);
  }

  // The picture must fill dst exactly: quadrant colours at the quadrant centres and 3 pixels
  // inside each edge, black 3 pixels outside every edge that borders a bar.
  void ExpectPicture(const Screenshot& shot, const RECT& dst, double splitX, double splitY, int clientWidth,
                     int clientHeight) {
    ASSERT_TRUE(shot.ok());
    HWND hwnd = s_window->hwnd();
    const int w = dst.right - dst.left, h = dst.bottom - dst.top;
    const int sx = dst.left + static_cast<int>(w * splitX), sy = dst.top + static_cast<int>(h * splitY);
    struct Probe {
      int x, y;
      UINT32 colour;
      const char* what;
    };
    const Probe probes[] = {
        {(dst.left + sx) / 2, (dst.top + sy) / 2, orvo_test::kTopLeft, "top-left centre"},
        {(sx + dst.right) / 2, (dst.top + sy) / 2, orvo_test::kTopRight, "top-right centre"},
        {(dst.left + sx) / 2, (sy + dst.bottom) / 2, orvo_test::kBottomLeft, "bottom-left centre"},
        {(sx + dst.right) / 2, (sy + dst.bottom) / 2, orvo_test::kBottomRight, "bottom-right centre"},
        {dst.left + 3, dst.top + 3, orvo_test::kTopLeft, "top-left corner"},
        {dst.right - 4, dst.top + 3, orvo_test::kTopRight, "top-right corner"},
        {dst.left + 3, dst.bottom - 4, orvo_test::kBottomLeft, "bottom-left corner"},
        {dst.right - 4, dst.bottom - 4, orvo_test::kBottomRight, "bottom-right corner"},
    };
    for (const Probe& p : probes) {
      const Rgb seen = shot.clientPixel(hwnd, p.x, p.y);
      EXPECT_LE(orvo_test::ColourDistance(seen, ToRgb(p.colour)), kTolerance)
          << p.what << " at " << p.x << "," << p.y << " is " << Describe(seen);
    }
    const Rgb black = {0, 0, 0};
    auto expectBlack = [&](int x, int y, const char* what) {
      const Rgb seen = shot.clientPixel(hwnd, x, y);
      EXPECT_LE(orvo_test::ColourDistance(seen, black), 16) << what << " at " << x << "," << y << " is " << Describe(seen);
    };
    const int midX = (dst.left + dst.right) / 2, midY = (dst.top + dst.bottom) / 2;
    if (dst.top > 4) {
      expectBlack(midX, dst.top - 3, "bar above");
      expectBlack(midX, dst.top / 2, "middle of the bar above");
    }
    if (clientHeight - dst.bottom > 4) expectBlack(midX, dst.bottom + 2, "bar below");
    if (dst.left > 4) {
      expectBlack(dst.left - 3, midY, "bar left");
      expectBlack(dst.left / 2, midY, "middle of the left bar");
    }
    if (clientWidth - dst.right > 4) expectBlack(dst.right + 2, midY, "bar right");
  }

  static inline TestWindow* s_window = nullptr;
  static inline Dx11Renderer* s_renderer = nullptr;
  static inline HRESULT s_setUp = E_FAIL;
};

}  // namespace

TEST_F(CompatibilityPresentationTest, LetterboxesAcrossWindowSizesAndFrameSizes) {
  ComPtr<IMFMediaType> wide = orvo_test::Rgb32Type(640, 360);
  ASSERT_EQ(S_OK, s_renderer->SetCurrentMediaType(wide.Get()));
  ComPtr<IMFSample> wideFrame = orvo_test::QuadrantSample(640, 360, 320, 180);

  {
    SCOPED_TRACE("the frame's own size: drawn pixel for pixel, the quadrants split between columns 319 and 320");
    s_window->resize(640, 360);
    Screenshot shot = Show(wide.Get(), wideFrame.Get(), "compat_640x360.png");
    ExpectPicture(shot, RECT{0, 0, 640, 360}, 0.5, 0.5, 640, 360);
    const Rgb left = shot.clientPixel(s_window->hwnd(), 319, 90), right = shot.clientPixel(s_window->hwnd(), 320, 90);
    EXPECT_LE(orvo_test::ColourDistance(left, ToRgb(orvo_test::kTopLeft)), kTolerance) << Describe(left);
    EXPECT_LE(orvo_test::ColourDistance(right, ToRgb(orvo_test::kTopRight)), kTolerance) << Describe(right);
  }
  {
    SCOPED_TRACE("16:9 frame in a 480x360 window: bars above and below");
    s_window->resize(480, 360);
    Screenshot shot = Show(wide.Get(), wideFrame.Get(), "compat_480x360.png");
    ExpectPicture(shot, RECT{0, 45, 480, 315}, 0.5, 0.5, 480, 360);
  }
  {
    SCOPED_TRACE("after a resize to 320x400");
    s_window->resize(320, 400);
    Screenshot shot = Show(wide.Get(), wideFrame.Get(), "compat_320x400.png");
    ExpectPicture(shot, RECT{0, 110, 320, 290}, 0.5, 0.5, 320, 400);
  }
  {
    SCOPED_TRACE("after a resize to 600x200: bars left and right");
    s_window->resize(600, 200);
    Screenshot shot = Show(wide.Get(), wideFrame.Get(), "compat_600x200.png");
    // 200 x 16/9 = 355.6 -> 356 wide, (600 - 356) / 2 = 122.
    ExpectPicture(shot, RECT{122, 0, 478, 200}, 0.5, 0.5, 600, 200);
  }
  {
    SCOPED_TRACE("new frame size: 720x576 with 16:15 pixels is shown 4:3");
    ComPtr<IMFMediaType> pal = orvo_test::Rgb32Type(720, 576, 16, 15);
    ASSERT_EQ(S_OK, s_renderer->SetCurrentMediaType(pal.Get()));
    // Quadrants split off-centre (a quarter across, three quarters down) to catch mirrored or
    // misplaced copies.
    ComPtr<IMFSample> frame = orvo_test::QuadrantSample(720, 576, 180, 432);
    Screenshot shot = Show(pal.Get(), frame.Get(), "compat_pal_600x200.png");
    // 200 x 4/3 = 266.7 -> 267 wide, (600 - 267) / 2 = 166.
    ExpectPicture(shot, RECT{166, 0, 433, 200}, 0.25, 0.75, 600, 200);
  }
  {
    SCOPED_TRACE("frame size changed in the per-frame type only");
    s_window->resize(400, 400);
    ComPtr<IMFMediaType> square = orvo_test::Rgb32Type(256, 256);
    ComPtr<IMFSample> frame = orvo_test::QuadrantSample(256, 256, 64, 192);
    Screenshot shot = Show(square.Get(), frame.Get(), "compat_square_400x400.png");
    ExpectPicture(shot, RECT{0, 0, 400, 400}, 0.25, 0.75, 400, 400);
  }
}

TEST_F(CompatibilityPresentationTest, BottomUpFramesAndCroppedAperturesShowUpright) {
  s_window->resize(480, 360);
  {
    SCOPED_TRACE("negative default stride: rows stored bottom-up");
    ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(640, 360);
    type->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(-640 * 4));
    ASSERT_EQ(S_OK, s_renderer->SetCurrentMediaType(type.Get()));
    ComPtr<IMFSample> frame = orvo_test::QuadrantSample(640, 360, 320, 120, /*bottomUp=*/true);
    Screenshot shot = Show(type.Get(), frame.Get(), "compat_bottom_up.png");
    ExpectPicture(shot, RECT{0, 45, 480, 315}, 0.5, 1.0 / 3.0, 480, 360);
  }
  {
    SCOPED_TRACE("a 640x368 decode with a 640x360 display aperture hides the padding rows");
    ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(640, 368);
    MFVideoArea aperture = {};
    aperture.Area = {640, 360};
    type->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&aperture), sizeof(aperture));
    ASSERT_EQ(S_OK, s_renderer->SetCurrentMediaType(type.Get()));
    // Rows 360..367 are the decoder's padding, painted magenta; the split sits at 180 = 360 / 2,
    // so quadrants and corners only line up when the aperture is honoured.
    ComPtr<IMFSample> frame = orvo_test::QuadrantSample(640, 368, 320, 180);
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(S_OK, frame->GetBufferByIndex(0, &buffer));
    BYTE* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    UINT32* padding = reinterpret_cast<UINT32*>(data + 360 * 640 * 4);
    for (int i = 0; i < 8 * 640; ++i) padding[i] = 0xFFFF00FF;  // magenta: must never be seen
    buffer->Unlock();
    Screenshot shot = Show(type.Get(), frame.Get(), "compat_aperture.png");
    ExpectPicture(shot, RECT{0, 45, 480, 315}, 0.5, 0.5, 480, 360);
  }
}

TEST_F(CompatibilityPresentationTest, YuvFramesAreConvertedWhileDrawing) {
  s_window->resize(480, 360);
  struct Case {
    GUID subtype;
    UINT32 codedHeight;
    const char* what;
  };
  // NV12 arrives as a whole-macroblock decode: its chroma follows 368 luma rows, 8 of them padding.
  const Case cases[] = {{MFVideoFormat_NV12, 368, "NV12 640x368 with a 640x360 aperture"},
                        {MFVideoFormat_I420, 360, "I420"},
                        {MFVideoFormat_YUY2, 360, "YUY2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(640, c.codedHeight);
    type->SetGUID(MF_MT_SUBTYPE, c.subtype);
    MFVideoArea aperture = {};
    aperture.Area = {640, 360};
    type->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&aperture), sizeof(aperture));
    ASSERT_EQ(S_OK, s_renderer->SetCurrentMediaType(type.Get()));
    // Split a third of the way down: chroma read from the wrong rows shows as wrong colours.
    ComPtr<IMFSample> frame = orvo_test::YuvQuadrantSample(c.subtype, 640, c.codedHeight, 320, 120, 360);
    ASSERT_NE(frame, nullptr);
    Screenshot shot = Show(type.Get(), frame.Get(), "compat_yuv.png");
    ExpectPicture(shot, RECT{0, 45, 480, 315}, 0.5, 1.0 / 3.0, 480, 360);
  }
}

TEST_F(CompatibilityPresentationTest, BlackFrameOfStopClearsThePicture) {
  s_window->resize(480, 360);
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(640, 360);
  ASSERT_EQ(S_OK, s_renderer->SetCurrentMediaType(type.Get()));
  Show(type.Get(), orvo_test::QuadrantSample(640, 360, 320, 180).Get(), "");
  // What the engine sends on stop: a zero-filled buffer of the frame's byte size.
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(S_OK, MFCreateAlignedMemoryBuffer(640 * 360 * 4, MF_16_BYTE_ALIGNMENT, &buffer));
  BYTE* data = nullptr;
  DWORD max = 0;
  buffer->Lock(&data, &max, nullptr);
  memset(data, 0, max);
  buffer->Unlock();
  buffer->SetCurrentLength(max);
  ComPtr<IMFSample> black;
  MFCreateSample(&black);
  black->AddBuffer(buffer.Get());
  Screenshot shot = Show(type.Get(), black.Get(), "compat_black.png");
  ASSERT_TRUE(shot.ok());
  const Rgb seen = shot.clientMean(s_window->hwnd(), RECT{0, 45, 480, 315});
  EXPECT_LE(orvo_test::ColourDistance(seen, Rgb{0, 0, 0}), 8) << Describe(seen);
}

TEST_F(CompatibilityPresentationTest, SecondRendererMovesToItsOwnWindowBesideTheFirst) {
  // Two players: the suite's renderer keeps drawing in its window while a second one moves to a
  // window of its own, beside the first, and shows a frame split elsewhere.
  s_window->resize(480, 360);
  ComPtr<IMFMediaType> type = orvo_test::Rgb32Type(640, 360);
  ASSERT_EQ(S_OK, s_renderer->SetCurrentMediaType(type.Get()));
  ComPtr<IMFSample> first = orvo_test::QuadrantSample(640, 360, 320, 180);
  Show(type.Get(), first.Get(), "");
  TestWindow other(320, 180, L"second window");
  SetWindowPos(other.hwnd(), nullptr, 600, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  Dx11Renderer* renderer = new Dx11Renderer();
  ASSERT_EQ(S_OK, renderer->SetVideoWindow(s_window->hwnd()));
  ASSERT_EQ(S_OK, renderer->SetCurrentMediaType(type.Get()));
  ComPtr<IMFSample> frame = orvo_test::QuadrantSample(640, 360, 160, 90);
  // Moving to another window re-creates the device; frames then go to the new window.
  ASSERT_EQ(S_OK, renderer->SetVideoWindow(other.hwnd()));
  for (int i = GpuReal() ? 0 : 3; i < 4; ++i) {  // see Show
    UINT interlace = MFVideoInterlace_Progressive;
    BOOL changed = FALSE, again = FALSE;
    EXPECT_EQ(S_OK, renderer->ProcessFrame(type.Get(), frame.Get(), &interlace, &changed, &again, nullptr));
    EXPECT_EQ(S_OK, renderer->PresentFrame());
    other.pump(150);
  }
  EXPECT_EQ(GpuReal(), !renderer->IsCompatibilityMode());
  Screenshot shot = Show(type.Get(), first.Get(), "compat_two_windows.png");
  ASSERT_TRUE(shot.ok());
  // 320x180 is exactly 16:9: no bars; the split sits at a quarter across and down.
  EXPECT_LE(orvo_test::ColourDistance(shot.clientPixel(other.hwnd(), 40, 22), ToRgb(orvo_test::kTopLeft)), kTolerance);
  EXPECT_LE(orvo_test::ColourDistance(shot.clientPixel(other.hwnd(), 120, 20), ToRgb(orvo_test::kTopRight)), kTolerance);
  EXPECT_LE(orvo_test::ColourDistance(shot.clientPixel(other.hwnd(), 200, 135), ToRgb(orvo_test::kBottomRight)),
            kTolerance);
  // The first window still shows the suite renderer's picture, split in the middle.
  ExpectPicture(shot, RECT{0, 45, 480, 315}, 0.5, 0.5, 480, 360);
  renderer->Shutdown();
  renderer->Release();
}
