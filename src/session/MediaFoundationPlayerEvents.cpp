// The Media Session engine's half that follows the session: the events it delivers (through the
// preview window's message, see SessionEventPump) and the state, commands and topology they settle.
// The other half, in MediaFoundationPlayer.cpp, opens, commands and tears the session down.
#include "session/MediaFoundationPlayer.h"

#include <mfapi.h>
#include <mferror.h>

#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

HRESULT MediaFoundationPlayer::HandlePostedEvent(WPARAM wParam) {
  ComPtr<IMFMediaEvent> event = m_eventPump.Claim(wParam);
  if (!event) return S_FALSE;  // not ours, or released when its engine was disposed
  return HandleEvent(event.Detach());
}

void MediaFoundationPlayer::DiscardPostedEvent(WPARAM wParam) { SessionEventPump::Discard(wParam); }

void MediaFoundationPlayer::switchToError(const char* eventName, HRESULT status) {
  ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event %s, hrStatus 0x%X, switch to error state", this,
                 eventName, static_cast<unsigned>(status));
  m_state = Error;
}

// A source that decodes its video itself may meet a topology loader that cannot connect it to the
// renderer (Wine's): the topology is built once more with the engine's own converters.
bool MediaFoundationPlayer::retryWithConverters(HRESULT status) {
  ComPtr<IMFPresentationDescriptor> descriptor;
  ComPtr<IMFTopology> topology;
  if (!m_session || !m_mediaSource || !m_topologyBuilder.MayRetryWithConverters() ||
      FAILED(m_mediaSource->CreatePresentationDescriptor(&descriptor)) ||
      FAILED(m_topologyBuilder.BuildWithConverters(m_mediaSource.Get(), descriptor.Get(), &topology))) {
    return false;
  }
  ORVO_LOG_INFO("MediaFoundationPlayer::HandleEvent[%p]: event MESessionTopologySet, hrStatus 0x%X, trying again with "
                "a video converter",
                this, static_cast<unsigned>(status));
  // Immediate: Wine's session goes on with the topology it failed to resolve, as given, and would
  // only reach a queued one after that.
  return !LogIfFailed(m_session->SetTopology(MFSESSION_SETTOPOLOGY_IMMEDIATE, topology.Get()),
                      "MediaFoundationPlayer::HandleEvent[%p]: SetTopology", this);
}

HRESULT MediaFoundationPlayer::settle(std::initializer_list<int32_t> commands, HRESULT status, PlayerState reached) {
  m_commands.Confirm(commands);
  if (FAILED(status)) {
    m_state = Error;  // what waits keeps waiting until a confirming event runs the queue
    return status;
  }
  m_state = reached;
  return S_OK;
}

HRESULT MediaFoundationPlayer::HandleEvent(IMFMediaEvent* event) {
  if (!event) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: pEvent == NULL", this);
    return E_POINTER;
  }
  const ComPtr<IMFMediaEvent> owned = AdoptRef(event);
  CriticalSectionGuard guard(&m_lock);
  if (m_disposed) return S_FALSE;

  MediaEventType type = MEUnknown;
  ORVO_RETURN_IF_FAILED(event->GetType(&type), "MediaFoundationPlayer::HandleEvent[%p]: pEvent->GetType()", this);
  HRESULT status = S_OK;
  if (LogIfFailed(event->GetStatus(&status), "MediaFoundationPlayer::HandleEvent[%p]: pEvent->GetStatus()", this)) {
    status = S_OK;
  }

  HRESULT result = S_OK;
  switch (type) {
    case MEExtendedType:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MEExtendedType, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      break;
    case MESessionTopologySet:
      if (FAILED(status) && retryWithConverters(status)) break;
      if (FAILED(status)) {
        switchToError("MESessionTopologySet", status);
        result = status;
      } else {
        ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionTopologySet", this);
      }
      break;
    case MESessionStarted:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionStarted, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      result = settle({SessionCommandQueue::CommandStart, SessionCommandQueue::CommandSeek}, status, Started);
      if (FAILED(result)) break;
      m_display.Repaint();
      // Settings given before playback are applied now that the renderer exists.
      m_audioVolume.ApplyStored(startedSession());
      runQueued();
      break;
    case MESessionPaused:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionPaused, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      result = settle({SessionCommandQueue::CommandPause}, status, Paused);
      if (SUCCEEDED(result)) runQueued();
      break;
    case MESessionStopped:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionStopped, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      result = settle({SessionCommandQueue::CommandStop}, status, Stopped);
      if (SUCCEEDED(result)) runQueued();
      break;
    case MESessionEnded:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionEnded, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      m_state = Stopped;
      runQueued();
      break;
    case MESessionRateChanged:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionRateChanged, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      m_commands.Confirm({SessionCommandQueue::CommandRate});
      runQueued();
      break;
    case MESessionTopologyStatus:
      if (FAILED(status)) {
        switchToError("MESessionTopologyStatus", status);
        result = status;
      } else {
        result = onTopologyStatus(event);
      }
      break;
    case MESessionNotifyPresentationTime:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionNotifyPresentationTime, hrStatus 0x%X",
                     this, static_cast<unsigned>(status));
      break;
    case MENewPresentation:
      if (FAILED(status)) {
        switchToError("MENewPresentation", status);
        result = status;
      } else {
        result = onNewPresentation(event);
      }
      break;
    case MESessionStreamSinkFormatChanged:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MESessionStreamSinkFormatChanged, hrStatus 0x%X",
                     this, static_cast<unsigned>(status));
      break;
    case MEEndOfPresentation:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event MEEndOfPresentation, hrStatus 0x%X", this,
                     static_cast<unsigned>(status));
      result = onPresentationEnded();
      break;
    default:
      ORVO_LOG_DEBUG("MediaFoundationPlayer::HandleEvent[%p]: event %d, hrStatus 0x%X", this, static_cast<int>(type),
                     static_cast<unsigned>(status));
      break;
  }
  return result;
}

// The handlers below run from HandleEvent, under m_lock.

HRESULT MediaFoundationPlayer::onTopologyStatus(IMFMediaEvent* event) {
  UINT32 status = 0;
  const HRESULT hr = event->GetUINT32(MF_EVENT_TOPOLOGY_STATUS, &status);
  ORVO_LOG_DEBUG("MediaFoundationPlayer::OnTopologyStatus[%p]: hr 0x%X, status %d", this, static_cast<unsigned>(hr),
                 static_cast<int>(status));
  if (FAILED(hr) || status != MF_TOPOSTATUS_READY || !m_session) return hr;

  m_display.Attach(m_session.Get(), m_state.load() == Started);
  m_clock.Attach(m_session.Get());
  m_commands.Confirm({SessionCommandQueue::CommandOpen});
  m_state = Stopped;
  runQueued();
  return hr;
}

HRESULT MediaFoundationPlayer::onNewPresentation(IMFMediaEvent* event) {
  ORVO_LOG_DEBUG("MediaFoundationPlayer::OnNewPresentation[%p]: new presentation", this);
  PROPVARIANT value;
  PropVariantInit(&value);
  if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal && m_session && m_mediaSource) {
    ComPtr<IMFPresentationDescriptor> descriptor;
    ComPtr<IMFTopology> topology;
    if (SUCCEEDED(value.punkVal->QueryInterface(IID_PPV_ARGS(&descriptor)))) {
      readDuration(descriptor.Get());
      if (SUCCEEDED(m_topologyBuilder.Build(m_mediaSource.Get(), descriptor.Get(), &topology)) &&
          SUCCEEDED(m_session->SetTopology(0, topology.Get()))) {
        awaitTopology();
      }
    }
  }
  PropVariantClear(&value);
  return S_OK;
}

HRESULT MediaFoundationPlayer::onPresentationEnded() {
  ORVO_LOG_DEBUG("MediaFoundationPlayer::OnPresentationEnded[%p]: presentation ended", this);
  m_state = Stopped;
  runQueued();
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
