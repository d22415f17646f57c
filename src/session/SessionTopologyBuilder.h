#pragma once

#include <windows.h>
#include <mfidl.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace ORVO {
namespace MediaFoundation {

// Builds the partial topology the session plays: every selected stream of the presentation goes
// straight from its source node to the system's audio renderer or to the video renderer drawing into
// the video window. The session's topology loader inserts decoders and converters itself.
//
// The audio renderer plays on the endpoint the host chose (SetAudioOutputDevice), or on the default
// console endpoint without a choice. A chosen endpoint that cannot play when a topology with audio
// is built is left out for the default one (the renderer would fail the whole topology): one log
// line, and endpointFallbacks() grows, which the host hears of as an error event.
//
// Runs under the engine's lock (at open and on a new presentation); endpointFallbacks() is read
// from any thread.
class SessionTopologyBuilder {
 public:
  // logOwner: the engine, whose address the log lines carry. audioEndpointId: empty for the default.
  SessionTopologyBuilder(HWND videoWindow, const std::wstring& audioEndpointId, const void* logOwner)
      : m_videoWindow(videoWindow), m_chosenEndpoint(audioEndpointId), m_logOwner(logOwner) {}

  HRESULT Build(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFTopology** topology);
  // The same with the video converter between each decoded video stream and the renderer.
  HRESULT BuildWithConverters(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFTopology** topology);
  // Whether a topology that failed to resolve may be built again with converters: the last one had
  // decoded video and no converter of the engine's own.
  bool MayRetryWithConverters() const { return !m_converting && m_decodedVideo > 0; }

  // The endpoint the last built topology plays its audio on: the chosen id, or empty (the default).
  const std::wstring& audioEndpoint() const { return m_audioEndpoint; }
  // How often the default endpoint took the chosen one's place, and why the last time (*why).
  uint64_t endpointFallbacks(HRESULT* why) const {
    *why = m_fallbackError.load();
    return m_fallbacks.load();
  }

 private:
  HRESULT build(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFTopology** topology);
  HRESULT addStreamBranch(IMFTopology* topology, IMFMediaSource* source, IMFPresentationDescriptor* descriptor,
                          DWORD index);
  HRESULT createAudioRenderer(IMFActivate** renderer);

  HWND m_videoWindow;
  const std::wstring m_chosenEndpoint;
  std::wstring m_audioEndpoint;
  bool m_endpointChecked = false;  // during one Build: the chosen endpoint was asked already
  bool m_converting = false;       // the last Build put converters in
  unsigned m_decodedVideo = 0;     // decoded video streams in the last Build
  std::atomic<uint64_t> m_fallbacks{0};
  std::atomic<HRESULT> m_fallbackError{S_OK};
  const void* m_logOwner;
};

}  // namespace MediaFoundation
}  // namespace ORVO
