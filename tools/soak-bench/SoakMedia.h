#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "AdtsReader.h"
#include "AnnexBReader.h"
#include "WavReader.h"

namespace soak_bench {

// The clip and the sound every player of the wall is fed, read once; each player gets readers of
// its own (copies of the parsed units), so the feeds loop independently.
class SoakMedia {
 public:
  // False, with the reason in *error, when a file cannot be read or split into access units.
  bool Load(const std::wstring& video, uint32_t width, uint32_t height, const std::wstring& audio,
            std::string* error);

  bool hasAudio() const { return m_audioKind != AudioKind::None; }
  const char* audioName() const;
  uint32_t width() const { return m_width; }
  uint32_t height() const { return m_height; }
  double videoSeconds() const { return m_video ? m_video->Duration() / 1e7 : 0; }

  std::unique_ptr<orvo_hostkit::AccessUnitReader> NewVideoReader() const;
  std::unique_ptr<orvo_hostkit::AccessUnitReader> NewAudioReader() const;

  // Describes the video (stream 0) and, when there is sound, the audio (stream 1) to a player
  // through CreateMediaType and AddMediaType; false when the library refuses one.
  bool Describe(int playerId) const;

 private:
  enum class AudioKind { None, Pcm, Aac };

  uint32_t m_width = 0;
  uint32_t m_height = 0;
  std::unique_ptr<orvo_hostkit::AnnexBReader> m_video;
  AudioKind m_audioKind = AudioKind::None;
  std::unique_ptr<orvo_hostkit::WavReader> m_wav;
  std::unique_ptr<orvo_hostkit::AdtsReader> m_aac;
};

}  // namespace soak_bench
