#include "lowlatency/StreamInt.h"

#include <mfapi.h>
#include <mferror.h>

#include <system_error>

#include "common/Clock.h"
#include "common/ComInit.h"
#include "common/Uri.h"
#include "log/Log.h"
#include "lowlatency/LoopClock.h"
#include "lowlatency/StreamPlayer.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

// The stream's loops see their player through this.
class DxPlayer::StreamInt::Player : public StreamPlayer {
 public:
  explicit Player(DxPlayer* owner) : m_owner(owner) {}
  bool playing() const override { return m_owner->state() == Started; }
  void flush() override { m_owner->flush(); }
  TimestampSynchronizer* synchronizer() const override { return m_owner->synchronizer(); }
  AvSyncMonitor* syncMonitor() override { return m_owner->syncMonitor(); }
  void streamFailed(int streamIndex) override { m_owner->streamFailed(streamIndex); }

 private:
  DxPlayer* m_owner;
};

DxPlayer::StreamInt::StreamInt(DxPlayer* owner, int playerId, int streamIndex, int syncIndex, IMFMediaType* inputType,
                               HWND window, RequestDataCallback callback, const std::wstring& uri,
                               int audioDeviceValue, const std::wstring& audioDeviceId)
    : m_streamIndex(streamIndex), m_syncIndex(syncIndex), m_player(new Player(owner)) {
  // The design passes the audio device choice on; the endpoint is always the default one.
  (void)audioDeviceValue;
  if (!inputType || !m_queue.wakeEvent()) return;
  m_pInputType = inputType;

  GUID major = GUID_NULL, subtype = GUID_NULL;
  HRESULT hr = m_pInputType->GetGUID(MF_MT_MAJOR_TYPE, &major);
  if (SUCCEEDED(hr)) hr = m_pInputType->GetGUID(MF_MT_SUBTYPE, &subtype);
  if (LogIfFailed(hr, "DxPlayer::StreamInt::StreamInt: pType->GetGUID(MF_MT_SUBTYPE)")) return;
  ComPtr<IMFMediaType> decodedType;
  if (LogIfFailed(MFCreateMediaType(&decodedType), "DxPlayer::StreamInt::StreamInt: MFCreateMediaType(m_pDecodedType)"))
    return;

  const Common::Uri parsed(Common::Uri::ToUtf8(uri.c_str()));
  m_renderingStrategy = Pacing::StrategyFromQueryValue(parsed.queryValue("renderingStrategy"));

  // Audio streams are known to the host by their index; a video stream's source calls it 0.
  DWORD sourceStreamId = 0;
  if (major == MFMediaType_Video) {
    m_video = new VideoOutput(m_streamIndex, window);
    m_output.reset(m_video);
  } else if (major == MFMediaType_Audio) {
    m_audio = new AudioOutput(m_streamIndex, audioDeviceId, m_renderingStrategy, m_statistics.get());
    m_output.reset(m_audio);
    sourceStreamId = static_cast<DWORD>(m_streamIndex);
  } else {
    ORVO_LOG_DEBUG("DxPlayer::StreamInt::StreamInt: stream %d is neither video nor audio", m_streamIndex);
    return;
  }
  if (FAILED(m_output->describe(m_pInputType.Get(), decodedType.Get()))) return;
  m_reader.reset(new StreamReader(playerId, m_streamIndex, sourceStreamId, m_pInputType.Get(), decodedType,
                                  m_output->decodedSubtypes(m_pInputType.Get()), callback, m_output.get(), m_video,
                                  m_statistics));
  m_pull.reset(new PullLoop(m_streamIndex, *m_player, *m_reader, *m_output, m_queue, *m_statistics));
  if (FAILED(m_reader->create())) return;
  if (FAILED(m_output->open())) return;
  m_active = true;
}

DxPlayer::StreamInt::~StreamInt() {
  // Stop normally released these; a stream that never ran still holds its source and reader.
  m_render.reset();
  m_pull.reset();
  m_reader.reset();
  m_queue.clear();
  m_output.reset();
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

STDMETHODIMP DxPlayer::StreamInt::OnReadSample(HRESULT, DWORD, DWORD dwStreamFlags, LONGLONG llTimestamp,
                                               IMFSample* pSample) {
  if (m_pull) m_pull->deliver(pSample, dwStreamFlags, llTimestamp);
  return S_OK;
}

GUID DxPlayer::StreamInt::decodedSubtype() const {
  GUID subtype = GUID_NULL;
  ComPtr<IMFMediaType> decoded = m_reader ? m_reader->decodedType() : nullptr;
  if (decoded) decoded->GetGUID(MF_MT_SUBTYPE, &subtype);
  return subtype;
}

ComPtr<IMFMediaType> DxPlayer::StreamInt::presentationType() const {
  return m_output ? m_output->presentationType() : nullptr;
}

uint32_t DxPlayer::StreamInt::frameBytes() const { return m_output ? m_output->frameBytes() : 0; }

size_t DxPlayer::StreamInt::queueLength() { return m_queue.size(); }

int DxPlayer::StreamInt::trimQueueToNewest() {
  const int released = static_cast<int>(m_queue.trimToNewest());
  m_statistics->onDropped(StreamStatistics::Drop::Trimmed, static_cast<uint64_t>(released));
  m_statistics->onDequeued(m_queue.size());
  return released;
}

HRESULT DxPlayer::StreamInt::start() {
  if (!m_active) return S_FALSE;
  if (running()) return S_OK;
  m_pull->resetStatus();
  if (!m_reader->created()) {
    // Stop released source and reader; a new Play needs them again.
    m_output->resetConversion();
    const HRESULT hr = m_reader->create();
    if (FAILED(hr)) {
      ORVO_LOG_ERROR("DxPlayer::StreamInt::start: stream %d reader re-creation failed 0x%X", m_streamIndex,
                     (unsigned)hr);
      m_pull->setFailure(hr);
      m_reader->release();
      return hr;
    }
  }
  // A fresh pacer per Play: the timeline of the last one is gone.
  m_render.reset(new RenderLoop(m_streamIndex, m_syncIndex, m_renderingStrategy, m_audio != nullptr, *m_player,
                                m_queue, *m_output, *m_statistics, LoopClock::System()));
  try {
    m_pullingThread.reset(new std::thread([this] {
      InitializeComForThread();
      m_pull->run();
      CoUninitialize();
    }));
    m_renderingThread.reset(new std::thread([this] {
      InitializeComForThread();
      // The sound's thread does little, but a small endpoint buffer lasts only tens of
      // milliseconds: it must not wait behind the picture's work.
      if (m_audio) SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
      m_render->run();
      CoUninitialize();
    }));
  } catch (const std::system_error&) {
    ORVO_LOG_ERROR("DxPlayer::StreamInt::start: stream %d thread creation failed", m_streamIndex);
    return E_OUTOFMEMORY;  // the caller stops what did start
  }
  return S_OK;
}

void DxPlayer::StreamInt::endFeed() {
  if (m_reader) m_reader->endFeed();
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
  if (m_active) m_output->stopped(m_render ? m_render->baseLocalTime() : kUnsetTime);
  if (m_reader) m_reader->release();
  m_queue.clear();
}

}  // namespace Media
}  // namespace ORVO
