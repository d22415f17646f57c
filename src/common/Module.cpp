#include "common/Module.h"

#include "OrvoMedia.h"

namespace ORVO {

namespace {
HMODULE g_module = nullptr;
}

#define ORVO_VERSION_TEXT_(x) #x
#define ORVO_VERSION_TEXT(x) ORVO_VERSION_TEXT_(x)
// The log has always shown the build number with four digits.
#if ORVO_MEDIA_VERSION_BUILD < 10
#define ORVO_VERSION_BUILD_PADDING "000"
#elif ORVO_MEDIA_VERSION_BUILD < 100
#define ORVO_VERSION_BUILD_PADDING "00"
#elif ORVO_MEDIA_VERSION_BUILD < 1000
#define ORVO_VERSION_BUILD_PADDING "0"
#else
#define ORVO_VERSION_BUILD_PADDING ""
#endif

const char kLibraryVersion[] =
    ORVO_VERSION_TEXT(ORVO_MEDIA_VERSION_MAJOR) "." ORVO_VERSION_TEXT(ORVO_MEDIA_VERSION_MINOR) "."
    ORVO_VERSION_TEXT(ORVO_MEDIA_VERSION_PATCH) "." ORVO_VERSION_BUILD_PADDING ORVO_VERSION_TEXT(ORVO_MEDIA_VERSION_BUILD);

HMODULE LibraryModule() { return g_module ? g_module : GetModuleHandleW(nullptr); }

void SetLibraryModule(HMODULE module) { g_module = module; }

}  // namespace ORVO
