#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvo_test {

struct Rgb {
  uint8_t r, g, b;
};

// A picture of the whole X display of the test bed, taken with xwd: what a person would see,
// including what Direct3D presented.
class Screenshot {
 public:
  // Captures the display; ok() tells whether it worked. savePng: also keep a PNG for the report.
  static Screenshot Capture(const std::string& savePng = std::string());

  bool ok() const { return m_width > 0; }
  int width() const { return m_width; }
  int height() const { return m_height; }
  Rgb pixel(int x, int y) const;
  // A pixel at client coordinates of a window.
  Rgb clientPixel(HWND window, int x, int y) const;
  // The mean colour of a client-area rectangle (edges excluded from nothing; caller picks it).
  Rgb clientMean(HWND window, const RECT& rect) const;

 private:
  int m_width = 0;
  int m_height = 0;
  std::vector<uint8_t> m_rgb;
};

// Colour distance for assertions: the largest channel difference.
int ColourDistance(Rgb a, Rgb b);

}  // namespace orvo_test
