#pragma once

namespace ORVO {

// Joins the calling thread to a single-threaded apartment and sets default COM security. Both
// results are ignored on purpose: the host's thread has often initialised COM already, which must
// never fail the call that asked.
void InitializeComForThread();

}  // namespace ORVO
