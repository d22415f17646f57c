#include "api/WindowRegistry.h"

#include <vector>

#include "api/OrvoMediaPlayer.h"
#include "common/CriticalSectionGuard.h"
#include "log/Log.h"
#include "session/MediaFoundationPlayer.h"

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

WindowRegistry::SubclassResult WindowRegistry::Subclass(HWND window, const std::shared_ptr<OrvoMediaPlayer>& player) {
  CriticalSectionGuard lock(&m_lock);
  auto it = m_windows.find(window);
  if (it != m_windows.end()) {
    // Ours already: chaining to our own procedure would loop. A window we keep in the chain
    // for the host is taken up again.
    if (!it->second.player) it->second.player = player;
    if (it->second.player == player) return Subclassed;
    // Each engine drops the session events it did not post, so a second player's would never
    // move its state on.
    ORVO_LOG_ERROR("OrvoMediaPlayer::SetPreviewWindow: window %p is already another player's preview window",
                   static_cast<void*>(window));
    return TakenByAnotherPlayer;
  }
  // Switched and entered under the lock that WindowProc's look-up waits for: the first message
  // through the new procedure finds the entry complete. Setting GWLP_WNDPROC sends no message, so
  // the window's thread is never waited for here.
  const LONG_PTR previous = SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
  if (previous == 0) {
    ORVO_LOG_ERROR("OrvoMediaPlayer::SetPreviewWindow: SetWindowLongPtr(GWL_WNDPROC) failed %d",
                   static_cast<int>(GetLastError()));
    return NotSubclassed;
  }
  m_windows[window] = Entry{player, reinterpret_cast<WNDPROC>(previous)};
  return Subclassed;
}

void WindowRegistry::RestoreAll(const OrvoMediaPlayer* player, HWND keep) {
  // Declared before the guard so that they are dropped after the lock is left: the last reference
  // destroys a player, whose Close takes the player lock, never to be taken under this one.
  std::vector<std::shared_ptr<OrvoMediaPlayer>> dropped;
  CriticalSectionGuard lock(&m_lock);
  for (auto it = m_windows.begin(); it != m_windows.end();) {
    if (it->first == keep || !it->second.player || it->second.player.get() != player) {
      ++it;
      continue;
    }
    dropped.push_back(std::move(it->second.player));
    const HWND window = it->first;
    if (GetWindowLongPtrW(window, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(&WindowProc) && IsWindow(window)) {
      // Someone subclassed the window after us and chains to our procedure: taking it out would
      // cut the host's procedure off, so it stays and only passes messages on.
      ++it;
      continue;
    }
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(it->second.hostProc));
    it = m_windows.erase(it);
  }
}

std::shared_ptr<OrvoMediaPlayer> WindowRegistry::Find(HWND window) {
  Entry entry;
  return lookUp(window, &entry) ? entry.player : nullptr;
}

bool WindowRegistry::lookUp(HWND window, Entry* entry) {
  CriticalSectionGuard lock(&m_lock);
  auto it = m_windows.find(window);
  if (it == m_windows.end()) return false;
  *entry = it->second;
  return true;
}

void WindowRegistry::forget(HWND window) {
  std::shared_ptr<OrvoMediaPlayer> dropped;
  CriticalSectionGuard lock(&m_lock);
  auto it = m_windows.find(window);
  if (it == m_windows.end()) return;
  dropped = std::move(it->second.player);
  m_windows.erase(it);
}

LRESULT CALLBACK WindowRegistry::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // The copy keeps the player alive for the whole message, even if the host closes it meanwhile
  // on another thread.
  Entry entry;
  if (!Instance().lookUp(window, &entry)) {
    // The window went back to its host between the dispatch of this message and the look-up: the
    // host's procedure still gets it.
    const LONG_PTR current = GetWindowLongPtrW(window, GWLP_WNDPROC);
    if (current != 0 && current != reinterpret_cast<LONG_PTR>(&WindowProc)) {
      return CallWindowProcW(reinterpret_cast<WNDPROC>(current), window, message, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
  bool consumed = false;
  if (entry.player) {
    consumed = entry.player->HandleWindowMessage(window, message, wParam, lParam);
  } else if (message == MediaFoundation::MediaFoundationPlayer::kSessionEventMessage) {
    // Posted by an engine closed since: released here, never the host's business.
    MediaFoundation::MediaFoundationPlayer::DiscardPostedEvent(wParam);
    consumed = true;
  }
  if (message == WM_NCDESTROY) Instance().forget(window);
  if (consumed) return 0;
  return CallWindowProcW(entry.hostProc, window, message, wParam, lParam);
}

}  // namespace Media
}  // namespace ORVO
