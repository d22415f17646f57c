#pragma once

#include <string>

namespace orvo_test {

// Writes a 16-bit PCM WAV file holding a sine tone, for tests that need a real media file.
// channels: 1 or more (all carry the same tone); amplitude: 0..1 of full scale.
bool WriteToneWav(const std::wstring& path, double seconds, double frequency, int channels = 2,
                  int sampleRate = 48000, double amplitude = 0.5);

// A file path in the test program's working folder (Windows form).
std::wstring WorkingFilePath(const wchar_t* name);

}  // namespace orvo_test
