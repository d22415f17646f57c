#include "LiveHost.h"

#include <mfapi.h>

#include <algorithm>
#include <vector>

#include "AdtsReader.h"
#include "AnnexBReader.h"
#include "HostMediaTypes.h"
#include "MediaFiles.h"

namespace e2e {

using orvo_hostkit::AdtsReader;
using orvo_hostkit::AnnexBReader;
using orvo_hostkit::HostFeeder;

LiveHost::LiveHost(HWND window, bool withAudio, const HostFeeder::Options& options, RequestDataCallback callback,
                   const wchar_t* videoFile) {
  Create(&id);
  feeder.reset(new HostFeeder(options));
  SetCallback(id, callback);
  if (window) SetPreviewWindow(id, window);

  std::unique_ptr<AnnexBReader> video(new AnnexBReader(AnnexBReader::Codec::H264, 30, 1));
  video->Open(orvo_test::MediaPath(videoFile));
  IMFMediaType* type = nullptr;
  CreateMediaType(id, &type);
  orvo_hostkit::DescribeH264(type, 640, 360, 30, 1);
  AddMediaType(id, type);
  type->Release();
  feeder->AddStream(0, std::move(video));

  if (withAudio) {
    std::unique_ptr<AdtsReader> audio(new AdtsReader());
    audio->Open(orvo_test::MediaPath(L"demo-440hz-48k-stereo.aac"));
    CreateMediaType(id, &type);
    orvo_hostkit::DescribeAac(type, audio->format());
    AddMediaType(id, type);
    type->Release();
    feeder->AddStream(1, std::move(audio));
  }
  HostFeeder::Register(id, feeder.get());
}

LiveHost::~LiveHost() {
  // A feeder waiting for a frame's time must not hold up the close.
  feeder->Abort();
  Close(id);
  HostFeeder::Unregister(id);
}

int LiveHost::open(const std::wstring& uri) {
  openResult = Open(id, uri.c_str());
  return openResult;
}

int ReadFrameNumber(const orvo_test::Screenshot& shot, HWND window, int clientWidth) {
  const double scale = clientWidth / 640.0;
  int number = 0;
  for (int i = 0; i < 16; ++i) {
    const orvo_test::Rgb p =
        shot.clientPixel(window, static_cast<int>((32 * i + 16) * scale), static_cast<int>(16 * scale));
    const int level = (p.r + p.g + p.b) / 3;
    const bool grey = orvo_test::ColourDistance(p, {p.r, p.r, p.r}) < 40;
    if (!grey || (level > 70 && level < 185)) return -1;
    number = number * 2 + (level >= 185 ? 1 : 0);
  }
  return number;
}

bool QuadrantsMatch(const orvo_test::Screenshot& shot, HWND window, int clientWidth, int clientHeight) {
  const orvo_test::Rgb expected[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
  const int xs[2] = {clientWidth / 4, clientWidth * 3 / 4};
  const int ys[2] = {clientHeight * 3 / 8, clientHeight * 3 / 4};
  for (int q = 0; q < 4; ++q) {
    const int x = xs[q % 2], y = ys[q / 2];
    const RECT area = {x - 8, y - 8, x + 8, y + 8};
    if (orvo_test::ColourDistance(shot.clientMean(window, area), expected[q]) > 60) return false;
  }
  return true;
}

}  // namespace e2e
