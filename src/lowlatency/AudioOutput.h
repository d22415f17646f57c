#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <string>

#include "lowlatency/EndpointChoice.h"
#include "lowlatency/PacingRules.h"
#include "lowlatency/RecoveryWindow.h"
#include "lowlatency/StreamOutput.h"

namespace ORVO {
namespace MediaFoundation {
class WasapiRenderer;
}
namespace Media {

class StreamStatistics;

// Sound for a low-latency audio stream: decoded float or PCM handed to the WASAPI renderer a
// little ahead of its time, at the volume and balance the host asked for last. The host thread
// writes the requested levels; the rendering thread applies them (atomics).
//
// Each sample is placed on the endpoint's timeline: the output asks the endpoint how much it
// holds and adds what waits in the staging buffer and the endpoint's own latency, which says when
// the sample's first frame would be heard; AudioPlacement decides how to make that its due time
// (silence in front, queued audio dropped, or a slight speed-up), so what is written ahead stays
// at a few device periods (AudioPlacement::NextAhead) and a burst, a backlog or a drifting feed never becomes a lasting delay.
// Each stream also has a hidden 1x1 window, created on the thread that opens the player; it never
// ends that thread's message loop, and it is destroyed on that thread also when the player is
// closed on another (by a posted message, so that thread must pump or end).
//
// The decoded type can change mid-stream (the reader flags it): the pulling thread records the new
// type and a new generation, each prepared sample carries the generation it was decoded in, and
// the rendering thread opens the endpoint again for the new type when the first sample of it is
// due; samples of the old format still queued are dropped rather than played as noise. m_typeLock
// guards the type and its generation and nothing else is taken while it is held.
//
// The endpoint is the one the host chose (SetAudioOutputDevice), or the default console endpoint
// without a choice (EndpointChoice decides). A chosen endpoint that cannot play when the output
// opens, or after it was lost, leaves the sound to the default endpoint: one log line, and the
// host is told by an error event (endpointFallbacks()); while the default stands in, the rendering
// thread tries the chosen endpoint again every EndpointChoice::kRetryMs and moves the sound back to
// it once it plays again. A lost endpoint is reopened on the chosen one or whatever is the default
// now; when that keeps failing for kRecoveryBoundMs the output fails (failure()) and the player
// reports Error. restart() (the next Play) tries once more.
class AudioOutput : public StreamOutput {
 public:
  AudioOutput(int streamIndex, const std::wstring& deviceId,
              RenderingStrategy strategy = RenderingStrategy::LowLatency, StreamStatistics* statistics = nullptr);
  ~AudioOutput() override;
  AudioOutput(const AudioOutput&) = delete;
  AudioOutput& operator=(const AudioOutput&) = delete;

  HRESULT describe(IMFMediaType* inputType, IMFMediaType* decodedType) override;
  std::vector<GUID> decodedSubtypes(IMFMediaType* inputType) const override;
  void configureReader(IMFAttributes*) override {}
  HRESULT onDecodedType(IMFMediaType* decoded) override;
  HRESULT open() override;
  HRESULT onCurrentTypeChanged(IMFSourceReader* reader) override;
  HRESULT prepare(IMFSample* decoded, DWORD streamFlags, LONGLONG timestamp, IMFSample** output) override;
  bool process(IMFSample*) override { return true; }
  int64_t lead() const override;
  // The lead: the sound can be heard on time only that long after it is ready.
  int64_t readyLatency() const override;
  void present(IMFSample* sample, int64_t sampleTime) override;
  void presentAt(IMFSample* sample, int64_t sampleTime, int64_t due, int64_t now) override;
  void service() override;
  int64_t serviceInterval() const override { return kServiceInterval; }
  bool lastPlacementError(int64_t* error) const override;
  uint32_t frameBytes() const override { return m_frameBytes.load(); }
  Microsoft::WRL::ComPtr<IMFMediaType> presentationType() const override;
  HRESULT failure() const override { return m_failure.load(); }
  HRESULT restart() override;

  // -1.0 while the host never asked.
  double requestedVolume() const { return m_requestedVolume.load(); }
  double requestedBalance() const { return m_requestedBalance.load(); }
  void requestVolume(double volume) { m_requestedVolume.store(volume); }
  void requestBalance(double balance) { m_requestedBalance.store(balance); }
  // True while the audio endpoint is gone and no default endpoint could be opened in its place
  // (each due sample retries, at most every kReopenIntervalMs).
  bool endpointLost() const { return m_endpointLost.load(); }
  // How often the default endpoint took the chosen one's place, and why it could not play the last
  // time (*why, may be null). Any thread.
  uint64_t endpointFallbacks(HRESULT* why) const {
    if (why) *why = m_endpointFallbackError.load();
    return m_endpointFallbacks.load();
  }
  static constexpr ULONGLONG kReopenIntervalMs = 500;
  // How long reopening may keep failing before the output fails.
  static constexpr ULONGLONG kRecoveryBoundMs = 2000;
  static constexpr int64_t kServiceInterval = 50000;  // the staging buffer is drained every 5 ms

 private:
  void createHiddenWindow();
  void destroyHiddenWindow();
  Microsoft::WRL::ComPtr<IMFMediaType> presentationType(uint32_t* generation) const;
  // Replaces the decoded type unless it equals the current one.
  void setPresentationType(IMFMediaType* type);
  // A renderer for the current type on the chosen endpoint, else on the default one, replacing
  // the current one on success.
  HRESULT openRenderer();
  void useRenderer(std::unique_ptr<MediaFoundation::WasapiRenderer> renderer, uint32_t generation);
  // Rendering thread, while the default stands in: moves the sound to the chosen endpoint once it
  // can play again.
  void returnToChosenEndpoint();
  // Rendering thread: swaps in a renderer on the endpoint that is now the default (or for the new
  // decoded type); fails the output once that kept failing for kRecoveryBoundMs.
  void reopenLostEndpoint();
  // The common part of present and presentAt: the endpoint is there for the sample's format and has
  // the host's levels. False when the sample cannot be played.
  bool readyFor(IMFSample* sample);
  // After a Render: an endpoint that went away is reopened at the next due sample.
  void noteRenderResult(HRESULT hr);
  // 100-ns ticks of audio in the sample, from its duration or its length.
  int64_t sampleDuration(IMFSample* sample) const;

  const int m_streamIndex;
  EndpointChoice m_endpoint;  // the set-up thread, then the rendering thread
  std::atomic<uint64_t> m_endpointFallbacks{0};
  std::atomic<HRESULT> m_endpointFallbackError{S_OK};
  mutable CRITICAL_SECTION m_typeLock;
  Microsoft::WRL::ComPtr<IMFMediaType> m_pMediaType;  // guarded by m_typeLock
  uint32_t m_typeGeneration = 0;                      // guarded by m_typeLock
  std::unique_ptr<MediaFoundation::WasapiRenderer> m_pRenderer;
  uint32_t m_rendererGeneration = 0;  // the type generation m_pRenderer was opened for
  std::atomic<uint32_t> m_frameBytes{102400};
  std::wstring m_windowClassName;
  HWND m_hiddenWindow = nullptr;
  double m_appliedVolume = -1.0;   // rendering thread
  double m_appliedBalance = -1.0;  // rendering thread
  std::atomic<double> m_requestedVolume{-1.0};
  std::atomic<double> m_requestedBalance{-1.0};
  std::atomic<bool> m_endpointLost{false};  // written by the rendering thread
  ULONGLONG m_lastReopenAttempt = 0;         // rendering thread
  RecoveryWindow m_recovery{kRecoveryBoundMs};  // rendering thread
  std::atomic<HRESULT> m_failure{S_OK};
  const RenderingStrategy m_strategy;
  StreamStatistics* m_statistics;  // may be null (tests)
  // Rendering thread: the last placement's residual error, and whether a catch-up is under way.
  int64_t m_lastError = 0;
  bool m_placed = false;
  bool m_catchingUp = false;
  // Rendering thread: what is kept written ahead, when it last changed, the last placement's clock.
  int64_t m_targetAhead = 400000;
  int64_t m_targetChangedAt = 0;
  int64_t m_lastPlacedAt = INT64_MIN;
};

}  // namespace Media
}  // namespace ORVO
