#include "render/DeviceRecreationPolicy.h"

#include <dxgi.h>

#include <atomic>

namespace ORVO {
namespace MediaFoundation {

namespace {

std::atomic<UINT> g_deviceCreationMode{1};
std::atomic<UINT> g_frameCounter{0};

}  // namespace

RecreationReason DeviceRecreationReason(bool hasDevice, bool monitorChanged, bool forceRecreation,
                                        UINT recreationPeriod, UINT frameCounter) {
  if (!hasDevice) return RecreationReason::None;
  if (monitorChanged) return RecreationReason::MonitorChanged;
  if (forceRecreation) return RecreationReason::Forced;
  if (recreationPeriod != 0 && frameCounter == recreationPeriod) return RecreationReason::Period;
  return RecreationReason::None;
}

bool IsDeviceLoss(HRESULT hr) {
  return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET || hr == DXGI_ERROR_DEVICE_HUNG;
}

UINT NextDeviceCreationMode(RecreationReason reason, UINT currentMode) {
  if (reason != RecreationReason::Period) return currentMode;
  return currentMode == 5 ? 1 : 5;
}

RecreationReason DeviceRecreationPolicy::Check(bool hasDevice, bool monitorChanged, UINT* driverType) {
  const RecreationReason reason =
      DeviceRecreationReason(hasDevice, monitorChanged, m_forceRecreation, m_recreationPeriod, g_frameCounter.load());
  if (reason != RecreationReason::None) {
    const UINT mode = NextDeviceCreationMode(reason, g_deviceCreationMode.load());
    g_deviceCreationMode = mode;
    *driverType = mode;
  }
  return reason;
}

void DeviceRecreationPolicy::Recreated() { g_frameCounter = 0; }

void DeviceRecreationPolicy::CountFrame() { ++g_frameCounter; }

}  // namespace MediaFoundation
}  // namespace ORVO
