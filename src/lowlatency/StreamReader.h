#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <memory>
#include <vector>

#include "common/PlayerTypes.h"
#include "lowlatency/StreamOutput.h"
#include "lowlatency/StreamStatistics.h"
#include "lowlatency/VideoDecodeLoop.h"

namespace ORVO {
namespace MediaFoundation {
class OrvoSource;
}  // namespace MediaFoundation

namespace Media {

class VideoOutput;

// The reading end of one low-latency stream: its own OrvoSource on the host's callback, the source
// reader over it and, for video in compatibility presentation, the decoder the pulling thread
// drives itself (VideoDecodeLoop), into pooled frames. The reader decodes audio, and video drawn on
// a video device; a video decoder that cannot be driven directly is left to the reader for good.
//
// Threads: made on the set-up thread, then used by the pulling thread only, except endFeed() and
// release() (host thread, after the pulling thread was told to stop). m_lock guards the source
// pointer, which the pulling thread replaces when it makes the reader again while a stop ends the
// current one's feed; no other lock is taken while it is held.
class StreamReader {
 public:
  StreamReader(int playerId, int streamIndex, DWORD sourceStreamId, IMFMediaType* inputType,
               Microsoft::WRL::ComPtr<IMFMediaType> decodedType, std::vector<GUID> decodedSubtypes,
               RequestDataCallback callback, StreamOutput* output, VideoOutput* video,
               std::shared_ptr<StreamStatistics> statistics);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // A new source and reader (and decode loop), and the output told of the decoded type.
  HRESULT create();
  // Shuts the source down and releases reader and decoder.
  void release();
  // Ends the source's feed, so that a ReadSample waiting for the host returns.
  void endFeed();

  bool created() const { return m_pReader != nullptr; }
  IMFSourceReader* reader() const { return m_pReader.Get(); }
  VideoDecodeLoop* decodeLoop() const { return m_decodeLoop.get(); }
  Microsoft::WRL::ComPtr<IMFMediaType> decodedType() const { return m_pDecodedType; }

 private:
  HRESULT openSource();
  // A reader that delivers compressed samples, and the decode loop for them. *decoderRefused: the
  // failure was the decoder's (the reader with its own decoder may do better).
  HRESULT createCompressedReader(bool* decoderRefused);
  // Decoded subtypes to ask for, the one accepted last first.
  std::vector<GUID> subtypeCandidates() const;
  Microsoft::WRL::ComPtr<MediaFoundation::OrvoSource> currentSource();

  const int m_playerId;
  const int m_streamIndex;
  const DWORD m_sourceStreamId;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pInputType;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pDecodedType;
  const std::vector<GUID> m_decodedSubtypes;
  RequestDataCallback m_callback;
  StreamOutput* m_output;
  VideoOutput* m_video;  // m_output when it draws pictures, else null
  std::shared_ptr<StreamStatistics> m_statistics;
  // Whether the pulling thread decodes video itself; cleared for good once that could not be set up.
  bool m_directDecoding = true;
  // The subtype the current reader accepted; a new reader asks for it first.
  GUID m_acceptedSubtype = GUID_NULL;
  CRITICAL_SECTION m_lock;
  Microsoft::WRL::ComPtr<MediaFoundation::OrvoSource> m_pSource;  // set and cleared under m_lock
  Microsoft::WRL::ComPtr<IMFSourceReader> m_pReader;
  std::unique_ptr<VideoDecodeLoop> m_decodeLoop;  // lives and goes with the reader
};

}  // namespace Media
}  // namespace ORVO
