#include <windows.h>

#include "api/PlayerRegistry.h"
#include "common/Module.h"
#include "log/Log.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      ORVO::SetLibraryModule(instance);
      // Built at INFO, then switched off until the host asks for it with SetLog.
      auto* log = new ORVO::Log();
      log->Reconfigure(ORVO::kLogInfo, nullptr);
      log->Reconfigure(0, nullptr);
      ORVO::SetGlobalLog(log);
      break;
    }
    case DLL_PROCESS_DETACH: {
      ORVO::Log* log = ORVO::GlobalLog();
      if (log) {
        ORVO::LogWrite(ORVO::kLogInfo, "ORVO library unloaded");
        // Forget it before destroying it, so nothing can write to a destroyed log.
        ORVO::SetGlobalLog(nullptr);
        delete log;
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
