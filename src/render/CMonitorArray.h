#pragma once

#include <windows.h>

namespace ORVO {
namespace MediaFoundation {

// User32 entry points the monitor table goes through. Tests replace them to act out several
// monitors (the test bed's X server has one); hosts never do.
struct DisplayApi {
  HMONITOR(WINAPI* monitorFromWindow)(HWND hwnd, DWORD flags);
  BOOL(WINAPI* enumDisplayMonitors)(HDC hdc, LPCRECT clip, MONITORENUMPROC callback, LPARAM context);
  BOOL(WINAPI* getMonitorInfoW)(HMONITOR monitor, LPMONITORINFO info);
  BOOL(WINAPI* enumDisplayDevicesW)(LPCWSTR device, DWORD index, PDISPLAY_DEVICEW displayDevice, DWORD flags);
  BOOL(WINAPI* enumDisplaySettingsW)(LPCWSTR device, DWORD mode, DEVMODEW* devMode);
};

DisplayApi DefaultDisplayApi();
const DisplayApi& CurrentDisplayApi();
// Installs a replacement and returns the one it replaces, so a test can put it back.
DisplayApi SetDisplayApi(const DisplayApi& api);

struct MonitorEntry {
  UINT index;  // position in the enumeration order: the entry count when it was added
  HMONITOR monitor;
  WCHAR deviceName[32];
  int width;
  int height;
  UINT refreshRate;
  UINT64 inUse;
};

// The monitors attached to the desktop, in enumeration order, at most 16. The renderer rebuilds
// it on every frame to notice that its window moved to another monitor.
class CMonitorArray {
 public:
  static constexpr UINT kMaxMonitors = 16;

  CMonitorArray();
  ~CMonitorArray();
  CMonitorArray(const CMonitorArray&) = delete;
  CMonitorArray& operator=(const CMonitorArray&) = delete;

  // Enumerates the monitors; S_OK when at least one was stored, else the last Win32 error.
  HRESULT InitializeDisplaySystem(HWND hwnd);
  void TerminateDisplaySystem();
  // Appends one entry; returns whether enumeration should go on.
  BOOL AddMonitor(HMONITOR hMonitor);
  void ClearMonitor(MonitorEntry* pEntry);

  MonitorEntry* FindMonitor(HMONITOR hMonitor);
  HRESULT MatchGUID(UINT index, UINT* pPosition);

  UINT count() const { return m_count; }
  const MonitorEntry& entry(UINT position) const { return m_monitors[position]; }

 private:
  UINT m_count = 0;
  MonitorEntry m_monitors[kMaxMonitors];
};

}  // namespace MediaFoundation
}  // namespace ORVO
