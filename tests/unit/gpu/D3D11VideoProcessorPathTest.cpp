#include <gtest/gtest.h>

#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <cstring>
#include <memory>

#include "D3D11VideoDoubles.h"
#include "render/D3D11VideoProcessorPath.h"

// Wine has no ID3D11VideoDevice or ID3D11VideoContext: the path runs against the recording doubles
// of D3D11VideoDoubles.h. Textures, the back buffer and the render-target sample are real objects
// of Wine's Direct3D 11 device and Media Foundation.

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::VideoPathFrame;
using ORVO::MediaFoundation::VideoPathHost;
using ORVO::MediaFoundation::D3D11VideoProcessorPath;
using ORVO::Test::FakeVideoContext;
using ORVO::Test::FakeVideoDevice;
using ORVO::Test::LiveVideoDoubles;

namespace {

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

#define EXPECT_RECT(actual, l, t, r, b) EXPECT_TRUE(SameRect(actual, RECT{l, t, r, b})) \
    << #actual << " = {" << (actual).left << ", " << (actual).top << ", " << (actual).right << ", " << (actual).bottom << "}"

ComPtr<ID3D11Texture2D> MakeTexture(ID3D11Device* device, UINT width, UINT height, UINT arraySize = 1) {
  D3D11_TEXTURE2D_DESC desc = {};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = arraySize;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
  ComPtr<ID3D11Texture2D> texture;
  EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
  return texture;
}

// The renderer's side: a "swap chain" whose back buffer is a real texture, the render-target sample
// built on it as the renderer builds it, and records of what the path asked for.
class RecordingHost : public VideoPathHost {
 public:
  explicit RecordingHost(ID3D11Device* device) : m_device(device) {}

  bool swapChain = false;
  int swapChainUpdates = 0;
  RECT targetAtUpdate = {};
  BOOL stereoAtUpdate = FALSE;
  HRESULT updateResult = S_OK;
  HRESULT modeResult = S_OK;
  int modeRequests = 0;
  UINT modeWidth = 0, modeHeight = 0;
  BOOL modeStereo = FALSE;
  std::vector<POINT> offsets;
  ComPtr<ID3D11Texture2D> backBuffer;
  ComPtr<IMFSample> lastSample;
  UINT frameWidth = 0, frameHeight = 0;
  BOOL stereo = FALSE;
  POINT offset = {0, 0};
  bool forceRecreation = false;

  SIZE FrameSize() override { return SIZE{static_cast<LONG>(frameWidth), static_cast<LONG>(frameHeight)}; }
  void SetFrameSize(UINT width, UINT height) override {
    frameWidth = width;
    frameHeight = height;
  }
  BOOL StereoEnabled() override { return stereo; }
  void EnableStereo() override { stereo = TRUE; }
  bool HasSwapChain() override { return swapChain; }
  void DiscardSwapChain() override { swapChain = false; }
  HRESULT UpdateSwapChain(const RECT& target) override {
    ++swapChainUpdates;
    targetAtUpdate = target;
    stereoAtUpdate = stereo;
    if (FAILED(updateResult)) return updateResult;
    swapChain = true;
    backBuffer = MakeTexture(m_device, targetAtUpdate.right, targetAtUpdate.bottom, stereo ? 2 : 1);
    return S_OK;
  }
  HRESULT CreateRenderTargetSample(IMFSample** ppSample, const char*) override {
    ComPtr<IMFSample> sample;
    HRESULT hr = MFCreateSample(&sample);
    ComPtr<IMFMediaBuffer> buffer;
    if (SUCCEEDED(hr)) hr = MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), backBuffer.Get(), 0, FALSE, &buffer);
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
    if (FAILED(hr)) return hr;
    lastSample = sample;
    *ppSample = sample.Detach();
    return S_OK;
  }
  HRESULT FindClosestMatchingMode(UINT width, UINT height, BOOL stereo) override {
    ++modeRequests;
    modeWidth = width;
    modeHeight = height;
    modeStereo = stereo;
    return modeResult;
  }
  POINT VisualOffset() override { return offset; }
  HRESULT SetVisualOffset(int x, int y) override {
    offset = POINT{x, y};
    offsets.push_back(offset);
    return S_OK;
  }
  void ForceDeviceRecreation() override { forceRecreation = true; }

 private:
  ID3D11Device* m_device;
};

}  // namespace

class VideoProcessorPath : public ::testing::Test {
 protected:
  // One real device for the whole suite: it only makes textures, and creating one per test costs
  // most of the suite's time under Wine.
  static void SetUpTestSuite() {
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, &level, 1, D3D11_SDK_VERSION,
                      &s_device, nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    s_device.Reset();
    MFShutdown();
  }

  void SetUp() override {
    ASSERT_TRUE(s_device);
    m_device = s_device;
    m_livedBefore = LiveVideoDoubles().load();
    m_videoDevice = ORVO::Test::Adopt(new FakeVideoDevice);
    m_videoContext = ORVO::Test::Adopt(new FakeVideoContext);
    m_host = std::make_unique<RecordingHost>(m_device.Get());
    m_path = std::make_unique<D3D11VideoProcessorPath>(this, *m_host);
    m_texture = MakeTexture(m_device.Get(), 1920, 1080);

    m_frame.device = m_videoDevice.Get();
    m_frame.context = m_videoContext.Get();
    m_frame.texture = m_texture.Get();
    m_frame.subresource = 0;
    m_frame.target = {0, 0, 1280, 1000};
    m_frame.interlaceMode = 2;
    m_frame.displayArea = {0, 0, 1920, 1080};
    m_frame.displayWidth = 1920;
    m_frame.displayHeight = 1080;
  }

  void TearDown() override {
    m_path.reset();
    m_videoDevice.Reset();
    m_videoContext.Reset();
    m_host.reset();
    // Every double the path was given or made has been released exactly as often as referenced.
    EXPECT_EQ(LiveVideoDoubles().load(), m_livedBefore);
    m_device.Reset();
  }

  HRESULT Process(IMFSample** ppOutput = nullptr) {
    return m_path->ProcessFrame(m_frame, ppOutput);
  }

  static ComPtr<ID3D11Device> s_device;
  ComPtr<ID3D11Device> m_device;
  ComPtr<FakeVideoDevice> m_videoDevice;
  ComPtr<FakeVideoContext> m_videoContext;
  std::unique_ptr<RecordingHost> m_host;
  ComPtr<ID3D11Texture2D> m_texture;
  int m_livedBefore = 0;

  std::unique_ptr<D3D11VideoProcessorPath> m_path;
  VideoPathFrame m_frame;
};

ComPtr<ID3D11Device> VideoProcessorPath::s_device;

TEST_F(VideoProcessorPath, ProgressiveFrameIsLetterboxedIntoTheBackBuffer) {
  ComPtr<IMFSample> output;
  ASSERT_EQ(Process(&output), S_OK);

  // The enumerator describes the texture with the transform path's content description.
  ASSERT_EQ(m_videoDevice->enumerators.size(), 1u);
  const D3D11_VIDEO_PROCESSOR_CONTENT_DESC& content = m_videoDevice->enumerators[0]->contentDesc;
  EXPECT_EQ(content.InputFrameFormat, D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST);
  EXPECT_EQ(content.InputWidth, 1920u);
  EXPECT_EQ(content.InputHeight, 1080u);
  EXPECT_EQ(content.OutputWidth, 1920u);
  EXPECT_EQ(content.OutputHeight, 1080u);
  EXPECT_EQ(content.InputFrameRate.Numerator, 0u);
  EXPECT_EQ(content.OutputFrameRate.Denominator, 0u);
  EXPECT_EQ(content.Usage, D3D11_VIDEO_USAGE_PLAYBACK_NORMAL);
  ASSERT_EQ(m_videoDevice->enumerators[0]->checkedFormats.size(), 1u);
  EXPECT_EQ(m_videoDevice->enumerators[0]->checkedFormats[0], DXGI_FORMAT_B8G8R8A8_UNORM);

  // The processor at the BOB index (1 of the double's two).
  ASSERT_EQ(m_videoDevice->processors.size(), 1u);
  EXPECT_EQ(m_videoDevice->processors[0]->rateConversionIndex, 1u);
  EXPECT_EQ(m_path->processor(), m_videoDevice->processors[0].Get());
  EXPECT_EQ(m_path->videoDevice(), m_videoDevice.Get());
  EXPECT_EQ(m_host->frameWidth, 1920u);
  EXPECT_EQ(m_host->frameHeight, 1080u);

  // Stream 0: progressive, normal rate with repeat, rectangles, colour spaces, black background.
  const FakeVideoContext& context = *m_videoContext.Get();
  EXPECT_EQ(context.frameFormat, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  EXPECT_EQ(context.outputRate, D3D11_VIDEO_PROCESSOR_OUTPUT_RATE_NORMAL);
  EXPECT_TRUE(context.repeatFrame);
  EXPECT_EQ(context.customRate, nullptr);
  EXPECT_TRUE(context.sourceRectEnabled);
  EXPECT_RECT(context.sourceRect, 0, 0, 1920, 1080);
  EXPECT_TRUE(context.destRectEnabled);
  EXPECT_RECT(context.destRect, 0, 140, 1280, 860);
  EXPECT_TRUE(context.targetRectEnabled);
  EXPECT_RECT(context.targetRect, 0, 0, 1280, 1000);
  EXPECT_EQ(context.streamColorSpace, 8u);
  EXPECT_EQ(context.outputColorSpace, 8u);
  EXPECT_TRUE(context.backgroundSet);
  EXPECT_FALSE(context.backgroundYCbCr);
  EXPECT_EQ(context.background.RGBA.R, 0.0f);
  EXPECT_EQ(context.background.RGBA.G, 0.0f);
  EXPECT_EQ(context.background.RGBA.B, 0.0f);
  EXPECT_EQ(context.background.RGBA.A, 1.0f);
  EXPECT_FALSE(context.outputStereoSet);
  EXPECT_FALSE(context.stereoFormat.set);
  for (UINT stream : context.streamIndices) EXPECT_EQ(stream, 0u);

  // Views: output on the back buffer, input on the texture at its subresource.
  ASSERT_EQ(m_videoDevice->outputViews.size(), 1u);
  const auto& outputView = *m_videoDevice->outputViews[0].Get();
  EXPECT_EQ(outputView.resource.Get(), static_cast<ID3D11Resource*>(m_host->backBuffer.Get()));
  EXPECT_EQ(outputView.desc.ViewDimension, D3D11_VPOV_DIMENSION_TEXTURE2D);
  EXPECT_EQ(outputView.desc.Texture2D.MipSlice, 0u);
  EXPECT_EQ(outputView.enumerator, m_path->enumerator());
  ASSERT_EQ(m_videoDevice->inputViews.size(), 1u);
  const auto& inputView = *m_videoDevice->inputViews[0].Get();
  EXPECT_EQ(inputView.resource.Get(), static_cast<ID3D11Resource*>(m_texture.Get()));
  EXPECT_EQ(inputView.desc.FourCC, 0u);
  EXPECT_EQ(inputView.desc.ViewDimension, D3D11_VPIV_DIMENSION_TEXTURE2D);
  EXPECT_EQ(inputView.desc.Texture2D.MipSlice, 0u);
  EXPECT_EQ(inputView.desc.Texture2D.ArraySlice, 0u);

  // One Blt: output frame 0, one enabled stream, no past or future frames, no right view.
  ASSERT_EQ(context.blts.size(), 1u);
  const FakeVideoContext::Blt& blt = context.blts[0];
  EXPECT_EQ(blt.processor, m_path->processor());
  EXPECT_EQ(blt.outputView, m_videoDevice->outputViews[0].Get());
  EXPECT_EQ(blt.frameIndex, 0u);
  EXPECT_EQ(blt.streamCount, 1u);
  EXPECT_TRUE(blt.stream.Enable);
  EXPECT_EQ(blt.stream.OutputIndex, 0u);
  EXPECT_EQ(blt.stream.InputFrameOrField, 0u);
  EXPECT_EQ(blt.stream.PastFrames, 0u);
  EXPECT_EQ(blt.stream.FutureFrames, 0u);
  EXPECT_EQ(blt.stream.pInputSurface, m_videoDevice->inputViews[0].Get());
  EXPECT_EQ(blt.stream.pInputSurfaceRight, nullptr);

  // The swap chain was created for the target, and the render-target sample handed out.
  EXPECT_EQ(m_host->swapChainUpdates, 1);
  EXPECT_RECT(m_host->targetAtUpdate, 0, 0, 1280, 1000);
  EXPECT_EQ(output.Get(), m_host->lastSample.Get());
  EXPECT_FALSE(m_host->forceRecreation);
  EXPECT_TRUE(m_host->offsets.empty());
}

// An anamorphic PAL frame: the source rectangle is given in display pixels (768×576) and handed to
// the processor in frame pixels (720×576), letterboxed by its display shape.
TEST_F(VideoProcessorPath, AnamorphicSourceIsConvertedToFramePixels) {
  m_texture = MakeTexture(m_device.Get(), 720, 576);
  m_frame.texture = m_texture.Get();
  m_frame.displayArea = {0, 0, 720, 576};
  m_frame.displayWidth = 768;
  m_frame.displayHeight = 576;
  m_frame.target = {0, 0, 1280, 720};
  ASSERT_EQ(Process(), S_OK);
  EXPECT_RECT(m_path->sourceRect(), 0, 0, 768, 576);
  EXPECT_RECT(m_videoContext->sourceRect, 0, 0, 720, 576);
  EXPECT_RECT(m_videoContext->destRect, 160, 0, 1120, 720);
  EXPECT_RECT(m_videoContext->targetRect, 0, 0, 1280, 720);
}

TEST_F(VideoProcessorPath, FrameFormatFollowsTheInterlaceMode) {
  struct Case {
    UINT mode;
    D3D11_VIDEO_FRAME_FORMAT format;
  };
  const Case cases[] = {
      {2, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE},
      {3, D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST},
      {4, D3D11_VIDEO_FRAME_FORMAT_INTERLACED_BOTTOM_FIELD_FIRST},
      {5, D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST},
      {6, D3D11_VIDEO_FRAME_FORMAT_INTERLACED_BOTTOM_FIELD_FIRST},
      {7, D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST},
      {0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE},
      {1, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE},
      {99, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    m_frame.interlaceMode = c.mode;
    ASSERT_EQ(Process(), S_OK);
    EXPECT_EQ(m_videoContext->frameFormat, c.format);
    // Every mode goes through the same BOB processor, built once.
    EXPECT_EQ(m_videoDevice->processors.size(), 1u);
  }
  EXPECT_EQ(m_videoContext->blts.size(), sizeof(cases) / sizeof(cases[0]));
}

TEST_F(VideoProcessorPath, BobIndexIsTheFirstProcessorThatOffersIt) {
  m_videoDevice->processorCaps = {D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BOB,
                                  D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BOB};
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_videoDevice->processors[0]->rateConversionIndex, 0u);

  m_path->DiscardVideoDevice();  // as a full-screen switch does
  m_videoDevice->processorCaps = {0, D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_FRAME_RATE_CONVERSION,
                                  D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BOB |
                                      D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_INVERSE_TELECINE};
  ASSERT_EQ(Process(), S_OK);
  ASSERT_EQ(m_videoDevice->processors.size(), 2u);
  EXPECT_EQ(m_videoDevice->processors[1]->rateConversionIndex, 2u);
  const std::vector<UINT> asked = {0, 1, 2};
  EXPECT_EQ(m_videoDevice->enumerators[1]->rateCapsAsked, asked);
}

TEST_F(VideoProcessorPath, NoBobProcessorFailsInterlacedInputButDrawsProgressiveWithProcessorZero) {
  m_videoDevice->processorCaps = {D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BLEND,
                                  D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_FRAME_RATE_CONVERSION};
  m_frame.interlaceMode = MFVideoInterlace_FieldInterleavedUpperFirst;
  EXPECT_EQ(Process(), E_FAIL);
  EXPECT_TRUE(m_videoDevice->processors.empty());
  EXPECT_TRUE(m_videoContext->blts.empty());
  EXPECT_EQ(m_host->swapChainUpdates, 0);
  EXPECT_FALSE(m_host->forceRecreation);  // window swap chain: no re-creation

  m_videoDevice->processorCaps.clear();  // no rate-conversion caps at all
  EXPECT_EQ(Process(), E_FAIL);

  // Progressive input needs no deinterlacing: processor 0 draws it, and the next interlaced frame
  // asks for BOB again instead of reusing that processor.
  m_frame.interlaceMode = MFVideoInterlace_Progressive;
  ASSERT_EQ(Process(), S_OK);
  ASSERT_EQ(m_videoDevice->processors.size(), 1u);
  EXPECT_EQ(m_videoDevice->processors[0]->rateConversionIndex, 0u);
  EXPECT_EQ(m_videoContext->blts.size(), 1u);
  m_frame.interlaceMode = MFVideoInterlace_FieldInterleavedUpperFirst;
  EXPECT_EQ(Process(), E_FAIL);
  EXPECT_EQ(m_videoContext->blts.size(), 1u);
}

TEST_F(VideoProcessorPath, CapsFailuresAreReturned) {
  ComPtr<ID3D11VideoProcessorEnumerator> enumerator;
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content = {};
  ASSERT_EQ(m_videoDevice->CreateVideoProcessorEnumerator(&content, &enumerator), S_OK);
  UINT index = 77;
  m_videoDevice->enumerators[0]->rateCapsResult = E_UNEXPECTED;
  EXPECT_EQ(D3D11VideoProcessorPath::FindBOBProcessorIndex(this, enumerator.Get(), &index), E_UNEXPECTED);
  m_videoDevice->enumerators[0]->capsResult = DXGI_ERROR_DEVICE_REMOVED;
  EXPECT_EQ(D3D11VideoProcessorPath::FindBOBProcessorIndex(this, enumerator.Get(), &index), DXGI_ERROR_DEVICE_REMOVED);
  EXPECT_EQ(index, 77u);
}

TEST_F(VideoProcessorPath, OutputFormatWithoutOutputSupportIsRefused) {
  m_videoDevice->outputFormatFlags = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT;
  EXPECT_EQ(Process(), MF_E_UNSUPPORTED_D3D_TYPE);
  EXPECT_TRUE(m_videoDevice->processors.empty());
  EXPECT_TRUE(m_videoContext->blts.empty());
}

TEST_F(VideoProcessorPath, ObjectsAreReusedUntilSizeOrOwnerDiscardsThem) {
  ASSERT_EQ(Process(), S_OK);
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_videoDevice->enumerators.size(), 1u);
  EXPECT_EQ(m_videoDevice->processors.size(), 1u);
  EXPECT_EQ(m_host->swapChainUpdates, 1);  // same placement, swap chain exists
  EXPECT_EQ(m_videoContext->blts.size(), 2u);
  EXPECT_EQ(m_videoDevice->outputViews.size(), 2u);  // views are per frame

  // A new target area moves the picture: the swap chain follows.
  m_frame.target = {0, 0, 640, 480};
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_host->swapChainUpdates, 2);
  EXPECT_RECT(m_host->targetAtUpdate, 0, 0, 640, 480);
  EXPECT_RECT(m_videoContext->destRect, 0, 60, 640, 420);
  EXPECT_EQ(m_videoDevice->processors.size(), 1u);

  // A texture of another size rebuilds enumerator and processor.
  ComPtr<ID3D11Texture2D> small = MakeTexture(m_device.Get(), 1280, 720);
  m_frame.texture = small.Get();
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_videoDevice->enumerators.size(), 2u);
  EXPECT_EQ(m_videoDevice->enumerators[1]->contentDesc.InputWidth, 1280u);
  EXPECT_EQ(m_host->frameWidth, 1280u);
  EXPECT_EQ(m_host->frameHeight, 720u);

  // The renderer discards the enumerator (new media type): rebuilt on the next frame.
  m_path->DiscardProcessor();
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_videoDevice->enumerators.size(), 3u);
  EXPECT_EQ(m_videoDevice->processors.size(), 3u);

  // The renderer discards the video device (device re-created): queried again from the device.
  m_path->DiscardVideoDevice();
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_path->videoDevice(), m_videoDevice.Get());
}

TEST_F(VideoProcessorPath, PackedStereoWithStereoCapability) {
  m_videoDevice->featureCaps = D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_STEREO;
  m_frame.video3D = 1;
  m_frame.format3D = 2;  // packed left-right
  ASSERT_EQ(Process(), S_OK);
  EXPECT_TRUE(m_host->stereo);
  EXPECT_TRUE(m_host->stereoAtUpdate);  // the swap chain is built for stereo
  const auto& outputDesc = m_videoDevice->outputViews[0]->desc;
  EXPECT_EQ(outputDesc.ViewDimension, D3D11_VPOV_DIMENSION_TEXTURE2DARRAY);
  EXPECT_EQ(outputDesc.Texture2DArray.MipSlice, 0u);
  EXPECT_EQ(outputDesc.Texture2DArray.FirstArraySlice, 0u);
  EXPECT_EQ(outputDesc.Texture2DArray.ArraySize, 2u);
  EXPECT_TRUE(m_videoContext->outputStereoSet);
  EXPECT_TRUE(m_videoContext->outputStereo);
  const FakeVideoContext::StereoFormat& stereo = m_videoContext->stereoFormat;
  ASSERT_TRUE(stereo.set);
  EXPECT_TRUE(stereo.enable);
  EXPECT_EQ(stereo.format, D3D11_VIDEO_PROCESSOR_STEREO_FORMAT_HORIZONTAL);
  EXPECT_TRUE(stereo.leftViewFrame0);
  EXPECT_TRUE(stereo.baseViewFrame0);
  EXPECT_EQ(stereo.flipMode, D3D11_VIDEO_PROCESSOR_STEREO_FLIP_NONE);
  EXPECT_EQ(stereo.monoOffset, 0);
  EXPECT_EQ(m_videoDevice->inputViews.size(), 1u);  // packed: one input view
  EXPECT_EQ(m_host->modeRequests, 0);                // not full screen

  m_path->DiscardProcessor();
  m_frame.format3D = 3;  // packed top-bottom
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_videoContext->stereoFormat.format, D3D11_VIDEO_PROCESSOR_STEREO_FORMAT_VERTICAL);
}

TEST_F(VideoProcessorPath, MultiViewStereoUsesTheSecondViewAsRightSurface) {
  m_videoDevice->featureCaps = D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_STEREO;
  ComPtr<ID3D11Texture2D> array = MakeTexture(m_device.Get(), 1920, 1080, 4);
  ComPtr<ID3D11Texture2D> second = MakeTexture(m_device.Get(), 1920, 1080, 4);
  m_frame.texture = array.Get();
  m_frame.subresource = 2;
  m_frame.evTexture = second.Get();
  m_frame.evSubresource = 3;
  m_frame.video3D = 1;
  m_frame.format3D = 1;
  ASSERT_EQ(Process(), S_OK);
  ASSERT_EQ(m_videoDevice->inputViews.size(), 2u);
  EXPECT_EQ(m_videoDevice->inputViews[0]->resource.Get(), static_cast<ID3D11Resource*>(array.Get()));
  EXPECT_EQ(m_videoDevice->inputViews[0]->desc.Texture2D.ArraySlice, 2u);
  EXPECT_EQ(m_videoDevice->inputViews[1]->resource.Get(), static_cast<ID3D11Resource*>(second.Get()));
  EXPECT_EQ(m_videoDevice->inputViews[1]->desc.Texture2D.ArraySlice, 3u);
  const FakeVideoContext::Blt& blt = m_videoContext->blts.back();
  EXPECT_EQ(blt.stream.pInputSurface, m_videoDevice->inputViews[0].Get());
  EXPECT_EQ(blt.stream.pInputSurfaceRight, m_videoDevice->inputViews[1].Get());
  EXPECT_EQ(m_videoContext->stereoFormat.format, D3D11_VIDEO_PROCESSOR_STEREO_FORMAT_SEPARATE);

  // Without 3D the second view is ignored.
  m_frame.video3D = 0;
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_videoDevice->inputViews.size(), 3u);
  EXPECT_EQ(m_videoContext->blts.back().stream.pInputSurfaceRight, nullptr);
}

TEST_F(VideoProcessorPath, StereoContentWithoutStereoCapabilityIsDrawnMono) {
  m_frame.video3D = 1;
  m_frame.format3D = 2;
  m_frame.fullscreen = TRUE;
  ASSERT_EQ(Process(), S_OK);
  EXPECT_FALSE(m_host->stereo);
  EXPECT_EQ(m_videoDevice->outputViews[0]->desc.ViewDimension, D3D11_VPOV_DIMENSION_TEXTURE2D);
  EXPECT_TRUE(m_videoContext->outputStereoSet);
  EXPECT_FALSE(m_videoContext->outputStereo);
  EXPECT_FALSE(m_videoContext->stereoFormat.enable);
  // Full screen asks the output for a mode of the texture's size.
  EXPECT_EQ(m_host->modeRequests, 1);
  EXPECT_EQ(m_host->modeWidth, 1920u);
  EXPECT_EQ(m_host->modeHeight, 1080u);
  EXPECT_FALSE(m_host->modeStereo);

  m_path->DiscardProcessor();
  m_host->modeResult = DXGI_ERROR_NOT_FOUND;
  EXPECT_EQ(Process(), DXGI_ERROR_NOT_FOUND);
}

TEST_F(VideoProcessorPath, CompositionVisualFollowsTheVideoRectangle) {
  m_frame.composition = TRUE;
  m_frame.videoRectSet = true;
  m_frame.videoRect = {10, 20, 650, 500};
  ASSERT_EQ(Process(), S_OK);
  ASSERT_EQ(m_host->offsets.size(), 1u);
  EXPECT_EQ(m_host->offsets[0].x, 10);
  EXPECT_EQ(m_host->offsets[0].y, 20);
  EXPECT_EQ(m_host->offset.x, 10);
  EXPECT_EQ(m_host->offset.y, 20);
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_host->offsets.size(), 1u);  // unchanged offset: no commit
  m_frame.videoRect = {30, 20, 670, 500};
  ASSERT_EQ(Process(), S_OK);
  ASSERT_EQ(m_host->offsets.size(), 2u);
  EXPECT_EQ(m_host->offsets[1].x, 30);

  // Not in composition mode: the visual is left alone.
  m_frame.composition = FALSE;
  m_frame.videoRect = {0, 0, 640, 480};
  ASSERT_EQ(Process(), S_OK);
  EXPECT_EQ(m_host->offsets.size(), 2u);
}

TEST_F(VideoProcessorPath, FailureInCompositionModeForcesDeviceRecreation) {
  m_videoContext->bltResult = DXGI_ERROR_DEVICE_REMOVED;
  ComPtr<IMFSample> output;
  EXPECT_EQ(Process(&output), DXGI_ERROR_DEVICE_REMOVED);
  EXPECT_EQ(output.Get(), nullptr);
  EXPECT_FALSE(m_host->forceRecreation);  // window swap chain: the failure is only returned

  m_frame.composition = TRUE;
  EXPECT_EQ(Process(&output), DXGI_ERROR_DEVICE_REMOVED);
  EXPECT_TRUE(m_host->forceRecreation);
  EXPECT_EQ(output.Get(), nullptr);

  // Any failing step counts, not just the Blt.
  m_host->forceRecreation = false;
  m_videoContext->bltResult = S_OK;
  m_videoDevice->outputViewResult = E_INVALIDARG;
  EXPECT_EQ(Process(), E_INVALIDARG);
  EXPECT_TRUE(m_host->forceRecreation);
  m_host->forceRecreation = false;
  m_videoDevice->outputViewResult = S_OK;
  m_host->updateResult = E_OUTOFMEMORY;
  m_host->swapChain = false;
  EXPECT_EQ(Process(), E_OUTOFMEMORY);
  EXPECT_TRUE(m_host->forceRecreation);
}

TEST_F(VideoProcessorPath, ViewAndObjectCreationFailuresAreReturned) {
  m_videoDevice->enumeratorResult = E_OUTOFMEMORY;
  EXPECT_EQ(Process(), E_OUTOFMEMORY);
  m_videoDevice->enumeratorResult = S_OK;
  m_videoDevice->processorResult = E_INVALIDARG;
  EXPECT_EQ(Process(), E_INVALIDARG);
  EXPECT_EQ(m_path->processor(), nullptr);
  m_videoDevice->processorResult = S_OK;
  m_videoDevice->inputViewResult = E_INVALIDARG;
  EXPECT_EQ(Process(), E_INVALIDARG);
  EXPECT_TRUE(m_videoContext->blts.empty());
  m_videoDevice->inputViewResult = S_OK;

  m_videoDevice->featureCaps = D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_STEREO;
  ComPtr<ID3D11Texture2D> second = MakeTexture(m_device.Get(), 1920, 1080);
  m_frame.evTexture = second.Get();
  m_frame.video3D = 1;
  m_frame.format3D = 1;
  m_videoDevice->secondInputViewResult = E_NOTIMPL;
  EXPECT_EQ(Process(), E_NOTIMPL);
  EXPECT_TRUE(m_videoContext->blts.empty());
}

// A device without the video interfaces (as under Wine) fails cleanly.
TEST_F(VideoProcessorPath, MissingVideoInterfacesAreReported) {
  m_frame.device = m_videoContext.Get();  // answers ID3D11VideoContext only
  EXPECT_EQ(Process(), E_NOINTERFACE);
  m_frame.device = m_videoDevice.Get();
  m_frame.context = m_videoDevice.Get();  // answers ID3D11VideoDevice only
  EXPECT_EQ(Process(), E_NOINTERFACE);
  m_frame.context = m_videoContext.Get();
  m_frame.texture = nullptr;
  EXPECT_EQ(Process(), E_POINTER);
  EXPECT_TRUE(m_videoContext->blts.empty());
}
