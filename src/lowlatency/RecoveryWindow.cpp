#include "lowlatency/RecoveryWindow.h"

namespace ORVO {
namespace Media {

void RecoveryWindow::lost(uint64_t now) {
  if (m_losing) return;
  m_losing = true;
  m_lostAt = now;
}

}  // namespace Media
}  // namespace ORVO
