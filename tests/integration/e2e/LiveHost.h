#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <memory>
#include <string>

#include "AudioCapture.h"
#include "HostFeeder.h"
#include "OrvoMedia.h"
#include "Screenshot.h"

namespace e2e {

// One host-side player fed from the test media through the exports, as a customer's host does it.
struct LiveHost {
  int id = 0;
  std::unique_ptr<orvo_hostkit::HostFeeder> feeder;
  int openResult = -1;

  // Creates the player and describes a test clip (and the demo tone, when withAudio) to it; feeding
  // starts at Play.
  LiveHost(HWND window, bool withAudio, const orvo_hostkit::HostFeeder::Options& options,
           RequestDataCallback callback = &orvo_hostkit::HostFeeder::Callback,
           const wchar_t* videoFile = L"demo-640x360-30fps.h264");
  ~LiveHost();
  int open(const std::wstring& uri = L"orvo://live");
};

// Test clip frame number from the 16 black/white blocks of its top row; -1 when the row is not
// black and white (no picture, or a wrong one). clientWidth: the window's client width.
int ReadFrameNumber(const orvo_test::Screenshot& shot, HWND window, int clientWidth);
// True when the four quadrants show red, green, blue and yellow at that client size.
bool QuadrantsMatch(const orvo_test::Screenshot& shot, HWND window, int clientWidth, int clientHeight);

}  // namespace e2e
