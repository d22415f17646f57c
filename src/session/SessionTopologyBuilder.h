#pragma once

#include <windows.h>
#include <mfidl.h>

namespace ORVO {
namespace MediaFoundation {

// Builds the partial topology the session plays: every selected stream of the presentation goes
// straight from its source node to the system's audio renderer or to the video renderer drawing into
// the video window. The session's topology loader inserts decoders and converters itself.
//
// Runs under the engine's lock (at open and on a new presentation); it keeps no state of its own.
class SessionTopologyBuilder {
 public:
  // logOwner: the engine, whose address the log lines carry.
  SessionTopologyBuilder(HWND videoWindow, const void* logOwner) : m_videoWindow(videoWindow), m_logOwner(logOwner) {}

  HRESULT Build(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFTopology** topology) const;

 private:
  HRESULT addStreamBranch(IMFTopology* topology, IMFMediaSource* source, IMFPresentationDescriptor* descriptor,
                          DWORD index) const;

  HWND m_videoWindow;
  const void* m_logOwner;
};

}  // namespace MediaFoundation
}  // namespace ORVO
