#include "SoakOptions.h"

#include <cwchar>
#include <cstdlib>

namespace soak_bench {

namespace {

constexpr int kMaxMinutes = 24 * 60;
constexpr int kMaxPlayers = 16;

// The source tree's test media as a Windows path: the tree is a Unix path, which Wine maps through
// drive Z:. SOAK_MEDIA_DIR comes from the build.
std::wstring TestMedia(const wchar_t* name) {
  std::wstring path = L"Z:";
  for (const char* c = SOAK_MEDIA_DIR; *c; ++c) path += static_cast<wchar_t>(*c == '/' ? '\\' : *c);
  return path + L"\\" + name;
}

bool ParseSize(const wchar_t* value, uint32_t* width, uint32_t* height) {
  unsigned w = 0, h = 0;
  if (swscanf(value, L"%ux%u", &w, &h) != 2 || w == 0 || h == 0 || w > 8192 || h > 8192) return false;
  *width = w;
  *height = h;
  return true;
}

}  // namespace

const char* SoakOptions::Usage() {
  return "usage: soak-bench [--minutes N] [--minute-seconds S] [--players N] [--video clip.h264 --size WxH]\n"
         "                  [--audio tone.wav|tone.aac|none] [--seed N] [--log on|off]\n"
         "  --minutes N          how long the soak runs, in minutes (1-1440; default 60)\n"
         "  --minute-seconds S   the length of one minute in real seconds (10-60; default 60): the whole\n"
         "                       schedule in less time, for checking the tool\n"
         "  --players N          tiles of the wall, one low-latency player each (1-16; default 4)\n"
         "  --video F --size WxH H.264 Annex-B at 30 fps and its picture size (default: the test clip, 640x360)\n"
         "  --audio F            PCM WAV or ADTS AAC, or none (default: the test tone, 48 kHz stereo PCM)\n"
         "  --seed N             seed of the garbage bytes (default 1)\n"
         "  --log on             also switch the library's log on (ORVO.Media.log beside the program)\n";
}

bool SoakOptions::Parse(int argc, wchar_t** argv, SoakOptions* options) {
  options->video = TestMedia(L"clip-640x360-30fps.h264");
  options->audio = TestMedia(L"tone-440hz-48k-stereo.wav");
  if (argc % 2 == 0) return false;  // every option takes a value
  for (int i = 1; i + 1 < argc; i += 2) {
    const wchar_t* name = argv[i];
    const wchar_t* value = argv[i + 1];
    wchar_t* end = nullptr;
    if (!wcscmp(name, L"--minutes")) {
      options->minutes = static_cast<int>(wcstol(value, &end, 10));
    } else if (!wcscmp(name, L"--minute-seconds")) {
      options->minuteSeconds = wcstod(value, &end);
    } else if (!wcscmp(name, L"--players")) {
      options->players = static_cast<int>(wcstol(value, &end, 10));
    } else if (!wcscmp(name, L"--video")) {
      options->video = value;
    } else if (!wcscmp(name, L"--size")) {
      if (!ParseSize(value, &options->width, &options->height)) return false;
    } else if (!wcscmp(name, L"--audio")) {
      options->audio = wcscmp(value, L"none") ? value : L"";
    } else if (!wcscmp(name, L"--seed")) {
      options->seed = static_cast<uint32_t>(wcstoul(value, &end, 10));
    } else if (!wcscmp(name, L"--log")) {
      if (wcscmp(value, L"on") && wcscmp(value, L"off")) return false;
      options->log = !wcscmp(value, L"on");
    } else {
      return false;
    }
    if (end && *end) return false;  // a number with something after it
  }
  return options->minutes >= 1 && options->minutes <= kMaxMinutes && options->minuteSeconds >= 10 &&
         options->minuteSeconds <= 60 && options->players >= 1 && options->players <= kMaxPlayers &&
         !options->video.empty();
}

}  // namespace soak_bench
