#include "common/ComInit.h"

#include <objbase.h>

namespace ORVO {

void InitializeComForThread() {
  (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  (void)CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
}

}  // namespace ORVO
