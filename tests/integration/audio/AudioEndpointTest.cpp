// The audio endpoint a host chooses with SetAudioOutputDevice, heard on the test bed's two null
// sinks: orvo_sink, the default, and orvo_sink_b, which Wine shows as an endpoint of its own named
// after the sink's description. Each engine must play the tone on the chosen sink and leave the
// default one silent; an id that no endpoint has leaves the sound on the default sink, with Open
// answering Ok and an error event for the player as a whole.
#include <gtest/gtest.h>

#include <windows.h>
#include <strmif.h>
#include <mmdeviceapi.h>
#include <mfapi.h>
#include <wrl/client.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AdtsReader.h"
#include "AudioCapture.h"
#include "HostFeeder.h"
#include "HostMediaTypes.h"
#include "LogFile.h"
#include "MediaFiles.h"
#include "OrvoMedia.h"
#include "TestWindow.h"
#include "ToneWav.h"
#include "UnixCommand.h"
#include "Waiting.h"

using Microsoft::WRL::ComPtr;
using orvo_hostkit::HostFeeder;

namespace {

constexpr LONGLONG kSecond = 10000000;
// PKEY_Device_FriendlyName.
constexpr PROPERTYKEY kFriendlyName = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
// Shaped like an endpoint id, and no endpoint's.
const wchar_t kMissingEndpoint[] = L"{0.0.0.00000000}.{5D0C1A3E-77B2-4C1F-9E0A-000000000B0B}";

// The id of the active render endpoint called `name`, found as a host finds it; empty when there is
// none, with the names there are in *names.
std::wstring EndpointIdNamed(const std::wstring& name, std::wstring* names) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDeviceCollection> devices;
  UINT count = 0;
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator))) ||
      FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices)) ||
      FAILED(devices->GetCount(&count))) {
    return std::wstring();
  }
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    ComPtr<IPropertyStore> properties;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (FAILED(devices->Item(i, &device)) || FAILED(device->OpenPropertyStore(STGM_READ, &properties)) ||
        FAILED(properties->GetValue(kFriendlyName, &value))) {
      continue;
    }
    const std::wstring friendly = value.vt == VT_LPWSTR && value.pwszVal ? value.pwszVal : L"";
    PropVariantClear(&value);
    *names += L" '" + friendly + L"'";
    LPWSTR id = nullptr;
    if (friendly != name || FAILED(device->GetId(&id))) continue;
    const std::wstring found = id;
    CoTaskMemFree(id);
    return found;
  }
  return std::wstring();
}

// The host's event callback: what arrived, under a lock.
struct EventLog {
  std::mutex lock;
  std::vector<OrvoEvent> events;
  // The error event that tells of a chosen endpoint left for the default one.
  bool endpointError(HRESULT* error) {
    std::lock_guard<std::mutex> guard(lock);
    for (const OrvoEvent& event : events) {
      if (event.type == OrvoEventError && event.streamIndex == -1) {
        *error = event.error;
        return true;
      }
    }
    return false;
  }
  int errors() {
    std::lock_guard<std::mutex> guard(lock);
    int count = 0;
    for (const OrvoEvent& event : events) count += event.type == OrvoEventError ? 1 : 0;
    return count;
  }
};

std::string Narrow(const std::wstring& text) {
  std::string narrow(text.size() * 3 + 1, '\0');
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0],
                                         static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return narrow;
}

void RecordEvent(const OrvoEvent* event, void* context) {
  EventLog* log = static_cast<EventLog*>(context);
  std::lock_guard<std::mutex> guard(log->lock);
  log->events.push_back(*event);
}

// Both sinks recorded over the same span.
struct BothSinks {
  orvo_test::AudioCapture chosen{"orvo_sink_b.monitor"};
  orvo_test::AudioCapture byDefault;  // ORVO_AUDIO_MONITOR: orvo_sink's
  bool start(double seconds) { return chosen.start(seconds) && byDefault.start(seconds); }
  bool finish() {
    const bool first = chosen.finish();
    return byDefault.finish() && first;
  }
};

// The tone in the recording, after its onset (the recorder needs a moment to connect, and the
// sound may come to the sink during the recording).
void ExpectTone(const orvo_test::AudioCapture& loud) {
  const double from = loud.onset(0.05) + 0.1;
  ASSERT_LT(from + 0.5, loud.durationSeconds()) << "no tone on the sink that should play it";
  EXPECT_NEAR(loud.medianFrequency(0, from, from + 0.5), 440.0, 5.0);
  EXPECT_GT(loud.rms(0, from, from + 0.5), 0.03);  // the AAC tone: 0.06; silence stays below 0.01 peak
}

// The tone in `loud`, nothing at all in `quiet`.
void ExpectToneOnlyIn(const orvo_test::AudioCapture& loud, const orvo_test::AudioCapture& quiet, const char* what) {
  SCOPED_TRACE(what);
  ExpectTone(loud);
  ASSERT_GT(quiet.durationSeconds(), 1.0) << "the other sink's recording is too short to tell";
  EXPECT_LT(quiet.peak(0, 0.0, quiet.durationSeconds()), 0.01) << "the other sink played sound too";
  EXPECT_LT(quiet.peak(1, 0.0, quiet.durationSeconds()), 0.01) << "the other sink played sound too";
}

// Takes orvo_sink_b away as an unplugged device goes, and brings it back as scripts/testbed.sh
// loads it (same name, same description: the same endpoint id).
bool RemoveSinkB() {
  return orvo_test::UnixCommand::Run(
      "pactl unload-module $(pactl list short modules | awk '/sink_name=orvo_sink_b /{print $1}')", 10000);
}
bool RestoreSinkB() {
  return orvo_test::UnixCommand::Run(
      "pactl list short sinks | grep -q orvo_sink_b || pactl load-module module-null-sink sink_name=orvo_sink_b "
      "rate=48000 channels=2 sink_properties=device.description=orvo_sink_b >/dev/null",
      10000);
}

class AudioEndpoint : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SetLog(true); }

  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::wstring names;
    m_sinkB = EndpointIdNamed(L"orvo_sink_b", &names);
    ASSERT_FALSE(m_sinkB.empty()) << "no render endpoint named orvo_sink_b among" << Narrow(names);
  }
  void TearDown() override {
    closePlayer();
    RestoreSinkB();  // whatever a failed check left behind, the next test finds the sink there
  }

  void closePlayer() {
    if (m_feeder) m_feeder->Abort();
    if (m_id) {
      EXPECT_EQ(Close(m_id), Ok);
    }
    HostFeeder::Unregister(m_id);
    m_id = 0;
  }

  // Before Close: the host hears of the fallback (or, for an endpoint that plays, of no error).
  void expectFallbackEvent(bool expected) {
    HRESULT error = S_OK;
    if (!expected) {
      EXPECT_EQ(m_events.errors(), 0) << "an endpoint that plays is no error";
      return;
    }
    EXPECT_TRUE(orvo_test::WaitUntil([&] { return m_events.endpointError(&error); }, 2000))
        << "the host is told that its endpoint was not used";
    EXPECT_TRUE(FAILED(error)) << std::hex << error;
  }

  // A player with its endpoint chosen and the event log registered; the engine as asked.
  void create(const std::wstring& endpoint, bool lowLatency) {
    {
      std::lock_guard<std::mutex> guard(m_events.lock);
      m_events.events.clear();
    }
    ASSERT_EQ(Create(&m_id), Ok);
    ASSERT_EQ(SetEventCallback(m_id, &RecordEvent, &m_events), Ok);
    ASSERT_EQ(UseLowLatencyRenderer(m_id, lowLatency), Ok);
    ASSERT_EQ(SetAudioOutputDevice(m_id, 0, endpoint.c_str()), Ok);
  }

  // The low-latency engine playing the AAC tone fed live, recorded on both sinks until the engine
  // has played three seconds of it; it goes on playing.
  void playLowLatency(const std::wstring& endpoint, BothSinks* sinks) {
    create(endpoint, true);
    HostFeeder::Options options;
    options.realTime = true;
    options.loop = true;
    m_feeder.reset(new HostFeeder(options));
    std::unique_ptr<orvo_hostkit::AdtsReader> reader(new orvo_hostkit::AdtsReader());
    ASSERT_TRUE(reader->Open(orvo_test::MediaPath("tone-440hz-48k-stereo.aac")));
    IMFMediaType* type = nullptr;
    ASSERT_EQ(CreateMediaType(m_id, &type), Ok);
    ASSERT_EQ(orvo_hostkit::DescribeAac(type, reader->format()), S_OK);
    ASSERT_EQ(AddMediaType(m_id, type), Ok);
    type->Release();
    m_feeder->AddStream(0, std::move(reader));
    HostFeeder::Register(m_id, m_feeder.get());
    ASSERT_EQ(SetCallback(m_id, &HostFeeder::Callback), Ok);
    ASSERT_EQ(Open(m_id, L"orvo://live"), Ok) << "a chosen endpoint never fails the Open";
    ASSERT_EQ(IsStreamActive(m_id, 0), Ok);
    ASSERT_TRUE(sinks->start(5.0));
    ASSERT_EQ(Play(m_id), Ok);
    OrvoStreamStatistics statistics = {};
    statistics.size = sizeof(statistics);
    const ULONGLONG deadline = GetTickCount64() + 10000;
    // An AAC frame is 1024 samples: 141 of them are three seconds.
    while (GetTickCount64() < deadline && (GetStatistics(m_id, 0, &statistics) != Ok || statistics.presented < 141)) {
      Sleep(20);
    }
    EXPECT_GE(statistics.presented, 141u) << "the tone did not play for 3 s";
    EXPECT_EQ(GetState(m_id), Started);
    ASSERT_TRUE(sinks->finish());
  }

  // The Media Session engine playing a tone file, recorded on both sinks until the session's clock
  // has passed three seconds.
  void playSession(const std::wstring& endpoint, bool fallsBack, BothSinks* sinks) {
    static const std::wstring tone = orvo_test::WorkingFilePath(L"endpoint-tone-8s.wav");
    static const bool written = orvo_test::WriteToneWav(tone, 8.0, 440.0, 2, 48000, 0.5);
    ASSERT_TRUE(written);
    orvo_test::TestWindow window(160, 120, L"audio endpoint");
    create(endpoint, false);
    ASSERT_EQ(SetPreviewWindow(m_id, window.hwnd()), Ok);
    ASSERT_EQ(Open(m_id, tone.c_str()), Ok) << "a chosen endpoint never fails the Open";
    ASSERT_TRUE(sinks->start(5.0));
    ASSERT_EQ(Play(m_id), Ok);
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (GetTickCount64() < deadline && GetPosition(m_id) < 3 * kSecond) window.pump(20);
    EXPECT_GE(GetPosition(m_id), 3 * kSecond) << "state " << GetState(m_id);
    EXPECT_EQ(GetState(m_id), Started);
    ASSERT_TRUE(sinks->finish());
    expectFallbackEvent(fallsBack);
    closePlayer();
    window.pump(0);
  }

  std::wstring m_sinkB;
  int m_id = 0;
  EventLog m_events;
  std::unique_ptr<HostFeeder> m_feeder;
};

TEST_F(AudioEndpoint, LowLatencyPlaysOnTheChosenEndpointFollowsItAwayAndBackAndFallsBackWhenItIsMissing) {
  {
    BothSinks sinks;
    playLowLatency(m_sinkB, &sinks);
    ExpectToneOnlyIn(sinks.chosen, sinks.byDefault, "orvo_sink_b chosen");
    expectFallbackEvent(false);

    // The chosen sink goes away while playing: the default one takes the sound, the host is told.
    orvo_test::AudioCapture byDefault;
    ASSERT_TRUE(byDefault.start(4.0));
    ASSERT_TRUE(RemoveSinkB());
    expectFallbackEvent(true);
    ASSERT_TRUE(byDefault.finish());
    {
      SCOPED_TRACE("orvo_sink_b gone");
      ExpectTone(byDefault);
    }
    EXPECT_EQ(GetState(m_id), Started);

    // It comes back: the sound returns to it, and leaves the default sink.
    const size_t logStart = orvo_test::LogSize();
    ASSERT_TRUE(RestoreSinkB());
    EXPECT_TRUE(orvo_test::WaitUntil(
        [&] { return orvo_test::ReadLog(logStart).find("is back, playing on it again") != std::string::npos; }, 5000))
        << "the sound did not move back to orvo_sink_b";
    BothSinks back;
    ASSERT_TRUE(back.start(3.0));
    ASSERT_TRUE(back.finish());
    ExpectToneOnlyIn(back.chosen, back.byDefault, "orvo_sink_b back");
    closePlayer();
  }
  {
    BothSinks sinks;
    playLowLatency(kMissingEndpoint, &sinks);
    ExpectToneOnlyIn(sinks.byDefault, sinks.chosen, "a missing endpoint chosen");
    expectFallbackEvent(true);
    closePlayer();
  }
}

TEST_F(AudioEndpoint, MediaSessionPlaysOnTheChosenEndpointAndOnTheDefaultWhenItIsMissing) {
  {
    BothSinks sinks;
    playSession(m_sinkB, false, &sinks);
    ExpectToneOnlyIn(sinks.chosen, sinks.byDefault, "orvo_sink_b chosen");
  }
  {
    BothSinks sinks;
    playSession(kMissingEndpoint, true, &sinks);
    ExpectToneOnlyIn(sinks.byDefault, sinks.chosen, "a missing endpoint chosen");
  }
}

}  // namespace
