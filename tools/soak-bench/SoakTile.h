#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "FaultyFeed.h"
#include "OrvoMedia.h"
#include "SoakMedia.h"

namespace soak_bench {

// One tile of the wall: a window of its own and the low-latency player that currently shows a live
// feed in it. The player is replaced now and then (Close, then Create, configure, Open and Play a
// new one into the same window); what its players presented is carried over from one to the next,
// so a tile's figures cover its whole life.
//
// Everything but the event counters belongs to the host's (main) thread, which also owns the window.
class SoakTile {
 public:
  struct Role {
    double clockPpm = 0;  // the feed's clock: how far it runs off real time
    bool smooth = false;  // renderingStrategy=smooth instead of lowlatency
  };

  // What the tile's players did since the previous TakeMinute.
  struct Minute {
    uint64_t presented = 0;  // video samples presented
    uint64_t returned = 0;   // video samples the host's callback returned filled
    bool haveLatency = false;
    double latencyP50 = 0, latencyP99 = 0;  // the current player's video, over its last 512 samples
    unsigned queueDepth = 0;                // its decoded video frames waiting for their time
    bool haveOffset = false;
    double offsetMedian = 0, offsetLargest = 0;  // audio minus video, ms
  };

  // Events the players told since the previous TakeEvents.
  struct Events {
    uint32_t errors = 0;       // OrvoEventError, and a stream that ended although its feed loops
    uint32_t stallsBegan = 0;  // OrvoEventStallBegan
    uint32_t syncLost = 0;     // OrvoEventSyncLost
    uint32_t catchUps = 0;     // OrvoEventLatencyCatchUp
  };

  SoakTile(int index, const RECT& area, const Role& role, const SoakMedia& media, uint32_t seed);
  ~SoakTile();
  SoakTile(const SoakTile&) = delete;
  SoakTile& operator=(const SoakTile&) = delete;

  // A new player in the window; false (with the player closed again) when a step fails.
  bool Open();
  // Closes the current player, if any, after taking its last figures.
  void Close();
  bool open() const { return m_playerId != 0; }

  void Stall(DWORD milliseconds);
  void Garble(unsigned units);

  Minute TakeMinute();
  Events TakeEvents();

  int index() const { return m_index; }
  int playerId() const { return m_playerId; }
  const Role& role() const { return m_role; }
  HWND window() const { return m_window; }
  double lastOpenMs() const { return m_lastOpenMs; }
  double lastCloseMs() const { return m_lastCloseMs; }
  // From the start of the last Open to that player's first presented video frame; -1 while none.
  double lastFirstFrameMs() const;
  const char* lastFailure() const { return m_lastFailure; }

 private:
  static void OnEvent(const OrvoEvent* event, void* context);
  // Adds what the current player presented since the last reading to the minute.
  void account(bool takeLatency);

  const int m_index;
  const Role m_role;
  const SoakMedia& m_media;
  uint32_t m_seed;
  HWND m_window = nullptr;

  int m_playerId = 0;
  std::shared_ptr<FaultyFeed> m_feed;
  uint64_t m_presentedBase = 0;
  uint64_t m_returnedBase = 0;
  Minute m_minute;
  double m_lastOpenMs = -1;
  double m_lastCloseMs = -1;
  const char* m_lastFailure = "";

  std::atomic<bool> m_closing{false};
  std::atomic<int64_t> m_openStartQpc{0};
  std::atomic<int64_t> m_firstFrameQpc{0};
  std::atomic<uint32_t> m_errors{0};
  std::atomic<uint32_t> m_stallsBegan{0};
  std::atomic<uint32_t> m_syncLost{0};
  std::atomic<uint32_t> m_catchUps{0};
};

}  // namespace soak_bench
