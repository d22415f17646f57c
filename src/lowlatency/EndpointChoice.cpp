#include "lowlatency/EndpointChoice.h"

namespace ORVO {
namespace Media {

std::vector<std::wstring> EndpointChoice::candidates() const {
  if (m_chosenId.empty()) return {std::wstring()};
  return {m_chosenId, std::wstring()};
}

bool EndpointChoice::opened(size_t index, uint64_t now) {
  const bool onDefaultInstead = !m_chosenId.empty() && index > 0;
  const bool fellBack = onDefaultInstead && !m_standingIn;
  m_standingIn = onDefaultInstead;
  if (fellBack) m_lastTry = now;
  return fellBack;
}

bool EndpointChoice::retryDue(uint64_t now) {
  if (!m_standingIn || now - m_lastTry < kRetryMs) return false;
  m_lastTry = now;
  return true;
}

}  // namespace Media
}  // namespace ORVO
