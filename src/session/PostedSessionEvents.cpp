#include "session/PostedSessionEvents.h"

#include <vector>

#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "log/Log.h"

using Microsoft::WRL::ComPtr;

namespace ORVO {
namespace MediaFoundation {

PostedSessionEvents& PostedSessionEvents::Instance() {
  // Never destroyed: work-queue threads may still post while the process exits.
  static PostedSessionEvents* instance = new PostedSessionEvents();
  return *instance;
}

PostedSessionEvents::PostedSessionEvents() { InitializeCriticalSection(&m_lock); }
PostedSessionEvents::~PostedSessionEvents() { DeleteCriticalSection(&m_lock); }

uint64_t PostedSessionEvents::Register() {
  CriticalSectionGuard lock(&m_lock);
  m_live.insert(m_nextOwner);
  return m_nextOwner++;
}

bool PostedSessionEvents::Post(uint64_t owner, HWND window, UINT message, IMFMediaEvent* event, LPARAM lParam) {
  if (!event) return false;
  CriticalSectionGuard lock(&m_lock);
  if (!m_live.count(owner)) return false;
  // Recorded before posting: the window thread may claim it before PostMessageW returns.
  event->AddRef();
  m_events[event] = owner;
  if (!PostMessageW(window, message, reinterpret_cast<WPARAM>(event), lParam)) {
    ORVO_LOG_DEBUG("PostedSessionEvents::Post: PostMessageW failed %d", static_cast<int>(GetLastError()));
    m_events.erase(event);
    event->Release();
    return false;
  }
  return true;
}

ComPtr<IMFMediaEvent> PostedSessionEvents::Claim(uint64_t owner, WPARAM wParam) {
  IMFMediaEvent* event = reinterpret_cast<IMFMediaEvent*>(wParam);
  ComPtr<IMFMediaEvent> claimed;
  uint64_t postedBy = 0;
  {
    CriticalSectionGuard lock(&m_lock);
    auto it = m_events.find(event);
    if (it == m_events.end()) return nullptr;
    postedBy = it->second;
    claimed = AdoptRef(event);  // takes over the table's reference
    m_events.erase(it);
  }
  if (postedBy != owner) return nullptr;  // released here, outside the lock
  return claimed;
}

void PostedSessionEvents::Discard(WPARAM wParam) {
  IMFMediaEvent* event = reinterpret_cast<IMFMediaEvent*>(wParam);
  ComPtr<IMFMediaEvent> released;
  CriticalSectionGuard lock(&m_lock);
  auto it = m_events.find(event);
  if (it == m_events.end()) return;
  released = AdoptRef(event);
  m_events.erase(it);
}

size_t PostedSessionEvents::Retire(uint64_t owner) {
  std::vector<ComPtr<IMFMediaEvent>> released;
  {
    CriticalSectionGuard lock(&m_lock);
    m_live.erase(owner);
    for (auto it = m_events.begin(); it != m_events.end();) {
      if (it->second == owner) {
        released.push_back(AdoptRef(it->first));
        it = m_events.erase(it);
      } else {
        ++it;
      }
    }
  }
  return released.size();
}

size_t PostedSessionEvents::InFlight() {
  CriticalSectionGuard lock(&m_lock);
  return m_events.size();
}

}  // namespace MediaFoundation
}  // namespace ORVO
