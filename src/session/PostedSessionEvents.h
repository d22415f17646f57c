#pragma once

#include <windows.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <cstdint>
#include <map>
#include <set>

namespace ORVO {
namespace MediaFoundation {

// Keeps every session event that is travelling to a window as a posted message, with the engine
// that posted it.
//
// A posted message carries a raw IMFMediaEvent* in wParam. If the engine is disposed before the
// window thread gets to the message (Close from another thread, or a window whose procedure is no
// longer ours), nobody would release that reference, and a later engine on the same window could
// be handed an event of the previous session. So the reference belongs to this table until the
// window thread claims it; disposing an engine releases what it still has here, and a message whose
// event is no longer here is ignored without touching the pointer. While an event is in the table
// its reference keeps its address from being reused, so a pointer found here is always live.
//
// Threads: Post on Media Foundation work-queue threads; Claim and Discard on window threads;
// Retire on host threads. The table's lock is innermost: nothing else is taken under it.
class PostedSessionEvents {
 public:
  static PostedSessionEvents& Instance();

  // A token naming one engine for the table; never reused within the process. Only a registered,
  // not yet retired owner may post.
  uint64_t Register();
  // Adds a reference to the event, records it and posts message(wParam = event, lParam) to the
  // window. False (nothing kept) when the owner is retired or posting fails.
  bool Post(uint64_t owner, HWND window, UINT message, IMFMediaEvent* event, LPARAM lParam);
  // Takes the event back from the table. Returns it when it was posted by this owner; an event of
  // another owner is released and null returned, as is an event the table no longer holds.
  Microsoft::WRL::ComPtr<IMFMediaEvent> Claim(uint64_t owner, WPARAM wParam);
  // Releases a posted event that reached a window whose engine is gone.
  void Discard(WPARAM wParam);
  // Releases every event the owner still has in flight and refuses its later posts.
  size_t Retire(uint64_t owner);
  // Events currently in flight (for diagnostics and tests).
  size_t InFlight();

 private:
  PostedSessionEvents();
  ~PostedSessionEvents();

  CRITICAL_SECTION m_lock;
  uint64_t m_nextOwner = 1;
  // Owners registered and not yet retired: kept as the live ones, not the retired ones, so that the
  // table does not grow by one entry per engine over a process's life.
  std::set<uint64_t> m_live;
  std::map<IMFMediaEvent*, uint64_t> m_events;  // each entry holds one reference
};

}  // namespace MediaFoundation
}  // namespace ORVO
