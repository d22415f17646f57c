#include "common/Module.h"

namespace ORVO {

namespace {
HMODULE g_module = nullptr;
}

const char kLibraryVersion[] = "3.3.1.0030";

HMODULE LibraryModule() { return g_module ? g_module : GetModuleHandleW(nullptr); }

void SetLibraryModule(HMODULE module) { g_module = module; }

}  // namespace ORVO
