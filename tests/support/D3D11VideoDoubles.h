#pragma once

// Recording doubles of ID3D11VideoDevice, ID3D11VideoContext, ID3D11VideoProcessorEnumerator, the
// video processor and its views. Wine has no Direct3D 11 video device, so the video processor path
// is tested against these: they record what the path asks for and can be told to fail or to report
// chosen capabilities. They do not process pictures.

#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "D3D11NullVideo.h"

namespace ORVO {
namespace Test {

// Objects of these doubles alive in the process, to catch leaked or over-released references.
inline std::atomic<int>& LiveVideoDoubles() {
  static std::atomic<int> count{0};
  return count;
}

// Takes over the reference a new double starts with. (mingw-w64's ComPtr::Attach adds a reference
// of its own, unlike the Windows SDK's, so it is not used.)
template <class T>
Microsoft::WRL::ComPtr<T> Adopt(T* raw) {
  Microsoft::WRL::ComPtr<T> pointer;
  *pointer.ReleaseAndGetAddressOf() = raw;
  return pointer;
}

// Reference counting and QueryInterface for one interface on top of a Null* base.
template <class Base, class Interface>
class CountedDouble : public Base {
 public:
  CountedDouble() { ++LiveVideoDoubles(); }
  virtual ~CountedDouble() { --LiveVideoDoubles(); }
  CountedDouble(const CountedDouble&) = delete;
  CountedDouble& operator=(const CountedDouble&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(Interface)) {
      *ppv = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }
  ULONG refCount() const { return m_refCount.load(); }

 private:
  std::atomic<ULONG> m_refCount{1};
};

class FakeVideoProcessorEnumerator
    : public CountedDouble<NullVideoProcessorEnumerator, ID3D11VideoProcessorEnumerator> {
 public:
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC contentDesc = {};
  D3D11_VIDEO_PROCESSOR_CAPS caps = {};
  std::vector<UINT> processorCaps;  // ProcessorCaps of each rate-conversion index
  UINT outputFormatFlags = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT | D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT;
  HRESULT capsResult = S_OK;
  HRESULT rateCapsResult = S_OK;
  std::vector<DXGI_FORMAT> checkedFormats;
  std::vector<UINT> rateCapsAsked;

  HRESULT STDMETHODCALLTYPE GetVideoProcessorContentDesc(D3D11_VIDEO_PROCESSOR_CONTENT_DESC* desc) override {
    *desc = contentDesc;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CheckVideoProcessorFormat(DXGI_FORMAT format, UINT* flags) override {
    checkedFormats.push_back(format);
    *flags = format == DXGI_FORMAT_B8G8R8A8_UNORM ? outputFormatFlags : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorCaps(D3D11_VIDEO_PROCESSOR_CAPS* out) override {
    if (FAILED(capsResult)) return capsResult;
    *out = caps;
    out->RateConversionCapsCount = static_cast<UINT>(processorCaps.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorRateConversionCaps(
      UINT index, D3D11_VIDEO_PROCESSOR_RATE_CONVERSION_CAPS* out) override {
    rateCapsAsked.push_back(index);
    if (FAILED(rateCapsResult)) return rateCapsResult;
    if (index >= processorCaps.size()) return E_INVALIDARG;
    *out = {};
    out->ProcessorCaps = processorCaps[index];
    return S_OK;
  }
};

class FakeVideoProcessor : public CountedDouble<NullVideoProcessor, ID3D11VideoProcessor> {
 public:
  ID3D11VideoProcessorEnumerator* enumerator = nullptr;  // not owned; identity only
  UINT rateConversionIndex = 0;
};

template <class Base, class Interface, class Desc>
class FakeView : public CountedDouble<Base, Interface> {
 public:
  Microsoft::WRL::ComPtr<ID3D11Resource> resource;
  ID3D11VideoProcessorEnumerator* enumerator = nullptr;  // identity only
  Desc desc = {};

  void STDMETHODCALLTYPE GetResource(ID3D11Resource** out) override {
    *out = resource.Get();
    if (*out != nullptr) (*out)->AddRef();
  }
  void STDMETHODCALLTYPE GetDesc(Desc* out) override { *out = desc; }
};

using FakeInputView =
    FakeView<NullVideoProcessorInputView, ID3D11VideoProcessorInputView, D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC>;
using FakeOutputView =
    FakeView<NullVideoProcessorOutputView, ID3D11VideoProcessorOutputView, D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC>;

// Hands out enumerators configured like `enumeratorTemplate` and records every object it creates
// (with a reference, so tests can inspect them after the path released its own).
class FakeVideoDevice : public CountedDouble<NullVideoDevice, ID3D11VideoDevice> {
 public:
  FakeVideoDevice() {
    // A device with one plain processor and one that offers BOB deinterlacing.
    processorCaps = {D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BLEND,
                     D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BOB |
                         D3D11_VIDEO_PROCESSOR_PROCESSOR_CAPS_DEINTERLACE_BLEND};
  }

  // Configuration of the enumerators it creates.
  std::vector<UINT> processorCaps;
  UINT featureCaps = 0;
  UINT outputFormatFlags = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT | D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT;
  HRESULT enumeratorResult = S_OK;
  HRESULT processorResult = S_OK;
  HRESULT inputViewResult = S_OK;
  HRESULT secondInputViewResult = S_OK;
  HRESULT outputViewResult = S_OK;

  std::vector<Microsoft::WRL::ComPtr<FakeVideoProcessorEnumerator>> enumerators;
  std::vector<Microsoft::WRL::ComPtr<FakeVideoProcessor>> processors;
  std::vector<Microsoft::WRL::ComPtr<FakeInputView>> inputViews;
  std::vector<Microsoft::WRL::ComPtr<FakeOutputView>> outputViews;

  HRESULT STDMETHODCALLTYPE CreateVideoProcessorEnumerator(const D3D11_VIDEO_PROCESSOR_CONTENT_DESC* desc,
                                                           ID3D11VideoProcessorEnumerator** out) override {
    *out = nullptr;
    if (FAILED(enumeratorResult)) return enumeratorResult;
    Microsoft::WRL::ComPtr<FakeVideoProcessorEnumerator> enumerator = Adopt(new FakeVideoProcessorEnumerator);
    enumerator->contentDesc = *desc;
    enumerator->processorCaps = processorCaps;
    enumerator->caps.FeatureCaps = featureCaps;
    enumerator->outputFormatFlags = outputFormatFlags;
    enumerators.push_back(enumerator);
    *out = enumerator.Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessor(ID3D11VideoProcessorEnumerator* enumerator, UINT index,
                                                 ID3D11VideoProcessor** out) override {
    *out = nullptr;
    if (FAILED(processorResult)) return processorResult;
    Microsoft::WRL::ComPtr<FakeVideoProcessor> processor = Adopt(new FakeVideoProcessor);
    processor->enumerator = enumerator;
    processor->rateConversionIndex = index;
    processors.push_back(processor);
    *out = processor.Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorInputView(ID3D11Resource* resource,
                                                          ID3D11VideoProcessorEnumerator* enumerator,
                                                          const D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC* desc,
                                                          ID3D11VideoProcessorInputView** out) override {
    *out = nullptr;
    const HRESULT result = inputViewCallsThisFrame == 0 ? inputViewResult : secondInputViewResult;
    ++inputViewCallsThisFrame;
    if (FAILED(result)) return result;
    Microsoft::WRL::ComPtr<FakeInputView> view = Adopt(new FakeInputView);
    view->resource = resource;
    view->enumerator = enumerator;
    view->desc = *desc;
    inputViews.push_back(view);
    *out = view.Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorOutputView(ID3D11Resource* resource,
                                                           ID3D11VideoProcessorEnumerator* enumerator,
                                                           const D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC* desc,
                                                           ID3D11VideoProcessorOutputView** out) override {
    *out = nullptr;
    // A new frame begins with its output view.
    inputViewCallsThisFrame = 0;
    if (FAILED(outputViewResult)) return outputViewResult;
    Microsoft::WRL::ComPtr<FakeOutputView> view = Adopt(new FakeOutputView);
    view->resource = resource;
    view->enumerator = enumerator;
    view->desc = *desc;
    outputViews.push_back(view);
    *out = view.Detach();
    return S_OK;
  }

 private:
  int inputViewCallsThisFrame = 0;
};

// Records the stream and output settings and every VideoProcessorBlt.
class FakeVideoContext : public CountedDouble<NullVideoContext, ID3D11VideoContext> {
 public:
  struct Blt {
    ID3D11VideoProcessor* processor;
    ID3D11VideoProcessorOutputView* outputView;
    UINT frameIndex;
    UINT streamCount;
    D3D11_VIDEO_PROCESSOR_STREAM stream;
  };
  struct StereoFormat {
    bool set = false;
    BOOL enable = FALSE;
    D3D11_VIDEO_PROCESSOR_STEREO_FORMAT format = D3D11_VIDEO_PROCESSOR_STEREO_FORMAT_MONO;
    BOOL leftViewFrame0 = FALSE;
    BOOL baseViewFrame0 = FALSE;
    D3D11_VIDEO_PROCESSOR_STEREO_FLIP_MODE flipMode = D3D11_VIDEO_PROCESSOR_STEREO_FLIP_FRAME0;
    int monoOffset = -1;
  };

  HRESULT bltResult = S_OK;
  std::vector<Blt> blts;
  std::vector<UINT> streamIndices;  // stream index of every per-stream setting
  D3D11_VIDEO_FRAME_FORMAT frameFormat = static_cast<D3D11_VIDEO_FRAME_FORMAT>(-1);
  D3D11_VIDEO_PROCESSOR_OUTPUT_RATE outputRate = static_cast<D3D11_VIDEO_PROCESSOR_OUTPUT_RATE>(-1);
  BOOL repeatFrame = FALSE;
  const DXGI_RATIONAL* customRate = reinterpret_cast<const DXGI_RATIONAL*>(1);
  BOOL sourceRectEnabled = FALSE;
  RECT sourceRect = {-1, -1, -1, -1};
  BOOL destRectEnabled = FALSE;
  RECT destRect = {-1, -1, -1, -1};
  BOOL targetRectEnabled = FALSE;
  RECT targetRect = {-1, -1, -1, -1};
  UINT streamColorSpace = 0xFFFFFFFF;
  UINT outputColorSpace = 0xFFFFFFFF;
  bool backgroundSet = false;
  BOOL backgroundYCbCr = TRUE;
  D3D11_VIDEO_COLOR background = {};
  bool outputStereoSet = false;
  BOOL outputStereo = FALSE;
  StereoFormat stereoFormat;

  static UINT ColorSpaceBits(const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* colorSpace) {
    return colorSpace->Usage | (colorSpace->RGB_Range << 1) | (colorSpace->YCbCr_Matrix << 2) |
           (colorSpace->YCbCr_xvYCC << 3) | (colorSpace->Nominal_Range << 4);
  }

  void STDMETHODCALLTYPE VideoProcessorSetStreamFrameFormat(ID3D11VideoProcessor*, UINT stream,
                                                            D3D11_VIDEO_FRAME_FORMAT format) override {
    streamIndices.push_back(stream);
    frameFormat = format;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamOutputRate(ID3D11VideoProcessor*, UINT stream,
                                                           D3D11_VIDEO_PROCESSOR_OUTPUT_RATE rate, BOOL repeat,
                                                           const DXGI_RATIONAL* custom) override {
    streamIndices.push_back(stream);
    outputRate = rate;
    repeatFrame = repeat;
    customRate = custom;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamSourceRect(ID3D11VideoProcessor*, UINT stream, BOOL enable,
                                                           const RECT* rect) override {
    streamIndices.push_back(stream);
    sourceRectEnabled = enable;
    sourceRect = *rect;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamDestRect(ID3D11VideoProcessor*, UINT stream, BOOL enable,
                                                         const RECT* rect) override {
    streamIndices.push_back(stream);
    destRectEnabled = enable;
    destRect = *rect;
  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputTargetRect(ID3D11VideoProcessor*, BOOL enable,
                                                           const RECT* rect) override {
    targetRectEnabled = enable;
    targetRect = *rect;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamColorSpace(ID3D11VideoProcessor*, UINT stream,
                                                           const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* cs) override {
    streamIndices.push_back(stream);
    streamColorSpace = ColorSpaceBits(cs);
  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputColorSpace(ID3D11VideoProcessor*,
                                                           const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* cs) override {
    outputColorSpace = ColorSpaceBits(cs);
  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputBackgroundColor(ID3D11VideoProcessor*, BOOL yCbCr,
                                                                const D3D11_VIDEO_COLOR* color) override {
    backgroundSet = true;
    backgroundYCbCr = yCbCr;
    background = *color;
  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputStereoMode(ID3D11VideoProcessor*, BOOL enable) override {
    outputStereoSet = true;
    outputStereo = enable;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamStereoFormat(ID3D11VideoProcessor*, UINT stream, BOOL enable,
                                                             D3D11_VIDEO_PROCESSOR_STEREO_FORMAT format,
                                                             BOOL leftViewFrame0, BOOL baseViewFrame0,
                                                             D3D11_VIDEO_PROCESSOR_STEREO_FLIP_MODE flipMode,
                                                             int monoOffset) override {
    streamIndices.push_back(stream);
    stereoFormat = {true, enable, format, leftViewFrame0, baseViewFrame0, flipMode, monoOffset};
  }
  HRESULT STDMETHODCALLTYPE VideoProcessorBlt(ID3D11VideoProcessor* processor, ID3D11VideoProcessorOutputView* view,
                                              UINT frameIndex, UINT streamCount,
                                              const D3D11_VIDEO_PROCESSOR_STREAM* streams) override {
    blts.push_back({processor, view, frameIndex, streamCount, streamCount > 0 ? streams[0] : D3D11_VIDEO_PROCESSOR_STREAM{}});
    return bltResult;
  }
};

}  // namespace Test
}  // namespace ORVO
