#include <windows.h>

#include <memory>

#include "api/PlayerRegistry.h"
#include "common/Module.h"
#include "log/Log.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      ORVO::SetLibraryModule(instance);
      // Built at INFO, then switched off until the host asks for it with SetLog. The global slot owns
      // it until detach.
      auto log = std::make_unique<ORVO::Log>();
      log->Reconfigure(ORVO::kLogInfo, nullptr);
      log->Reconfigure(0, nullptr);
      ORVO::SetGlobalLog(log.release());
      break;
    }
    case DLL_PROCESS_DETACH: {
      if (ORVO::GlobalLog()) {
        ORVO::LogWrite(ORVO::kLogInfo, "ORVO library unloaded");
        // Forget it before destroying it, so nothing can write to a destroyed log.
        std::unique_ptr<ORVO::Log> log(ORVO::GlobalLog());
        ORVO::SetGlobalLog(nullptr);
      }
      // reserved is null for FreeLibrary, non-null at process exit.
      if (!reserved) ORVO::Media::PlayerRegistry::DestroyAtUnload();
      break;
    }
    default:
      break;
  }
  return TRUE;
}
