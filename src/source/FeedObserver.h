#pragma once

#include <cstdint>

namespace ORVO {
namespace MediaFoundation {

// Told about each sample the source asks its host for and each filled one the host hands back,
// on the source's pulling thread. Held by shared pointer: a pulling thread left behind in a host
// callback that does not return may outlive the stream that set the observer.
class FeedObserver {
 public:
  virtual ~FeedObserver() = default;
  virtual void onRequested() = 0;
  // The host returned a filled sample with this time stamp at `now` (100-ns ticks of the library
  // clock); not called for answers that arrive after a stop.
  virtual void onReturned(int64_t sampleTime, int64_t now) = 0;
};

}  // namespace MediaFoundation
}  // namespace ORVO
