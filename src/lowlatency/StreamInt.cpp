#include "lowlatency/StreamInt.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <system_error>

#include "common/Clock.h"
#include "common/ComAdopt.h"
#include "common/ComInit.h"
#include "common/CriticalSectionGuard.h"
#include "common/Uri.h"
#include "log/Log.h"
#include "lowlatency/MediaTypeDescription.h"
#include "lowlatency/RenderPacer.h"
#include "lowlatency/TimestampSynchronizer.h"
#include "source/OrvoSource.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

constexpr DWORD kAnyStream = 0xFFFFFFFE;  // MF_SOURCE_READER_ANY_STREAM
// A reader that brings nothing back this many passes in a row (about half a second at the 10 ms
// pause between them) will not recover: the stream gives up and the player reports Error.
constexpr int kReadFailuresBeforeError = 50;
// The rendering thread with nothing queued waits for the next decoded sample (m_queuedEvent), and
// looks at the player's state and the flush schedule at least this often.
constexpr DWORD kIdleWaitMilliseconds = 10;

}  // namespace

DxPlayer::StreamInt::StreamInt(DxPlayer* owner, int playerId, int streamIndex, int syncIndex, IMFMediaType* inputType,
                               HWND window, RequestDataCallback callback, const std::wstring& uri,
                               int audioDeviceValue, const std::wstring& audioDeviceId)
    : m_owner(owner),
      m_playerId(playerId),
      m_callback(callback),
      m_streamIndex(streamIndex),
      m_syncIndex(syncIndex),
      m_lastWaitReport(time(nullptr)) {
  // The design passes the audio device choice on; the endpoint is always the default one.
  (void)audioDeviceValue;
  InitializeCriticalSection(&m_lock);
  m_queuedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!m_queuedEvent) {
    ORVO_LOG_ERROR("DxPlayer::StreamInt::StreamInt: CreateEventW failed %u", static_cast<unsigned>(GetLastError()));
    return;
  }
  if (!inputType) return;
  m_pInputType = inputType;

  GUID major = GUID_NULL, subtype = GUID_NULL;
  HRESULT hr = m_pInputType->GetGUID(MF_MT_MAJOR_TYPE, &major);
  if (SUCCEEDED(hr)) hr = m_pInputType->GetGUID(MF_MT_SUBTYPE, &subtype);
  if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt: pType->GetGUID(MF_MT_SUBTYPE)")) return;
  if (LogIfFailed(MFCreateMediaType(&m_pDecodedType), "DxPlayer::StreamInt::StreamInt: MFCreateMediaType(m_pDecodedType)"))
    return;

  const Common::Uri parsed(Common::Uri::ToUtf8(uri.c_str()));
  m_renderingStrategy = Pacing::StrategyFromQueryValue(parsed.queryValue("renderingStrategy"));

  if (major == MFMediaType_Video) {
    m_video = new VideoOutput(m_streamIndex, window);
    m_output.reset(m_video);
  } else if (major == MFMediaType_Audio) {
    m_audio = new AudioOutput(m_streamIndex, audioDeviceId);
    m_output.reset(m_audio);
    // Audio streams are known to the host by their index; a video stream's source calls it 0.
    m_sourceStreamId = static_cast<DWORD>(m_streamIndex);
  } else {
    return;
  }
  if (FAILED(m_output->describe(m_pInputType.Get(), m_pDecodedType.Get()))) return;
  m_decodedSubtypes = m_output->decodedSubtypes(m_pInputType.Get());
  if (FAILED(createReader())) return;
  if (FAILED(m_output->open())) return;
  m_active = true;
}

DxPlayer::StreamInt::~StreamInt() {
  // Stop normally released these; a stream that never ran still holds its source and reader.
  releaseReader();
  m_queue.clear();
  m_output.reset();
  if (m_queuedEvent) CloseHandle(m_queuedEvent);
  DeleteCriticalSection(&m_lock);
}

STDMETHODIMP DxPlayer::StreamInt::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFSourceReaderCallback)) {
    *ppv = static_cast<IMFSourceReaderCallback*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DxPlayer::StreamInt::AddRef() { return ++m_refCount; }

STDMETHODIMP_(ULONG) DxPlayer::StreamInt::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

GUID DxPlayer::StreamInt::decodedSubtype() const {
  GUID subtype = GUID_NULL;
  if (m_pDecodedType) m_pDecodedType->GetGUID(MF_MT_SUBTYPE, &subtype);
  return subtype;
}

ComPtr<IMFMediaType> DxPlayer::StreamInt::presentationType() const {
  return m_output ? m_output->presentationType() : nullptr;
}

uint32_t DxPlayer::StreamInt::frameBytes() const { return m_output ? m_output->frameBytes() : 0; }

// ---------------------------------------------------------------------------------------------
// Source and reader

HRESULT DxPlayer::StreamInt::openSource() {
  MediaFoundation::OrvoSource* source = nullptr;
  HRESULT hr = MediaFoundation::OrvoSource::CreateInstance(&source);
  if (FAILED(hr) || !source) {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::createReader: OrvoSource::CreateInstance failed 0x%X", (unsigned)hr);
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  source->m_lowLatency = 1;
  source->setFeedObserver(m_statistics);
  {
    CriticalSectionGuard guard(&m_lock);
    m_pSource = AdoptRef(source);
  }

  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[1] = {m_pInputType.Get()};
  hr = MFCreateStreamDescriptor(m_sourceStreamId, 1, types, &descriptor);
  ComPtr<IMFMediaTypeHandler> handler;
  if (SUCCEEDED(hr)) hr = descriptor->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(m_pInputType.Get());
  ORVO_RETURN_IF_FAILED(hr, "DxPlayer::StreamInt::createReader: stream descriptor creation");
  std::vector<ComPtr<IMFStreamDescriptor>> descriptors{descriptor};
  ORVO_RETURN_IF_FAILED(m_pSource->Open(m_playerId, L"orvo://low_latency_renderer", descriptors, m_callback),
                        "DxPlayer::StreamInt::createReader: pSource->Open");
  return S_OK;
}

std::vector<GUID> DxPlayer::StreamInt::subtypeCandidates() const {
  std::vector<GUID> candidates = m_decodedSubtypes;
  if (m_acceptedSubtype != GUID_NULL) {
    candidates.erase(std::remove(candidates.begin(), candidates.end(), m_acceptedSubtype), candidates.end());
    candidates.insert(candidates.begin(), m_acceptedSubtype);
  }
  return candidates;
}

HRESULT DxPlayer::StreamInt::createCompressedReader(bool* decoderRefused) {
  *decoderRefused = false;
  HRESULT hr = openSource();
  if (FAILED(hr)) return hr;
  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(MFCreateAttributes(&attributes, 1),
                        "DxPlayer::StreamInt::createCompressedReader: MFCreateAttributes");
  LogIfFailed(attributes->SetUINT32(MF_LOW_LATENCY, 1),
              "DxPlayer::StreamInt::createCompressedReader: SetUINT32(MF_LOW_LATENCY)");
  ComPtr<IMFMediaSource> source;
  hr = currentSource()->QueryInterface(IID_PPV_ARGS(&source));
  // Left at the source's own type, the reader loads no decoder and hands the samples over as fed.
  if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &m_pReader);
  ORVO_RETURN_IF_FAILED(hr, "DxPlayer::StreamInt::createCompressedReader: MFCreateSourceReaderFromMediaSource");

  std::unique_ptr<VideoDecodeLoop> loop(new VideoDecodeLoop(m_streamIndex));
  hr = loop->open(m_pInputType.Get(), subtypeCandidates(), m_video->decoderDeviceManager().Get());
  if (FAILED(hr)) {
    *decoderRefused = true;
    return hr;
  }
  m_pDecodedType = loop->currentType();
  m_acceptedSubtype = loop->currentSubtype();
  m_decodeLoop = std::move(loop);
  return m_output->onDecodedType(m_pDecodedType.Get());
}

HRESULT DxPlayer::StreamInt::createReader() {
  // Only without a video device: there the reader hands out a fresh, zeroed frame buffer per frame,
  // while with one its decoder already decodes into pooled textures and its video processor
  // converts them on the device, which a CPU converter behind our own decoder could not match.
  if (m_video && m_directDecoding && m_video->compatibilityPresentation()) {
    bool decoderRefused = false;
    HRESULT hr = createCompressedReader(&decoderRefused);
    if (SUCCEEDED(hr) || !decoderRefused) return hr;
    ORVO_LOG_INFO("DxPlayer::StreamInt::createReader: stream %d decoder cannot be driven directly (0x%X), the source "
                  "reader decodes instead",
                  m_streamIndex, static_cast<unsigned>(hr));
    m_directDecoding = false;
    releaseReader();
    m_output->resetConversion();
  }
  HRESULT hr = openSource();
  if (FAILED(hr)) return hr;

  ComPtr<IMFAttributes> attributes;
  ORVO_RETURN_IF_FAILED(MFCreateAttributes(&attributes, 4),
                        "DxPlayer::StreamInt::createReader: MFCreateAttributes(&pAttributes)");
  LogIfFailed(attributes->SetUINT32(MF_LOW_LATENCY, 1),
              "DxPlayer::StreamInt::createReader: pAttributes->SetUINT32(MF_LOW_LATENCY)");
  m_output->configureReader(attributes.Get());

  ComPtr<IMFMediaSource> source;
  hr = currentSource()->QueryInterface(IID_PPV_ARGS(&source));
  if (SUCCEEDED(hr)) hr = MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), &m_pReader);
  ORVO_RETURN_IF_FAILED(hr, "DxPlayer::StreamInt::createReader: MFCreateSourceReaderFromMediaSource");

  // Every reader walks the same list, the subtype that worked last time first.
  hr = MF_E_INVALIDMEDIATYPE;
  for (const GUID& subtype : subtypeCandidates()) {
    hr = m_pDecodedType->SetGUID(MF_MT_SUBTYPE, subtype);
    if (LogIfFailed(hr, "DxPlayer::StreamInt::createReader: m_pDecodedType->SetGUID(MF_MT_SUBTYPE)")) continue;
    hr = m_pReader->SetCurrentMediaType(0, nullptr, m_pDecodedType.Get());
    if (LogIfFailed(hr, "DxPlayer::StreamInt::createReader: m_pReader->SetCurrentMediaType")) continue;
    LogMediaType("DxPlayer::StreamInt::createReader: incomplete decoded media type %S", m_pDecodedType.Get());
    ComPtr<IMFMediaType> actual;
    ORVO_RETURN_IF_FAILED(m_pReader->GetCurrentMediaType(0, &actual),
                          "DxPlayer::StreamInt::createReader: m_pReader->GetCurrentMediaType");
    m_pDecodedType = actual;
    m_acceptedSubtype = subtype;
    LogMediaType("DxPlayer::StreamInt::createReader: actual decoded media type %S", m_pDecodedType.Get());
    return m_output->onDecodedType(m_pDecodedType.Get());
  }
  return hr;
}

ComPtr<MediaFoundation::OrvoSource> DxPlayer::StreamInt::currentSource() {
  CriticalSectionGuard guard(&m_lock);
  return m_pSource;
}

void DxPlayer::StreamInt::releaseReader() {
  ComPtr<MediaFoundation::OrvoSource> source;
  {
    CriticalSectionGuard guard(&m_lock);
    source.Swap(m_pSource);
  }
  if (source) source->Shutdown();
  if (m_decodeLoop) {
    // Nothing the decoder still holds belongs to the next session, which gets a decoder of its own.
    m_decodeLoop->flush();
    m_decodeLoop.reset();
  }
  if (m_pReader) {
    m_pReader->Flush(0);
    m_pReader.Reset();
  }
}

// ---------------------------------------------------------------------------------------------
// Queue

size_t DxPlayer::StreamInt::queueLength() {
  CriticalSectionGuard guard(&m_lock);
  return m_queue.size();
}

int DxPlayer::StreamInt::trimQueueToNewest() {
  CriticalSectionGuard guard(&m_lock);
  const int released = static_cast<int>(m_queue.trimToNewest());
  m_statistics->onDropped(StreamStatistics::Drop::Trimmed, static_cast<uint64_t>(released));
  m_statistics->onDequeued(m_queue.size());
  return released;
}

void DxPlayer::StreamInt::queueSample(IMFSample* sample) {
  CriticalSectionGuard guard(&m_lock);
  m_queue.push(AdoptRef(sample), elapsedTime(10000000));
  m_statistics->onQueued(m_queue.size());
  SetEvent(m_queuedEvent);
}

// ---------------------------------------------------------------------------------------------
// Threads

HRESULT DxPlayer::StreamInt::start() {
  if (!m_active) return S_FALSE;
  if (running()) return S_OK;
  m_ended = false;
  m_failure = S_OK;
  if (!m_pReader) {
    // Stop released source and reader; a new Play needs them again.
    m_output->resetConversion();
    const HRESULT hr = createReader();
    if (FAILED(hr)) {
      ORVO_LOG_ERROR("DxPlayer::StreamInt::start: stream %d reader re-creation failed 0x%X", m_streamIndex,
                     (unsigned)hr);
      m_failure = hr;
      releaseReader();
      return hr;
    }
  }
  try {
    m_pullingThread.reset(new std::thread(&StreamInt::pullingRoutine, this));
    m_renderingThread.reset(new std::thread(&StreamInt::renderingRoutine, this));
  } catch (const std::system_error&) {
    ORVO_LOG_ERROR("DxPlayer::StreamInt::start: stream %d thread creation failed", m_streamIndex);
    return E_OUTOFMEMORY;  // the caller stops what did start
  }
  return S_OK;
}

void DxPlayer::StreamInt::endFeed() {
  if (ComPtr<MediaFoundation::OrvoSource> source = currentSource()) source->EndFeed();
}

void DxPlayer::StreamInt::stop() {
  // Normally done for all streams already; a stop on its own must not wait for the host either.
  endFeed();
  if (m_pullingThread) {
    // The feed has ended: the current ReadSample returns with what the decoder still holds, or
    // with the end of the stream, whether or not the host callback in progress ever comes back.
    m_pullingThread->join();
    m_pullingThread.reset();
  }
  // The rendering thread may be presenting its last frame right now: join it before the black
  // frame, or that frame lands on top of it.
  if (m_renderingThread) {
    m_renderingThread->join();
    m_renderingThread.reset();
  }
  if (m_active) m_output->stopped(m_baseLocalTime);
  releaseReader();
  CriticalSectionGuard guard(&m_lock);
  m_queue.clear();
}

bool DxPlayer::StreamInt::remakeReader() {
  releaseReader();
  m_output->resetConversion();
  const HRESULT created = createReader();
  if (SUCCEEDED(created)) return true;
  m_failure = created;
  m_owner->streamFailed(m_streamIndex);
  return false;
}

void DxPlayer::StreamInt::pullingRoutine() {
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d pulling thread started", m_streamIndex);
  InitializeComForThread();
  int failures = 0;        // passes in a row that brought no sample back
  int decodeFailures = 0;  // samples in a row the decoder this thread drives refused
  HRESULT lastFailure = S_OK;
  while (m_owner->state() == Started) {
    if (failures >= kReadFailuresBeforeError) {
      ORVO_LOG_ERROR("DxPlayer::StreamInt::pullingRoutine: stream %d reader failed %d times in a row, giving up",
                     m_streamIndex, failures);
      m_failure = FAILED(lastFailure) ? lastFailure : E_FAIL;
      m_owner->streamFailed(m_streamIndex);
      break;
    }
    if (m_output->readerOutdated()) {
      // The renderer replaced a removed device: a decoder still on the old one hands out frames
      // nothing can draw any more. The new reader (and converter) work on the new device.
      ORVO_LOG_INFO("DxPlayer::StreamInt::pullingRoutine: stream %d video device replaced, re-creating the reader",
                    m_streamIndex);
      if (!remakeReader()) break;
      continue;
    }
    const int64_t passStart = elapsedTime(10000000);
    DWORD actualIndex = 0, flags = 0;
    LONGLONG timestamp = 0;
    ComPtr<IMFSample> sample;
    HRESULT hr = m_pReader->ReadSample(kAnyStream, 0, &actualIndex, &flags, &timestamp, &sample);
    if (hr == MF_E_END_OF_STREAM) {
      // The source answers the host's end at once; a reader that asks again before it has seen the
      // end-of-stream event (Wine 8's does) passes the stream's answer on instead of the flag.
      hr = S_OK;
      flags |= MF_SOURCE_READERF_ENDOFSTREAM;
    }
    if (hr == E_INVALIDARG) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::Start: ReadSample result E_INVALIDARG, re-creating decoder...");
      ++failures;
      if (!remakeReader()) break;
      continue;
    }
    // After an error flag the reader answers nothing more; it counts as a failure like a failed call.
    const bool failed = FAILED(hr) || (flags & MF_SOURCE_READERF_ERROR);
    if (failed && failures == 0) {
      ORVO_LOG_ERROR("DxPlayer::StreamInt::pullingRoutine: stream %d ReadSample failed 0x%X, flags 0x%X",
                     m_streamIndex, static_cast<unsigned>(hr), static_cast<unsigned>(flags));
    }
    failures = failed && !sample ? failures + 1 : 0;
    if (failed) lastFailure = FAILED(hr) ? hr : E_FAIL;
    if (failed) m_statistics->onDropped(StreamStatistics::Drop::DecodeFailure);
    if (actualIndex != 0) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::pullingRoutine: stream %d unexpected stream index %d", m_streamIndex,
                     (int)actualIndex);
    }
    if (m_decodeLoop) {
      const VideoDecodeLoop::FrameSink sink = [this](IMFSample* frame, bool typeChanged) {
        LONGLONG time = 0;
        if (FAILED(frame->GetSampleTime(&time))) time = 0;
        deliver(frame, typeChanged ? MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED : 0, time);
      };
      if (sample && m_owner->state() == Started) {
        const HRESULT decoded = m_decodeLoop->decode(sample.Get(), sink);
        decodeFailures = FAILED(decoded) ? decodeFailures + 1 : 0;
        if (FAILED(decoded)) {
          // A failed decoder stays failed: the next sample goes to a fresh one (which shows
          // pictures again from the next key frame). One that keeps failing stops the stream as a
          // failing reader does.
          m_statistics->onDropped(StreamStatistics::Drop::DecodeFailure);
          lastFailure = decoded;
          failures = std::max(failures, decodeFailures);
          m_decodeLoop->renew();
        }
      }
      // The host ended the stream: what the decoder still holds is shown before it ends.
      if ((flags & MF_SOURCE_READERF_ENDOFSTREAM) && m_owner->state() == Started) m_decodeLoop->drain(sink);
    } else {
      OnReadSample(hr, actualIndex, flags, timestamp, sample.Get());
    }

    m_waitSum += elapsedTime(10000000) - passStart;
    ++m_waitCount;
    const time_t now = time(nullptr);
    if (now - m_lastWaitReport >= 10) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::pullingRoutine: stream %d average waiting time %lld", m_streamIndex,
                     static_cast<long long>(m_waitSum / m_waitCount));
      m_waitSum = m_waitCount = 0;
      m_lastWaitReport = now;
    }
    if (flags & MF_SOURCE_READERF_ENDOFSTREAM) {
      // The host ended the stream: ReadSample would answer at once forever, so pulling ends here
      // instead of spinning until Stop.
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::pullingRoutine: stream %d end of stream", m_streamIndex);
      m_ended = true;
      break;
    }
    if (failures > 0) Sleep(10);  // a reader that keeps failing is not asked in a busy loop
  }
  CoUninitialize();
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d pulling thread finished", m_streamIndex);
}

STDMETHODIMP DxPlayer::StreamInt::OnReadSample(HRESULT, DWORD, DWORD dwStreamFlags, LONGLONG llTimestamp,
                                               IMFSample* pSample) {
  deliver(pSample, dwStreamFlags, llTimestamp);
  return S_OK;
}

void DxPlayer::StreamInt::deliver(IMFSample* pSample, DWORD dwStreamFlags, LONGLONG llTimestamp) {
  if (m_owner->state() != Started) return;
  // The flag comes with the first sample of the new type; the output must know before preparing it.
  if (dwStreamFlags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) {
    if (m_decodeLoop) {
      m_output->onDecodedTypeChanged(m_decodeLoop->currentType().Get());
    } else {
      m_output->onCurrentTypeChanged(m_pReader.Get());
    }
  }
  if (!pSample) return;
  const int64_t decodedAt = elapsedTime(10000000);
  m_statistics->onDecoded(llTimestamp, decodedAt);
  IMFSample* output = nullptr;
  if (SUCCEEDED(m_output->prepare(pSample, dwStreamFlags, llTimestamp, &output)) && output) {
    m_statistics->onConverted(elapsedTime(10000000) - decodedAt);
    queueSample(output);
  } else {
    m_statistics->onDropped(StreamStatistics::Drop::Other);
  }
}

void DxPlayer::StreamInt::renderingRoutine() {
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering thread started", m_streamIndex);
  InitializeComForThread();
  time_t lastQueueReport = time(nullptr);
  int64_t lastFlush = elapsedTime(10000000);
  RenderPacer pacer;
  TimestampSynchronizer* sync = m_owner->synchronizer();

  while (m_owner->state() == Started) {
    if (m_renderingStrategy == RenderingStrategy::LowLatency && Pacing::IsFlushDue(elapsedTime(10000000), lastFlush)) {
      m_owner->flush();
      lastFlush = elapsedTime(10000000);
    }

    RenderQueue::Entry entry;
    size_t queued = 0;
    {
      CriticalSectionGuard guard(&m_lock);
      // Before an agreement only the newest sample matters: that is where playback will start.
      if (!pacer.synchronised()) m_statistics->onDropped(StreamStatistics::Drop::Trimmed, m_queue.trimToNewest());
      queued = m_queue.size();
      m_queue.pop(&entry);
      m_statistics->onDequeued(m_queue.size());
    }
    const ComPtr<IMFSample> sample = std::move(entry.sample);
    if (!sample) {
      WaitForSingleObject(m_queuedEvent, kIdleWaitMilliseconds);
      continue;
    }

    LONGLONG sampleTime = 0;
    if (FAILED(sample->GetSampleTime(&sampleTime))) sampleTime = 0;
    int64_t startLocalTime = kUnsetTime;
    const int64_t agreed = sync ? sync->GetStartStreamTime(m_syncIndex, sampleTime, entry.readyAt, &startLocalTime) : kUnsetTime;
    const RenderPacer::Decision decision = pacer.onSample(sampleTime, agreed, startLocalTime, elapsedTime(10000000));
    m_baseLocalTime = pacer.baseLocalTime();
    if (decision.startTimeAdopted) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d playback start time resync", m_streamIndex);
    }
    if (decision.newAgreement) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d received base timestamp %lld current timestamp "
                     "%lld",
                     m_streamIndex, static_cast<long long>(pacer.baseTimestamp()),
                     static_cast<long long>(pacer.baseLocalTime()));
    }
    if (decision.step == RenderPacer::Step::Drop) {
      m_statistics->onDropped(StreamStatistics::Drop::Late);
      continue;
    }
    if (decision.step == RenderPacer::Step::TimestampGap) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d too big timestamp gap, last %lld current %lld "
                     "gap %lld, resynchronizing...",
                     m_streamIndex, static_cast<long long>(decision.last), static_cast<long long>(sampleTime),
                     static_cast<long long>(Pacing::SaturatingSub(sampleTime, decision.last)));
      sync->Reset();
      m_statistics->onDropped(StreamStatistics::Drop::Other);
      continue;
    }
    if (decision.step == RenderPacer::Step::PlaybackGap) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d too big playback gap, playback time %lld "
                     "presentation time %lld gap %lld, resynchronizing...",
                     m_streamIndex, static_cast<long long>(decision.playback),
                     static_cast<long long>(decision.presentation),
                     static_cast<long long>(Pacing::SaturatingSub(decision.playback, decision.presentation)));
      sync->Reset();
      m_statistics->onDropped(StreamStatistics::Drop::Other);
      continue;
    }

    const int64_t processStart = elapsedTime(10000000);
    const bool ready = m_output->process(sample.Get());
    m_statistics->onStage(StreamStatistics::Stage::Process, elapsedTime(10000000) - processStart);

    const int64_t playback = pacer.playbackAt(elapsedTime(10000000));
    const int64_t due = Pacing::SaturatingSub(decision.presentation, m_output->lead());
    const int64_t waitMs = Pacing::WaitMilliseconds(due, playback);
    if (waitMs > 0) {
      // Waits in short slices so that Stop never waits for a frame scheduled far ahead.
      const int64_t wakeAt = elapsedTime(10000000) + waitMs * 10000;
      for (int64_t left = waitMs; left > 0 && m_owner->state() == Started;
           left = (wakeAt - elapsedTime(10000000)) / 10000) {
        Sleep(static_cast<DWORD>(std::min<int64_t>(left, 20)));
      }
    } else {
      const int64_t shift = Pacing::StartTimeShift(m_renderingStrategy, playback, due);
      if (shift > 0) {
        ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d big playback jitter %lld, resync local "
                       "playback time...",
                       m_streamIndex, static_cast<long long>(shift));
        sync->ShiftStartLocalTime(shift);
      }
    }

    if (ready) {
      const int64_t presentStart = elapsedTime(10000000);
      m_output->present(sample.Get(), sampleTime);
      const int64_t presentEnd = elapsedTime(10000000);
      m_statistics->onStage(StreamStatistics::Stage::Present, presentEnd - presentStart);
      m_statistics->onPresented(sampleTime, presentEnd);
    } else {
      m_statistics->onDropped(StreamStatistics::Drop::Other);
    }

    const time_t now = time(nullptr);
    if (now - lastQueueReport >= 10) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering queue size %d", m_streamIndex,
                     static_cast<int>(queued));
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::reportStatistics: stream %d %s", m_streamIndex,
                     m_statistics->summary().c_str());
      lastQueueReport = now;
    }
    pacer.presented(sampleTime);
  }
  CoUninitialize();
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d rendering thread finished", m_streamIndex);
}

}  // namespace Media
}  // namespace ORVO
