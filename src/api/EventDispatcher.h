#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "OrvoMedia.h"
#include "api/EventDetector.h"

namespace ORVO {
namespace Media {

// Tells one player's host what happened to it, on a watcher thread of its own: every 20 ms the
// watcher reads the player through `probe`, turns the change into events and calls the host's
// event callback with no library lock held, so the callback may call any export. The watcher runs
// only while a callback is registered.
class EventDispatcher {
 public:
  static constexpr unsigned kPollMilliseconds = 20;
  static constexpr unsigned kStopWaitMilliseconds = 2000;
  using Probe = std::function<PlayerSnapshot()>;

  EventDispatcher(int playerId, Probe probe);
  ~EventDispatcher();
  EventDispatcher(const EventDispatcher&) = delete;
  EventDispatcher& operator=(const EventDispatcher&) = delete;

  // A null callback unregisters; events after that are dropped.
  void setCallback(OrvoEventCallback callback, void* context);
  // Ends the watcher before the player goes away. Waits for it, at most about 2 s for a host
  // callback in progress (for as long as the watcher is reading the player); the watcher itself
  // (the host closed the player from its event callback), or one left behind in the callback,
  // ends as soon as the callback returns and never reads the player again.
  // The caller holds no lock the probe takes.
  void stop();

 private:
  struct Shared {
    std::mutex lock;
    std::condition_variable wake;
    OrvoEventCallback callback = nullptr;
    void* context = nullptr;
    bool stopping = false;
    bool finished = false;  // the watcher has returned
    bool inCallback = false;  // the watcher is inside the host's event callback
  };
  static void Watch(std::shared_ptr<Shared> shared, int playerId, Probe probe);

  const int m_playerId;
  const Probe m_probe;
  std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
  // Guards m_thread only; taken before m_shared->lock, never while waiting for the watcher.
  std::mutex m_threadLock;
  std::thread m_thread;
};

}  // namespace Media
}  // namespace ORVO
