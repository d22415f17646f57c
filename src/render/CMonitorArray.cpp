#include "render/CMonitorArray.h"

#include <cstring>
#include <cwchar>

namespace ORVO {
namespace MediaFoundation {

namespace {

DisplayApi g_displayApi = DefaultDisplayApi();

struct EnumContext {
  HWND hwnd;
  CMonitorArray* array;
};

BOOL CALLBACK MonitorEnumProc(HMONITOR hMonitor, HDC, LPRECT, LPARAM context) {
  EnumContext* ctx = reinterpret_cast<EnumContext*>(context);
  if (ctx == nullptr || ctx->array == nullptr) return TRUE;
  return ctx->array->AddMonitor(hMonitor);
}

}  // namespace

DisplayApi DefaultDisplayApi() {
  DisplayApi api;
  api.monitorFromWindow = ::MonitorFromWindow;
  api.enumDisplayMonitors = ::EnumDisplayMonitors;
  api.getMonitorInfoW = ::GetMonitorInfoW;
  api.enumDisplayDevicesW = ::EnumDisplayDevicesW;
  api.enumDisplaySettingsW = ::EnumDisplaySettingsW;
  return api;
}

const DisplayApi& CurrentDisplayApi() { return g_displayApi; }

DisplayApi SetDisplayApi(const DisplayApi& api) {
  DisplayApi previous = g_displayApi;
  g_displayApi = api;
  return previous;
}

CMonitorArray::CMonitorArray() {
  for (UINT i = 0; i < kMaxMonitors; ++i) ClearMonitor(&m_monitors[i]);
}

CMonitorArray::~CMonitorArray() {
  for (UINT i = 0; i < kMaxMonitors; ++i) ClearMonitor(&m_monitors[i]);
  m_count = 0;
}

HRESULT CMonitorArray::InitializeDisplaySystem(HWND hwnd) {
  EnumContext context = {hwnd, this};
  g_displayApi.enumDisplayMonitors(nullptr, nullptr, MonitorEnumProc, reinterpret_cast<LPARAM>(&context));
  if (m_count > 0) return S_OK;
  return HRESULT_FROM_WIN32(GetLastError());
}

void CMonitorArray::TerminateDisplaySystem() {
  for (UINT i = 0; i < kMaxMonitors; ++i) ClearMonitor(&m_monitors[i]);
  m_count = 0;
}

BOOL CMonitorArray::AddMonitor(HMONITOR hMonitor) {
  if (m_count >= kMaxMonitors) return FALSE;
  MonitorEntry& entry = m_monitors[m_count];
  entry.monitor = nullptr;
  entry.index = 0;
  entry.inUse = 0;
  entry.refreshRate = 60;

  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  if (!g_displayApi.getMonitorInfoW(hMonitor, reinterpret_cast<MONITORINFO*>(&info))) {
    return m_count < kMaxMonitors;
  }
  size_t nameLength = wcsnlen(info.szDevice, CCHDEVICENAME);
  if (nameLength >= _countof(entry.deviceName)) {
    // A name that does not fit cannot be handed to the display-settings calls below.
    return m_count < kMaxMonitors;
  }
  memcpy(entry.deviceName, info.szDevice, nameLength * sizeof(WCHAR));
  entry.deviceName[nameLength] = L'\0';
  entry.width = info.rcMonitor.right - info.rcMonitor.left;
  entry.height = info.rcMonitor.bottom - info.rcMonitor.top;
  entry.monitor = hMonitor;
  entry.index = m_count;

  DISPLAY_DEVICEW device = {};
  device.cb = sizeof(device);
  for (DWORD n = 0; g_displayApi.enumDisplayDevicesW(entry.deviceName, n, &device, 0); ++n) {
    if (device.StateFlags & DISPLAY_DEVICE_ACTIVE) {
      DEVMODEW mode = {};
      mode.dmSize = sizeof(mode);
      if (g_displayApi.enumDisplaySettingsW(entry.deviceName, ENUM_CURRENT_SETTINGS, &mode) &&
          mode.dmDisplayFrequency != 0) {
        entry.refreshRate = mode.dmDisplayFrequency;
      }
    }
    device = {};
    device.cb = sizeof(device);
  }
  entry.inUse = 1;
  ++m_count;
  return m_count < kMaxMonitors;
}

void CMonitorArray::ClearMonitor(MonitorEntry* pEntry) {
  if (pEntry == nullptr) return;
  memset(pEntry, 0, sizeof(*pEntry));
}

MonitorEntry* CMonitorArray::FindMonitor(HMONITOR hMonitor) {
  for (UINT i = 0; i < m_count; ++i) {
    if (m_monitors[i].monitor == hMonitor) return &m_monitors[i];
  }
  return nullptr;
}

HRESULT CMonitorArray::MatchGUID(UINT index, UINT* pPosition) {
  if (pPosition == nullptr) return E_POINTER;
  *pPosition = 0;
  for (UINT i = 0; i < m_count; ++i) {
    if (m_monitors[i].index == index) {
      *pPosition = i;
      return S_OK;
    }
  }
  return S_FALSE;
}

}  // namespace MediaFoundation
}  // namespace ORVO
