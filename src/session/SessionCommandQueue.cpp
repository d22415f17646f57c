#include "session/SessionCommandQueue.h"

namespace ORVO {
namespace MediaFoundation {

SessionCommandQueue::Command SessionCommandQueue::Make(int32_t code, double rate, LONGLONG position) {
  Command command;
  command.command = code;
  command.rate = rate;
  command.position = position;
  return command;
}

SessionCommandQueue::CommandSlot SessionCommandQueue::SlotOf(int32_t code) {
  if (code == CommandSeek) return SlotSeek;
  if (code == CommandRate) return SlotRate;
  return SlotTransport;
}

bool SessionCommandQueue::TakeNext(Command* command) {
  if (m_queued.empty()) return false;
  const auto first = m_queued.begin();
  *command = first->second;
  m_queued.erase(first);
  return true;
}

void SessionCommandQueue::Confirm(std::initializer_list<int32_t> commands) {
  if (m_inFlight.empty()) return;
  const int32_t first = m_inFlight.begin()->second.command;
  for (int32_t command : commands) {
    if (command == first) {
      m_inFlight.clear();
      return;
    }
  }
}

void SessionCommandQueue::Clear() {
  m_queued.clear();
  m_inFlight.clear();
}

const SessionCommandQueue::Command* SessionCommandQueue::pending(CommandSlot slot) const {
  auto it = m_inFlight.find(slot);
  if (it != m_inFlight.end()) return &it->second;
  it = m_queued.find(slot);
  return it != m_queued.end() ? &it->second : nullptr;
}

bool SessionCommandQueue::PendingPosition(LONGLONG* position) const {
  const Command* seek = pending(SlotSeek);
  if (seek) *position = seek->position;
  return seek != nullptr;
}

bool SessionCommandQueue::PendingRate(double* rate) const {
  const Command* change = pending(SlotRate);
  if (change) *rate = change->rate;
  return change != nullptr;
}

bool SessionCommandQueue::StopPending() const {
  for (const CommandMap* commands : {&m_inFlight, &m_queued}) {
    auto it = commands->find(SlotTransport);
    if (it != commands->end() && it->second.command == CommandStop) return true;
  }
  return false;
}

}  // namespace MediaFoundation
}  // namespace ORVO
