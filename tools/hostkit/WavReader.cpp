#include "WavReader.h"

#include <cstdio>
#include <cstring>

namespace orvo_hostkit {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool WavReader::Open(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  return ReadWholeFile(path, &bytes) && Parse(bytes);
}

bool WavReader::Parse(const std::vector<uint8_t>& bytes) {
  m_units.clear();
  m_next = 0;
  m_frames = 0;
  m_format = Format();
  if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 || memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return false;
  }
  size_t pos = 12;
  const uint8_t* data = nullptr;
  size_t dataLength = 0;
  while (pos + 8 <= bytes.size()) {
    const uint8_t* chunk = &bytes[pos];
    size_t length = Le32(chunk + 4);
    size_t available = bytes.size() - (pos + 8);
    if (length > available) length = available;  // tolerate a truncated last chunk
    if (memcmp(chunk, "fmt ", 4) == 0 && length >= 16) {
      uint16_t tag = Le16(chunk + 8);
      // 1 = PCM; 0xFFFE = extensible, accepted when it carries PCM at 16 bits or less.
      if (tag != 1 && tag != 0xFFFE) return false;
      m_format.channels = Le16(chunk + 10);
      m_format.sampleRate = Le32(chunk + 12);
      m_format.averageBytesPerSecond = Le32(chunk + 16);
      m_format.blockAlign = Le16(chunk + 20);
      m_format.bitsPerSample = Le16(chunk + 22);
    } else if (memcmp(chunk, "data", 4) == 0) {
      data = chunk + 8;
      dataLength = length;
    }
    pos += 8 + length + (length & 1);
  }
  if (!data || m_format.blockAlign == 0 || m_format.sampleRate == 0) return false;

  const size_t framesPerBlock = m_format.sampleRate * m_blockMilliseconds / 1000;
  const size_t bytesPerBlock = framesPerBlock * m_format.blockAlign;
  m_frames = dataLength / m_format.blockAlign;
  for (size_t offset = 0; offset + m_format.blockAlign <= dataLength; offset += bytesPerBlock) {
    size_t length = dataLength - offset < bytesPerBlock ? dataLength - offset : bytesPerBlock;
    length -= length % m_format.blockAlign;
    AccessUnit unit;
    unit.data.assign(data + offset, data + offset + length);
    uint64_t firstFrame = offset / m_format.blockAlign;
    unit.time = static_cast<int64_t>(firstFrame * 10000000ULL / m_format.sampleRate);
    unit.duration = static_cast<int64_t>((length / m_format.blockAlign) * 10000000ULL / m_format.sampleRate);
    unit.keyFrame = true;
    m_units.push_back(unit);
  }
  return !m_units.empty();
}

bool WavReader::Next(AccessUnit* unit) {
  if (m_next >= m_units.size()) return false;
  *unit = m_units[m_next++];
  return true;
}

int64_t WavReader::Duration() const {
  return m_format.sampleRate ? static_cast<int64_t>(m_frames * 10000000ULL / m_format.sampleRate) : 0;
}

}  // namespace orvo_hostkit
