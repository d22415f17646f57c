#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "common/PlayerTypes.h"

namespace ORVO {
namespace Media {

// What the event watcher reads of a player at one moment: its state and, for the low-latency
// engine, how far each stream has come.
struct StreamSnapshot {
  bool active = false;
  uint64_t returned = 0;   // samples the host has returned so far
  uint64_t presented = 0;  // samples presented so far
  bool ended = false;      // the host ended the stream
  HRESULT error = S_OK;    // why the stream could not go on
  uint64_t catchUps = 0;   // catch-ups of a large audio lateness so far
};
struct PlayerSnapshot {
  int state = Closed;
  std::vector<StreamSnapshot> streams;
  bool syncInBounds = true;  // sound within the lip-sync bounds of the picture
  // Times the default audio endpoint took the place of the one the host chose, and why the last time.
  uint64_t endpointFallbacks = 0;
  HRESULT endpointFallbackError = S_OK;
};

}  // namespace Media
}  // namespace ORVO
