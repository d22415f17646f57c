#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "OrvoMedia.h"
#include "api/EventDispatcher.h"
#include "common/PlayerTypes.h"
#include "common/SourceRect.h"

namespace ORVO {
namespace MediaFoundation {
class MediaFoundationPlayer;
}
namespace Media {

class DxPlayer;

// The object behind one player id: keeps the host's configuration until Open, then owns exactly
// one engine until Close. The low-latency flag alone chooses the engine.
//
// Threads: every method but HandleWindowMessage runs on a host thread, possibly inside the host
// callback, and takes m_lock itself; none runs under the registry lock. HandleWindowMessage runs on
// the preview window's thread and holds m_lock only to take a reference to the engine: the engine
// works under its own lock, and the host's window procedure runs under no library lock at all.
// Lock order: registry lock -> m_lock -> engine lock. The window lock is taken alone, never while
// m_lock is held. m_windowSettingLock comes before both and is held by SetPreviewWindow and by the
// end of Close only. Stop and Close wait for engine threads without m_lock: those threads may be
// inside the host callback, calling back into this player.
class OrvoMediaPlayer {
 public:
  explicit OrvoMediaPlayer(int playerId);
  ~OrvoMediaPlayer();
  OrvoMediaPlayer(const OrvoMediaPlayer&) = delete;
  OrvoMediaPlayer& operator=(const OrvoMediaPlayer&) = delete;

  int playerId() const { return m_playerId; }

  // Configuration before Open.
  int SetPreviewWindow(HWND window, std::shared_ptr<OrvoMediaPlayer> self);
  int SetCallback(RequestDataCallback callback);
  int SetAudioOutputDevice(int value, const wchar_t* deviceId);
  int UseLowLatencyRenderer(bool enable);
  int CreateMediaType(IMFMediaType** mediaType);
  int AddMediaType(IMFMediaType* mediaType);

  int Open(const wchar_t* uri);
  void Close();
  int Play();
  int Pause();
  int Stop();
  int SetPosition(LONGLONG position);
  int SetPlaybackRate(double rate);

  int GetState();
  LONGLONG GetDuration();
  LONGLONG GetPosition();
  double GetPlaybackRate();
  double GetVolume();
  double GetBalance();
  int IsStreamActive(int index);
  int GetStatistics(int index, OrvoStreamStatistics* out);
  int GetSnapshot(int index, OrvoSnapshot* out);
  // Any thread, no lock held by the caller; the dispatcher has its own.
  int SetEventCallback(OrvoEventCallback callback, void* context);
  int SetVolume(double volume);
  int SetBalance(double balance);
  int SetAlphaBitmap(HBITMAP bitmap);
  int SetFullScreen(BOOL fullScreen);
  int SetStretch(BOOL stretch);
  // Kept for an engine Open creates later; the current one shows it from its next frame.
  int SetSourceRect(double left, double top, double right, double bottom);

  // A message of the subclassed preview window, on the window's thread: WM_SIZE and WM_PAINT for
  // the engine's video, and the engine's posted session events. True when the message is consumed
  // (the session events); otherwise the host's procedure gets it next. Holds no lock on return.
  bool HandleWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  // Read-only views for tests and engines.
  size_t streamDescriptorCount();
  size_t mediaTypeCount();
  DWORD streamIdentifierAt(size_t index);

 private:
  // What the event watcher reads: the state and each low-latency stream's progress. Takes m_lock.
  PlayerSnapshot snapshot();
  bool hasEngine() const { return m_pDxPlayer || m_pMediaFoundationPlayer; }
  // The low-latency engine, or null while a stop of it is in flight: its lock is held for that
  // stop, so a call from inside the host callback would wait for itself.
  DxPlayer* lowLatencyEngine() const { return *m_stopsInFlight > 0 ? nullptr : m_pDxPlayer.get(); }

  CRITICAL_SECTION m_lock;
  // Serialises the choice of the subclassed preview window with Close.
  CRITICAL_SECTION m_windowSettingLock;
  bool m_closed = false;  // under m_lock; no window is subclassed for a closed player
  bool m_useLowLatencyRenderer = true;
  int m_playerId;
  std::wstring m_uri;
  int m_audioDeviceValue = 6;
  std::wstring m_audioDeviceId;
  HWND m_window = nullptr;
  SourceRect m_zoom;
  Microsoft::WRL::ComPtr<MediaFoundation::MediaFoundationPlayer> m_pMediaFoundationPlayer;
  // Shared so that Stop and Close can work on it outside m_lock, and a stop that outlasts its
  // bound can finish on its own.
  std::shared_ptr<DxPlayer> m_pDxPlayer;
  // Stops of m_pDxPlayer not yet done; shared with a stop that goes on alone.
  std::shared_ptr<std::atomic<int>> m_stopsInFlight;
  std::vector<Microsoft::WRL::ComPtr<IMFStreamDescriptor>> m_streamDescriptors;
  std::vector<Microsoft::WRL::ComPtr<IMFMediaType>> m_mediaTypes;
  RequestDataCallback m_callback = nullptr;
  // Declared last: destroyed first, so its watcher never reads a player being torn down.
  EventDispatcher m_events;
};

}  // namespace Media
}  // namespace ORVO
