#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AccessUnit.h"

namespace orvo_hostkit {

// Reads uncompressed PCM from a RIFF/WAVE file and hands it out in blocks of a fixed duration
// (20 ms by default), each timed by its first sample.
class WavReader : public AccessUnitReader {
 public:
  struct Format {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    uint32_t blockAlign = 0;
    uint32_t averageBytesPerSecond = 0;
  };

  explicit WavReader(uint32_t blockMilliseconds = 20) : m_blockMilliseconds(blockMilliseconds ? blockMilliseconds : 20) {}

  bool Open(const std::wstring& path);
  bool Parse(const std::vector<uint8_t>& bytes);
  const Format& format() const { return m_format; }

  bool Next(AccessUnit* unit) override;
  void Rewind() override { m_next = 0; }
  int64_t Duration() const override;
  size_t Count() const override { return m_units.size(); }
  const AccessUnit& At(size_t index) const { return m_units[index]; }

 private:
  uint32_t m_blockMilliseconds;
  Format m_format;
  std::vector<AccessUnit> m_units;
  size_t m_next = 0;
  uint64_t m_frames = 0;
};

}  // namespace orvo_hostkit
