#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AccessUnit.h"

namespace orvo_hostkit {

// Splits an H.264 or HEVC elementary stream in Annex-B form (start codes 00 00 01 / 00 00 00 01)
// into access units and gives them times from a fixed frame rate. Streams without B-frames are
// assumed (decoding order = presentation order), as live encoders produce them; the time of unit
// n is n * 10,000,000 * rateDenominator / rateNumerator.
//
// Access unit boundaries follow the standards' rules for the first NAL unit of a picture:
//  - H.264: an access unit delimiter, SPS, PPS, SEI or NAL types 14-18 after a slice, or a slice
//    whose first_mb_in_slice is 0 (the first header bit is 1), starts a new unit.
//  - HEVC: a VPS, SPS, PPS, delimiter, prefix SEI or types 41-44/48-55 after a slice, or a slice
//    with first_slice_segment_in_pic_flag set, starts a new unit.
// Every unit keeps its start codes: the library's decoders take Annex-B input.
class AnnexBReader : public AccessUnitReader {
 public:
  enum class Codec { H264, HEVC };

  AnnexBReader(Codec codec, uint32_t rateNumerator, uint32_t rateDenominator);

  bool Open(const std::wstring& path);            // reads the whole file
  bool Parse(const std::vector<uint8_t>& bytes);  // or takes the bytes directly

  bool Next(AccessUnit* unit) override;
  void Rewind() override { m_next = 0; }
  int64_t Duration() const override;
  size_t Count() const override { return m_units.size(); }
  const AccessUnit& At(size_t index) const { return m_units[index]; }
  size_t LargestUnit() const;

  // NAL unit type from the first header byte.
  static int NalType(Codec codec, uint8_t header);

 private:
  struct Nal {
    size_t start;  // start code included
    size_t end;
    size_t payload;  // first byte after the start code
  };
  bool startsAccessUnit(const std::vector<uint8_t>& bytes, const Nal& nal, bool unitHasPicture) const;
  bool isPicture(int type) const;
  bool isKeyFrame(int type) const;

  Codec m_codec;
  uint32_t m_rateNumerator;
  uint32_t m_rateDenominator;
  std::vector<AccessUnit> m_units;
  size_t m_next = 0;
};

}  // namespace orvo_hostkit
