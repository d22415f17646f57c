// The audio output meets a new decoded format mid-stream. Wine's AAC decoder never reports one (it
// decodes every frame with the configuration it was opened with and passes no output format to
// read back, so the source reader never flags MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED), so the
// output is driven directly here, with real media types and samples on the tapped endpoint.
#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include "../audio/ToneSamples.h"
#include "AudioEndpointTap.h"
#include "CurrentTypeReader.h"
#include "Waiting.h"
#include "lowlatency/AudioOutput.h"
#include "render/WasapiRenderer.h"

using Microsoft::WRL::ComPtr;
using orvo_test::AudioEndpointTap;
using orvo_test::PcmFormat;

namespace {

const PcmFormat kFloatStereo48k = {48000, 2, 32, true};
const PcmFormat kPcm16Mono44k = {44100, 1, 16, false};

ComPtr<IMFSample> Prepared(ORVO::Media::AudioOutput& output, const PcmFormat& format, double seconds) {
  const std::vector<BYTE> tone = orvo_test::MakeTone(format, {{440.0, 0.5, seconds}});
  ComPtr<IMFSample> decoded = orvo_test::MakeSample(tone.data(), tone.size());
  IMFSample* prepared = nullptr;
  EXPECT_EQ(output.prepare(decoded.Get(), 0, 0, &prepared), S_OK);
  ComPtr<IMFSample> result;
  result.Attach(prepared);
  return result;
}

}  // namespace

TEST(AudioOutputTest, NewDecodedFormatMidStreamReopensTheEndpointAndDropsOldFormatSamples) {
  ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET), S_OK);
  AudioEndpointTap::Reset();
  ORVO::MediaFoundation::WasapiRenderer::SetDeviceEnumeratorFactory(&AudioEndpointTap::CreateEnumerator);
  {
    ORVO::Media::AudioOutput output(0, L"");
    ComPtr<IMFMediaType> first = orvo_test::MakeAudioType(kFloatStereo48k);
    ASSERT_EQ(output.onDecodedType(first.Get()), S_OK);
    ASSERT_EQ(output.open(), S_OK);
    ASSERT_EQ(AudioEndpointTap::audioClientsActivated(), 1);

    // The endpoint mixes 48 kHz stereo float: these bytes go out as they are.
    output.present(Prepared(output, kFloatStereo48k, 0.1).Get(), 0);
    // More than the small endpoint buffer holds: the rest goes as the rendering thread services it.
    const auto drained = [&](size_t bytes) {
      return orvo_test::WaitUntil([&] {
        output.service();
        return AudioEndpointTap::written().size() >= bytes;
      }, 5000);
    };
    EXPECT_TRUE(drained(4800u * 8));
    const size_t firstBytes = AudioEndpointTap::written().size();
    EXPECT_EQ(firstBytes, 4800u * 8);

    ComPtr<IMFSample> queuedBeforeChange = Prepared(output, kFloatStereo48k, 0.1);
    ComPtr<IMFMediaType> second = orvo_test::MakeAudioType(kPcm16Mono44k);
    ComPtr<IMFSourceReader> reader;
    reader.Attach(new orvo_test::CurrentTypeReader(second.Get()));
    ASSERT_EQ(output.onCurrentTypeChanged(reader.Get()), S_OK);
    ComPtr<IMFSample> afterChange = Prepared(output, kPcm16Mono44k, 0.2);

    // Float stereo read as 16-bit mono would be noise at twice the length: it is dropped.
    output.present(queuedBeforeChange.Get(), 0);
    EXPECT_EQ(AudioEndpointTap::written().size(), firstBytes);
    EXPECT_EQ(AudioEndpointTap::audioClientsActivated(), 1) << "nothing reopened for an old sample";

    output.present(afterChange.Get(), 0);
    EXPECT_EQ(AudioEndpointTap::audioClientsActivated(), 2) << "the endpoint is opened for the new format";
    drained(firstBytes + 9000u * 8);
    EXPECT_EQ(MFGetAttributeUINT32(output.presentationType().Get(), MF_MT_AUDIO_SAMPLES_PER_SECOND, 0), 44100u);
    // 0.2 s resampled to the 48 kHz stereo mix, less what the resampler still holds.
    const size_t resampled = AudioEndpointTap::written().size() - firstBytes;
    EXPECT_GT(resampled, 9000u * 8);
    EXPECT_LE(resampled, 9600u * 8);
    EXPECT_EQ(output.failure(), S_OK);
  }
  ORVO::MediaFoundation::WasapiRenderer::SetDeviceEnumeratorFactory(nullptr);
  AudioEndpointTap::Reset();
  MFShutdown();
}
