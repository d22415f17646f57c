#pragma once

#include <windows.h>

namespace ORVO {

// The module the library's code lives in: the DLL once it is attached, the executable when the
// code is linked statically (unit tests). Window classes are registered on it.
HMODULE LibraryModule();
void SetLibraryModule(HMODULE module);

// "3.3.1.0030", the version the log announces, built from ORVO_MEDIA_VERSION_* in OrvoMedia.h.
extern const char kLibraryVersion[];

}  // namespace ORVO
