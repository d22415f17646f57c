#include "ToneWav.h"

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace orvo_test {

namespace {
void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v & 0xFFFF));
  put16(out, static_cast<uint16_t>(v >> 16));
}
void putTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }
}  // namespace

bool WriteToneWav(const std::wstring& path, double seconds, double frequency, int channels, int sampleRate,
                  double amplitude) {
  const uint32_t frames = static_cast<uint32_t>(seconds * sampleRate);
  const uint32_t dataBytes = frames * channels * 2;
  std::vector<uint8_t> file;
  file.reserve(44 + dataBytes);
  putTag(file, "RIFF");
  put32(file, 36 + dataBytes);
  putTag(file, "WAVE");
  putTag(file, "fmt ");
  put32(file, 16);
  put16(file, 1);  // PCM
  put16(file, static_cast<uint16_t>(channels));
  put32(file, static_cast<uint32_t>(sampleRate));
  put32(file, static_cast<uint32_t>(sampleRate * channels * 2));
  put16(file, static_cast<uint16_t>(channels * 2));
  put16(file, 16);
  putTag(file, "data");
  put32(file, dataBytes);
  const double step = 2.0 * 3.14159265358979323846 * frequency / sampleRate;
  for (uint32_t i = 0; i < frames; ++i) {
    const int16_t value = static_cast<int16_t>(std::lround(std::sin(step * i) * amplitude * 32767.0));
    for (int c = 0; c < channels; ++c) put16(file, static_cast<uint16_t>(value));
  }
  FILE* out = _wfopen(path.c_str(), L"wb");
  if (!out) return false;
  const bool ok = fwrite(file.data(), 1, file.size(), out) == file.size();
  return fclose(out) == 0 && ok;
}

std::wstring WorkingFilePath(const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  std::wstring path(folder);
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path + name;
}

}  // namespace orvo_test
