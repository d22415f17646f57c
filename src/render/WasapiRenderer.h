#pragma once

#include <windows.h>
// strmif.h must come before audioclient.h: with mingw-w64, ksmedia.h (pulled in by audioclient.h)
// followed by strmif.h (pulled in by common/Guids.h) redefines TIMECODE_SAMPLE.
#include <strmif.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <audiopolicy.h>
#include <mfobjects.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ORVO {
namespace MediaFoundation {

// Plays the decoded audio of one low-latency stream on one render endpoint (the default console
// one, or the one with a given id) through shared-mode WASAPI. Audio whose format differs from the
// endpoint's mix format goes through the platform's audio resampler first; volume and balance are
// applied to the samples in software.
// Audio the endpoint buffer cannot take yet waits in a staging buffer for the next Render call,
// so nothing handed in is dropped while the device works.
//
// Threads: used by one thread at a time and has no lock of its own. Initialize runs on the thread
// that builds the stream; Render, SetVolume and SetBalance on the stream's rendering thread; the
// destructor after that thread was joined. COM must be initialised on each of those threads.
class WasapiRenderer {
 public:
  // Creates the device enumerator Initialize starts from. Tests replace it to put a fault-injecting
  // endpoint between the renderer and the platform; hosts never see it.
  using DeviceEnumeratorFactory = HRESULT (*)(IMMDeviceEnumerator** enumerator);
  // Installs a factory (null restores the platform's) and returns the one it replaces.
  static DeviceEnumeratorFactory SetDeviceEnumeratorFactory(DeviceEnumeratorFactory factory);

  WasapiRenderer();
  ~WasapiRenderer();
  WasapiRenderer(const WasapiRenderer&) = delete;
  WasapiRenderer& operator=(const WasapiRenderer&) = delete;

  // Opens the render endpoint with the id audioDeviceId (the default console one when it is empty)
  // in shared mode with a small buffer (kBufferDuration), sets up the resampler when the decoded
  // type differs from the mix format, and starts the client. The decoded type must be uncompressed
  // PCM or IEEE float audio. An id that no active endpoint has fails (AudioEndpoint::Find); the
  // caller decides whether the default endpoint takes over.
  HRESULT Initialize(IMFMediaType* decodedType, const std::wstring& audioDeviceId);
  // Converts the sample if needed, applies volume and balance, stages it and writes as much staged
  // audio as the endpoint has room for. S_OK also when the endpoint is full (the audio stays
  // staged). A failure leaves the staged audio in place.
  HRESULT Render(IMFSample* sample);

  // How a sample is fitted onto the endpoint's timeline (see Render below).
  struct Placement {
    uint32_t silenceFrames = 0;  // silence staged in front of the sample
    uint32_t dropFrames = 0;     // staged frames (the sample's included) left out, cut where it is quietest
    double speed = 1.0;          // >1: the sample is staged this much shorter (a slight speed-up)
  };
  // What a placed Render did, in mix-format frames.
  struct Placed {
    uint32_t inserted = 0;
    uint32_t dropped = 0;
    uint32_t saved = 0;  // frames the speed-up took out
  };
  HRESULT Render(IMFSample* sample, const Placement& placement, Placed* placed);
  // Writes staged audio the endpoint has room for now; the rendering thread calls it between
  // samples, so a small endpoint buffer never runs dry while a sample waits for its time.
  HRESULT Service();
  // 100-ns ticks of audio written and not yet heard: what the endpoint holds (*endpoint) and what
  // waits in the staging buffer (*staged). The next staged frame is heard after both plus
  // streamLatency().
  HRESULT QueuedAhead(int64_t* endpoint, int64_t* staged);
  // The endpoint's own latency beyond its buffer (GetStreamLatency) and its period, 100-ns ticks.
  int64_t streamLatency() const { return m_streamLatency; }
  int64_t devicePeriod() const { return m_devicePeriod; }
  uint32_t mixRate() const { return m_pMixFormat ? m_pMixFormat->nSamplesPerSec : 0; }
  // The shared-mode buffer asked of the endpoint, 100-ns ticks. Small on purpose: some backends
  // play a frame only once the whole buffer has filled, so a large one would be a fixed delay.
  static constexpr int64_t kBufferDuration = 400000;
  // Linear gain for the samples handed in from now on; 1.0 leaves them untouched, values above 1
  // amplify and clip. Negative values count as 0.
  void SetVolume(double volume);
  // 0.0 only the left channels, 0.5 centre, 1.0 only the right channels (even channel indexes
  // are left, odd ones right); applies to the samples handed in from now on.
  void SetBalance(double balance);

  // A second of frames (at least the endpoint buffer) x block alignment of the decoded type: the
  // buffer size the audio stream uses for its decoded samples.
  int32_t decodedBufferBytes() const { return m_decodedBufferBytes; }
  int32_t outputBufferBytes() const { return m_outputBufferBytes; }
  int32_t bufferFrames() const { return m_bufferFrames; }
  int32_t mixBlockAlign() const { return m_mixBlockAlign; }
  bool mixIsFloat() const { return m_mixIsFloat; }
  const WAVEFORMATEX* mixFormat() const { return m_pMixFormat.get(); }
  bool usesResampler() const { return m_pResampler != nullptr; }
  size_t pendingBytes() const { return m_pendingBytes; }
  float volume() const { return m_volume; }
  float balance() const { return m_balance; }

  // Upper bound of the staging buffer, in seconds of mix-format audio. Beyond it Render refuses
  // new samples with an error instead of growing without end behind a stalled endpoint.
  static constexpr int kMaxPendingSeconds = 10;

 private:
  HRESULT checkDecodedType(IMFMediaType* decodedType, UINT32* rate, UINT32* channels, UINT32* bits,
                           UINT32* blockAlign, GUID* subtype);
  HRESULT createResampler(IMFMediaType* decodedType, const GUID& mixSubtype);
  // Looks up this process's audio session; the search never changes Initialize's result.
  void findSessionVolume();
  // Feeds one sample through the resampler and stages everything it produces.
  HRESULT resample(IMFSample* sample);
  // Appends data in mix format to the staging buffer, scaled by volume and balance.
  // Copies a sample's audio into the staging buffer; staged receives the bytes taken (0 for an
  // empty buffer).
  HRESULT stageSample(IMFSample* sample, size_t* staged);
  HRESULT stage(const BYTE* data, size_t length);
  // Writes as much staged audio as the endpoint has room for.
  HRESULT writeStaged();
  // Grows the staging buffer to hold `needed` bytes, keeping what it holds.
  HRESULT reserveStaging(size_t needed);
  HRESULT stageSilence(uint32_t frames);
  // Shortens the staged bytes from `from` on by `speed`; returns the frames taken out.
  uint32_t stretchStaged(size_t from, double speed);
  // Cuts `frames` staged frames at the quietest point; returns how many went.
  uint32_t dropStaged(uint32_t frames);

  Microsoft::WRL::ComPtr<IMMDevice> m_pDevice;
  Microsoft::WRL::ComPtr<IAudioClient> m_pAudioClient;
  Microsoft::WRL::ComPtr<IAudioRenderClient> m_pRenderClient;
  struct CoTaskMemDeleter {
    void operator()(void* memory) const { CoTaskMemFree(memory); }
  };
  std::unique_ptr<WAVEFORMATEX, CoTaskMemDeleter> m_pMixFormat;
  int32_t m_decodedBufferBytes = 0;
  int32_t m_outputBufferBytes = 0;
  int32_t m_mixBlockAlign = 0;
  int32_t m_bufferFrames = 0;
  bool m_mixIsFloat = false;
  Microsoft::WRL::ComPtr<IMFTransform> m_pResampler;
  // Reused for every resampler output so steady playback allocates nothing per sample.
  Microsoft::WRL::ComPtr<IMFSample> m_pResamplerOutput;
  std::unique_ptr<BYTE[]> m_pending;
  size_t m_pendingCapacity = 0;
  size_t m_pendingBytes = 0;
  float m_volume = 1.0f;
  float m_balance = 0.5f;
  bool m_softwareVolume = true;
  int64_t m_streamLatency = 0;
  int64_t m_devicePeriod = 100000;
  bool m_initialized = false;
  // Set once the endpoint reported that it is gone; every later Render fails at once.
  bool m_deviceLost = false;
  std::wstring m_audioDeviceId;
};

}  // namespace MediaFoundation
}  // namespace ORVO
