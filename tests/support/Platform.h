#pragma once

#include <windows.h>

#include <string>

namespace orvo_test {

// The platform the tests run on, asked rather than assumed: tests that expect one platform's
// behaviour (a decoder that holds a frame, a Direct3D 11 without a video device) ask here and skip
// with a reason elsewhere.

// Wine's version string ("8.0", "10.0") from ntdll's wine_get_version; empty on Windows.
std::string WineVersion();
// Its major number; 0 on Windows.
int WineMajorVersion();
// True when a plain Direct3D 11 device of this platform answers QueryInterface(ID3D11VideoDevice).
bool D3D11OffersVideoDevice();
// True when that video device can also create a video processor enumerator for a small progressive
// stream (Wine 10's own Direct3D 11 answers E_NOTIMPL).
bool D3D11OffersVideoProcessor();

}  // namespace orvo_test
