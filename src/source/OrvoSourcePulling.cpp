// OrvoSource's pulling thread: the one thread per source that asks the host for data, one pull
// request at a time and in request order. It sleeps on m_pullWake while no request waits, so a
// request reaches the host without a polling delay. Stop and Shutdown join it while they hold
// m_lock, so every section of it that needs m_lock enters it by polling (pollLock) and leaves it by
// scope. The join is bounded: a host callback that does not come back in time has its thread left
// behind.
#include <mfapi.h>

#include <new>
#include <system_error>

#include "common/Clock.h"
#include "common/CriticalSectionGuard.h"
#include "common/Guids.h"
#include "log/Log.h"
#include "source/BufferSizing.h"
#include "source/OrvoSource.h"
#include "source/OrvoStream.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

// The player whose host callback this thread is inside right now; 0 (never an id) outside.
thread_local int t_callbackPlayerId = 0;

// The pulling thread re-checks the state this often while the lock is busy.
constexpr DWORD kPollMilliseconds = 1;
// With its FIFO empty the pulling thread waits for a wake-up (queuePull), and looks at the state at
// least this often anyway: every path that changes the state wakes it, this only bounds a missed
// wake-up.
constexpr DWORD kIdleWaitMilliseconds = 50;
// A sample comes back empty: the host is asked again after this pause, so a host that keeps
// answering 0 without data costs a poll, not a spinning core.
constexpr DWORD kEmptySampleRetryMilliseconds = 1;
// How long a stop waits for a pulling thread that is inside the host callback. Longer than any
// sane host needs for one sample, short enough that Stop and Close stay well within two seconds.
constexpr DWORD kJoinBoundMilliseconds = 1000;

// Marks the calling thread as inside the host callback of one player for one call.
class InsideHostCallback {
 public:
  explicit InsideHostCallback(int playerId) : m_previous(t_callbackPlayerId) { t_callbackPlayerId = playerId; }
  ~InsideHostCallback() { t_callbackPlayerId = m_previous; }
  InsideHostCallback(const InsideHostCallback&) = delete;
  InsideHostCallback& operator=(const InsideHostCallback&) = delete;

 private:
  int m_previous;
};

}  // namespace

bool OrvoSource::IsInsideHostCallback(int playerId) { return playerId != 0 && t_callbackPlayerId == playerId; }

HRESULT OrvoSource::startPullingThread() {
  // An ended thread from an earlier start (host error, or a stop that failed part-way) cannot be
  // reused; replace it so this start has a live one.
  if (m_pullingThread && m_pullControl->phase == PullPhase::Finished) joinPullingThread();
  if (m_pullingThread) return S_OK;
  try {
    m_pullControl = std::make_shared<PullThreadControl>();
    m_pullingThread = std::make_unique<std::thread>(&OrvoSource::pullingRoutine, this, m_pullControl);
  } catch (const std::system_error&) {
    ORVO_LOG_DEBUG("OrvoSource::DoStart: pulling thread creation failed");
    m_pullingThread.reset();
    m_pullControl.reset();
    m_events->QueueEventParamVar(MEError, GUID_NULL, E_OUTOFMEMORY, nullptr);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void OrvoSource::joinPullingThread() {
  if (!m_pullingThread) return;
  SetEvent(m_pullWake);  // an idle thread sees the state at once
  const bool self = m_pullingThread->get_id() == std::this_thread::get_id();
  if (self) {
    // The host stopped or closed the player from inside its callback: a thread cannot join itself.
    ORVO_LOG_DEBUG("OrvoSource::joinPullingThread[%p]: stopped from the pulling thread itself", static_cast<void*>(this));
  } else {
    // The thread leaves at its next look at the state, unless it is inside the host callback. The
    // bound runs from the end of the feed, when there was one: the sources of one player are
    // joined one after the other, but their waits for the host overlap.
    const DWORD start = m_feedEnded ? m_feedEndedAt : GetTickCount();
    while (m_pullControl->phase != PullPhase::Finished && GetTickCount() - start < kJoinBoundMilliseconds) {
      Sleep(kPollMilliseconds);
    }
  }
  // Left behind, the thread keeps the source alive with a reference of its own and releases it as
  // it leaves; the exchange settles which side saw the other first.
  bool finished = m_pullControl->phase == PullPhase::Finished;
  if (!finished) {
    AddRef();
    finished = m_pullControl->phase.exchange(PullPhase::LeftBehind) == PullPhase::Finished;
    if (finished) Release();  // it finished just now; the caller still holds the source
  }
  if (finished) {
    m_pullingThread->join();
  } else {
    if (!self) {
      ORVO_LOG_DEBUG("OrvoSource::joinPullingThread[%p]: host callback busy for %u ms, pulling thread left behind",
                     static_cast<void*>(this), static_cast<unsigned>(kJoinBoundMilliseconds));
    }
    m_pullingThread->detach();
  }
  m_pullingThread.reset();
  m_pullControl.reset();
}

bool OrvoSource::pollLock(const PullThreadControl& control) {
  while (!TryEnterCriticalSection(&m_lock)) {
    if (m_state != SourceStarted || control.phase == PullPhase::LeftBehind) return false;
    Sleep(kPollMilliseconds);
  }
  // LeftBehind is only ever set under m_lock, so this look is exact.
  if (m_state == SourceStarted && control.phase != PullPhase::LeftBehind) return true;
  CriticalSectionGuard entered(&m_lock, CriticalSectionGuard::kAlreadyEntered);  // only to learn it stops
  return false;
}

void OrvoSource::pullingRoutine(PullControlPtr control) {
  ORVO_LOG_DEBUG("OrvoSource::pullingRoutine[%p]: pulling thread started", static_cast<void*>(this));
  if (!m_callback) {
    control->phase = PullPhase::Finished;  // nobody to ask; the joiner never leaves this one behind
    return;
  }
  while (m_state == SourceStarted && control->phase == PullPhase::Running) {
    DWORD index = 0;
    const PullTake take = takePullRequest(*control, &index);
    if (take == PullTake::Stopping) break;
    if (take == PullTake::NoneWaiting) {
      WaitForSingleObject(m_pullWake, kIdleWaitMilliseconds);
      continue;
    }
    if (FAILED(requestData(control, index))) break;
  }
  ORVO_LOG_DEBUG("OrvoSource::pullingRoutine[%p]: pulling thread finished", static_cast<void*>(this));
  if (control->phase.exchange(PullPhase::Finished) == PullPhase::LeftBehind) {
    Release();  // may destroy the source: nothing may follow
  }
}

OrvoSource::PullTake OrvoSource::takePullRequest(const PullThreadControl& control, DWORD* index) {
  if (!pollLock(control)) return PullTake::Stopping;
  CriticalSectionGuard lock(&m_lock, CriticalSectionGuard::kAlreadyEntered);
  if (m_pullQueue.empty()) return PullTake::NoneWaiting;
  *index = m_pullQueue.front();
  m_pullQueue.pop_front();
  if (*index < m_streamArray.GetCount() && m_streamArray[*index]) m_streamArray[*index]->pullTaken();
  return PullTake::Taken;
}

HRESULT OrvoSource::queuePull(DWORD index) {
  try {
    m_pullQueue.push_back(index);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  SetEvent(m_pullWake);
  return S_OK;
}

void OrvoSource::endAllStreams() {
  for (DWORD i = 0; i < m_streamArray.GetCount(); ++i) {
    OrvoStream* stream = m_streamArray[i].Get();
    if (stream && stream->selected() && !stream->isShutdown()) stream->End();
  }
}

OrvoStream* OrvoSource::streamForRequest(DWORD index) {
  const DWORD count = m_streamArray.GetCount();
  if (index < count && m_streamArray[index]) return m_streamArray[index].Get();
  ORVO_LOG_DEBUG("OrvoSource::requestData: invalid stream index %d of %d streams", static_cast<int>(index),
                 static_cast<int>(count));
  return nullptr;
}

HRESULT OrvoSource::requestData(const PullControlPtr& control, DWORD index) {
  PullCall call;
  call.control = control;
  call.index = index;
  {
    if (!pollLock(*control)) return S_FALSE;
    CriticalSectionGuard lock(&m_lock, CriticalSectionGuard::kAlreadyEntered);
    OrvoStream* stream = streamForRequest(index);
    if (!stream) return E_FAIL;
    // Shutdown clears m_callback while a left-behind thread may still be on its way to the host.
    call.callback = m_callback;
    call.observer = m_feedObserver;
    call.identifier = static_cast<int>(stream->identifier());
    call.bufferSize = stream->bufferSize();
  }

  for (;;) {
    // A host asking again and again for a bigger buffer makes big allocations: none once stopping.
    if (m_state != SourceStarted || control->phase != PullPhase::Running) return S_OK;
    call.sample.Reset();
    call.buffer.Reset();
    HRESULT hr = MFCreateSample(&call.sample);
    if (SUCCEEDED(hr)) hr = MFCreateAlignedMemoryBuffer(call.bufferSize, MF_16_BYTE_ALIGNMENT, &call.buffer);
    if (SUCCEEDED(hr)) hr = call.sample->AddBuffer(call.buffer.Get());
    if (FAILED(hr)) {
      // Without a sample the host can never be asked again: end the streams rather than leave the
      // pipeline waiting for data that will not come.
      ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d sample of %u bytes failed 0x%X, stopping playback...",
                     call.identifier, static_cast<unsigned>(call.bufferSize), static_cast<unsigned>(hr));
      if (!pollLock(*control)) return S_OK;
      CriticalSectionGuard lock(&m_lock, CriticalSectionGuard::kAlreadyEntered);
      endAllStreams();
      return hr;
    }

    call.startTime = elapsedTime(10000000);
    if (call.observer) call.observer->onRequested();
    int result = 0;
    {
      InsideHostCallback inside(m_playerId);
      result = call.callback(m_playerId, static_cast<unsigned char>(call.identifier), call.sample.Get(), 0);
    }

    HRESULT status = S_OK;
    switch (takeHostAnswer(call, result, &status)) {
      case AfterAnswer::Finish:
        return status;
      case AfterAnswer::AskAgainLater:
        Sleep(kEmptySampleRetryMilliseconds);
        break;
      case AfterAnswer::AskAgain:
        break;
    }
  }
}

OrvoSource::AfterAnswer OrvoSource::takeHostAnswer(PullCall& call, int result, HRESULT* status) {
  *status = S_OK;
  if (!pollLock(*call.control)) {
    // Stopping: the filled sample is dropped. A left-behind thread's answer belongs to a stop that
    // is long over, never to whatever started since.
    if (call.control->phase == PullPhase::LeftBehind) {
      ORVO_LOG_DEBUG("OrvoSource::requestData[%p]: stream %d host callback returned after its stop, sample discarded",
                     static_cast<void*>(this), call.identifier);
    }
    return AfterAnswer::Finish;
  }
  CriticalSectionGuard lock(&m_lock, CriticalSectionGuard::kAlreadyEntered);
  OrvoStream* stream = streamForRequest(call.index);
  if (!stream) {
    *status = E_FAIL;
    return AfterAnswer::Finish;
  }
  const int identifier = call.identifier;

  if (result == ORVO_REQUEST_OK) {
    DWORD length = 0;
    call.buffer->GetCurrentLength(&length);
    if (length == 0) {
      // Nothing to decode: ask again for the same request instead of handing the pipeline an
      // empty sample (decoders reject them) or losing the request (the pipeline would wait).
      ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d returned an empty sample, asking again", identifier);
      return AfterAnswer::AskAgainLater;
    }
    LONGLONG sampleTime = 0;
    if (FAILED(call.sample->GetSampleTime(&sampleTime)) && !stream->untimedSampleReported()) {
      // Delivered as it is: the pipeline decides what an untimed sample means. Logged once.
      ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d delivered a sample without a time", identifier);
      stream->setUntimedSampleReported();
    }
    if (call.observer) call.observer->onReturned(sampleTime, elapsedTime(10000000));
    *status = stream->AddSample(call.sample.Get());
    if (SUCCEEDED(*status)) recordWait(identifier, call.startTime);
    return AfterAnswer::Finish;
  }

  if (result == ORVO_REQUEST_BUFFER_TOO_SMALL) {
    const UINT32 needed = MFGetAttributeUINT32(call.sample.Get(), kNeededSizeKey, 0);
    ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d insufficient buffer size %d, need %d, updating stream info",
                   identifier, static_cast<int>(call.bufferSize), static_cast<int>(needed));
    UINT32 grown = 0;
    if (!BufferSizing::GrownBufferSize(call.bufferSize, needed, &grown)) {
      ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d cannot grow its buffer from %u to a need of %u bytes, "
                     "stopping playback...",
                     identifier, static_cast<unsigned>(call.bufferSize), static_cast<unsigned>(needed));
      endAllStreams();
      *status = E_FAIL;
      return AfterAnswer::Finish;
    }
    stream->setBufferSize(grown);
    call.bufferSize = grown;
    return AfterAnswer::AskAgain;
  }

  ORVO_LOG_DEBUG("OrvoSource::requestData: stream %d received error %d, stopping playback...", identifier, result);
  endAllStreams();
  *status = E_FAIL;
  return AfterAnswer::Finish;
}

void OrvoSource::recordWait(int identifier, int64_t startTime) {
  m_waitSum += elapsedTime(10000000) - startTime;
  ++m_waitCount;
  const time_t wallClock = time(nullptr);
  if (wallClock - m_lastWaitReport < 10) return;
  ORVO_LOG_DEBUG("OrvoSource::requestData[%p]: stream %d average waiting time %lld", static_cast<void*>(this),
                 identifier, static_cast<long long>(m_waitSum / m_waitCount));
  m_waitSum = 0;
  m_waitCount = 0;
  m_lastWaitReport = wallClock;
}

}  // namespace MediaFoundation
}  // namespace ORVO
