#pragma once

#include <windows.h>

namespace ORVO {
namespace MediaFoundation {

// Scoped hold of the source's critical section (which also guards its operation queue and
// streams). Recursive: an operation running under it may post further operations.
class SourceLock {
 public:
  explicit SourceLock(CRITICAL_SECTION* lock) : m_lock(lock) { EnterCriticalSection(m_lock); }
  ~SourceLock() { LeaveCriticalSection(m_lock); }
  SourceLock(const SourceLock&) = delete;
  SourceLock& operator=(const SourceLock&) = delete;

 private:
  CRITICAL_SECTION* m_lock;
};

}  // namespace MediaFoundation
}  // namespace ORVO
