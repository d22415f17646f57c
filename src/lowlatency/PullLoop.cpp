#include "lowlatency/PullLoop.h"

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <algorithm>

#include "common/Clock.h"
#include "common/ComAdopt.h"
#include "log/Log.h"
#include "lowlatency/SampleQueue.h"
#include "lowlatency/StreamOutput.h"
#include "lowlatency/StreamPlayer.h"
#include "lowlatency/StreamReader.h"
#include "lowlatency/StreamStatistics.h"
#include "lowlatency/VideoDecodeLoop.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace Media {

namespace {

constexpr DWORD kAnyStream = 0xFFFFFFFE;  // MF_SOURCE_READER_ANY_STREAM
// A reader that brings nothing back this many passes in a row (about half a second at the 10 ms
// pause between them) will not recover: the stream gives up and the player reports Error.
constexpr int kReadFailuresBeforeError = 50;

}  // namespace

PullLoop::PullLoop(int streamIndex, StreamPlayer& player, StreamReader& reader, StreamOutput& output,
                   SampleQueue& queue, StreamStatistics& statistics)
    : m_streamIndex(streamIndex),
      m_player(player),
      m_reader(reader),
      m_output(output),
      m_queue(queue),
      m_statistics(statistics),
      m_lastWaitReport(time(nullptr)) {}

bool PullLoop::remakeReader() {
  m_reader.release();
  m_output.resetConversion();
  const HRESULT created = m_reader.create();
  if (SUCCEEDED(created)) return true;
  m_failure = created;
  m_player.streamFailed(m_streamIndex);
  return false;
}

void PullLoop::run() {
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d pulling thread started", m_streamIndex);
  int failures = 0;        // passes in a row that brought no sample back
  int decodeFailures = 0;  // samples in a row the decoder this thread drives refused
  HRESULT lastFailure = S_OK;
  while (m_player.playing()) {
    if (failures >= kReadFailuresBeforeError) {
      ORVO_LOG_ERROR("DxPlayer::StreamInt::pullingRoutine: stream %d reader failed %d times in a row, giving up",
                     m_streamIndex, failures);
      m_failure = FAILED(lastFailure) ? lastFailure : E_FAIL;
      m_player.streamFailed(m_streamIndex);
      break;
    }
    if (m_output.readerOutdated()) {
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
    HRESULT hr = m_reader.reader()->ReadSample(kAnyStream, 0, &actualIndex, &flags, &timestamp, &sample);
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
    if (failed) m_statistics.onDropped(StreamStatistics::Drop::DecodeFailure);
    if (actualIndex != 0) {
      ORVO_LOG_DEBUG("DxPlayer::StreamInt::pullingRoutine: stream %d unexpected stream index %d", m_streamIndex,
                     (int)actualIndex);
    }
    if (VideoDecodeLoop* loop = m_reader.decodeLoop()) {
      const VideoDecodeLoop::FrameSink sink = [this](IMFSample* frame, bool typeChanged) {
        LONGLONG time = 0;
        if (FAILED(frame->GetSampleTime(&time))) time = 0;
        deliver(frame, typeChanged ? MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED : 0, time);
      };
      if (sample && m_player.playing()) {
        HRESULT decoded = loop->decode(sample.Get(), sink);
        if (FAILED(decoded)) {
          // A failed decoder stays failed: a fresh one takes its place and starts again from the
          // last key frame (which shows pictures again at once after a new picture size), or from
          // the next one. One that keeps failing stops the stream as a failing reader does.
          m_statistics.onDropped(StreamStatistics::Drop::DecodeFailure);
          lastFailure = decoded;
          if (loop->renewAndReplay(sink) == S_OK) decoded = S_OK;
        }
        decodeFailures = FAILED(decoded) ? decodeFailures + 1 : 0;
        if (FAILED(decoded)) failures = std::max(failures, decodeFailures);
      }
      // The host ended the stream: what the decoder still holds is shown before it ends.
      if ((flags & MF_SOURCE_READERF_ENDOFSTREAM) && m_player.playing()) loop->drain(sink);
    } else {
      deliver(sample.Get(), flags, timestamp);
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
  ORVO_LOG_DEBUG("DxPlayer::StreamInt::renderingRoutine: stream %d pulling thread finished", m_streamIndex);
}

void PullLoop::deliver(IMFSample* pSample, DWORD dwStreamFlags, LONGLONG llTimestamp) {
  if (!m_player.playing()) return;
  // The flag comes with the first sample of the new type; the output must know before preparing it.
  if (dwStreamFlags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) {
    if (VideoDecodeLoop* loop = m_reader.decodeLoop()) {
      m_output.onDecodedTypeChanged(loop->currentType().Get());
    } else {
      m_output.onCurrentTypeChanged(m_reader.reader());
    }
  }
  if (!pSample) return;
  const int64_t decodedAt = elapsedTime(10000000);
  m_statistics.onDecoded(llTimestamp, decodedAt);
  IMFSample* output = nullptr;
  if (SUCCEEDED(m_output.prepare(pSample, dwStreamFlags, llTimestamp, &output)) && output) {
    m_statistics.onConverted(elapsedTime(10000000) - decodedAt);
    m_statistics.onQueued(m_queue.push(AdoptRef(output), elapsedTime(10000000)));
  } else {
    m_statistics.onDropped(StreamStatistics::Drop::Other);
  }
}

}  // namespace Media
}  // namespace ORVO
