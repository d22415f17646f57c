#pragma once

#include <windows.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>

#include "lowlatency/RenderQueue.h"

namespace ORVO {
namespace Media {

// The hand-over between a stream's pulling thread (push) and its rendering thread (pop): the
// rendering queue, its lock, and an event that wakes the rendering thread when a sample arrives.
// The lock is never held while another lock is taken.
class SampleQueue {
 public:
  SampleQueue();
  ~SampleQueue();
  SampleQueue(const SampleQueue&) = delete;
  SampleQueue& operator=(const SampleQueue&) = delete;

  // Queues a sample that became ready at readyAt; returns the depth after.
  size_t push(Microsoft::WRL::ComPtr<IMFSample> sample, int64_t readyAt);
  // Takes the oldest entry. With trimFirst all but the newest are released first, their count in
  // *trimmed. *depthBefore: the depth before the pop (after the trim); *depthAfter: after it.
  bool pop(RenderQueue::Entry* entry, bool trimFirst, size_t* trimmed, size_t* depthBefore, size_t* depthAfter);
  // Releases all but the newest sample; returns how many went.
  size_t trimToNewest();
  size_t size();
  void clear();
  // Set when a sample is pushed (auto-reset); null if it could not be made.
  HANDLE wakeEvent() const { return m_queuedEvent; }

 private:
  CRITICAL_SECTION m_lock;
  RenderQueue m_queue;  // guarded by m_lock
  HANDLE m_queuedEvent = nullptr;
};

}  // namespace Media
}  // namespace ORVO
