#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>

#include "AdtsReader.h"
#include "WavReader.h"

namespace orvo_hostkit {

// Fill a media type (typically the empty one CreateMediaType handed out) the way the library and
// the platform decoders expect a host stream to be described. Each returns the first failing
// HRESULT. The library itself reads the major type, the frame size and rate (video buffer sizing
// and read-ahead) and the average bytes per second (audio buffer sizing); the decoders need the
// rest.

// H.264 video in Annex-B form. The frame size matters: the platform decoder produces no output
// without it.
HRESULT DescribeH264(IMFMediaType* type, uint32_t width, uint32_t height, uint32_t rateNumerator,
                     uint32_t rateDenominator);
// HEVC video in Annex-B form.
HRESULT DescribeHevc(IMFMediaType* type, uint32_t width, uint32_t height, uint32_t rateNumerator,
                     uint32_t rateDenominator);
// Raw AAC frames (ADTS headers removed, as AdtsReader hands them out): payload type 0 and, as user
// data, the HEAACWAVEINFO fields after the WAVEFORMATEX header followed by the AudioSpecificConfig.
HRESULT DescribeAac(IMFMediaType* type, const AdtsReader::Format& format);
// Interleaved integer PCM.
HRESULT DescribePcm(IMFMediaType* type, const WavReader::Format& format);

}  // namespace orvo_hostkit
