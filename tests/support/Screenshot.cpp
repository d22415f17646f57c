#include "Screenshot.h"

#include <cstdio>
#include <cstdlib>

#include "UnixCommand.h"

namespace orvo_test {

Screenshot Screenshot::Capture(const std::string& savePng) {
  Screenshot shot;
  const std::string display = TestbedEnv("DISPLAY");
  const std::string raw = ScratchPath("screen.ppm");
  std::string command = "xwd -root -display " + display + " | convert xwd:- ";
  if (!savePng.empty()) command += "-write '" + savePng + "' ";
  command += "-depth 8 '" + raw + "'";
  UnixCommand::Run(command, 30000);

  FILE* file = fopen(raw.c_str(), "rb");
  if (!file) return shot;
  // ImageMagick writes a comment line into the header ("#xwdump").
  auto readNumber = [file]() {
    int c = fgetc(file);
    while (c == '#' || c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      if (c == '#') {
        while (c != '\n' && c != EOF) c = fgetc(file);
      }
      c = fgetc(file);
    }
    int value = 0;
    while (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      c = fgetc(file);
    }
    return value;  // the single white space after the number is consumed
  };
  int width = 0, height = 0, maxValue = 0;
  const bool magic = fgetc(file) == 'P' && fgetc(file) == '6';
  if (magic) {
    width = readNumber();
    height = readNumber();
    maxValue = readNumber();
  }
  if (magic && maxValue == 255 && width > 0 && height > 0) {
    std::vector<uint8_t> data(static_cast<size_t>(width) * height * 3);
    if (fread(data.data(), 1, data.size(), file) == data.size()) {
      shot.m_width = width;
      shot.m_height = height;
      shot.m_rgb.swap(data);
    }
  }
  fclose(file);
  remove(raw.c_str());
  return shot;
}

Rgb Screenshot::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= m_width || y >= m_height) return {0, 0, 0};
  const size_t at = (static_cast<size_t>(y) * m_width + x) * 3;
  return {m_rgb[at], m_rgb[at + 1], m_rgb[at + 2]};
}

Rgb Screenshot::clientPixel(HWND window, int x, int y) const {
  POINT point = {x, y};
  ClientToScreen(window, &point);
  return pixel(point.x, point.y);
}

Rgb Screenshot::clientMean(HWND window, const RECT& rect) const {
  long long sum[3] = {0, 0, 0};
  long long count = 0;
  for (int y = rect.top; y < rect.bottom; ++y) {
    for (int x = rect.left; x < rect.right; ++x) {
      const Rgb p = clientPixel(window, x, y);
      sum[0] += p.r;
      sum[1] += p.g;
      sum[2] += p.b;
      ++count;
    }
  }
  if (count == 0) return {0, 0, 0};
  return {static_cast<uint8_t>(sum[0] / count), static_cast<uint8_t>(sum[1] / count),
          static_cast<uint8_t>(sum[2] / count)};
}

int ColourDistance(Rgb a, Rgb b) {
  const int dr = std::abs(a.r - b.r), dg = std::abs(a.g - b.g), db = std::abs(a.b - b.b);
  return dr > dg ? (dr > db ? dr : db) : (dg > db ? dg : db);
}

}  // namespace orvo_test
