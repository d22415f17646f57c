#pragma once

#include <windows.h>

namespace ORVO {

// The one scoped hold of a critical section in the library. Give it a name: an unnamed temporary
// guard would leave the section again at the end of its own statement.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION* section) : m_section(section) { EnterCriticalSection(m_section); }
  ~CriticalSectionGuard() { LeaveCriticalSection(m_section); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CRITICAL_SECTION* m_section;
};

}  // namespace ORVO
