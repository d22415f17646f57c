#pragma once

#include <cstdint>

namespace ORVO {
namespace Media {

// How long an output keeps trying to get a lost device or endpoint back before it gives up and
// the player reports Error. Pure: the caller reads the clock (milliseconds) and owns the thread.
class RecoveryWindow {
 public:
  explicit RecoveryWindow(uint64_t boundMs) : m_boundMs(boundMs) {}

  // Something was lost at now; a loss already running keeps its start.
  void lost(uint64_t now);
  // It came back: the next loss gets a full window again.
  void recovered() { m_losing = false; }
  bool losing() const { return m_losing; }
  // Lost for longer than the bound.
  bool exhausted(uint64_t now) const { return m_losing && now - m_lostAt > m_boundMs; }

 private:
  const uint64_t m_boundMs;
  bool m_losing = false;
  uint64_t m_lostAt = 0;
};

}  // namespace Media
}  // namespace ORVO
