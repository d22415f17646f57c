#include "lowlatency/DxPlayer.h"

#include "log/Log.h"

namespace ORVO {
namespace Media {

// The pipelines arrive with the stream set-up; until then the engine opens nothing.
DxPlayer::DxPlayer(int playerId, HWND window, const std::vector<Microsoft::WRL::ComPtr<IMFMediaType>>& mediaTypes,
                   RequestDataCallback callback, const std::wstring& uri, int audioDeviceValue,
                   const std::wstring& audioDeviceId)
    : m_playerId(playerId),
      m_window(window),
      m_mediaTypes(mediaTypes),
      m_callback(callback),
      m_uri(uri),
      m_audioDeviceValue(audioDeviceValue),
      m_audioDeviceId(audioDeviceId) {}

DxPlayer::~DxPlayer() { Stop(); }

int DxPlayer::Open() {
  ORVO_LOG_DEBUG("DxPlayer::Open: [%p] no stream could be set up", this);
  return Failed;
}

int DxPlayer::Play() { return Failed; }
void DxPlayer::Stop() {}
PlayerState DxPlayer::GetState() { return Closed; }
int DxPlayer::IsStreamActive(int) { return Failed; }
double DxPlayer::GetVolume() { return 1.0; }
double DxPlayer::GetBalance() { return 0.5; }
void DxPlayer::SetVolume(double) {}
void DxPlayer::SetBalance(double) {}

}  // namespace Media
}  // namespace ORVO
