#pragma once

#include <windows.h>

#include <map>
#include <memory>

namespace ORVO {
namespace Media {

class OrvoMediaPlayer;

// The preview windows the Media Session engine subclasses: for each, the player whose engine it
// shows and the host's own procedure. The library keeps this itself and never writes the window's
// GWLP_USERDATA, which belongs to the host.
//
// Holds a shared reference so that a player closed on another thread stays alive while one of its
// messages is being handled. The window lock is taken alone or directly under the registry lock,
// never under a player lock, and no library lock is held while the host's procedure runs.
class WindowRegistry {
 public:
  static WindowRegistry& Instance();

  enum SubclassResult { Subclassed, NotSubclassed, TakenByAnotherPlayer };
  // Subclasses window for player; a window already subclassed for it stays as it is. A window
  // another player shows its engine in is refused. Failures are logged.
  SubclassResult Subclass(HWND window, const std::shared_ptr<OrvoMediaPlayer>& player);
  // Gives every window that player subclassed, except keep, its host's procedure back.
  void RestoreAll(const OrvoMediaPlayer* player, HWND keep = nullptr);

  // The procedure of every subclassed window: the player handles what concerns its engine, then
  // the host's procedure gets the message, unless the player consumed it.
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  // For tests: the player a window is subclassed for, or null.
  std::shared_ptr<OrvoMediaPlayer> Find(HWND window);

 private:
  struct Entry {
    // Null once the player let go of a window that someone subclassed again after us: our
    // procedure then stays in the chain and passes everything on to the host's.
    std::shared_ptr<OrvoMediaPlayer> player;
    WNDPROC hostProc = nullptr;
  };

  WindowRegistry();
  ~WindowRegistry();
  bool lookUp(HWND window, Entry* entry);
  // The window is being destroyed: its handle may soon name another window.
  void forget(HWND window);

  CRITICAL_SECTION m_lock;
  std::map<HWND, Entry> m_windows;
};

}  // namespace Media
}  // namespace ORVO
