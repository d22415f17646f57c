#pragma once

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "render/CMonitorArray.h"

namespace orvo_test {

// A desktop of made-up monitors behind the renderer's display seam, for as long as it lives: the
// test bed's X server has a single monitor, and windows cannot be moved between real ones here.
class FakeDisplay {
 public:
  FakeDisplay() {
    s_current = this;
    ORVO::MediaFoundation::DisplayApi api;
    api.monitorFromWindow = &FakeDisplay::MonitorFromWindowFake;
    api.enumDisplayMonitors = &FakeDisplay::EnumDisplayMonitorsFake;
    api.getMonitorInfoW = &FakeDisplay::GetMonitorInfoFake;
    api.enumDisplayDevicesW = &FakeDisplay::EnumDisplayDevicesFake;
    api.enumDisplaySettingsW = &FakeDisplay::EnumDisplaySettingsFake;
    m_previous = ORVO::MediaFoundation::SetDisplayApi(api);
  }
  ~FakeDisplay() {
    ORVO::MediaFoundation::SetDisplayApi(m_previous);
    s_current = nullptr;
  }
  FakeDisplay(const FakeDisplay&) = delete;
  FakeDisplay& operator=(const FakeDisplay&) = delete;

  void addMonitor(const std::wstring& name, int width, int height, DWORD frequency) {
    m_monitors.push_back({name, width, height, frequency});
  }
  HMONITOR handle(size_t position) const { return reinterpret_cast<HMONITOR>(0x1000 + position); }
  // The monitor every window is on; -1: none.
  void putWindowOn(int position) { m_windowMonitor = position; }
  void setLastErrorOnEnumerate(DWORD error) { m_lastError = error; }
  int monitorsVisited() const { return m_visited; }
  int enumerations() const { return m_enumerations; }

 private:
  struct Monitor {
    std::wstring name;
    int width, height;
    DWORD frequency;
  };

  static const Monitor* Find(HMONITOR monitor) {
    size_t position = reinterpret_cast<size_t>(monitor) - 0x1000;
    return position < s_current->m_monitors.size() ? &s_current->m_monitors[position] : nullptr;
  }
  static const Monitor* FindByName(LPCWSTR name) {
    for (const Monitor& m : s_current->m_monitors) {
      if (name != nullptr && m.name == name) return &m;
    }
    return nullptr;
  }
  static HMONITOR WINAPI MonitorFromWindowFake(HWND, DWORD) {
    return s_current->m_windowMonitor < 0 ? nullptr : s_current->handle(static_cast<size_t>(s_current->m_windowMonitor));
  }
  static BOOL WINAPI EnumDisplayMonitorsFake(HDC, LPCRECT, MONITORENUMPROC callback, LPARAM context) {
    ++s_current->m_enumerations;
    for (size_t i = 0; i < s_current->m_monitors.size(); ++i) {
      ++s_current->m_visited;
      RECT rect = {0, 0, s_current->m_monitors[i].width, s_current->m_monitors[i].height};
      if (!callback(s_current->handle(i), nullptr, &rect, context)) break;
    }
    SetLastError(s_current->m_lastError);
    return TRUE;
  }
  static BOOL WINAPI GetMonitorInfoFake(HMONITOR monitor, LPMONITORINFO info) {
    const Monitor* m = Find(monitor);
    if (m == nullptr || info->cbSize != sizeof(MONITORINFOEXW)) return FALSE;
    MONITORINFOEXW* ex = reinterpret_cast<MONITORINFOEXW*>(info);
    ex->rcMonitor = {0, 0, m->width, m->height};
    ex->rcWork = ex->rcMonitor;
    // Copies at most CCHDEVICENAME characters, unterminated when the name fills them: what a
    // driver with an over-long name would leave.
    size_t n = m->name.size() < CCHDEVICENAME ? m->name.size() + 1 : CCHDEVICENAME;
    wmemcpy(ex->szDevice, m->name.c_str(), n);
    return TRUE;
  }
  static BOOL WINAPI EnumDisplayDevicesFake(LPCWSTR name, DWORD index, PDISPLAY_DEVICEW device, DWORD) {
    if (FindByName(name) == nullptr || index > 0 || device->cb != sizeof(DISPLAY_DEVICEW)) return FALSE;
    device->StateFlags = DISPLAY_DEVICE_ACTIVE;
    return TRUE;
  }
  static BOOL WINAPI EnumDisplaySettingsFake(LPCWSTR name, DWORD, DEVMODEW* mode) {
    const Monitor* m = FindByName(name);
    if (m == nullptr || mode->dmSize != sizeof(DEVMODEW)) return FALSE;
    mode->dmDisplayFrequency = m->frequency;
    return TRUE;
  }

  static inline FakeDisplay* s_current = nullptr;
  ORVO::MediaFoundation::DisplayApi m_previous;
  std::vector<Monitor> m_monitors;
  int m_windowMonitor = 0;
  DWORD m_lastError = 0;
  int m_visited = 0;
  int m_enumerations = 0;
};

}  // namespace orvo_test
