#pragma once

// Result and state codes and the host callback type, shared by the facade and both engines.
#include "OrvoMedia.h"

namespace ORVO {
namespace Media {

// Maps an engine HRESULT to what the exported functions report.
inline int ResultFromHr(long hr) { return hr < 0 ? Failed : Ok; }

}  // namespace Media
}  // namespace ORVO
