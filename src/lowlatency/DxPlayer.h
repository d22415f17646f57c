#pragma once

#include <windows.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "api/PlayerTypes.h"

namespace ORVO {
namespace Media {

// The low-latency engine: one decoding and rendering pipeline per host stream, paced against a
// start time that all streams agree on.
//
// Threads: the facade calls every public method on a host thread, with the player lock held.
class DxPlayer {
 public:
  DxPlayer(int playerId, HWND window, const std::vector<Microsoft::WRL::ComPtr<IMFMediaType>>& mediaTypes,
           RequestDataCallback callback, const std::wstring& uri, int audioDeviceValue,
           const std::wstring& audioDeviceId);
  ~DxPlayer();
  DxPlayer(const DxPlayer&) = delete;
  DxPlayer& operator=(const DxPlayer&) = delete;

  // PlayerResult codes: 0, or Failed when no callback is registered or no stream is active.
  int Open();
  // 0, or InvalidState when already started.
  int Play();
  void Stop();

  PlayerState GetState();
  // Ok when the stream at index was set up, Failed otherwise or out of range.
  int IsStreamActive(int index);
  // Requested volume and balance of the first audio stream: -1.0 while never set, the neutral
  // value (1.0, 0.5) without an audio stream. Setting is always accepted.
  double GetVolume();
  double GetBalance();
  void SetVolume(double volume);
  void SetBalance(double balance);

 private:
  int m_playerId;
  HWND m_window;
  std::vector<Microsoft::WRL::ComPtr<IMFMediaType>> m_mediaTypes;
  RequestDataCallback m_callback;
  std::wstring m_uri;
  int m_audioDeviceValue;
  std::wstring m_audioDeviceId;
};

}  // namespace Media
}  // namespace ORVO
