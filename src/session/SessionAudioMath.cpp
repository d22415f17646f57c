#include "session/SessionAudioMath.h"

#include <cmath>

namespace ORVO {
namespace MediaFoundation {

float ChannelGain(uint32_t channelIndex, double balance) {
  const bool right = (channelIndex % 2) == 1;
  if (right) return balance >= 0.5 ? 1.0f : static_cast<float>(2.0 * balance);
  return balance <= 0.5 ? 1.0f : static_cast<float>(2.0 * (1.0 - balance));
}

std::vector<float> ChannelVolumes(uint32_t channelCount, double volume, double balance) {
  std::vector<float> volumes(channelCount);
  for (uint32_t i = 0; i < channelCount; ++i) volumes[i] = static_cast<float>(ChannelGain(i, balance) * volume);
  return volumes;
}

double VolumeFromChannels(const float* volumes, uint32_t channelCount) {
  double loudest = 0.0;
  for (uint32_t i = 0; i < channelCount; ++i) {
    if (volumes[i] > loudest) loudest = volumes[i];
  }
  return loudest;
}

double BalanceFromChannels(const float* volumes, uint32_t channelCount) {
  if (channelCount < 2) return 0.5;
  const float left = volumes[0];
  const float right = volumes[1];
  const float loudest = left > right ? left : right;
  if (loudest == 0.0f) return 0.5;
  if (left < loudest) return 1.0 - (left / loudest) * 0.5;
  return (right / loudest) * 0.5;
}

bool IsUnitRange(double value) { return std::isfinite(value) && value >= 0.0 && value <= 1.0; }

HRESULT ChooseRateThinning(HRESULT withoutThinning, HRESULT withThinning, bool* thin) {
  *thin = false;
  if (SUCCEEDED(withoutThinning)) return S_OK;
  if (FAILED(withThinning)) return withThinning;
  *thin = true;
  return S_OK;
}

}  // namespace MediaFoundation
}  // namespace ORVO
