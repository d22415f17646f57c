#include "api/WindowRegistry.h"

#include "api/OrvoMediaPlayer.h"

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
  EnterCriticalSection(&m_lock);
  m_players.emplace(window, player);
  LeaveCriticalSection(&m_lock);
}

std::shared_ptr<OrvoMediaPlayer> WindowRegistry::Find(HWND window) {
  EnterCriticalSection(&m_lock);
  auto it = m_players.find(window);
  std::shared_ptr<OrvoMediaPlayer> player = (it == m_players.end()) ? nullptr : it->second;
  LeaveCriticalSection(&m_lock);
  return player;
}

void WindowRegistry::Remove(HWND window) {
  std::shared_ptr<OrvoMediaPlayer> dropped;
  EnterCriticalSection(&m_lock);
  auto it = m_players.find(window);
  if (it != m_players.end()) {
    dropped = std::move(it->second);
    m_players.erase(it);
  }
  LeaveCriticalSection(&m_lock);
}

}  // namespace Media
}  // namespace ORVO
