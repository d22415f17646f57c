#include "render/WasapiRenderer.h"

#include <mfapi.h>
#include <mferror.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>

#include "common/ComAdopt.h"
#include "common/Guids.h"
#include "log/Log.h"
#include "render/AudioEdit.h"
#include "render/AudioEndpoint.h"
#include "render/AudioMath.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

namespace {

// Quality of the platform resampler: half the length of its interpolation filter.
constexpr LONG kResamplerHalfFilterLength = 60;
// A resampler that keeps handing out output without asking for input is broken; stop draining it
// after this many buffers (each holds a whole endpoint buffer) rather than spin.
constexpr int kMaxOutputsPerInput = 16;
// AUDCLNT_S_NO_SINGLE_PROCESS (a session shared by several processes); mingw-w64 lacks it.
constexpr HRESULT kNoSingleProcess = static_cast<HRESULT>(0x0889000D);

HRESULT createPlatformEnumerator(IMMDeviceEnumerator** enumerator) {
  return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(enumerator));
}

std::atomic<WasapiRenderer::DeviceEnumeratorFactory> g_enumeratorFactory{&createPlatformEnumerator};

bool isDeviceGone(HRESULT hr) {
  return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING;
}

}  // namespace

WasapiRenderer::DeviceEnumeratorFactory WasapiRenderer::SetDeviceEnumeratorFactory(DeviceEnumeratorFactory factory) {
  return g_enumeratorFactory.exchange(factory ? factory : &createPlatformEnumerator);
}

WasapiRenderer::WasapiRenderer() = default;

WasapiRenderer::~WasapiRenderer() {
  if (m_pAudioClient) m_pAudioClient->Stop();
  if (m_pResampler) m_pResampler->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
  m_pResamplerOutput.Reset();
  m_pResampler.Reset();
  m_pending.reset();
  m_pRenderClient.Reset();
  m_pAudioClient.Reset();
  m_pMixFormat.reset();
  m_pDevice.Reset();
}

HRESULT WasapiRenderer::checkDecodedType(IMFMediaType* decodedType, UINT32* rate, UINT32* channels, UINT32* bits,
                                         UINT32* blockAlign, GUID* subtype) {
  HRESULT hr = decodedType->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
  LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_SAMPLES_PER_SECOND", this);
  hr = decodedType->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
  LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_NUM_CHANNELS", this);
  hr = decodedType->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, bits);
  LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_BITS_PER_SAMPLE", this);
  hr = decodedType->GetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, blockAlign);
  LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_BLOCK_ALIGNMENT", this);
  hr = decodedType->GetGUID(MF_MT_SUBTYPE, subtype);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MF_MT_SUBTYPE", this)) return hr;
  // Checked here rather than left to the endpoint or the resampler: a compressed or incomplete
  // type would otherwise fail somewhere deep inside with a code that does not say why, or (when it
  // happened to match the mix format) stream garbage to the speakers.
  GUID major = GUID_NULL;
  decodedType->GetGUID(MF_MT_MAJOR_TYPE, &major);
  const bool uncompressed = *subtype == MFAudioFormat_PCM || *subtype == MFAudioFormat_Float;
  if (major != MFMediaType_Audio || !uncompressed || *rate == 0 || *channels == 0 ||
      *channels > static_cast<UINT32>(AudioMath::kMaxChannels) || *bits == 0 || *blockAlign == 0 ||
      *blockAlign < *channels * ((*bits + 7) / 8)) {
    ORVO_LOG_DEBUG(
        "WasapiRenderer::Initialize[%p]: unsupported media type (audio %d, PCM or float %d, rate %u, channels %u, "
        "bits %u, block alignment %u) failed 0x%X",
        this, major == MFMediaType_Audio ? 1 : 0, uncompressed ? 1 : 0, *rate, *channels, *bits, *blockAlign,
        (unsigned)MF_E_INVALIDMEDIATYPE);
    return MF_E_INVALIDMEDIATYPE;
  }
  return S_OK;
}

HRESULT WasapiRenderer::Initialize(IMFMediaType* decodedType, const std::wstring& audioDeviceId) {
  if (!decodedType) {
    ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: no media type failed 0x%X", this, (unsigned)E_POINTER);
    return E_POINTER;
  }
  if (m_pAudioClient) {
    ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: already initialised failed 0x%X", this, (unsigned)MF_E_INVALIDREQUEST);
    return MF_E_INVALIDREQUEST;
  }
  m_audioDeviceId = audioDeviceId;

  UINT32 rate = 0, channels = 0, bits = 0, blockAlign = 0;
  GUID subtype = GUID_NULL;
  HRESULT hr = checkDecodedType(decodedType, &rate, &channels, &bits, &blockAlign, &subtype);
  if (FAILED(hr)) return hr;

  ComPtr<IMMDeviceEnumerator> pEnumerator;
  hr = g_enumeratorFactory.load()(&pEnumerator);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: CoCreateInstance", this)) return hr;
  hr = AudioEndpoint::Find(pEnumerator.Get(), m_audioDeviceId, &m_pDevice);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: endpoint '%S'", this, m_audioDeviceId.c_str())) return hr;
  hr = m_pDevice->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(m_pAudioClient.GetAddressOf()));
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: m_pDevice->Activate", this)) return hr;
  WAVEFORMATEX* mixFormat = nullptr;
  hr = m_pAudioClient->GetMixFormat(&mixFormat);
  m_pMixFormat.reset(mixFormat);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: m_pAudioClient->GetMixFormat", this)) return hr;
  hr = m_pAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, kBufferDuration, 0, m_pMixFormat.get(), nullptr);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: m_pAudioClient->Initialize", this)) return hr;
  UINT32 frames = 0;
  hr = m_pAudioClient->GetBufferSize(&frames);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: m_pAudioClient->GetBufferSize", this)) return hr;
  REFERENCE_TIME latency = 0, period = 0, minimum = 0;
  if (SUCCEEDED(m_pAudioClient->GetStreamLatency(&latency)) && latency > 0) m_streamLatency = latency;
  if (SUCCEEDED(m_pAudioClient->GetDevicePeriod(&period, &minimum)) && period > 0) m_devicePeriod = period;
  hr = m_pAudioClient->GetService(IID_PPV_ARGS(&m_pRenderClient));
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: m_pAudioClient->GetService", this)) return hr;
  hr = m_pAudioClient->Start();
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: m_pAudioClient->Start", this)) return hr;

  // Samples stay sized for a second of audio: the endpoint buffer is kept small for latency, not
  // because the stream hands over less at a time.
  const UINT32 sampleFrames = frames > m_pMixFormat->nSamplesPerSec ? frames : m_pMixFormat->nSamplesPerSec;
  m_decodedBufferBytes = static_cast<int32_t>(sampleFrames * blockAlign);
  m_outputBufferBytes = static_cast<int32_t>(sampleFrames * m_pMixFormat->nBlockAlign);
  m_bufferFrames = static_cast<int32_t>(frames);
  m_mixBlockAlign = m_pMixFormat->nBlockAlign;

  const GUID mixSubtype = AudioMath::SubtypeOf(*m_pMixFormat);
  m_mixIsFloat = mixSubtype == MFAudioFormat_Float;
  if (AudioMath::SampleFormatOf(*m_pMixFormat) == AudioMath::SampleFormat::Unsupported) {
    // Scaling samples of an unknown layout would corrupt them; play them at unity instead.
    ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: mix format tag 0x%X with %u bits cannot be scaled, volume and balance are not applied",
                   this, (unsigned)m_pMixFormat->wFormatTag, (unsigned)m_pMixFormat->wBitsPerSample);
    m_softwareVolume = false;
  }
  ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: decoded %u Hz %u channels %u bits, mix %u Hz %u channels %u bits, buffer %u frames, "
                 "latency %lld us, period %lld us",
                 this, rate, channels, bits, (unsigned)m_pMixFormat->nSamplesPerSec, (unsigned)m_pMixFormat->nChannels,
                 (unsigned)m_pMixFormat->wBitsPerSample, frames, static_cast<long long>(m_streamLatency / 10),
                 static_cast<long long>(m_devicePeriod / 10));

  const AudioMath::StreamFormat decoded = {subtype, rate, channels, bits, blockAlign};
  if (AudioMath::NeedsResampler(decoded, mixSubtype, *m_pMixFormat)) {
    hr = createResampler(decodedType, mixSubtype);
    if (FAILED(hr)) {
      m_pResampler.Reset();
      return hr;
    }
  }

  findSessionVolume();
  m_initialized = true;
  return S_OK;
}

HRESULT WasapiRenderer::createResampler(IMFMediaType* decodedType, const GUID& mixSubtype) {
  ComPtr<IUnknown> spTransformUnk;
  HRESULT hr = CoCreateInstance(kCLSID_CResamplerMediaObject, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&spTransformUnk));
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: CoCreateInstance(CLSID_CResamplerMediaObject)", this)) return hr;
  hr = spTransformUnk.As(&m_pResampler);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: spTransformUnk->QueryInterface(IID_PPV_ARGS(&pSourceState->m_pResampler))", this)) return hr;
  // The filter length only tunes quality: a resampler without the interface (Wine's has none)
  // still converts correctly at its default quality, which beats refusing the stream.
  ComPtr<IWMResamplerProps> spResamplerProps;
  hr = spTransformUnk.As(&spResamplerProps);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: spTransformUnk->QueryInterface(IID_PPV_ARGS(&spResamplerProps)) failed 0x%X",
                   this, (unsigned)hr);
  }
  if (SUCCEEDED(hr)) {
    hr = spResamplerProps->SetHalfFilterLength(kResamplerHalfFilterLength);
    LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: SetHalfFilterLength", this);
  }
  hr = m_pResampler->SetInputType(0, decodedType, 0);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: SetInputType", this)) return hr;

  ComPtr<IMFMediaType> pOutputType;
  hr = MFCreateMediaType(&pOutputType);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MFCreateMediaType", this)) return hr;
  const WAVEFORMATEX& mix = *m_pMixFormat;
  struct Setting {
    const GUID& key;
    UINT32 value;
    const char* message;
  };
  if (FAILED(hr = pOutputType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio)))
    ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: MF_MT_MAJOR_TYPE failed 0x%X", this, (unsigned)hr);
  if (FAILED(hr = pOutputType->SetGUID(MF_MT_SUBTYPE, mixSubtype)))
    ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: MF_MT_SUBTYPE failed 0x%X", this, (unsigned)hr);
  const Setting settings[] = {
      {MF_MT_AUDIO_PREFER_WAVEFORMATEX, 1, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_PREFER_WAVEFORMATEX failed 0x%X"},
      {MF_MT_AUDIO_NUM_CHANNELS, mix.nChannels, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_NUM_CHANNELS failed 0x%X"},
      {MF_MT_AUDIO_SAMPLES_PER_SECOND, mix.nSamplesPerSec, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_SAMPLES_PER_SECOND failed 0x%X"},
      {MF_MT_AUDIO_BITS_PER_SAMPLE, mix.wBitsPerSample, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_BITS_PER_SAMPLE failed 0x%X"},
      {MF_MT_AUDIO_BLOCK_ALIGNMENT, mix.nBlockAlign, "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_BLOCK_ALIGNMENT failed 0x%X"},
      {MF_MT_AUDIO_AVG_BYTES_PER_SECOND, static_cast<UINT32>(mix.nBlockAlign) * mix.nSamplesPerSec,
       "WasapiRenderer::Initialize[%p]: MF_MT_AUDIO_AVG_BYTES_PER_SECOND failed 0x%X"},
      {MF_MT_ALL_SAMPLES_INDEPENDENT, 1, "WasapiRenderer::Initialize[%p]: MF_MT_ALL_SAMPLES_INDEPENDENT failed 0x%X"},
      {MF_MT_FIXED_SIZE_SAMPLES, 1, "WasapiRenderer::Initialize[%p]: MF_MT_FIXED_SIZE_SAMPLES failed 0x%X"},
  };
  for (const Setting& setting : settings) {
    hr = pOutputType->SetUINT32(setting.key, setting.value);
    if (FAILED(hr)) ORVO_LOG_DEBUG(setting.message, this, (unsigned)hr);
  }
  if (FAILED(hr)) return hr;  // MF_MT_FIXED_SIZE_SAMPLES, the last one: the others are logged only

  hr = m_pResampler->SetOutputType(0, pOutputType.Get(), 0);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: pSourceState->m_pResampler->SetOutputType", this)) return hr;
  hr = m_pResampler->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MFT_MESSAGE_COMMAND_FLUSH", this);
  hr = m_pResampler->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
  LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MFT_MESSAGE_NOTIFY_BEGIN_STREAMING", this);
  hr = m_pResampler->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: MFT_MESSAGE_NOTIFY_START_OF_STREAM", this)) return hr;
  return S_OK;
}

void WasapiRenderer::findSessionVolume() {
  ComPtr<IAudioSessionManager2> pSessManager;
  HRESULT hr = m_pDevice->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void**>(pSessManager.GetAddressOf()));
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: m_pDevice->Activate", this)) return;
  ComPtr<IAudioSessionEnumerator> pSessEnum;
  hr = pSessManager->GetSessionEnumerator(&pSessEnum);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: pSessManager->GetSessionEnumerator", this)) return;
  int count = 0;
  hr = pSessEnum->GetCount(&count);
  if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: pSessEnum->GetCount", this)) return;
  const DWORD currentProcess = GetCurrentProcessId();
  for (int i = 0; i < count; ++i) {
    ComPtr<IAudioSessionControl> pSessControl;
    hr = pSessEnum->GetSession(i, &pSessControl);
    if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: pSessEnum->GetSession(%d)", this, i)) return;
    AudioSessionState state;
    hr = pSessControl->GetState(&state);
    if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: pSessControl->GetState(%d)", this, i)) return;
    ComPtr<IAudioSessionControl2> pSessControl2;
    hr = pSessControl.As(&pSessControl2);
    if (LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: pSessControl->QueryInterface(IAudioSessionControl2,%d)", this, i)) return;
    DWORD processId = 0;
    hr = pSessControl2->GetProcessId(&processId);
    if (hr != S_OK && hr != kNoSingleProcess) {
      ORVO_LOG_DEBUG("WasapiRenderer::Initialize[%p]: pSessControl2->GetProcessId(%d) failed 0x%X", this, i, (unsigned)hr);
      return;
    }
    if (processId != currentProcess) continue;
    // Volume is applied in software: the session's volume interface is asked for, not kept.
    ComPtr<ISimpleAudioVolume> sessionVolume;
    hr = pSessControl.As(&sessionVolume);
    LogIfFailed(hr, "WasapiRenderer::Initialize[%p]: pSessControl->QueryInterface(%d)", this, i);
    return;
  }
}

void WasapiRenderer::SetVolume(double volume) {
  if (std::isnan(volume)) {
    ORVO_LOG_DEBUG("WasapiRenderer::SetVolume[%p]: volume is not a number, kept %f", this, (double)m_volume);
    return;
  }
  m_volume = volume > 0.0 ? static_cast<float>(volume) : 0.0f;
}

void WasapiRenderer::SetBalance(double balance) {
  if (std::isnan(balance)) {
    ORVO_LOG_DEBUG("WasapiRenderer::SetBalance[%p]: balance is not a number, kept %f", this, (double)m_balance);
    return;
  }
  m_balance = static_cast<float>(balance < 0.0 ? 0.0 : balance > 1.0 ? 1.0 : balance);
}

HRESULT WasapiRenderer::Render(IMFSample* sample) { return Render(sample, Placement(), nullptr); }

HRESULT WasapiRenderer::Render(IMFSample* sample, const Placement& placement, Placed* placed) {
  if (placed) *placed = Placed();
  if (!sample) {
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: no sample failed 0x%X", this, (unsigned)E_POINTER);
    return E_POINTER;
  }
  if (!m_initialized) {
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: not initialised failed 0x%X", this, (unsigned)MF_E_NOT_INITIALIZED);
    return MF_E_NOT_INITIALIZED;
  }
  if (m_deviceLost) {
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: audio device is gone failed 0x%X", this, (unsigned)AUDCLNT_E_DEVICE_INVALIDATED);
    return AUDCLNT_E_DEVICE_INVALIDATED;
  }
  DWORD totalLength = 0;
  HRESULT hr = sample->GetTotalLength(&totalLength);
  if (FAILED(hr) || totalLength == 0) {
    const HRESULT result = FAILED(hr) ? hr : E_INVALIDARG;
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: empty sample failed 0x%X", this, (unsigned)result);
    // The staged audio still moves on: this call may be the only one for a while.
    hr = writeStaged();
    return FAILED(hr) ? hr : result;
  }

  const size_t maxPending = AudioMath::BytesForSeconds(m_pMixFormat->nSamplesPerSec, m_mixBlockAlign, kMaxPendingSeconds);
  if (m_pendingBytes > maxPending) {
    hr = writeStaged();
    if (FAILED(hr)) return hr;
    if (m_pendingBytes > maxPending) {
      ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: endpoint stalled, %u bytes staged, sample refused failed 0x%X", this,
                     (unsigned)m_pendingBytes, (unsigned)MF_E_NOTACCEPTING);
      return MF_E_NOTACCEPTING;
    }
  }

  if (placement.silenceFrames) {
    hr = stageSilence(placement.silenceFrames);
    if (FAILED(hr)) return hr;
    if (placed) placed->inserted = placement.silenceFrames;
  }
  const size_t before = m_pendingBytes;
  if (m_pResampler) {
    hr = resample(sample);
    if (FAILED(hr)) return hr;
  } else {
    size_t staged = 0;
    hr = stageSample(sample, &staged);
    if (FAILED(hr)) return hr;
  }
  const uint32_t saved = placement.speed > 1.0 ? stretchStaged(before, placement.speed) : 0;
  const uint32_t dropped = placement.dropFrames ? dropStaged(placement.dropFrames) : 0;
  if (placed) {
    placed->saved = saved;
    placed->dropped = dropped;
  }
  return writeStaged();
}

HRESULT WasapiRenderer::Service() {
  if (!m_initialized || m_deviceLost) return m_deviceLost ? AUDCLNT_E_DEVICE_INVALIDATED : MF_E_NOT_INITIALIZED;
  return m_pendingBytes ? writeStaged() : S_OK;
}

HRESULT WasapiRenderer::QueuedAhead(int64_t* endpoint, int64_t* staged) {
  *endpoint = *staged = 0;
  if (!m_initialized) return MF_E_NOT_INITIALIZED;
  UINT32 padding = 0;
  const HRESULT hr = m_pAudioClient->GetCurrentPadding(&padding);
  if (FAILED(hr)) {
    if (isDeviceGone(hr)) m_deviceLost = true;
    return hr;
  }
  const int64_t rate = m_pMixFormat->nSamplesPerSec;
  *endpoint = static_cast<int64_t>(padding) * 10000000 / rate;
  *staged = static_cast<int64_t>(m_pendingBytes / static_cast<size_t>(m_mixBlockAlign)) * 10000000 / rate;
  return S_OK;
}

HRESULT WasapiRenderer::stageSilence(uint32_t frames) {
  // Zeros are silence in every format the renderer scales (float and signed integers).
  const size_t bytes = static_cast<size_t>(frames) * static_cast<size_t>(m_mixBlockAlign);
  const size_t needed = m_pendingBytes + bytes;
  const HRESULT reserved = reserveStaging(needed);
  if (FAILED(reserved)) return reserved;
  memset(m_pending.get() + m_pendingBytes, 0, bytes);
  m_pendingBytes = needed;
  return S_OK;
}

uint32_t WasapiRenderer::stretchStaged(size_t from, double speed) {
  const size_t block = static_cast<size_t>(m_mixBlockAlign);
  if (from % block != 0 || m_pendingBytes % block != 0 || m_pendingBytes <= from) return 0;
  const size_t frames = (m_pendingBytes - from) / block;
  const size_t kept = AudioEdit::StretchedFrames(frames, speed);
  if (kept >= frames) return 0;
  std::unique_ptr<BYTE[]> copy(new (std::nothrow) BYTE[frames * block]);
  if (!copy) return 0;
  memcpy(copy.get(), m_pending.get() + from, frames * block);
  if (!AudioEdit::Stretch(copy.get(), frames, m_pending.get() + from, kept, AudioMath::SampleFormatOf(*m_pMixFormat),
                          m_pMixFormat->nChannels)) {
    return 0;
  }
  m_pendingBytes = from + kept * block;
  return static_cast<uint32_t>(frames - kept);
}

uint32_t WasapiRenderer::dropStaged(uint32_t frames) {
  const size_t block = static_cast<size_t>(m_mixBlockAlign);
  const size_t staged = m_pendingBytes / block;
  const size_t count = frames < staged ? frames : staged;
  if (count == 0) return 0;
  // The cut may start anywhere that leaves `count` frames behind it: the quietest frame there.
  const size_t start = AudioEdit::QuietestFrame(m_pending.get(), staged, AudioMath::SampleFormatOf(*m_pMixFormat),
                                                m_pMixFormat->nChannels, 0, staged - count + 1);
  const size_t end = (start + count) * block;
  memmove(m_pending.get() + start * block, m_pending.get() + end, m_pendingBytes - end);
  m_pendingBytes -= count * block;
  return static_cast<uint32_t>(count);
}

HRESULT WasapiRenderer::stageSample(IMFSample* sample, size_t* staged) {
  *staged = 0;
  ComPtr<IMFMediaBuffer> pBuffer;
  HRESULT hr = sample->ConvertToContiguousBuffer(&pBuffer);
  if (LogIfFailed(hr, "WasapiRenderer::Render[%p]: video ConvertToContiguousBuffer", this)) return hr;
  BYTE* data = nullptr;
  DWORD maxLength = 0, length = 0;
  ORVO_RETURN_IF_FAILED(pBuffer->Lock(&data, &maxLength, &length), "WasapiRenderer::Render[%p]: pBuffer->Lock()", this);
  // stage() neither throws nor keeps the pointer: the buffer is unlocked on every path below.
  hr = length == 0 ? S_OK : stage(data, length);
  pBuffer->Unlock();
  if (SUCCEEDED(hr)) *staged = length;
  return hr;
}

HRESULT WasapiRenderer::resample(IMFSample* sample) {
  HRESULT hr = m_pResampler->ProcessInput(0, sample, 0);
  if (FAILED(hr)) {
    // A refused input would be audio lost without a trace: report it to the stream instead.
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: ProcessInput failed 0x%X", this, (unsigned)hr);
    return hr;
  }
  MFT_OUTPUT_STREAM_INFO info = {};
  m_pResampler->GetOutputStreamInfo(0, &info);
  const bool transformProvidesSamples = (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;

  // Drain everything the input produced: one output per input would leave audio inside the
  // transform whenever an input yields more than one output buffer.
  for (int i = 0; i < kMaxOutputsPerInput; ++i) {
    if (!transformProvidesSamples && !m_pResamplerOutput) {
      ComPtr<IMFSample> pOutSample;
      hr = MFCreateSample(&pOutSample);
      if (LogIfFailed(hr, "WasapiRenderer::Render[%p]: MFCreateSample", this)) return hr;
      ComPtr<IMFMediaBuffer> pOutBuffer;
      hr = MFCreateAlignedMemoryBuffer(static_cast<DWORD>(m_outputBufferBytes), MF_16_BYTE_ALIGNMENT, &pOutBuffer);
      if (LogIfFailed(hr, "WasapiRenderer::Render[%p]: MFCreateMemoryBuffer", this)) return hr;
      hr = pOutSample->AddBuffer(pOutBuffer.Get());
      if (LogIfFailed(hr, "WasapiRenderer::Render[%p]: AddBuffer", this)) return hr;
      m_pResamplerOutput = pOutSample;
    }
    ComPtr<IMFMediaBuffer> pOutBuffer;
    if (!transformProvidesSamples) {
      hr = m_pResamplerOutput->GetBufferByIndex(0, &pOutBuffer);
      if (LogIfFailed(hr, "WasapiRenderer::Render[%p]: GetBufferByIndex", this)) return hr;
      pOutBuffer->SetCurrentLength(0);
    }
    MFT_OUTPUT_DATA_BUFFER output = {};
    output.dwStreamID = 0;
    output.pSample = transformProvidesSamples ? nullptr : m_pResamplerOutput.Get();
    DWORD status = 0;
    hr = m_pResampler->ProcessOutput(0, 1, &output, &status);
    if (output.pEvents) output.pEvents->Release();
    ComPtr<IMFSample> pProvided;
    if (transformProvidesSamples && output.pSample) pProvided = AdoptRef(output.pSample);
    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return S_OK;
    if (LogIfFailed(hr, "WasapiRenderer::Render[%p]: ProcessOutput", this)) return hr;
    IMFSample* produced = transformProvidesSamples ? pProvided.Get() : m_pResamplerOutput.Get();
    if (!produced) return S_OK;
    size_t staged = 0;
    hr = stageSample(produced, &staged);
    if (FAILED(hr) || staged == 0) return hr;
  }
  ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: resampler still has output after %d buffers", this, kMaxOutputsPerInput);
  return S_OK;
}

HRESULT WasapiRenderer::reserveStaging(size_t needed) {
  if (needed <= m_pendingCapacity) return S_OK;
  const size_t capacity = AudioMath::GrowCapacity(needed);
  std::unique_ptr<BYTE[]> grown(new (std::nothrow) BYTE[capacity]);
  if (!grown) {
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: staging buffer of %u bytes failed 0x%X", this, (unsigned)capacity,
                   (unsigned)E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  if (m_pendingBytes) memcpy(grown.get(), m_pending.get(), m_pendingBytes);
  m_pending = std::move(grown);
  m_pendingCapacity = capacity;
  return S_OK;
}

HRESULT WasapiRenderer::stage(const BYTE* data, size_t length) {
  const size_t needed = m_pendingBytes + length;
  const HRESULT reserved = reserveStaging(needed);
  if (FAILED(reserved)) return reserved;
  BYTE* target = m_pending.get() + m_pendingBytes;
  memcpy(target, data, length);
  if (m_softwareVolume) {
    float gains[AudioMath::kMaxChannels];
    const int channels = m_pMixFormat->nChannels;
    AudioMath::ChannelGains(m_volume, m_balance, channels, gains);
    // Start at the beginning of a frame left incomplete by the previous sample: its first bytes
    // were not scaled then, because only whole frames are.
    const size_t tail = m_pendingBytes % static_cast<size_t>(m_mixBlockAlign);
    AudioMath::ApplyGains(target - tail, length + tail, AudioMath::SampleFormatOf(*m_pMixFormat), channels, gains);
  }
  m_pendingBytes = needed;
  return S_OK;
}

HRESULT WasapiRenderer::writeStaged() {
  UINT32 padding = 0;
  HRESULT hr = m_pAudioClient->GetCurrentPadding(&padding);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: m_pAudioClient->GetCurrentPadding failed 0x%X", this, (unsigned)hr);
    if (isDeviceGone(hr)) m_deviceLost = true;
    return hr;
  }
  const uint32_t frames = AudioMath::FramesToWrite(static_cast<uint32_t>(m_bufferFrames), padding, m_pendingBytes,
                                                   static_cast<uint32_t>(m_mixBlockAlign));
  if (frames == 0) return S_OK;
  BYTE* target = nullptr;
  hr = m_pRenderClient->GetBuffer(frames, &target);
  if (FAILED(hr)) {
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: m_pRenderClient->GetBuffer failed 0x%X", this, (unsigned)hr);
    if (isDeviceGone(hr)) m_deviceLost = true;
    return hr;
  }
  const size_t bytes = static_cast<size_t>(frames) * static_cast<size_t>(m_mixBlockAlign);
  memcpy(target, m_pending.get(), bytes);
  hr = m_pRenderClient->ReleaseBuffer(frames, 0);
  if (FAILED(hr)) {
    // The endpoint did not take the frames: they stay staged for the next call.
    ORVO_LOG_DEBUG("WasapiRenderer::Render[%p]: m_pRenderClient->ReleaseBuffer failed 0x%X", this, (unsigned)hr);
    if (isDeviceGone(hr)) m_deviceLost = true;
    return hr;
  }
  m_pendingBytes -= bytes;
  if (m_pendingBytes) memmove(m_pending.get(), m_pending.get() + bytes, m_pendingBytes);
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
