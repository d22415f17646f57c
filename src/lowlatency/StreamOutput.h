#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace ORVO {
namespace Media {

// The rendering end of one low-latency stream: what turns the reader's decoded samples into
// pictures (VideoOutput) or sound (AudioOutput). The stream pipeline (StreamInt) owns the source,
// reader, threads and queue and calls these hooks, so it never asks which kind of stream it runs.
//
// Threads: describe, open and the first onDecodedType run on the set-up thread (DxPlayer's host
// thread); later onDecodedType/resetConversion, onCurrentTypeChanged and prepare on the pulling
// thread; process and present on the rendering thread; stopped on the host thread after both
// threads were joined.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;

  // Fills in the decoded type the reader will be asked for (all but its subtype) from the host's
  // type and brings up the renderer. A failure leaves the stream inactive.
  virtual HRESULT describe(IMFMediaType* inputType, IMFMediaType* decodedType) = 0;
  // Decoded subtypes to ask the decoder for, best first.
  virtual std::vector<GUID> decodedSubtypes(IMFMediaType* inputType) const = 0;
  // Adds this output's wishes to the source reader's attributes (the reader is about to be made).
  virtual void configureReader(IMFAttributes* attributes) = 0;
  // The reader settled on `decoded`: set up whatever turns it into presentable samples.
  virtual HRESULT onDecodedType(IMFMediaType* decoded) = 0;
  // Drops that conversion before the reader is made again.
  virtual void resetConversion() {}
  // Once, after the first reader: makes the renderer ready for the presentation type.
  virtual HRESULT open() = 0;
  // Pulling thread: the reader flagged MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED on the sample
  // about to be prepared (the decoder met a new frame size mid-stream). Takes the reader's current
  // decoded type for it and the samples after it.
  virtual HRESULT onCurrentTypeChanged(IMFSourceReader* reader) {
    (void)reader;
    return S_OK;
  }

  // Pulling thread: the same for a stream whose decoder the pulling thread drives itself; the
  // decoder's new output type comes with the call.
  virtual HRESULT onDecodedTypeChanged(IMFMediaType* decoded) {
    (void)decoded;
    return S_OK;
  }

  // Pulling thread, before each read: the reader decodes onto something the output no longer has
  // (a device the renderer replaced after a removal) and must be made again.
  virtual bool readerOutdated() const { return false; }

  // Pulling thread: the sample to queue for a decoded one, as a new reference in *output.
  virtual HRESULT prepare(IMFSample* decoded, DWORD streamFlags, LONGLONG timestamp, IMFSample** output) = 0;
  // Rendering thread, before waiting for the sample's time: the work that may run early. False
  // when there is nothing to present for it.
  virtual bool process(IMFSample* sample) = 0;
  // How long before its presentation time a sample is handed to present (100-ns).
  virtual int64_t lead() const = 0;
  // How long after it is ready a sample can be seen or heard at the earliest (100-ns): the start
  // agreement binds the timeline to it, so that every stream of the player can be on time.
  virtual int64_t readyLatency() const { return 0; }
  // Rendering thread, when the sample is due.
  virtual void present(IMFSample* sample, int64_t sampleTime) = 0;
  // The same with the timeline: `due` is the library-clock time (100-ns) at which the sample is to
  // be seen or heard, `now` the clock at the call. An output that places its samples itself (audio)
  // overrides this one.
  virtual void presentAt(IMFSample* sample, int64_t sampleTime, int64_t due, int64_t now) {
    (void)due;
    (void)now;
    present(sample, sampleTime);
  }
  // Rendering thread, between samples and while it waits: keeps the device fed. serviceInterval()
  // is how often that is needed (100-ns), 0 when never.
  virtual void service() {}
  virtual int64_t serviceInterval() const { return 0; }
  // After presentAt: how far from its due time the sample will be heard (heard minus due, 100-ns).
  // False when the output cannot tell.
  virtual bool lastPlacementError(int64_t* error) const {
    (void)error;
    return false;
  }
  // Host thread, after Stop joined both threads. baseLocalTime: the pacer's base, or kUnsetTime.
  virtual void stopped(int64_t baseLocalTime) { (void)baseLocalTime; }

  // Bytes of one decoded frame or audio buffer: what a sample of this stream holds.
  virtual uint32_t frameBytes() const = 0;
  virtual Microsoft::WRL::ComPtr<IMFMediaType> presentationType() const = 0;

  // Why the output cannot go on (its device or endpoint is gone and did not come back within its
  // bound); S_OK while it can. Any thread. Once failed, present() does nothing until restart().
  virtual HRESULT failure() const { return S_OK; }
  // Host thread, before a Play starts the threads again: a failed output tries once more to get
  // its device or endpoint back. A failure here fails the Play.
  virtual HRESULT restart() { return S_OK; }
  // Called on the rendering thread when failure() turns failed, so the player moves to Error at
  // once rather than at its next look. Set before the threads start; must not block.
  void setFailureListener(std::function<void()> listener) { m_failureListener = std::move(listener); }

 protected:
  void notifyFailure() const {
    if (m_failureListener) m_failureListener();
  }

 private:
  std::function<void()> m_failureListener;
};

}  // namespace Media
}  // namespace ORVO
