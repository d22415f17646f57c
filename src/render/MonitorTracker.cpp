#include "render/MonitorTracker.h"

#include <new>

#include "log/Log.h"
#include "render/CMonitorArray.h"

namespace ORVO {
namespace MediaFoundation {

MonitorTracker::MonitorTracker(const void* owner) : m_owner(owner) {}

MonitorTracker::~MonitorTracker() = default;

HRESULT MonitorTracker::Reset() {
  m_monitors.reset(new (std::nothrow) CMonitorArray());
  return m_monitors ? S_OK : E_OUTOFMEMORY;
}

HRESULT MonitorTracker::Update(HWND hwnd) {
  HRESULT hr;
  if (!m_monitors) {
    hr = E_UNEXPECTED;
    LogIfFailed(hr, "Dx11Renderer::SetVideoMonitor[%p]: !m_pMonitors", m_owner);
    return hr;
  }
  HMONITOR monitor = CurrentDisplayApi().monitorFromWindow(hwnd, MONITOR_DEFAULTTONULL);
  if (monitor == nullptr) {
    hr = E_POINTER;
    LogIfFailed(hr, "Dx11Renderer::SetVideoMonitor[%p]: NULL != hMon", m_owner);
    return hr;
  }
  m_monitors->TerminateDisplaySystem();
  hr = m_monitors->InitializeDisplaySystem(hwnd);
  if (LogIfFailed(hr, "Dx11Renderer::SetVideoMonitor[%p]: m_pMonitors->InitializeDisplaySystem", m_owner)) return hr;
  const MonitorEntry* entry = m_monitors->FindMonitor(monitor);
  if (entry == nullptr || entry->index == m_currentMonitorIndex) return hr;

  UINT position = 0;
  const HRESULT hrMatch = m_monitors->MatchGUID(entry->index, &position);
  if (LogIfFailed(hrMatch, "Dx11Renderer::SetMonitor[%p]: m_pMonitors->MatchGUID#1", m_owner)) return hrMatch;
  if (hrMatch != S_OK) {
    hr = E_INVALIDARG;
    LogIfFailed(hr, "Dx11Renderer::SetMonitor[%p]: m_pMonitors->MatchGUID#2", m_owner);
    return hr;
  }
  m_currentMonitorIndex = entry->index;
  return S_FALSE;
}

}  // namespace MediaFoundation
}  // namespace ORVO
