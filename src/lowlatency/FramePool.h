#pragma once

#include <windows.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <cstddef>
#include <vector>

namespace ORVO {
namespace Media {

// Decoded frames in system memory, used again and again: a decoder writes each picture into a
// sample of this pool instead of one allocated, zeroed and faulted in per frame. A sample is free
// again once nobody but the pool holds it or its buffer (the queue and the renderer let go).
//
// Threads: one thread (the stream's pulling thread) acquires; the samples it handed out may be
// released on any thread. A count seen at the pool's own references cannot grow behind it, since
// only the acquiring thread hands out new ones.
class FramePool {
 public:
  explicit FramePool(size_t capacity) : m_capacity(capacity) {}

  // A sample with one buffer of at least `bytes` (current length 0, no attributes), as a new
  // reference. A request larger than the pooled buffers empties the pool first. With every pooled
  // sample in use the sample is made for this frame only.
  HRESULT acquire(DWORD bytes, IMFSample** sample);
  void clear();
  // Buffers made since construction, pooled or not: what a clip cost in frame-sized allocations.
  size_t allocations() const { return m_allocations; }
  size_t capacity() const { return m_capacity; }

 private:
  const size_t m_capacity;
  DWORD m_bytes = 0;
  size_t m_allocations = 0;
  std::vector<Microsoft::WRL::ComPtr<IMFSample>> m_samples;
};

}  // namespace Media
}  // namespace ORVO
