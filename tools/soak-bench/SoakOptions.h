#pragma once

#include <cstdint>
#include <string>

namespace soak_bench {

// The command line. Every option takes a value; see kUsage in SoakOptions.cpp and the README.
struct SoakOptions {
  int minutes = 60;
  double minuteSeconds = 60;  // a shorter "minute" runs the whole schedule in less real time
  int players = 4;
  std::wstring video;         // H.264 Annex-B, 30 fps, no B-frames; default: the test clip
  std::wstring audio;         // .wav (PCM) or .aac (ADTS); "none" for video only; default: the test tone
  uint32_t width = 640;
  uint32_t height = 360;
  uint32_t seed = 1;          // for the garbage bytes
  bool log = false;           // the library's own log (SetLog), beside the executable

  // Fills *options from argv; false (with nothing printed) when the command line is wrong.
  static bool Parse(int argc, wchar_t** argv, SoakOptions* options);
  static const char* Usage();
};

}  // namespace soak_bench
