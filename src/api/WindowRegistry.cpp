#include "api/WindowRegistry.h"

#include "api/OrvoMediaPlayer.h"
#include "common/CriticalSectionGuard.h"

namespace ORVO {
namespace Media {

WindowRegistry& WindowRegistry::Instance() {
  // Deliberately never destroyed: at process exit the players it may still hold belong to threads
  // that no longer exist, and destroying them would touch a shut-down platform.
  static WindowRegistry* instance = new WindowRegistry();
  return *instance;
}

WindowRegistry::WindowRegistry() { InitializeCriticalSection(&m_lock); }

WindowRegistry::~WindowRegistry() { DeleteCriticalSection(&m_lock); }

void WindowRegistry::Add(HWND window, const std::shared_ptr<OrvoMediaPlayer>& player) {
  CriticalSectionGuard lock(&m_lock);
  m_players.emplace(window, player);
}

std::shared_ptr<OrvoMediaPlayer> WindowRegistry::Find(HWND window) {
  CriticalSectionGuard lock(&m_lock);
  auto it = m_players.find(window);
  return it == m_players.end() ? nullptr : it->second;
}

void WindowRegistry::Remove(HWND window) {
  // Declared before the guard so that it is dropped after the lock is left: the last reference
  // destroys the player, whose Close takes the player lock, never to be taken under this one.
  std::shared_ptr<OrvoMediaPlayer> dropped;
  CriticalSectionGuard lock(&m_lock);
  auto it = m_players.find(window);
  if (it == m_players.end()) return;
  dropped = std::move(it->second);
  m_players.erase(it);
}

}  // namespace Media
}  // namespace ORVO
