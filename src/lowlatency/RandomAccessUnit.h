#pragma once

#include <cstddef>
#include <cstdint>

namespace ORVO {
namespace Media {

// Whether an Annex-B access unit holds a picture a decoder can start from: an IDR slice for
// H.264 (NAL type 5), an IRAP picture for HEVC (NAL types 16 to 23). Hosts do not always mark key
// frames, and a source reader may pass samples on without the mark, so the bytes decide.
bool IsRandomAccessUnit(const uint8_t* data, size_t size, bool hevc);

}  // namespace Media
}  // namespace ORVO
