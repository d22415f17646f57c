#include "api/EventDispatcher.h"

#include <chrono>
#include <vector>

#include "common/Clock.h"
#include "log/Log.h"

namespace ORVO {
namespace Media {

EventDispatcher::EventDispatcher(int playerId, Probe probe) : m_playerId(playerId), m_probe(std::move(probe)) {}

EventDispatcher::~EventDispatcher() { stop(); }

void EventDispatcher::setCallback(OrvoEventCallback callback, void* context) {
  // Two hosts' threads may register at once: exactly one of them starts the watcher, and none
  // after stop() has taken it.
  std::lock_guard<std::mutex> threadGuard(m_threadLock);
  {
    std::lock_guard<std::mutex> guard(m_shared->lock);
    if (m_shared->stopping) return;
    m_shared->callback = callback;
    m_shared->context = context;
  }
  if (callback && !m_thread.joinable()) m_thread = std::thread(&EventDispatcher::Watch, m_shared, m_playerId, m_probe);
}

void EventDispatcher::stop() {
  {
    std::lock_guard<std::mutex> guard(m_shared->lock);
    m_shared->stopping = true;
    m_shared->callback = nullptr;
  }
  m_shared->wake.notify_all();
  // Taken out under the lock, waited for without it: a host's event callback that registers
  // again while this waits must not block on it.
  std::thread watcher;
  {
    std::lock_guard<std::mutex> threadGuard(m_threadLock);
    watcher = std::move(m_thread);
  }
  if (!watcher.joinable()) return;
  bool finished = false;
  if (watcher.get_id() != std::this_thread::get_id()) {
    // A host's event callback that does not come back must not hold Close up for good. Only a
    // watcher inside that callback is left behind: one still reading the player (waiting for
    // its lock behind a slow export) would read it after it has gone, so that one is waited for.
    std::unique_lock<std::mutex> guard(m_shared->lock);
    finished = m_shared->wake.wait_for(guard, std::chrono::milliseconds(kStopWaitMilliseconds),
                                       [&] { return m_shared->finished; });
    if (!finished) {
      m_shared->wake.wait(guard, [&] { return m_shared->finished || m_shared->inCallback; });
      finished = m_shared->finished;
    }
  }
  if (finished) {
    watcher.join();
  } else {
    // From here on the watcher touches only `shared` and ends once the host's callback returns.
    if (watcher.get_id() != std::this_thread::get_id()) {
      ORVO_LOG_DEBUG("EventDispatcher::stop: player %d event callback busy for %u ms, watcher left behind",
                     m_playerId, kStopWaitMilliseconds);
    }
    watcher.detach();
  }
}

void EventDispatcher::Watch(std::shared_ptr<Shared> shared, int playerId, Probe probe) {
  struct Finish {
    Shared& shared;
    ~Finish() {
      {
        std::lock_guard<std::mutex> guard(shared.lock);
        shared.finished = true;
      }
      shared.wake.notify_all();
    }
  } finish{*shared};
  EventDetector detector;
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(shared->lock);
      if (shared->stopping) return;
    }
    // The probe takes the player's lock: never while this thread holds the dispatcher's.
    const PlayerSnapshot snapshot = probe();
    const std::vector<OrvoEvent> events = detector.next(playerId, snapshot, elapsedTime(10000000));
    for (const OrvoEvent& event : events) {
      OrvoEventCallback callback = nullptr;
      void* context = nullptr;
      {
        std::lock_guard<std::mutex> guard(shared->lock);
        if (shared->stopping) return;
        callback = shared->callback;
        context = shared->context;
        shared->inCallback = callback != nullptr;
      }
      if (!callback) continue;
      shared->wake.notify_all();
      callback(&event, context);
      std::lock_guard<std::mutex> guard(shared->lock);
      shared->inCallback = false;
    }
    std::unique_lock<std::mutex> guard(shared->lock);
    shared->wake.wait_for(guard, std::chrono::milliseconds(kPollMilliseconds), [&] { return shared->stopping; });
    if (shared->stopping) return;
  }
}

}  // namespace Media
}  // namespace ORVO
