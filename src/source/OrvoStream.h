#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include "source/BaseObject.h"
#include "source/ComPtrList.h"
#include "source/OrvoSource.h"
#include "source/RefCountedObject.h"

namespace ORVO {
namespace MediaFoundation {

// One elementary stream of an OrvoSource. The pipeline (Media Session or source reader) asks for
// samples with RequestSample; the stream pairs its request tokens with the samples the host filled,
// oldest with oldest, and keeps a bounded number of pull requests outstanding with its source.
//
// Threads: IMFMediaStream methods on pipeline threads; AddSample/End on the source's pulling
// thread; Start/Stop/Shutdown on work-queue threads or the caller's. Every field is guarded by the
// source's lock (m_pSource->m_lock), which the IMFMediaStream methods take themselves and which the
// source holds when it calls the other methods.
class OrvoStream : public BaseObject, public RefCountedObject, public IMFMediaStream {
 public:
  static HRESULT CreateInstance(OrvoSource* source, DWORD index, DWORD identifier,
                                IMFStreamDescriptor* descriptor, bool lowLatency, OrvoStream** stream);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
  STDMETHODIMP_(ULONG) Release() override { return release(); }
  // IMFMediaEventGenerator
  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override;
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                          const PROPVARIANT* value) override;
  // IMFMediaStream
  STDMETHODIMP GetMediaSource(IMFMediaSource** source) override;
  STDMETHODIMP GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
  STDMETHODIMP RequestSample(IUnknown* token) override;

  // For the source, with its lock held.
  HRESULT Start(const PROPVARIANT& position);
  HRESULT Stop();
  void Deselect();
  HRESULT AddSample(IMFSample* sample);
  HRESULT End();
  void Shutdown();
  // Pairs samples with tokens, ends the stream when due, asks for more data. Failures become
  // MEError events on the source.
  HRESULT PumpSamples();
  // The pulling thread took one of this stream's pull requests off the source's FIFO.
  void pullTaken() { if (m_pullsOutstanding > 0) --m_pullsOutstanding; }
  void clearPullsOutstanding() { m_pullsOutstanding = 0; }

  DWORD identifier() const { return m_identifier; }
  bool isShutdown() const { return m_state == OrvoSource::SourceShutdown; }
  bool selected() const { return m_selected != 0; }
  void setSelected(bool selected) { m_selected = selected ? 1 : 0; }
  UINT32 bufferSize() const { return m_bufferSize; }
  void setBufferSize(UINT32 size) { m_bufferSize = size; }
  UINT32 samplesAhead() const { return m_samplesAhead; }
  DWORD queuedSampleCount() const { return m_samples.GetCount(); }
  DWORD tokenCount() const { return m_tokens.GetCount(); }
  // Whether a sample without a time has been reported already (logged once per stream).
  bool untimedSampleReported() const { return m_untimedSampleReported; }
  void setUntimedSampleReported() { m_untimedSampleReported = true; }

 private:
  OrvoStream(OrvoSource* source, DWORD index, DWORD identifier, IMFStreamDescriptor* descriptor,
             bool lowLatency);
  ~OrvoStream() override;
  HRESULT initialize(bool lowLatency);
  void sizeFromMediaType(bool lowLatency);
  void dropQueues();
  // Posts an operation of this kind to the source; a pull carries this stream's index.
  HRESULT postToSource(int kind);
  // Raises MEError with hr on the source's queue (not the stream's).
  void reportError(HRESULT hr);

  // Held for the stream's whole life; the source breaks the cycle by dropping its streams at
  // Shutdown.
  Microsoft::WRL::ComPtr<OrvoSource> m_pSource;
  DWORD m_index;
  DWORD m_identifier;
  Microsoft::WRL::ComPtr<IMFStreamDescriptor> m_pStreamDescriptor;
  Microsoft::WRL::ComPtr<IMFMediaEventQueue> m_events;
  int m_state = OrvoSource::SourceStopped;  // the source's state codes
  int m_selected = 0;
  int m_endOfStream = 0;
  UINT32 m_bufferSize;
  UINT32 m_samplesAhead;
  // Low latency: pull requests go straight to the pulling thread instead of through the work queue.
  bool m_directPulls;
  // Pull requests posted and not yet taken by the pulling thread; counted so that every request
  // round does not add another m_samplesAhead to the FIFO.
  DWORD m_pullsOutstanding = 0;
  bool m_untimedSampleReported = false;
  ComPtrList<IMFSample, false> m_samples;
  ComPtrList<IUnknown, true> m_tokens;
};

}  // namespace MediaFoundation
}  // namespace ORVO
