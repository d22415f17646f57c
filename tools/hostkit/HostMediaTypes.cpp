#include "HostMediaTypes.h"

#include <mfapi.h>

#include <vector>

namespace orvo_hostkit {

namespace {

HRESULT DescribeVideo(IMFMediaType* type, const GUID& subtype, uint32_t width, uint32_t height, uint32_t rateNumerator,
                      uint32_t rateDenominator) {
  if (!type) return E_POINTER;
  HRESULT hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr)) hr = MFSetAttributeSize(type, MF_MT_FRAME_SIZE, width, height);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type, MF_MT_FRAME_RATE, rateNumerator, rateDenominator);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type, MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  return hr;
}

}  // namespace

HRESULT DescribeH264(IMFMediaType* type, uint32_t width, uint32_t height, uint32_t rateNumerator,
                     uint32_t rateDenominator) {
  return DescribeVideo(type, MFVideoFormat_H264, width, height, rateNumerator, rateDenominator);
}

HRESULT DescribeHevc(IMFMediaType* type, uint32_t width, uint32_t height, uint32_t rateNumerator,
                     uint32_t rateDenominator) {
  return DescribeVideo(type, MFVideoFormat_HEVC, width, height, rateNumerator, rateDenominator);
}

HRESULT DescribeAac(IMFMediaType* type, const AdtsReader::Format& format) {
  if (!type) return E_POINTER;
  HRESULT hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, format.sampleRate);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, format.channels);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, format.averageBytesPerSecond);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
  // 0x29: AAC profile level "AAC 2 channels, up to 48 kHz"; 0xFE: not specified.
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, format.channels <= 2 ? 0x29 : 0xFE);
  if (SUCCEEDED(hr)) {
    // HEAACWAVEINFO after its WAVEFORMATEX: wPayloadType, wAudioProfileLevelIndication, wStructType,
    // wReserved1 (16 bits each), dwReserved2 (32 bits); then the AudioSpecificConfig.
    std::vector<uint8_t> userData(12, 0);
    userData[2] = format.channels <= 2 ? 0x29 : 0xFE;
    userData.insert(userData.end(), format.audioSpecificConfig.begin(), format.audioSpecificConfig.end());
    hr = type->SetBlob(MF_MT_USER_DATA, userData.data(), static_cast<UINT32>(userData.size()));
  }
  return hr;
}

HRESULT DescribePcm(IMFMediaType* type, const WavReader::Format& format) {
  if (!type) return E_POINTER;
  HRESULT hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, format.sampleRate);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, format.channels);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, format.bitsPerSample);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, format.blockAlign);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, format.averageBytesPerSecond);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  return hr;
}

}  // namespace orvo_hostkit
