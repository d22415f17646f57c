#include "lowlatency/SampleQueue.h"

#include <utility>

#include "common/CriticalSectionGuard.h"
#include "log/Log.h"

namespace ORVO {
namespace Media {

SampleQueue::SampleQueue() {
  InitializeCriticalSection(&m_lock);
  m_queuedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!m_queuedEvent) {
    ORVO_LOG_ERROR("DxPlayer::StreamInt::StreamInt: CreateEventW failed %u", static_cast<unsigned>(GetLastError()));
  }
}

SampleQueue::~SampleQueue() {
  m_queue.clear();
  if (m_queuedEvent) CloseHandle(m_queuedEvent);
  DeleteCriticalSection(&m_lock);
}

size_t SampleQueue::push(Microsoft::WRL::ComPtr<IMFSample> sample, int64_t readyAt) {
  size_t depth = 0;
  {
    CriticalSectionGuard guard(&m_lock);
    m_queue.push(std::move(sample), readyAt);
    depth = m_queue.size();
  }
  if (m_queuedEvent) SetEvent(m_queuedEvent);
  return depth;
}

bool SampleQueue::pop(RenderQueue::Entry* entry, bool trimFirst, size_t* trimmed, size_t* depthBefore,
                      size_t* depthAfter) {
  CriticalSectionGuard guard(&m_lock);
  *trimmed = trimFirst ? m_queue.trimToNewest() : 0;
  *depthBefore = m_queue.size();
  const bool popped = m_queue.pop(entry);
  *depthAfter = m_queue.size();
  return popped;
}

size_t SampleQueue::trimToNewest() {
  CriticalSectionGuard guard(&m_lock);
  return m_queue.trimToNewest();
}

size_t SampleQueue::size() {
  CriticalSectionGuard guard(&m_lock);
  return m_queue.size();
}

void SampleQueue::clear() {
  CriticalSectionGuard guard(&m_lock);
  m_queue.clear();
}

}  // namespace Media
}  // namespace ORVO
