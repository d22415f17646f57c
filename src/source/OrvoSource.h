#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <ctime>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "source/FeedObserver.h"
#include "common/PlayerTypes.h"
#include "common/Uri.h"
#include "source/BaseObject.h"
#include "source/GrowableArray.h"
#include "source/OpQueue.h"
#include "source/OrvoSourceOp.h"
#include "source/RefCountedObject.h"
#include "source/TinyMap.h"

namespace ORVO {
namespace MediaFoundation {

class OrvoStream;

// The live media source of host-fed streams (URI scheme "orvo"). One OrvoStream per described
// stream; when a stream wants data it posts a pull request, and the source's own pulling thread
// asks the host's RequestDataCallback to fill an empty sample, one request at a time, in request
// order, and hands the filled sample back to the stream.
//
// Use: CreateInstance, optionally set m_lowLatency, Open, then use it as an IMFMediaSource; always
// Shutdown before the last Release (the streams hold the source until then).
//
// Threads: IMFMediaSourceEx methods on pipeline or host threads; operations (start, stop, pull
// bookkeeping, end of stream) on standard work-queue threads through the OpQueue; the host callback
// on the pulling thread. A low-latency stream queues its pull requests directly (queuePull): the
// work queue's threads also run the source reader's decoding, and a request waiting behind that
// would reach the host only after each decode instead of during it. The pulling thread sleeps on
// m_pullWake while its FIFO is empty.
// Locking: m_lock guards everything, including the operation queue and every stream. In the
// library's lock order (see CriticalSectionGuard) it comes after the engine locks and before the
// log lock. Stop and Shutdown join the pulling thread while holding m_lock, so the pulling thread
// never waits for m_lock: it polls it with TryEnterCriticalSection and 1 ms sleeps and gives up
// once the state is no longer SourceStarted. The host callback runs without m_lock. A host
// callback that does not return within the join bound does not hold the stop up: the thread is
// left behind with a reference to the source, and whatever it brings back is discarded.
class OrvoSource : public BaseObject,
                   public RefCountedObject,
                   public OpQueue<OrvoSourceOp>,
                   public IMFMediaSourceEx {
 public:
  enum State : int {
    SourceInvalid = 0,
    SourceOpening = 1,
    SourceStopping = 2,
    SourceStopped = 3,
    SourceStarted = 5,
    SourceShutdown = 6,
  };

  static HRESULT CreateInstance(OrvoSource** source);

  // uri must have the scheme "orvo" (exact, case-sensitive); descriptors: at least one, the host's
  // streams in order (their identifiers' low 8 bits key the streams). E_POINTER for a null uri or
  // callback; MF_E_INVALIDREQUEST when opened before, given no descriptor, or another scheme.
  HRESULT Open(int playerId, const wchar_t* uri,
               const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& descriptors,
               RequestDataCallback callback);

  // IUnknown (both the OpQueue and the IMFMediaSourceEx bases resolve here)
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return addRef(); }
  STDMETHODIMP_(ULONG) Release() override { return release(); }
  // IMFMediaEventGenerator
  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override;
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                          const PROPVARIANT* value) override;
  // IMFMediaSource
  STDMETHODIMP GetCharacteristics(DWORD* characteristics) override;
  STDMETHODIMP CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
  STDMETHODIMP Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                     const PROPVARIANT* position) override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Shutdown() override;
  // IMFMediaSourceEx
  STDMETHODIMP GetSourceAttributes(IMFAttributes** attributes) override;
  STDMETHODIMP GetStreamAttributes(DWORD streamIdentifier, IMFAttributes** attributes) override;
  STDMETHODIMP SetD3DManager(IUnknown* manager) override;

  // Ends the feed now, from any thread: the host is asked for nothing more, and every selected
  // stream reports end of stream, so that a reader waiting in a synchronous ReadSample returns
  // instead of waiting for a host callback that may never come back. A source not started yet
  // ends its streams as soon as it starts. Shutdown still follows as usual.
  void EndFeed();

  // Before Open: told about every request to the host and every filled sample it returns.
  void setFeedObserver(std::shared_ptr<FeedObserver> observer) { m_feedObserver = std::move(observer); }

  // Set to 1 by the low-latency engine before Open: each stream then keeps one sample ahead only,
  // and asks for it without the work queue's delay.
  unsigned char m_lowLatency = 0;

  // Read-only views (tests, diagnostics); take the lock.
  int state() const { return m_state.load(); }
  DWORD streamCount();
  // Null when there is no stream at that index.
  Microsoft::WRL::ComPtr<OrvoStream> streamAt(DWORD index);
  // Null when the identifier's low 8 bits name no stream. No reference added; lock held by caller.
  OrvoStream* FindStream(DWORD identifier);
  bool hasPullingThread();
  // True on a pulling thread while it is inside the host callback of that player. The exports use it
  // to refuse a Stop or Close that would wait for the very thread asking.
  static bool IsInsideHostCallback(int playerId);
  size_t pullQueueLength();

 protected:
  // OpQueue
  HRESULT ExecuteOperation(OrvoSourceOp* op) override;
  HRESULT CheckOperation(OrvoSourceOp* op) override;

 private:
  friend class OrvoStream;

  OrvoSource();
  ~OrvoSource() override;
  HRESULT initialize();

  HRESULT CreateStreams(const std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>>& descriptors);
  HRESULT DoStart(OrvoStartOp* op);
  HRESULT ActivateStreams(IMFPresentationDescriptor* descriptor, const PROPVARIANT& position);
  HRESULT HaltStreams(OrvoSourceOp* op);
  HRESULT EndOfStream(OrvoSourceOp* op);
  HRESULT MarkRunning(OrvoSourceOp* op);
  void CompleteOperation(OrvoSourceOp* op);
  // Makes sure a live pulling thread exists after a start. Lock held.
  HRESULT startPullingThread();
  void joinPullingThread();

  // The pulling thread (OrvoSourcePulling.cpp). Every section of it that needs m_lock enters it by
  // polling (pollLock) and leaves it by scope.
  // What became of one pulling thread; shared by the thread and the source. Set to LeftBehind
  // under m_lock only, by a join that gave up waiting; the thread then owns a source reference.
  enum class PullPhase : int { Running, Finished, LeftBehind };
  struct PullThreadControl {
    std::atomic<PullPhase> phase{PullPhase::Running};
  };
  using PullControlPtr = std::shared_ptr<PullThreadControl>;
  void pullingRoutine(PullControlPtr control);
  enum class PullTake { Taken, NoneWaiting, Stopping };
  PullTake takePullRequest(const PullThreadControl& control, DWORD* index);
  HRESULT requestData(const PullControlPtr& control, DWORD index);
  // One pull request on its way through the host: the sample offered now and what it was sized by.
  struct PullCall {
    PullControlPtr control;
    RequestDataCallback callback = nullptr;
    std::shared_ptr<FeedObserver> observer;  // copied: a left-behind thread may outlive the source's
    DWORD index = 0;
    int identifier = 0;
    UINT32 bufferSize = 0;
    Microsoft::WRL::ComPtr<IMFSample> sample;
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    int64_t startTime = 0;
  };
  // What the pulling thread does after the host answered, decided under m_lock.
  enum class AfterAnswer { Finish, AskAgain, AskAgainLater };
  AfterAnswer takeHostAnswer(PullCall& call, int result, HRESULT* status);
  // The stream behind a pull request, or null after logging that the index is invalid. Lock held.
  OrvoStream* streamForRequest(DWORD index);
  void recordWait(int identifier, int64_t startTime);
  // Enters m_lock by polling (try-enter, 1 ms sleeps) and answers true with it entered; false,
  // without it, once the state is no longer SourceStarted or the thread was left behind.
  bool pollLock(const PullThreadControl& control);
  // Ends every selected stream (end of stream, then end of presentation). Lock held.
  void endAllStreams();
  // Adds a pull request for the stream at this index and wakes the pulling thread. Lock held.
  HRESULT queuePull(DWORD index);
  // EndFeed's work on a started source. Lock held.
  void endFeedNow();

  // Recursive: an operation running under it may post further operations (a stream does so while
  // it pumps samples), and posting takes it again.
  CRITICAL_SECTION m_lock;
  int m_playerId = 0;
  std::atomic<int> m_state{SourceInvalid};
  Microsoft::WRL::ComPtr<IMFMediaEventQueue> m_events;
  Microsoft::WRL::ComPtr<IMFPresentationDescriptor> m_pDescriptor;
  GrowableArray<Microsoft::WRL::ComPtr<OrvoStream>> m_streamArray;
  TinyMap<unsigned char, unsigned long> m_streamIndexById;
  long m_streamsToEnd = 0;
  Microsoft::WRL::ComPtr<OrvoSourceOp> m_pRunningOp;
  Common::Uri m_sourceUri;
  RequestDataCallback m_callback = nullptr;
  std::shared_ptr<FeedObserver> m_feedObserver;
  bool m_feedEnded = false;  // EndFeed was called; a later start ends the streams at once
  DWORD m_feedEndedAt = 0;   // GetTickCount then: the join's bound runs from here
  std::unique_ptr<std::thread> m_pullingThread;
  // The current thread's control; a finished one tells a leftover thread object from a live one.
  PullControlPtr m_pullControl;
  std::deque<DWORD> m_pullQueue;
  // Auto-reset; set when a pull request is queued or the pulling thread must look at the state.
  HANDLE m_pullWake = nullptr;
  int64_t m_waitSum = 0;
  int64_t m_waitCount = 0;
  time_t m_lastWaitReport = 0;
};

}  // namespace MediaFoundation
}  // namespace ORVO
