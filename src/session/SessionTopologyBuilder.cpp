#include "session/SessionTopologyBuilder.h"

#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include "common/ComInit.h"
#include "log/Log.h"
#include "render/AudioEndpoint.h"
#include "session/SessionVideoConverter.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

HRESULT SessionTopologyBuilder::Build(IMFMediaSource* source, IMFPresentationDescriptor* descriptor,
                                      IMFTopology** topology) {
  m_converting = false;
  return build(source, descriptor, topology);
}

HRESULT SessionTopologyBuilder::BuildWithConverters(IMFMediaSource* source, IMFPresentationDescriptor* descriptor,
                                                    IMFTopology** topology) {
  m_converting = true;
  return build(source, descriptor, topology);
}

HRESULT SessionTopologyBuilder::build(IMFMediaSource* source, IMFPresentationDescriptor* descriptor,
                                      IMFTopology** topology) {
  *topology = nullptr;
  m_endpointChecked = false;
  m_decodedVideo = 0;
  ComPtr<IMFTopology> created;
  ORVO_RETURN_IF_FAILED(MFCreateTopology(&created), "MediaFoundationPlayer::BuildTopology[%p]: MFCreateTopology",
                        m_logOwner);
  DWORD count = 0;
  HRESULT hr = descriptor->GetStreamDescriptorCount(&count);
  if (FAILED(hr)) return hr;
  for (DWORD i = 0; i < count; ++i) {
    ORVO_RETURN_IF_FAILED(addStreamBranch(created.Get(), source, descriptor, i),
                          "MediaFoundationPlayer::BuildTopology[%p]: stream %u", m_logOwner, static_cast<unsigned>(i));
  }
  *topology = created.Detach();
  return S_OK;
}

// A stream whose branch cannot be built is left out of the topology rather than failing the
// whole presentation: a third kind of stream must not keep audio and video from playing.
HRESULT SessionTopologyBuilder::addStreamBranch(IMFTopology* topology, IMFMediaSource* source,
                                                IMFPresentationDescriptor* descriptor, DWORD index) {
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> stream;
  const HRESULT result = descriptor->GetStreamDescriptorByIndex(index, &selected, &stream);
  if (FAILED(result)) return result;
  if (!selected || !stream) return result;

  ComPtr<IMFMediaTypeHandler> handler;
  ComPtr<IMFMediaType> type;
  ComPtr<IMFActivate> renderer;
  ComPtr<IMFTopologyNode> sourceNode;
  ComPtr<IMFTopologyNode> outputNode;
  ComPtr<IMFTopologyNode> converterNode;
  GUID major = GUID_NULL;
  GUID subtype = GUID_NULL;
  HRESULT hr = stream->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->GetCurrentMediaType(&type);
  if (SUCCEEDED(hr)) hr = type->GetMajorType(&major);
  if (SUCCEEDED(hr)) {
    if (major == MFMediaType_Audio) {
      hr = createAudioRenderer(&renderer);
    } else if (major == MFMediaType_Video) {
      hr = MFCreateVideoRendererActivate(m_videoWindow, &renderer);
      const bool decoded = SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) && IsDecodedVideoSubtype(subtype);
      if (decoded) ++m_decodedVideo;
      // Without a converter (logged where it failed) the branch goes straight on, as before.
      if (SUCCEEDED(hr) && decoded && m_converting) {
        CreateVideoConverterNode(type.Get(), m_logOwner, &converterNode);
      }
    } else {
      hr = MF_E_INVALIDMEDIATYPE;
    }
  }
  if (SUCCEEDED(hr)) hr = MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, &sourceNode);
  if (SUCCEEDED(hr)) hr = sourceNode->SetUnknown(MF_TOPONODE_SOURCE, source);
  if (SUCCEEDED(hr)) hr = sourceNode->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, descriptor);
  if (SUCCEEDED(hr)) hr = sourceNode->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, stream.Get());
  if (SUCCEEDED(hr)) hr = topology->AddNode(sourceNode.Get());
  if (SUCCEEDED(hr)) hr = MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, &outputNode);
  if (SUCCEEDED(hr)) hr = outputNode->SetObject(renderer.Get());
  if (SUCCEEDED(hr)) hr = outputNode->SetUINT32(MF_TOPONODE_STREAMID, 0);
  if (SUCCEEDED(hr)) hr = outputNode->SetUINT32(MF_TOPONODE_NOSHUTDOWN_ON_REMOVE, FALSE);
  if (SUCCEEDED(hr)) hr = topology->AddNode(outputNode.Get());
  // The converter goes in after the source and the renderer: Wine's loader checks the nodes in
  // their order and fails a topology whose first node is neither.
  if (SUCCEEDED(hr) && converterNode && FAILED(topology->AddNode(converterNode.Get()))) converterNode.Reset();
  if (SUCCEEDED(hr) && converterNode) {
    hr = sourceNode->ConnectOutput(0, converterNode.Get(), 0);
    if (SUCCEEDED(hr)) hr = converterNode->ConnectOutput(0, outputNode.Get(), 0);
    if (SUCCEEDED(hr)) {
      ORVO_LOG_INFO("MediaFoundationPlayer::AddStreamBranch[%p]: stream %u decoded video goes to the renderer "
                    "through a video converter",
                    m_logOwner, static_cast<unsigned>(index));
    }
  } else if (SUCCEEDED(hr)) {
    hr = sourceNode->ConnectOutput(0, outputNode.Get(), 0);
  }
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("MediaFoundationPlayer::AddStreamBranch[%p]: stream %u left out 0x%X", m_logOwner,
                   static_cast<unsigned>(index), static_cast<unsigned>(hr));
  }
  return result;
}

HRESULT SessionTopologyBuilder::createAudioRenderer(IMFActivate** renderer) {
  if (!m_endpointChecked) {
    // Asked once per topology, when it has audio: a video-only presentation needs no endpoint.
    m_endpointChecked = true;
    m_audioEndpoint = m_chosenEndpoint;
    // A new presentation is built on the window's thread: without COM there the question would
    // fail and leave a good endpoint for the default one.
    if (!m_chosenEndpoint.empty()) InitializeComForThread();
    const HRESULT playable = m_chosenEndpoint.empty() ? S_OK : AudioEndpoint::CanPlay(m_chosenEndpoint);
    if (FAILED(playable)) {
      ORVO_LOG_ERROR("MediaFoundationPlayer::BuildTopology[%p]: audio endpoint '%S' cannot play (0x%X), playing on the "
                     "default endpoint instead",
                     m_logOwner, m_chosenEndpoint.c_str(), static_cast<unsigned>(playable));
      m_audioEndpoint.clear();
      m_fallbackError = playable;
      ++m_fallbacks;
    }
  }
  ComPtr<IMFActivate> activate;
  ORVO_RETURN_IF_FAILED(MFCreateAudioRendererActivate(&activate),
                        "MediaFoundationPlayer::AddStreamBranch[%p]: MFCreateAudioRendererActivate", m_logOwner);
  if (!m_audioEndpoint.empty()) {
    ORVO_RETURN_IF_FAILED(activate->SetString(MF_AUDIO_RENDERER_ATTRIBUTE_ENDPOINT_ID, m_audioEndpoint.c_str()),
                          "MediaFoundationPlayer::AddStreamBranch[%p]: MF_AUDIO_RENDERER_ATTRIBUTE_ENDPOINT_ID",
                          m_logOwner);
  }
  *renderer = activate.Detach();
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
