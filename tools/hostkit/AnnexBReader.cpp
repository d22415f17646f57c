#include "AnnexBReader.h"

#include <cstdio>

namespace orvo_hostkit {


AnnexBReader::AnnexBReader(Codec codec, uint32_t rateNumerator, uint32_t rateDenominator)
    : m_codec(codec), m_rateNumerator(rateNumerator ? rateNumerator : 30), m_rateDenominator(rateDenominator ? rateDenominator : 1) {}

bool AnnexBReader::Open(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  return ReadWholeFile(path, &bytes) && Parse(bytes);
}

int AnnexBReader::NalType(Codec codec, uint8_t header) {
  return codec == Codec::H264 ? (header & 0x1F) : ((header >> 1) & 0x3F);
}

bool AnnexBReader::isPicture(int type) const {
  return m_codec == Codec::H264 ? (type >= 1 && type <= 5) : (type >= 0 && type <= 31);
}

bool AnnexBReader::isKeyFrame(int type) const {
  return m_codec == Codec::H264 ? type == 5 : (type >= 16 && type <= 21);
}

bool AnnexBReader::startsAccessUnit(const std::vector<uint8_t>& bytes, const Nal& nal, bool unitHasPicture) const {
  if (!unitHasPicture) return false;  // parameter sets and SEI before the first slice stay together
  int type = NalType(m_codec, bytes[nal.payload]);
  if (m_codec == Codec::H264) {
    if (type == 9 || type == 7 || type == 8 || type == 6 || (type >= 14 && type <= 18)) return true;
    // first_mb_in_slice is ue(v) coded; the value 0 is the single bit 1.
    if (isPicture(type)) return nal.payload + 1 < nal.end && (bytes[nal.payload + 1] & 0x80) != 0;
    return false;
  }
  if (type == 32 || type == 33 || type == 34 || type == 35 || type == 39 || (type >= 41 && type <= 44) ||
      (type >= 48 && type <= 55)) {
    return true;
  }
  // HEVC has a two-byte NAL header; first_slice_segment_in_pic_flag is the next bit.
  if (isPicture(type)) return nal.payload + 2 < nal.end && (bytes[nal.payload + 2] & 0x80) != 0;
  return false;
}

bool AnnexBReader::Parse(const std::vector<uint8_t>& bytes) {
  m_units.clear();
  m_next = 0;
  // Find NAL units: each begins at a start code (three or four bytes).
  std::vector<Nal> nals;
  size_t i = 0;
  const size_t n = bytes.size();
  while (i + 3 <= n) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      size_t start = (i > 0 && bytes[i - 1] == 0) ? i - 1 : i;
      if (!nals.empty()) nals.back().end = start;
      nals.push_back(Nal{start, n, i + 3});
      i += 3;
    } else {
      ++i;
    }
  }
  // Drop empty NAL units (a start code at the very end).
  std::vector<Nal> valid;
  for (const Nal& nal : nals) {
    if (nal.payload < nal.end) valid.push_back(nal);
  }
  if (valid.empty()) return false;

  AccessUnit current;
  bool hasPicture = false;
  auto finish = [&]() {
    if (current.data.empty()) return;
    if (hasPicture) m_units.push_back(current);
    current = AccessUnit();
    hasPicture = false;
  };
  for (const Nal& nal : valid) {
    if (startsAccessUnit(bytes, nal, hasPicture)) finish();
    int type = NalType(m_codec, bytes[nal.payload]);
    if (isPicture(type)) {
      hasPicture = true;
      if (isKeyFrame(type)) current.keyFrame = true;
    }
    current.data.insert(current.data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(nal.start),
                        bytes.begin() + static_cast<std::ptrdiff_t>(nal.end));
  }
  finish();

  const int64_t duration = 10000000LL * m_rateDenominator / m_rateNumerator;
  for (size_t k = 0; k < m_units.size(); ++k) {
    m_units[k].time = static_cast<int64_t>(k) * 10000000LL * m_rateDenominator / m_rateNumerator;
    m_units[k].duration = duration;
  }
  return !m_units.empty();
}

bool AnnexBReader::Next(AccessUnit* unit) {
  if (m_next >= m_units.size()) return false;
  *unit = m_units[m_next++];
  return true;
}

int64_t AnnexBReader::Duration() const {
  return static_cast<int64_t>(m_units.size()) * 10000000LL * m_rateDenominator / m_rateNumerator;
}

size_t AnnexBReader::LargestUnit() const {
  size_t largest = 0;
  for (const AccessUnit& unit : m_units) largest = unit.data.size() > largest ? unit.data.size() : largest;
  return largest;
}

}  // namespace orvo_hostkit
