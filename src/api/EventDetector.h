#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "OrvoMedia.h"
#include "common/PlayerSnapshot.h"

namespace ORVO {
namespace Media {

// Turns successive snapshots of one player into the host's events. Pure: the caller reads the
// player and the clock (100-ns ticks) and delivers what comes back, in order.
class EventDetector {
 public:
  static constexpr int64_t kStallTicks = 10000000;  // a stream without a sample this long stalls

  std::vector<OrvoEvent> next(int playerId, const PlayerSnapshot& now, int64_t nowTicks);

 private:
  struct Stream {
    uint64_t returned = 0;
    uint64_t presentedAtPlay = 0;
    int64_t lastSampleAt = 0;
    bool firstFrameSent = false;
    bool stalled = false;
    bool ended = false;
    HRESULT error = S_OK;
    uint64_t catchUps = 0;
  };
  bool m_seen = false;
  int m_state = Closed;
  bool m_syncInBounds = true;
  uint64_t m_endpointFallbacks = 0;
  std::vector<Stream> m_streams;
};

}  // namespace Media
}  // namespace ORVO
