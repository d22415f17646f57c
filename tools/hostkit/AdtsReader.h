#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AccessUnit.h"

namespace orvo_hostkit {

// Reads AAC audio in ADTS framing (the .aac files encoders and broadcast feeds produce) and hands
// out one raw AAC frame (the ADTS header removed) per access unit, timed by its 1024 samples.
// The stream's format comes from the first header; the AudioSpecificConfig that a decoder needs
// for raw frames is rebuilt from it.
class AdtsReader : public AccessUnitReader {
 public:
  struct Format {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t objectType = 0;  // 2 = AAC LC
    uint32_t averageBytesPerSecond = 0;
    // AudioSpecificConfig: object type (5 bits), sampling frequency index (4), channels (4), 3 zero bits.
    std::vector<uint8_t> audioSpecificConfig;
  };

  bool Open(const std::wstring& path);
  bool Parse(const std::vector<uint8_t>& bytes);
  const Format& format() const { return m_format; }

  bool Next(AccessUnit* unit) override;
  void Rewind() override { m_next = 0; }
  int64_t Duration() const override;
  size_t Count() const override { return m_units.size(); }
  const AccessUnit& At(size_t index) const { return m_units[index]; }

  static uint32_t SampleRateFromIndex(uint32_t index);

 private:
  Format m_format;
  std::vector<AccessUnit> m_units;
  size_t m_next = 0;
};

}  // namespace orvo_hostkit
