#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace ORVO {
namespace MediaFoundation {

// Volume, balance and rate decisions of the Media Session engine, kept free of platform calls so
// that they can be checked with plain numbers.
//
// Balance runs from 0.0 (left channels only) through 0.5 (centre) to 1.0 (right channels only).
// Channels with an even index count as left, odd ones as right, whatever the speaker layout.

// The linear gain of one channel for a balance: the side the balance leans towards keeps full gain,
// the other side fades out linearly.
float ChannelGain(uint32_t channelIndex, double balance);

// The per-channel volumes that apply a master volume and a balance to channelCount channels.
std::vector<float> ChannelVolumes(uint32_t channelCount, double volume, double balance);

// The master volume read back from per-channel volumes: the loudest channel (0.0 for none).
double VolumeFromChannels(const float* volumes, uint32_t channelCount);

// The balance read back from per-channel volumes; inverts ChannelVolumes for channels 0 and 1.
// Mono and silent streams are centred.
double BalanceFromChannels(const float* volumes, uint32_t channelCount);

// True for a volume or balance the platform can take: a finite number from 0.0 to 1.0.
bool IsUnitRange(double value);

// Decides how a rate is set from the answers of IMFRateSupport::IsRateSupported without and with
// thinning: S_OK with *thin false when plain playback supports it, S_OK with *thin true when only
// thinned playback does, otherwise the refusal of the thinned query.
HRESULT ChooseRateThinning(HRESULT withoutThinning, HRESULT withThinning, bool* thin);

}  // namespace MediaFoundation
}  // namespace ORVO
