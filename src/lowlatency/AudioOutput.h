#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <string>

#include "lowlatency/StreamOutput.h"

namespace ORVO {
namespace MediaFoundation {
class WasapiRenderer;
}
namespace Media {

// Sound for a low-latency audio stream: decoded float or PCM handed to the WASAPI renderer a
// little ahead of its time, at the volume and balance the host asked for last. The host thread
// writes the requested levels; the rendering thread applies them (atomics).
// Each stream also has a hidden 1x1 window, created on the thread that opens the player; it never
// ends that thread's message loop, and it is destroyed on that thread also when the player is
// closed on another (by a posted message, so that thread must pump or end).
class AudioOutput : public StreamOutput {
 public:
  AudioOutput(int streamIndex, const std::wstring& deviceId);
  ~AudioOutput() override;
  AudioOutput(const AudioOutput&) = delete;
  AudioOutput& operator=(const AudioOutput&) = delete;

  HRESULT describe(IMFMediaType* inputType, IMFMediaType* decodedType) override;
  std::vector<GUID> decodedSubtypes(IMFMediaType* inputType) const override;
  void configureReader(IMFAttributes*) override {}
  HRESULT onDecodedType(IMFMediaType* decoded) override;
  HRESULT open() override;
  HRESULT prepare(IMFSample* decoded, DWORD streamFlags, LONGLONG timestamp, IMFSample** output) override;
  bool process(IMFSample*) override { return true; }
  int64_t lead() const override;
  void present(IMFSample* sample, int64_t sampleTime) override;
  uint32_t frameBytes() const override { return m_frameBytes; }
  Microsoft::WRL::ComPtr<IMFMediaType> presentationType() const override { return m_pMediaType; }

  // -1.0 while the host never asked.
  double requestedVolume() const { return m_requestedVolume.load(); }
  double requestedBalance() const { return m_requestedBalance.load(); }
  void requestVolume(double volume) { m_requestedVolume.store(volume); }
  void requestBalance(double balance) { m_requestedBalance.store(balance); }
  // True while the audio endpoint is gone and no default endpoint could be opened in its place
  // (each due sample retries, at most every kReopenIntervalMs); the engine may report Error.
  bool endpointLost() const { return m_endpointLost.load(); }
  static constexpr ULONGLONG kReopenIntervalMs = 500;

 private:
  void createHiddenWindow();
  void destroyHiddenWindow();
  // A renderer on the default endpoint for m_pMediaType, replacing the current one on success.
  HRESULT openRenderer();
  // Rendering thread: swaps in a renderer on the endpoint that is now the default.
  void reopenLostEndpoint();

  const int m_streamIndex;
  const std::wstring m_deviceId;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pMediaType;  // set before the threads start, then read-only
  std::unique_ptr<MediaFoundation::WasapiRenderer> m_pRenderer;
  uint32_t m_frameBytes = 102400;
  std::wstring m_windowClassName;
  HWND m_hiddenWindow = nullptr;
  double m_appliedVolume = -1.0;   // rendering thread
  double m_appliedBalance = -1.0;  // rendering thread
  std::atomic<double> m_requestedVolume{-1.0};
  std::atomic<double> m_requestedBalance{-1.0};
  std::atomic<bool> m_endpointLost{false};  // written by the rendering thread
  ULONGLONG m_lastReopenAttempt = 0;         // rendering thread
};

}  // namespace Media
}  // namespace ORVO
