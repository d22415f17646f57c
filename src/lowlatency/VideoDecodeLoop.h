#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <functional>
#include <vector>

#include "lowlatency/FramePool.h"

namespace ORVO {
namespace Media {

// Drives a video decoder transform for a low-latency stream: the stream's source reader hands
// over compressed samples and this loop feeds them to the decoder itself, so that decoded frames
// land in pooled samples (FramePool) instead of a fresh frame-sized buffer each, and nothing
// copies them again before the renderer uploads them. A decoder that provides its own samples
// (one given a DXGI device manager) keeps providing them.
//
// The decoder is the one the reader would have got: the first the platform's search finds for
// the subtype (our registered factory, when the engine registered it), in low-latency mode.
//
// Threads: open() on the thread that sets the stream up; everything else on the pulling thread
// that owns the loop while playing (or the host thread after that thread was joined).
class VideoDecodeLoop {
 public:
  // Gets each decoded frame; typeChanged: the decoder's output type (currentType()) changed with
  // this frame, mid-stream (a new frame size).
  using FrameSink = std::function<void(IMFSample* frame, bool typeChanged)>;

  // Frames kept for reuse: what the rendering queue may hold at once plus the frame being drawn,
  // the one the renderer may still hold and the one being decoded into. In steady state the queue
  // holds one or two; when presentation falls behind (several players on a software rasteriser)
  // it holds up to a second of frames until the once-a-second trim, and a pool sized for the
  // steady state then allocated, zeroed and faulted in a frame for nearly every frame decoded.
  // Only frames the queue really held are ever made, so the steady state still costs a handful.
  // Beyond it frames are made one-off, never waited for.
  static constexpr size_t kPoolCapacity = 40;

  explicit VideoDecodeLoop(int streamIndex);
  ~VideoDecodeLoop();
  VideoDecodeLoop(const VideoDecodeLoop&) = delete;
  VideoDecodeLoop& operator=(const VideoDecodeLoop&) = delete;

  // Creates the decoder for inputType and settles its output on the first of `subtypes` it
  // offers, with the frame size and the rest as the decoder proposes them. manager: hands the
  // decoder the renderer's device when not null and the decoder takes it. Fails for a decoder this
  // loop cannot drive (an asynchronous one): the caller lets a source reader decode instead.
  HRESULT open(IMFMediaType* inputType, const std::vector<GUID>& subtypes, IMFDXGIDeviceManager* manager);
  Microsoft::WRL::ComPtr<IMFMediaType> currentType() const { return m_outputType; }
  GUID currentSubtype() const;

  // Feeds one compressed sample and hands every frame the decoder then has to the sink.
  HRESULT decode(IMFSample* compressed, const FrameSink& sink);
  // End of stream: the frames the decoder still holds, then it is ready for a new stream.
  HRESULT drain(const FrameSink& sink);
  // Drops whatever the decoder holds, so nothing of an old session comes out.
  void flush();
  // Replaces a decoder that failed (Wine's stays failed once a new picture size has upset it) by a
  // fresh one set up as open() set the first. Its first frame comes flagged as a type change, since
  // it may come in another size than the frames before.
  HRESULT renew();
  // renew(), then the fresh decoder gets again what the failed one was given from the last key
  // frame on (at most kReplayLimit samples), so that its pictures are not lost until the next key
  // frame: Wine's decoder fails on the parameter sets of a new picture size only a sample or two
  // after them. A replay that fails too leaves another fresh decoder for the next sample.
  // S_OK: replayed; S_FALSE: renewed, but there was nothing to replay (no key frame yet).
  HRESULT renewAndReplay(const FrameSink& sink);
  static constexpr size_t kReplayLimit = 4;

  const FramePool& pool() const { return m_pool; }

  // Whether a decoded dimension is the visible one rounded up to the decoder's coding blocks
  // (16 for H.264 macroblocks, up to 64 for HEVC coding tree blocks) rather than a new picture.
  static bool PadsVisible(UINT32 visible, UINT32 decoded) { return decoded >= visible && decoded - visible < 64; }

 private:
  HRESULT setUp();
  HRESULT setOutputType(const GUID& subtype);
  // The type frames are handed out with: the decoder's, and when the decoder only padded the
  // picture to whole coding blocks, the host's picture as the display aperture, so that the
  // padding lines are never shown.
  HRESULT describeOutput(IMFMediaType* decoderType);
  HRESULT pullFrames(const FrameSink& sink);
  HRESULT feed(IMFSample* compressed, const FrameSink& sink);
  void remember(IMFSample* compressed);
  HRESULT renegotiate();
  void readStreamInfo();

  const int m_streamIndex;
  Microsoft::WRL::ComPtr<IMFMediaType> m_inputType;
  std::vector<GUID> m_subtypes;
  Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> m_manager;
  Microsoft::WRL::ComPtr<IMFTransform> m_decoder;
  Microsoft::WRL::ComPtr<IMFMediaType> m_outputType;
  MFT_OUTPUT_STREAM_INFO m_info = {};
  UINT32 m_visibleWidth = 0;  // the host's picture size
  UINT32 m_visibleHeight = 0;
  FramePool m_pool{kPoolCapacity};
  bool m_typeChanged = false;
  bool m_hevc = false;
  // The samples from the last key frame on, while there are at most kReplayLimit of them.
  std::vector<Microsoft::WRL::ComPtr<IMFSample>> m_fromKeyFrame;
};

}  // namespace Media
}  // namespace ORVO
