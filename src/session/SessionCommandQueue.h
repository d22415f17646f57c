#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <map>

namespace ORVO {
namespace MediaFoundation {

// The engine's transport commands: the one the session has been given and not yet confirmed
// (in flight), and those waiting behind it, one per slot. A later request of the same kind replaces
// a waiting one, and the waiting ones are issued lowest slot first.
//
// Not locked itself: MediaFoundationPlayer uses it under its m_lock.
class SessionCommandQueue {
 public:
  enum CommandCode : int32_t {
    CommandNone = 0,
    CommandOpen = 1,
    CommandStop = 2,
    CommandStart = 3,
    CommandPause = 4,
    CommandSeek = 5,
    CommandRate = 6,
  };
  // Slots order the queue: the lowest slot is issued first.
  enum CommandSlot : int32_t {
    SlotTransport = 1,
    SlotSeek = 2,
    SlotRate = 4,
  };
  struct Command {
    int32_t command = CommandNone;
    double rate = 1.0;
    LONGLONG position = 0;
  };
  using CommandMap = std::map<int32_t, Command>;

  static Command Make(int32_t code, double rate = 1.0, LONGLONG position = 0);
  // The slot a command waits in.
  static CommandSlot SlotOf(int32_t code);

  // True while a command is in flight or waiting: new requests must wait then.
  bool Busy() const { return !m_queued.empty() || !m_inFlight.empty(); }
  void Wait(const Command& command) { m_queued[SlotOf(command.command)] = command; }
  void Issued(const Command& command) { m_inFlight[SlotOf(command.command)] = command; }
  // Removes the first waiting command into *command; false when none waits.
  bool TakeNext(Command* command);
  // An event confirmed one of these commands: when the first in flight is among them, nothing is
  // in flight any more.
  void Confirm(std::initializer_list<int32_t> commands);
  void Clear();

  // The position of a seek in flight, else of a waiting one; false when there is none.
  bool PendingPosition(LONGLONG* position) const;
  // The rate of a rate change in flight, else of a waiting one; false when there is none.
  bool PendingRate(double* rate) const;
  // True while a Stop is in flight or waiting.
  bool StopPending() const;

  const CommandMap& queued() const { return m_queued; }
  const CommandMap& inFlight() const { return m_inFlight; }

 private:
  const Command* pending(CommandSlot slot) const;

  CommandMap m_queued;
  CommandMap m_inFlight;
};

}  // namespace MediaFoundation
}  // namespace ORVO
