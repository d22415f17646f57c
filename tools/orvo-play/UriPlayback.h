#pragma once

#include <windows.h>

#include <string>

// Playback of a file or URL through the library's Media Session engine: everything a host needs for
// "open, play, pause, seek, change rate and volume, show progress".
struct UriPlaybackOptions {
  std::wstring uri;
  double duration = 0;     // seconds; 0 plays until the end of the presentation
  double pauseAt = -1;     // seconds into playback; pauses for one second
  double seekAt = -1;      // seconds into playback ...
  double seekTo = 0;       // ... jump to this position (seconds)
  double rate = 1.0;
  double volume = -1;      // 0..1; negative keeps the engine's volume
  double balance = -1;     // 0 left, 0.5 centre, 1 right; negative keeps it
  bool log = false;
};

// Plays opts.uri in the window (which must belong to this thread) and pumps its messages until the
// presentation ends, the duration passes or the window closes. Keys while it plays: space
// pause/resume, left/right seek 5 s, up/down volume, 1 and 2 rate 1.0 and 2.0. Returns a process
// exit code.
int RunUriPlayback(HWND window, const UriPlaybackOptions& opts);
