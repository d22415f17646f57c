#include "source/BufferSizing.h"

#include <algorithm>

namespace ORVO {
namespace MediaFoundation {
namespace BufferSizing {

uint32_t VideoBufferSize(uint32_t width, uint32_t height) {
  // The area of two 32-bit sizes fits 64 bits unsigned; times 512 KiB it may not, and any area that
  // large is far past the maximum anyway.
  uint64_t area = static_cast<uint64_t>(width) * height;
  if (area > UINT64_MAX / 524288) return kMaximumBufferSize;
  uint64_t scaled = std::max<uint64_t>(kDefaultBufferSize, area * 524288 / 2073600);
  return static_cast<uint32_t>(std::min<uint64_t>(scaled, kMaximumBufferSize));
}

uint32_t VideoSamplesAhead(uint32_t numerator, uint32_t denominator) {
  if (denominator == 0) return kDefaultSamplesAhead;
  uint64_t perSixth = (static_cast<uint64_t>(numerator) * 5 / denominator) / 30;
  return static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(kDefaultSamplesAhead, perSixth),
                                                  kMaximumSamplesAhead));
}

uint32_t AudioBufferSize(uint32_t averageBytesPerSecond) {
  return std::min(std::max(kMinimumAudioBufferSize, averageBytesPerSecond), kMaximumBufferSize);
}

bool GrownBufferSize(uint32_t current, uint32_t needed, uint32_t* grown) {
  if (needed == 0 || needed <= current) return false;
  uint64_t size = ((static_cast<uint64_t>(needed) * 11) / 10 + 1023) / 1024 * 1024;
  if (size > kMaximumBufferSize) return false;
  *grown = static_cast<uint32_t>(size);
  return true;
}

}  // namespace BufferSizing
}  // namespace MediaFoundation
}  // namespace ORVO
