#include "lowlatency/RandomAccessUnit.h"

namespace ORVO {
namespace Media {

bool IsRandomAccessUnit(const uint8_t* data, size_t size, bool hevc) {
  if (data == nullptr) return false;
  // Every NAL unit follows a 00 00 01 start code (a four-byte 00 00 00 01 ends in one as well).
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    if (hevc) {
      const int type = (header >> 1) & 0x3F;
      if (type >= 16 && type <= 23) return true;
    } else if ((header & 0x1F) == 5) {
      return true;
    }
    i += 2;
  }
  return false;
}

}  // namespace Media
}  // namespace ORVO
