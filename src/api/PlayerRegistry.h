#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <map>
#include <memory>

namespace ORVO {
namespace MediaFoundation {
class VideoDecoderClassFactory;
}
namespace Media {

class OrvoMediaPlayer;

// Process-wide map from player id to player. Its lock is the outermost lock of the library (the
// whole order is written beside CriticalSectionGuard), held only to look a player up, add or
// remove one: an export takes a shared reference under it and works under the player's own lock,
// so a host callback may call any export while another thread waits for that callback's thread.
// Ids count up from 1 and are never reused while the library stays loaded.
//
// While at least one player exists, Media Foundation is started, the local decoder factory is
// registered, and the library holds a reference to its own module, so that a host unloading it
// with players still open cannot pull the code out from under their threads.
class PlayerRegistry {
 public:
  static PlayerRegistry& Instance();

  // The registry lock, for a CriticalSectionGuard around a look-up or a configuration call.
  CRITICAL_SECTION* criticalSection() { return &m_lock; }

  // Under the lock.
  int add();
  std::shared_ptr<OrvoMediaPlayer> find(int playerId) const;
  size_t size() const { return m_players.size(); }

  // Takes the lock itself. Removes the player under the lock and closes it outside; the last close
  // shuts the platform down again. False for an unknown id.
  bool close(int playerId);

  // Frees the registry when the library is unloaded with FreeLibrary. At process exit it is left
  // alone instead: players still registered then belong to threads the OS has already ended, and
  // destroying them would touch a platform that is shutting down.
  static void DestroyAtUnload();

 private:
  PlayerRegistry();
  ~PlayerRegistry();
  void startPlatform();
  void stopPlatform();

  CRITICAL_SECTION m_lock;
  int m_nextId = 1;
  // Removed players whose close is still running: the platform stays up for them.
  int m_closing = 0;
  bool m_platformStarted = false;
  std::map<int, std::shared_ptr<OrvoMediaPlayer>> m_players;
  Microsoft::WRL::ComPtr<MediaFoundation::VideoDecoderClassFactory> m_factory;
  HMODULE m_selfReference = nullptr;
};

}  // namespace Media
}  // namespace ORVO
