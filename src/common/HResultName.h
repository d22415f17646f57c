#pragma once

#include <windows.h>

namespace ORVO {

// A readable name for the Media Foundation, audio client and COM codes this library meets, for
// test failure messages and tools; null for codes it does not know.
const char* HResultName(HRESULT hr);

}  // namespace ORVO
