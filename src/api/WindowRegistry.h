#pragma once

#include <windows.h>

#include <map>
#include <memory>

namespace ORVO {
namespace Media {

class OrvoMediaPlayer;

// Lets a subclassed window's procedure find its player. Holds a shared reference so that a player
// closed on another thread stays alive while one of its messages is being handled.
// The window lock is taken alone or directly under the registry lock, never under a player lock.
class WindowRegistry {
 public:
  static WindowRegistry& Instance();

  // Adds window -> player unless the window already has an entry.
  void Add(HWND window, const std::shared_ptr<OrvoMediaPlayer>& player);
  std::shared_ptr<OrvoMediaPlayer> Find(HWND window);
  // Removes the entry; the reference is dropped after the lock is released.
  void Remove(HWND window);

 private:
  WindowRegistry();
  ~WindowRegistry();

  CRITICAL_SECTION m_lock;
  std::map<HWND, std::shared_ptr<OrvoMediaPlayer>> m_players;
};

}  // namespace Media
}  // namespace ORVO
