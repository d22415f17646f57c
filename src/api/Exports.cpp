// The 27 exported functions. Each looks the player up under the registry lock, lets go of it and
// forwards to the facade, which works under the player's own lock; an unknown id answers
// UnknownPlayer or the getter's neutral value. Any export may so be called from inside the host
// callback, except Stop and Close for the player whose callback it is (they would wait for the
// calling thread itself).
#include "OrvoMedia.h"

#include <string>

#include "api/OrvoMediaPlayer.h"
#include "api/PlayerRegistry.h"
#include "common/ComInit.h"
#include "common/CriticalSectionGuard.h"
#include "common/Module.h"
#include "log/Log.h"
#include "source/OrvoSource.h"

using ORVO::Media::OrvoMediaPlayer;
using ORVO::Media::PlayerRegistry;

namespace {

constexpr DWORD kPathCapacity = 260;
constexpr size_t kLogPathCapacity = 2048;

std::shared_ptr<OrvoMediaPlayer> findPlayer(int playerId) {
  ORVO::CriticalSectionGuard lock(PlayerRegistry::Instance().criticalSection());
  return PlayerRegistry::Instance().find(playerId);
}

// Runs fn(player) on a reference taken under the registry lock, or returns fallback for an unknown
// id. The reference keeps the player alive through a concurrent Close.
template <typename T, typename Fn>
T withPlayer(int playerId, T fallback, Fn fn) {
  std::shared_ptr<OrvoMediaPlayer> player = findPlayer(playerId);
  if (!player) return fallback;
  return fn(*player);
}

bool insideOwnCallback(int playerId) {
  if (!ORVO::MediaFoundation::OrvoSource::IsInsideHostCallback(playerId)) return false;
  ORVO_LOG_DEBUG("Exports: Stop or Close of player %d from inside its own callback refused", playerId);
  return true;
}

}  // namespace

extern "C" {

int SetLog(bool enable) {
  ORVO::CriticalSectionGuard lock(PlayerRegistry::Instance().criticalSection());
  ORVO::Log* log = ORVO::GlobalLog();
  if (!log) return 0;
  if (enable) {
    wchar_t exe[kPathCapacity] = {};
    GetModuleFileNameW(nullptr, exe, kPathCapacity);
    wchar_t drive[_MAX_DRIVE] = {}, dir[_MAX_DIR] = {};
    _wsplitpath_s(exe, drive, _MAX_DRIVE, dir, _MAX_DIR, nullptr, 0, nullptr, 0);
    wchar_t path[kLogPathCapacity];
    swprintf(path, kLogPathCapacity, L"%ls%ls%ls", drive, dir, L"ORVO.Media.log");
    log->Reconfigure(ORVO::kLogDebug, path);
    ORVO::LogWrite(ORVO::kLogInfo, "SetLog: library v%s log enabled", ORVO::kLibraryVersion);
  } else {
    log->Reconfigure(0, nullptr);
  }
  return 0;
}

int Create(int* playerId) {
  ORVO::CriticalSectionGuard lock(PlayerRegistry::Instance().criticalSection());
  ORVO::InitializeComForThread();
  const int id = PlayerRegistry::Instance().add();
  if (playerId) *playerId = id;
  return 0;
}

int Close(int playerId) {
  if (insideOwnCallback(playerId)) return InvalidState;
  return PlayerRegistry::Instance().close(playerId) ? Ok : UnknownPlayer;
}

int SetCallback(int playerId, RequestDataCallback callback) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetCallback(callback); });
}

int SetPreviewWindow(int playerId, HWND window) {
  std::shared_ptr<OrvoMediaPlayer> player = findPlayer(playerId);
  if (!player) return UnknownPlayer;
  return player->SetPreviewWindow(window, player);
}

int SetAudioOutputDevice(int playerId, int value, const wchar_t* deviceId) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetAudioOutputDevice(value, deviceId); });
}

int UseLowLatencyRenderer(int playerId, bool enable) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.UseLowLatencyRenderer(enable); });
}

int CreateMediaType(int playerId, IMFMediaType** mediaType) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.CreateMediaType(mediaType); });
}

int AddMediaType(int playerId, IMFMediaType* mediaType) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.AddMediaType(mediaType); });
}

int Open(int playerId, const wchar_t* uri) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer), [&](OrvoMediaPlayer& p) { return p.Open(uri); });
}

int Play(int playerId) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer), [](OrvoMediaPlayer& p) { return p.Play(); });
}

int Pause(int playerId) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer), [](OrvoMediaPlayer& p) { return p.Pause(); });
}

int Stop(int playerId) {
  if (insideOwnCallback(playerId)) return InvalidState;
  return withPlayer(playerId, static_cast<int>(UnknownPlayer), [](OrvoMediaPlayer& p) { return p.Stop(); });
}

int SetPosition(int playerId, LONGLONG position) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetPosition(position); });
}

int SetPlaybackRate(int playerId, double rate) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetPlaybackRate(rate); });
}

int GetState(int playerId) {
  return withPlayer(playerId, static_cast<int>(Closed), [](OrvoMediaPlayer& p) { return p.GetState(); });
}

LONGLONG GetDuration(int playerId) {
  return withPlayer(playerId, LONGLONG(0), [](OrvoMediaPlayer& p) { return p.GetDuration(); });
}

LONGLONG GetPosition(int playerId) {
  return withPlayer(playerId, LONGLONG(0), [](OrvoMediaPlayer& p) { return p.GetPosition(); });
}

double GetPlaybackRate(int playerId) {
  return withPlayer(playerId, 1.0, [](OrvoMediaPlayer& p) { return p.GetPlaybackRate(); });
}

double GetVolume(int playerId) {
  return withPlayer(playerId, 1.0, [](OrvoMediaPlayer& p) { return p.GetVolume(); });
}

double GetBalance(int playerId) {
  return withPlayer(playerId, 0.5, [](OrvoMediaPlayer& p) { return p.GetBalance(); });
}

int IsStreamActive(int playerId, int streamIndex) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.IsStreamActive(streamIndex); });
}

int GetStatistics(int playerId, int streamIndex, OrvoStreamStatistics* statistics) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer), [&](OrvoMediaPlayer& p) {
    // Hosts built against a later header pass a larger size; a smaller one cannot be filled.
    // Hosts built against an earlier header pass the first version's size and get its fields.
    if (!statistics || statistics->size < ORVO_STREAM_STATISTICS_V1_SIZE) return static_cast<int>(InvalidArgument);
    return p.GetStatistics(streamIndex, statistics);
  });
}

int GetSnapshot(int playerId, int streamIndex, OrvoSnapshot* snapshot) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer), [&](OrvoMediaPlayer& p) {
    // As for statistics: a later header's larger struct is fine, a smaller one cannot be filled.
    if (!snapshot || snapshot->size < ORVO_SNAPSHOT_V1_SIZE) return static_cast<int>(InvalidArgument);
    return p.GetSnapshot(streamIndex, snapshot);
  });
}

int SetEventCallback(int playerId, OrvoEventCallback callback, void* context) {
  // Outside the registry lock: a stop of the previous watcher may wait for the host's callback.
  std::shared_ptr<OrvoMediaPlayer> player = findPlayer(playerId);
  if (!player) return UnknownPlayer;
  return player->SetEventCallback(callback, context);
}

int SetVolume(int playerId, double volume) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetVolume(volume); });
}

int SetBalance(int playerId, double balance) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetBalance(balance); });
}

int SetAlphaBitmap(int playerId, HBITMAP bitmap) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetAlphaBitmap(bitmap); });
}

int SetFullScreen(int playerId, BOOL fullScreen) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetFullScreen(fullScreen); });
}

int SetStretch(int playerId, BOOL stretch) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetStretch(stretch); });
}

int SetSourceRect(int playerId, double left, double top, double right, double bottom) {
  return withPlayer(playerId, static_cast<int>(UnknownPlayer),
                    [&](OrvoMediaPlayer& p) { return p.SetSourceRect(left, top, right, bottom); });
}

}  // extern "C"
