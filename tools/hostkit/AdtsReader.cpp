#include "AdtsReader.h"

#include <cstdio>

namespace orvo_hostkit {

namespace {

const uint32_t kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

}  // namespace

uint32_t AdtsReader::SampleRateFromIndex(uint32_t index) {
  return index < sizeof(kSampleRates) / sizeof(kSampleRates[0]) ? kSampleRates[index] : 0;
}

bool AdtsReader::Open(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  return ReadWholeFile(path, &bytes) && Parse(bytes);
}

bool AdtsReader::Parse(const std::vector<uint8_t>& bytes) {
  m_units.clear();
  m_next = 0;
  m_format = Format();
  size_t pos = 0;
  uint64_t totalBytes = 0;
  uint32_t frequencyIndex = 0;
  while (pos + 7 <= bytes.size()) {
    const uint8_t* h = &bytes[pos];
    if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) {
      ++pos;  // resynchronise on the next syncword
      continue;
    }
    bool protectionAbsent = (h[1] & 0x01) != 0;
    uint32_t profile = (h[2] >> 6) & 0x03;
    uint32_t index = (h[2] >> 2) & 0x0F;
    uint32_t channels = ((h[2] & 0x01) << 2) | ((h[3] >> 6) & 0x03);
    size_t frameLength = (static_cast<size_t>(h[3] & 0x03) << 11) | (static_cast<size_t>(h[4]) << 3) | (h[5] >> 5);
    size_t headerLength = protectionAbsent ? 7 : 9;
    if (frameLength <= headerLength || pos + frameLength > bytes.size() || SampleRateFromIndex(index) == 0) {
      ++pos;
      continue;
    }
    if (m_units.empty()) {
      m_format.objectType = profile + 1;
      m_format.sampleRate = SampleRateFromIndex(index);
      m_format.channels = channels;
      frequencyIndex = index;
    }
    AccessUnit unit;
    unit.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos + headerLength),
                     bytes.begin() + static_cast<std::ptrdiff_t>(pos + frameLength));
    unit.keyFrame = true;
    totalBytes += unit.data.size();
    m_units.push_back(unit);
    pos += frameLength;
  }
  if (m_units.empty()) return false;

  const int64_t frameDuration = 1024LL * 10000000 / m_format.sampleRate;
  for (size_t k = 0; k < m_units.size(); ++k) {
    m_units[k].time = static_cast<int64_t>(k) * 1024 * 10000000 / m_format.sampleRate;
    m_units[k].duration = frameDuration;
  }
  // The coded rate averaged over the whole stream.
  m_format.averageBytesPerSecond =
      static_cast<uint32_t>(totalBytes * m_format.sampleRate / (1024ULL * m_units.size()));
  m_format.audioSpecificConfig = {
      static_cast<uint8_t>((m_format.objectType << 3) | (frequencyIndex >> 1)),
      static_cast<uint8_t>(((frequencyIndex & 1) << 7) | (m_format.channels << 3))};
  return true;
}

bool AdtsReader::Next(AccessUnit* unit) {
  if (m_next >= m_units.size()) return false;
  *unit = m_units[m_next++];
  return true;
}

int64_t AdtsReader::Duration() const {
  return m_format.sampleRate ? static_cast<int64_t>(m_units.size()) * 1024 * 10000000 / m_format.sampleRate : 0;
}

}  // namespace orvo_hostkit
