#pragma once

#include <mfobjects.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <deque>

#include "common/Clock.h"

namespace ORVO {
namespace Media {

// The decoded samples a stream's rendering thread has yet to present, oldest first, each with the
// library-clock time it became ready. A fresh start-time agreement is bound to when its sample was
// ready, not to when the rendering thread, busy with the frames before it, got round to it: that
// wait would otherwise be built into the timeline of every later frame until the next agreement.
// Not locked: the owning stream guards it with its own lock.
class RenderQueue {
 public:
  struct Entry {
    Microsoft::WRL::ComPtr<IMFSample> sample;
    int64_t readyAt = kUnsetTime;  // 100-ns library clock
  };

  void push(Microsoft::WRL::ComPtr<IMFSample> sample, int64_t readyAt);
  // The oldest entry; false when there is none.
  bool pop(Entry* entry);
  // Releases all but the newest entry and says how many went.
  size_t trimToNewest();
  void clear() { m_entries.clear(); }
  size_t size() const { return m_entries.size(); }

 private:
  std::deque<Entry> m_entries;
};

}  // namespace Media
}  // namespace ORVO
