#include <gtest/gtest.h>

#include <mfidl.h>

#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "SourceTestSupport.h"
#include "WavReader.h"
#include "MediaFiles.h"

using namespace source_test;
using orvo_hostkit::HostFeeder;
using orvo_hostkit::WavReader;

using orvo_test::MediaPath;

namespace {

// Waits for a session event of the given type; fails on MEError or a failed status.
ComPtr<IMFMediaEvent> WaitForSessionEvent(IMFMediaSession* session, MediaEventType type, DWORD milliseconds,
                                           MediaEventType alternative = MEUnknown) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {
    ComPtr<IMFMediaEvent> event = NextEvent(session, milliseconds);
    if (!event) return nullptr;
    MediaEventType got = TypeOf(event.Get());
    HRESULT status = StatusOf(event.Get());
    if (got == MEError || FAILED(status)) {
      ADD_FAILURE() << "session event " << got << " failed 0x" << std::hex << status;
      return nullptr;
    }
    if (getenv("ORVO_TRACE_SESSION")) printf("session event %d status 0x%lx\n", static_cast<int>(got), status);
    if (got == type || (alternative != MEUnknown && got == alternative)) return event;
  }
  return nullptr;
}

}  // namespace

// The Media Session engine's path: the source opened with the host's descriptors inside a topology
// to the platform's audio renderer, played to its end.
TEST(MediaSessionPlayback, HostFedPcmPlaysToTheEndThroughASession) {
  std::unique_ptr<WavReader> wav(new WavReader);
  ASSERT_TRUE(wav->Open(MediaPath("tone-440hz-48k-stereo.wav")));
  const size_t blocks = wav->Count();
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  ASSERT_EQ(orvo_hostkit::DescribePcm(type.Get(), wav->format()), S_OK);

  const int playerId = 5151;
  HostFeeder feeder;
  feeder.AddStream(0, std::move(wav));
  HostFeeder::Register(playerId, &feeder);
  OrvoSource* source = nullptr;
  ASSERT_EQ(OrvoSource::CreateInstance(&source), S_OK);
  ASSERT_EQ(source->Open(playerId, L"orvo://host", {Descriptor(0, type.Get())}, &HostFeeder::Callback), S_OK);

  ComPtr<IMFMediaSession> session;
  ASSERT_EQ(MFCreateMediaSession(nullptr, &session), S_OK);
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(source->CreatePresentationDescriptor(&pd), S_OK);
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> sd;
  ASSERT_EQ(pd->GetStreamDescriptorByIndex(0, &selected, &sd), S_OK);

  ComPtr<IMFTopology> topology;
  ComPtr<IMFTopologyNode> sourceNode, outputNode;
  ComPtr<IMFActivate> renderer;
  ASSERT_EQ(MFCreateTopology(&topology), S_OK);
  ASSERT_EQ(MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, &sourceNode), S_OK);
  ComPtr<IMFMediaSource> mediaSource;
  source->QueryInterface(IID_PPV_ARGS(&mediaSource));
  sourceNode->SetUnknown(MF_TOPONODE_SOURCE, mediaSource.Get());
  sourceNode->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, pd.Get());
  sourceNode->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, sd.Get());
  ASSERT_EQ(MFCreateAudioRendererActivate(&renderer), S_OK);
  ASSERT_EQ(MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, &outputNode), S_OK);
  outputNode->SetObject(renderer.Get());
  topology->AddNode(sourceNode.Get());
  topology->AddNode(outputNode.Get());
  ASSERT_EQ(sourceNode->ConnectOutput(0, outputNode.Get(), 0), S_OK);
  ASSERT_EQ(session->SetTopology(0, topology.Get()), S_OK);
  ASSERT_TRUE(WaitForSessionEvent(session.Get(), MESessionTopologyStatus, 5000));

  PROPVARIANT start;
  PropVariantInit(&start);
  DWORD startedAt = GetTickCount();
  ASSERT_EQ(session->Start(&GUID_NULL, &start), S_OK);
  ASSERT_TRUE(WaitForSessionEvent(session.Get(), MESessionStarted, 5000));
  // The host's end of data ends the presentation; the session reports its end (Wine's session
  // passes the source's MEEndOfPresentation on and raises no MESessionEnded).
  EXPECT_TRUE(WaitForSessionEvent(session.Get(), MESessionEnded, 10000, MEEndOfPresentation));
  DWORD playedFor = GetTickCount() - startedAt;
  EXPECT_EQ(feeder.delivered(0), blocks) << "every block of the file went to the session";
  // Played, not just pushed through: the renderer consumes the 2 s at the audio clock's pace.
  EXPECT_GE(playedFor, 1500u);
  printf("2 s of PCM played through the session in %u ms\n", static_cast<unsigned>(playedFor));

  session->Close();
  WaitForSessionEvent(session.Get(), MESessionClosed, 2000);
  session->Shutdown();
  source->Shutdown();
  source->Release();
  HostFeeder::Unregister(playerId);
}
