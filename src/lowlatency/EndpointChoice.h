#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ORVO {
namespace Media {

// Which endpoint a low-latency audio stream plays on when its host chose one: the chosen endpoint
// whenever it can be opened, else the default console endpoint in its place; while the default
// stands in, the chosen one is tried again at most every kRetryMs, so a device that comes back
// gets the sound back. Without a chosen id the default is all there is. Pure: the caller opens the
// endpoints and passes its clock (milliseconds).
class EndpointChoice {
 public:
  static constexpr uint64_t kRetryMs = 1000;

  explicit EndpointChoice(const std::wstring& chosenId) : m_chosenId(chosenId) {}

  // The ids to try, in order, at an open or a reopen: the chosen one, then the default (empty).
  std::vector<std::wstring> candidates() const;
  // An open succeeded on candidates()[index] at `now`. True when the default has just taken the
  // chosen endpoint's place (it had not before): the host is told of each such fallback once.
  bool opened(size_t index, uint64_t now);
  // Whether the chosen endpoint is due for another try at `now`; when it is, the try counts from then.
  bool retryDue(uint64_t now);
  // The default plays in place of the chosen endpoint.
  bool standingIn() const { return m_standingIn; }
  const std::wstring& chosenId() const { return m_chosenId; }

 private:
  const std::wstring m_chosenId;
  bool m_standingIn = false;
  uint64_t m_lastTry = 0;
};

}  // namespace Media
}  // namespace ORVO
