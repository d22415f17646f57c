#pragma once

#include <windows.h>

namespace ORVO {
namespace Media {

// Holds a critical section for the lifetime of a named variable.
class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CRITICAL_SECTION* section) : m_section(section) { EnterCriticalSection(m_section); }
  ~CriticalSectionGuard() { LeaveCriticalSection(m_section); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CRITICAL_SECTION* m_section;
};

}  // namespace Media
}  // namespace ORVO
