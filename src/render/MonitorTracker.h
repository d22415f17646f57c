#pragma once

#include <windows.h>

#include <memory>

namespace ORVO {
namespace MediaFoundation {

class CMonitorArray;

// Notices that the renderer's window moved to another monitor: rebuilds the monitor table on every
// frame and compares the window's monitor with the one of the previous frame. The renderer's lock
// serialises every call.
class MonitorTracker {
 public:
  // owner: the renderer, for the address in log lines.
  explicit MonitorTracker(const void* owner);
  ~MonitorTracker();
  MonitorTracker(const MonitorTracker&) = delete;
  MonitorTracker& operator=(const MonitorTracker&) = delete;

  // A fresh, empty table for a new window. The monitor of the previous window still counts as the
  // current one, so that a window on the same monitor does not re-create the device.
  HRESULT Reset();
  // S_FALSE when hwnd is now on another monitor than before, S_OK when not; failures are logged.
  HRESULT Update(HWND hwnd);

 private:
  const void* m_owner;
  std::unique_ptr<CMonitorArray> m_monitors;
  UINT m_currentMonitorIndex = 0;
};

}  // namespace MediaFoundation
}  // namespace ORVO
