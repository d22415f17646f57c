#include "lowlatency/RenderQueue.h"

#include <utility>

namespace ORVO {
namespace Media {

void RenderQueue::push(Microsoft::WRL::ComPtr<IMFSample> sample, int64_t readyAt) {
  m_entries.push_back(Entry{std::move(sample), readyAt});
}

bool RenderQueue::pop(Entry* entry) {
  if (m_entries.empty()) return false;
  *entry = std::move(m_entries.front());
  m_entries.pop_front();
  return true;
}

size_t RenderQueue::trimToNewest() {
  if (m_entries.size() <= 1) return 0;
  const size_t released = m_entries.size() - 1;
  m_entries.erase(m_entries.begin(), m_entries.end() - 1);
  return released;
}

}  // namespace Media
}  // namespace ORVO
