// The topology the engine hands the session: every selected stream straight to its renderer.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include <vector>

#include "SessionEngineFixture.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::SessionCommandQueue;
using session_test::kSecond;

using SessionTopologyBuilderTest = session_test::SessionEngineTest;

namespace {

int NeverCalled(int, unsigned char, IMFSample*, int) { return 1; }

ComPtr<IMFStreamDescriptor> describe(DWORD id, const GUID& major, const GUID& subtype) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, major);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (major == MFMediaType_Video) {
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 640, 360);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
  } else {
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 4);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 192000);
  }
  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[1] = {type.Get()};
  MFCreateStreamDescriptor(id, 1, types, &descriptor);
  ComPtr<IMFMediaTypeHandler> handler;
  descriptor->GetMediaTypeHandler(&handler);
  handler->SetCurrentMediaType(type.Get());
  return descriptor;
}

}  // namespace

TEST_F(SessionTopologyBuilderTest, OpenBuildsASourceToRendererTopologyAndWaitsForTheSession) {
  EXPECT_EQ(player->GetState(), Closed);
  open();
  EXPECT_EQ(player->GetState(), OpenPending);
  EXPECT_EQ(inFlight(SessionCommandQueue::SlotTransport), SessionCommandQueue::CommandOpen);
  EXPECT_EQ(fake->callList(), "SetTopology");
  // One audio stream: one source node connected straight to one audio renderer node.
  ASSERT_TRUE(fake->lastTopology);
  WORD nodes = 0;
  ASSERT_EQ(fake->lastTopology->GetNodeCount(&nodes), S_OK);
  ASSERT_EQ(nodes, 2);
  int sources = 0, outputs = 0;
  for (WORD i = 0; i < nodes; ++i) {
    ComPtr<IMFTopologyNode> node;
    ASSERT_EQ(fake->lastTopology->GetNode(i, &node), S_OK);
    MF_TOPOLOGY_TYPE type;
    node->GetNodeType(&type);
    if (type == MF_TOPOLOGY_SOURCESTREAM_NODE) {
      ++sources;
      ComPtr<IMFTopologyNode> downstream;
      DWORD input = 99;
      ASSERT_EQ(node->GetOutput(0, &downstream, &input), S_OK);
      MF_TOPOLOGY_TYPE downstreamType;
      downstream->GetNodeType(&downstreamType);
      EXPECT_EQ(downstreamType, MF_TOPOLOGY_OUTPUT_NODE);  // no decoder node in between
      EXPECT_EQ(input, 0u);
    } else if (type == MF_TOPOLOGY_OUTPUT_NODE) {
      ++outputs;
      ComPtr<IUnknown> object;
      ASSERT_EQ(node->GetObject(&object), S_OK);
      ComPtr<IMFActivate> activate;
      EXPECT_EQ(object.As(&activate), S_OK);
      UINT32 noShutdown = 7;
      EXPECT_EQ(node->GetUINT32(MF_TOPONODE_NOSHUTDOWN_ON_REMOVE, &noShutdown), S_OK);
      EXPECT_EQ(noShutdown, 0u);
    }
  }
  EXPECT_EQ(sources, 1);
  EXPECT_EQ(outputs, 1);
  // The duration is read from the presentation at open: 1 s of tone.
  EXPECT_NEAR(static_cast<double>(player->GetDuration()), static_cast<double>(kSecond), kSecond * 0.05);

  // Ready topology: Stopped, the open confirmed, the clock taken; playback does not start by itself.
  deliverTopologyReady();
  EXPECT_EQ(player->GetState(), Stopped);
  EXPECT_TRUE(player->inFlightCommands().empty());
  EXPECT_TRUE(player->hasPresentationClock());
  EXPECT_EQ(fake->callList(), "SetTopology");
}

TEST_F(SessionTopologyBuilderTest, HostFedAudioAndVideoBecomeTwoDirectBranches) {
  std::vector<ComPtr<IMFStreamDescriptor>> streams = {describe(0, MFMediaType_Audio, MFAudioFormat_PCM),
                                                      describe(1, MFMediaType_Video, MFVideoFormat_H264)};
  ASSERT_EQ(player->OpenURL(7, L"orvo://two-streams", streams, &NeverCalled), S_OK);
  EXPECT_EQ(player->GetState(), OpenPending);
  ASSERT_TRUE(fake->lastTopology);
  WORD nodes = 0;
  ASSERT_EQ(fake->lastTopology->GetNodeCount(&nodes), S_OK);
  ASSERT_EQ(nodes, 4);
  std::vector<GUID> majors;
  for (WORD i = 0; i < nodes; ++i) {
    ComPtr<IMFTopologyNode> node;
    fake->lastTopology->GetNode(i, &node);
    MF_TOPOLOGY_TYPE type;
    node->GetNodeType(&type);
    if (type != MF_TOPOLOGY_SOURCESTREAM_NODE) continue;
    ComPtr<IMFStreamDescriptor> stream;
    ASSERT_EQ(node->GetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, IID_PPV_ARGS(&stream)), S_OK);
    ComPtr<IMFMediaTypeHandler> handler;
    stream->GetMediaTypeHandler(&handler);
    GUID major;
    handler->GetMajorType(&major);
    majors.push_back(major);
    // Each source stream feeds its renderer directly: the session's loader adds the decoders.
    ComPtr<IMFTopologyNode> downstream;
    DWORD input = 0;
    ASSERT_EQ(node->GetOutput(0, &downstream, &input), S_OK);
    MF_TOPOLOGY_TYPE downstreamType;
    downstream->GetNodeType(&downstreamType);
    EXPECT_EQ(downstreamType, MF_TOPOLOGY_OUTPUT_NODE);
  }
  ASSERT_EQ(majors.size(), 2u);
  EXPECT_TRUE(majors[0] == MFMediaType_Audio || majors[1] == MFMediaType_Audio);
  EXPECT_TRUE(majors[0] == MFMediaType_Video || majors[1] == MFMediaType_Video);
}
