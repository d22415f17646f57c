#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "lowlatency/FramePool.h"
#include "lowlatency/RecoveryWindow.h"
#include "common/SourceRect.h"
#include "lowlatency/StreamOutput.h"
#include "render/SnapshotCopy.h"

namespace ORVO {
namespace MediaFoundation {
class Dx11Renderer;
}
namespace Media {

// Pictures for a low-latency video stream: the Direct3D 11 renderer in the host's window, the
// colour converter that brings the decoder's output to RGB32 when the renderer cannot draw it as
// it is, and the renderer's sample allocator when it hands one out. In compatibility presentation
// the renderer draws NV12, YUY2 and the planar 4:2:0 formats itself, so the decoder is asked for
// those first and no converter runs.
//
// The presentation type is replaced on the pulling thread when the reader is made again or the
// decoded type changes, and read on the rendering thread; m_typeLock guards it and its generation
// and nothing else is taken while it is held. Each prepared sample carries the generation it was
// made for, so that frames queued before a change are dropped rather than drawn with the new type.
//
// A device lost under the renderer is created anew by the renderer itself; when it stays lost for
// kRecoveryBoundMs the output fails (failure()), draws nothing more and the player reports Error.
// restart() (the next Play) asks the renderer for a device once more.
class VideoOutput : public StreamOutput {
 public:
  // Measurement seam for benchmarks: called on the rendering thread after PresentFrame returned
  // (stream index, sample time, clock at return, 100-ns). Null (the default) costs one load.
  using PresentObserver = void (*)(int streamIndex, int64_t sampleTime, int64_t presentedAt);
  static PresentObserver SetPresentObserver(PresentObserver observer);

  VideoOutput(int streamIndex, HWND window);
  ~VideoOutput() override;
  VideoOutput(const VideoOutput&) = delete;
  VideoOutput& operator=(const VideoOutput&) = delete;

  HRESULT describe(IMFMediaType* inputType, IMFMediaType* decodedType) override;
  std::vector<GUID> decodedSubtypes(IMFMediaType* inputType) const override;
  void configureReader(IMFAttributes* attributes) override;
  bool readerOutdated() const override;
  HRESULT onDecodedType(IMFMediaType* decoded) override;
  void resetConversion() override;
  HRESULT open() override;
  HRESULT onCurrentTypeChanged(IMFSourceReader* reader) override;
  HRESULT onDecodedTypeChanged(IMFMediaType* decoded) override;
  // For a decoder the stream drives itself: the renderer's device manager to decode onto, or null
  // for system memory. Recorded like the reader's, so readerOutdated() sees a replaced device.
  Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> decoderDeviceManager();
  // Whether the renderer draws decoded YUV frames from system memory itself (no video device).
  bool compatibilityPresentation() const;
  HRESULT prepare(IMFSample* decoded, DWORD streamFlags, LONGLONG timestamp, IMFSample** output) override;
  bool process(IMFSample* sample) override;
  int64_t lead() const override { return 0; }
  void present(IMFSample* sample, int64_t sampleTime) override;
  void stopped(int64_t baseLocalTime) override;
  uint32_t frameBytes() const override { return m_frameBytes.load(); }
  Microsoft::WRL::ComPtr<IMFMediaType> presentationType() const override;
  HRESULT failure() const override { return m_failure.load(); }
  HRESULT restart() override;

  // How long the renderer may stay without a device before the output fails.
  static constexpr ULONGLONG kRecoveryBoundMs = 2000;

  bool hasColourConverter() const { return m_pColorConverter != nullptr; }
  // The picture presented last, for GetSnapshot; any thread.
  MediaFoundation::SnapshotCopy& snapshot() { return m_snapshot; }
  // The part of the picture to show, from the next frame on; any thread.
  void setSourceRect(const SourceRect& zoom);

 private:
  HRESULT createColourConverter(IMFMediaType* decoded);
  HRESULT applyPresentationType();
  void requestAllocator();
  void setPresentationType(IMFMediaType* type);
  Microsoft::WRL::ComPtr<IMFMediaType> presentationType(uint32_t* generation) const;
  HRESULT convertSample(IMFSample* sample, IMFSample** output);
  HRESULT copyToAllocatorSample(IMFSample* sample, DWORD streamFlags, LONGLONG timestamp, IMFSample** output);
  void presentBlackFrame(int64_t baseLocalTime);
  // Rendering thread, after each renderer call: fails the output once the renderer has been
  // without a device for kRecoveryBoundMs.
  void checkDevice();

  const int m_streamIndex;
  const HWND m_window;
  GUID m_inputSubtype = GUID_NULL;
  Microsoft::WRL::ComPtr<MediaFoundation::Dx11Renderer> m_pRenderer;
  Microsoft::WRL::ComPtr<IMFTransform> m_pColorConverter;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pConvertedType;  // RGB32 at the decoded size: the converter's output
  DWORD m_outputStreamFlags = 0;
  // Pulling thread: the converter's output frames; four cover the queue's and the renderer's share.
  FramePool m_convertedFrames{4};
  Microsoft::WRL::ComPtr<IMFAttributes> m_pAllocatorAttributes;
  Microsoft::WRL::ComPtr<IMFVideoSampleAllocatorEx> m_pAllocator;
  // The device manager the current reader's decoder was handed (set-up and pulling thread); null
  // when it decodes into system memory.
  Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> m_pReaderManager;
  std::atomic<uint32_t> m_frameBytes{102400};
  bool m_frameReady = false;  // rendering thread: process() left a frame for present()
  RecoveryWindow m_recovery{kRecoveryBoundMs};  // rendering thread
  std::atomic<HRESULT> m_failure{S_OK};
  MediaFoundation::SnapshotCopy m_snapshot;

  mutable CRITICAL_SECTION m_typeLock;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pMediaType;  // guarded by m_typeLock
  uint32_t m_typeGeneration = 0;                      // guarded by m_typeLock
};

}  // namespace Media
}  // namespace ORVO
