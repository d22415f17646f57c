#pragma once

#include <windows.h>

#include <vector>

#include "AnnexBReader.h"

namespace latency_bench {

// The platform H.264 decoder on its own, fed every access unit of reader synchronously: for each
// decoded frame, the milliseconds from handing its unit to ProcessInput to ProcessOutput returning it
// (YUY2 out, as the engine's decoder path is not involved). Empty when no decoder is available.
// This is the floor the engine's callback-to-present latency is compared with.
std::vector<double> DecodeAlone(orvo_hostkit::AnnexBReader& reader, UINT32 width, UINT32 height);

}  // namespace latency_bench
