#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvo_hostkit {

// One compressed sample as a host hands it to the library: the bytes of one access unit (a video
// picture with its parameter sets, or one audio frame) and its time in 100-ns units.
struct AccessUnit {
  std::vector<uint8_t> data;
  int64_t time = 0;
  int64_t duration = 0;
  bool keyFrame = false;
};

// A source of access units in decoding order. Readers hold their whole input in memory, so
// Rewind is cheap and looping playback needs no file access.
class AccessUnitReader {
 public:
  virtual ~AccessUnitReader() = default;
  // Copies the next unit into `unit`; false at the end.
  virtual bool Next(AccessUnit* unit) = 0;
  virtual void Rewind() = 0;
  // Total duration of one pass, in 100-ns units (used to keep times rising when looping).
  virtual int64_t Duration() const = 0;
  virtual size_t Count() const = 0;
};

// Reads a whole file into memory (readers parse their input in one piece); false if it cannot be
// opened.
bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* bytes);

}  // namespace orvo_hostkit
