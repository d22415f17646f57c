#pragma once

#include <windows.h>

namespace ORVO {
namespace MediaFoundation {

// Why ProcessFrame re-creates the device, if it does.
enum class RecreationReason { None, MonitorChanged, Forced, Period };

// The re-creation rule: only while a device exists; a monitor change first, then the force flag,
// then the period (non-zero) reached by the process-wide frame counter.
RecreationReason DeviceRecreationReason(bool hasDevice, bool monitorChanged, bool forceRecreation,
                                        UINT recreationPeriod, UINT frameCounter);

// Whether a Direct3D or DXGI call failed because the device itself is gone (removed, reset or
// hung): nothing drawn on it will show again until it is created anew.
bool IsDeviceLoss(HRESULT hr);

// Driver type for a re-creation: the period toggles the process-wide creation mode between a
// plain hardware device (1) and wrapper mode (5); other reasons keep the current mode.
UINT NextDeviceCreationMode(RecreationReason reason, UINT currentMode);

// When one renderer re-creates its device and with which driver type. The creation mode and the
// frame counter are shared by every renderer of the process and deliberately unlocked (atomics
// keep that well defined); the force flag is the renderer's own, under its lock.
class DeviceRecreationPolicy {
 public:
  explicit DeviceRecreationPolicy(UINT recreationPeriod) : m_recreationPeriod(recreationPeriod) {}

  // The reason to re-create before this frame. For any reason but None, *driverType receives the
  // driver type to create with, and the process-wide creation mode has moved on to it.
  RecreationReason Check(bool hasDevice, bool monitorChanged, UINT* driverType);
  // A re-creation succeeded: the period counts from here.
  void Recreated();
  // One frame went through with a device.
  void CountFrame();

  // The next frame re-creates the device: set after a failure that the device may have caused.
  void Force() { m_forceRecreation = true; }
  // A device was built, so nothing is pending any more.
  void Satisfied() { m_forceRecreation = false; }

 private:
  const UINT m_recreationPeriod;
  bool m_forceRecreation = false;
};

}  // namespace MediaFoundation
}  // namespace ORVO
