// soak-bench: a wall of live low-latency players run for hours through the library's exports, as a
// camera wall or a control-room host runs them, printing once a minute what the process holds and
// how the players keep up. Hosts that run for days care about the slope of these figures, not
// their level: a handle, a thread or a megabyte more every minute is a leak that a one-minute test
// never shows.
//
// The wall: N tiles, each its own window with one player fed an H.264 clip and a sound at real-time
// pace, looping. Tile 1's feed clock runs 1,000 ppm fast, tile 2's 1,000 ppm slow, tile 3 plays with
// the Smooth strategy, the others are plain low-latency players on an exact clock. Every minute one
// tile, in turn, gets a new player (Close, then Create, configure, Open, Play into the same window);
// every 5 minutes the last tile's feed stalls for 2 s, every 10 minutes the one before it receives
// a second of garbage access units.
//
//   soak-bench [--minutes N] [--minute-seconds S] [--players N] [--video F --size WxH]
//              [--audio F|none] [--seed N] [--log on|off]
//
// Ctrl-C (or the end of the time) closes every player and prints the RESULT line.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "OrvoMedia.h"
#include "ProcessCounters.h"
#include "SoakLedger.h"
#include "SoakMedia.h"
#include "SoakOptions.h"
#include "SoakTile.h"

using soak_bench::ProcessCounters;
using soak_bench::SoakLedger;
using soak_bench::SoakMedia;
using soak_bench::SoakOptions;
using soak_bench::SoakTile;

namespace {

constexpr double kClockPpm = 1000;
constexpr DWORD kStallMs = 2000;
constexpr unsigned kGarbageUnits = 30;  // one second of video
constexpr int kStallEveryMinutes = 5;
constexpr int kGarbageEveryMinutes = 10;
// Where in its minute a fault comes: late enough that the minute's line, whose latency figures
// cover the last 512 video samples (17 s at 30 fps), still sees its aftermath.
constexpr double kStallAt = 0.7;
constexpr double kGarbageAt = 0.8;

HANDLE g_stop = nullptr;  // set by Ctrl-C
HANDLE g_done = nullptr;  // set once every player is closed and the RESULT line is out

BOOL WINAPI OnConsoleEvent(DWORD kind) {
  SetEvent(g_stop);
  // Closing the console ends the process when this returns: give the main thread time to close
  // the players and print the result first.
  if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(g_done, 20000);
  }
  return TRUE;
}

int64_t NowMs() { return static_cast<int64_t>(GetTickCount64()); }

// Serves the windows until `deadline` (GetTickCount64 ms); false when Ctrl-C came first.
bool PumpUntil(int64_t deadline) {
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const int64_t remaining = deadline - NowMs();
    if (WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) return false;
    if (remaining <= 0) return true;
    MsgWaitForMultipleObjects(1, &g_stop, FALSE, static_cast<DWORD>(remaining), QS_ALLINPUT);
  }
}

SoakTile::Role RoleOf(int index) {
  SoakTile::Role role;
  if (index == 0) role.clockPpm = kClockPpm;
  if (index == 1) role.clockPpm = -kClockPpm;
  if (index == 2) role.smooth = true;
  return role;
}

std::string Describe(const SoakTile::Role& role) {
  std::string text = role.smooth ? "smooth" : "lowlatency";
  if (role.clockPpm != 0) text += role.clockPpm > 0 ? " clock+1000ppm" : " clock-1000ppm";
  return text;
}

// The tiles' rectangles: a grid as square as the count allows, filling the screen.
std::vector<RECT> Wall(int count) {
  int columns = 1;
  while (columns * columns < count) ++columns;
  const int rows = (count + columns - 1) / columns;
  const int width = GetSystemMetrics(SM_CXSCREEN) / columns;
  const int height = GetSystemMetrics(SM_CYSCREEN) / rows;
  std::vector<RECT> rects;
  for (int i = 0; i < count; ++i) {
    const int x = (i % columns) * width;
    const int y = (i / columns) * height;
    rects.push_back(RECT{x, y, x + width, y + height});
  }
  return rects;
}

void PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void PrintHeader(const SoakOptions& options, const SoakMedia& media, const std::vector<std::unique_ptr<SoakTile>>& tiles,
                 int stallTile, int garbageTile) {
  std::printf("soak-bench: %d player(s), %d minute(s) of %.0f s; video %ux%u, %.1f s looped; sound %s\n",
              options.players, options.minutes, options.minuteSeconds, media.width(), media.height(),
              media.videoSeconds(), media.audioName());
  for (const auto& tile : tiles) {
    RECT rect;
    GetClientRect(tile->window(), &rect);
    std::printf("tile %d: %s, window %ldx%ld%s%s\n", tile->index() + 1, Describe(tile->role()).c_str(), rect.right,
                rect.bottom, tile->index() == stallTile ? ", 2 s stall every 5 minutes" : "",
                tile->index() == garbageTile ? ", 1 s of garbage every 10 minutes" : "");
  }
  std::printf("every minute: one tile in turn gets a new player\n");
  const int pid = ProcessCounters::LinuxProcessId();
  if (pid > 0) {
    const std::string name = ProcessCounters::LinuxProcessName();
    if (name.empty()) {
      std::printf("linux: process %d, but Z:\\proc\\%d\\status could not be read: no Linux figures\n", pid, pid);
    } else {
      std::printf("linux: process %d (%s), figures from Z:\\proc\\%d\\status and \\fd\n", pid, name.c_str(), pid);
    }
  } else {
    std::printf("linux: not under Wine (or not known): no Linux figures\n");
  }
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SoakOptions options;
  if (!SoakOptions::Parse(argc, argv, &options)) {
    std::fprintf(stderr, "%s", SoakOptions::Usage());
    return 2;
  }
  SoakMedia media;
  std::string error;
  if (!media.Load(options.video, options.width, options.height, options.audio, &error)) {
    std::fprintf(stderr, "soak-bench: %s\n", error.c_str());
    return 1;
  }
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (options.log) SetLog(true);

  const ProcessCounters baseline = ProcessCounters::Read();
  const std::vector<RECT> wall = Wall(options.players);
  std::vector<std::unique_ptr<SoakTile>> tiles;
  for (int i = 0; i < options.players; ++i) {
    tiles.emplace_back(new SoakTile(i, wall[static_cast<size_t>(i)], RoleOf(i), media,
                                    options.seed + static_cast<uint32_t>(i) * 1000));
    if (!tiles.back()->window()) {
      std::fprintf(stderr, "soak-bench: cannot create the window of tile %d (error %lu): no display?\n", i + 1,
                   GetLastError());
      return 1;
    }
  }
  const int stallTile = options.players - 1;
  const int garbageTile = options.players >= 2 ? options.players - 2 : 0;
  PrintHeader(options, media, tiles, stallTile, garbageTile);

  int opened = 0, failures = 0;
  auto openTile = [&](SoakTile& tile) {
    if (tile.Open()) {
      ++opened;
      return true;
    }
    ++failures;
    std::fprintf(stderr, "soak-bench: tile %d: a new player failed at %s\n", tile.index() + 1, tile.lastFailure());
    return false;
  };
  for (auto& tile : tiles) openTile(*tile);

  SoakLedger ledger(options.minutes);
  const int64_t minuteMs = static_cast<int64_t>(options.minuteSeconds * 1000);
  const int64_t start = NowMs();
  std::string notes;                 // the faults of the minute under way
  SoakTile* switched = nullptr;      // the tile that got a new player at this minute's start
  std::string switchNote;
  bool stopped = false;
  for (int minute = 1; minute <= options.minutes && !stopped; ++minute) {
    const int64_t minuteStart = start + (minute - 1) * minuteMs;
    if (minute % kStallEveryMinutes == 0) {
      stopped = !PumpUntil(minuteStart + static_cast<int64_t>(kStallAt * minuteMs));
      if (stopped) break;
      tiles[static_cast<size_t>(stallTile)]->Stall(kStallMs);
      notes += "; stall in tile " + std::to_string(stallTile + 1);
    }
    if (minute % kGarbageEveryMinutes == 0) {
      stopped = !PumpUntil(minuteStart + static_cast<int64_t>(kGarbageAt * minuteMs));
      if (stopped) break;
      tiles[static_cast<size_t>(garbageTile)]->Garble(kGarbageUnits);
      notes += "; garbage in tile " + std::to_string(garbageTile + 1);
    }
    stopped = !PumpUntil(minuteStart + minuteMs);
    if (stopped) break;

    SoakLedger::Record record;
    record.minute = minute;
    record.elapsedSeconds = (NowMs() - start) / 1000.0;
    record.counters = ProcessCounters::Read();
    for (auto& tile : tiles) {
      record.tiles.push_back(tile->TakeMinute());
      const SoakTile::Events events = tile->TakeEvents();
      record.events.errors += events.errors;
      record.events.stallsBegan += events.stallsBegan;
      record.events.syncLost += events.syncLost;
      record.events.catchUps += events.catchUps;
    }
    if (switched) {
      char text[48];
      std::snprintf(text, sizeof(text), ", first frame %.0f ms", switched->lastFirstFrameMs());
      notes = switchNote + (switched->lastFirstFrameMs() >= 0 ? text : ", no frame yet") + notes;
    } else if (!notes.empty()) {
      notes.erase(0, 2);  // the leading "; "
    }
    record.notes = notes;
    PrintLine(ledger.Add(record));
    notes.clear();
    if (minute == options.minutes) break;

    // The next minute's new player, and any tile whose last player could not be opened.
    SoakTile& due = *tiles[static_cast<size_t>((minute - 1) % options.players)];
    const int previous = due.playerId();
    const bool ok = openTile(due);
    char text[160];
    std::snprintf(text, sizeof(text), "tile %d: player %d replaced %d, close %.0f ms, open %.0f ms%s", due.index() + 1,
                  due.playerId(), previous, due.lastCloseMs(), due.lastOpenMs(), ok ? "" : " FAILED");
    switched = &due;
    switchNote = text;
    for (auto& tile : tiles) {
      if (!tile->open()) openTile(*tile);
    }
  }
  if (stopped) PrintLine("soak-bench: interrupted; closing every player");
  for (auto& tile : tiles) tile->Close();
  tiles.clear();  // and their windows
  const ProcessCounters closed = ProcessCounters::Read();
  PrintLine(ledger.Result(baseline, closed, opened, failures));
  SetEvent(g_done);
  CoUninitialize();
  return failures == 0 ? 0 : 1;
}
