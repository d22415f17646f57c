#pragma once

#include <windows.h>

namespace ORVO {

// The one scoped hold of a critical section in the library. Give it a name: an unnamed temporary
// guard would leave the section again at the end of its own statement.
//
// Lock order, never reversed: player registry lock -> player lock -> engine lock (DxPlayer or
// MediaFoundationPlayer) -> one of: a stream's queue lock, the synchronizer's lock, an OrvoSource's
// lock, a renderer's lock (then the process-wide composition lock), a video output's snapshot lock
// (SnapshotCopy: nothing is taken under it). A graphics device's multithread protection comes after
// all of them: the renderer takes it inside each call under its own lock, GetSnapshot under the
// player and engine locks, and no holder of it waits for a library lock. The window lock is taken
// alone or directly under the registry lock. The log lock is innermost: any code may log under its
// locks.
// A thread that is joined by someone holding a lock never waits for that lock: it polls it with
// TryEnterCriticalSection and gives up once it is told to stop (adopt the entered section below).
class CriticalSectionGuard {
 public:
  // Tag for a section the caller has already entered, typically with TryEnterCriticalSection.
  struct AlreadyEntered {};
  static constexpr AlreadyEntered kAlreadyEntered{};

  explicit CriticalSectionGuard(CRITICAL_SECTION* section) : m_section(section) { EnterCriticalSection(m_section); }
  // Takes over one entry the caller already holds; the destructor leaves it.
  CriticalSectionGuard(CRITICAL_SECTION* section, AlreadyEntered) : m_section(section) {}
  ~CriticalSectionGuard() { LeaveCriticalSection(m_section); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

 private:
  CRITICAL_SECTION* m_section;
};

}  // namespace ORVO
