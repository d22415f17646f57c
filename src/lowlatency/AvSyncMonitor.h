#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace ORVO {
namespace Media {

// How far one player's sound is from its picture. The video stream reports how late each frame
// went on screen against its due time, the audio stream how late each sample's first frame will
// be heard against the same timeline; their difference (audio minus video: positive means the
// sound comes after the picture) is the offset a viewer notices. It counts as in bounds from
// kEarliest to kLatest (the broadcast tolerance); the state changes only after kSettle reports on
// the other side, so one stray sample does not flip it.
//
// Threads: the player's rendering threads report, any thread reads; one small lock, never held
// across anything else.
class AvSyncMonitor {
 public:
  static constexpr int64_t kEarliest = -400000;      // audio 40 ms before the picture
  static constexpr int64_t kLatest = 600000;         // audio 60 ms after it
  static constexpr int64_t kVideoFresh = 10000000;   // a video report older than 1 s is no partner
  static constexpr int kSettle = 5;
  static constexpr size_t kWindow = 512;

  struct Figures {
    double offsetMsMedian = 0;
    double offsetMsLargest = 0;  // the offset furthest from 0 in the window, with its sign
    bool inBounds = true;
    uint64_t measured = 0;
  };

  // `error`: shown or heard minus due, 100-ns; `now`: the library clock.
  void onVideo(int64_t error, int64_t now);
  void onAudio(int64_t error, int64_t now);
  // A new timeline: earlier reports no longer pair.
  void reset();
  // How late the picture goes on screen lately (the median of the last kRecentVideo reports,
  // 0 to kMaxFollow): the sound is placed that much later, so that it stays with a picture that
  // cannot keep its time (a renderer that falls behind) instead of running ahead of it.
  int64_t videoLateness() const;
  static constexpr size_t kRecentVideo = 15;
  static constexpr int64_t kMaxFollow = 20000000;  // 2 s
  Figures figures() const;
  bool inBounds() const;

 private:
  mutable std::mutex m_lock;
  int64_t m_videoError = 0;
  int64_t m_videoAt = INT64_MIN;
  std::array<int64_t, kRecentVideo> m_recentVideo{};
  size_t m_recentCount = 0;
  size_t m_recentNext = 0;
  std::array<int64_t, kWindow> m_offsets{};
  size_t m_count = 0;
  size_t m_next = 0;
  uint64_t m_measured = 0;
  bool m_inBounds = true;
  int m_otherSide = 0;  // reports in a row on the other side of the bounds
};

}  // namespace Media
}  // namespace ORVO
