#pragma once

namespace ORVO {
namespace Media {

class AvSyncMonitor;
class TimestampSynchronizer;

// What a stream's pulling and rendering loops need of their player: whether it still plays, the
// shared timeline, the queue trim and where to report failure. The low-latency player in the
// engine; a scripted one in tests.
class StreamPlayer {
 public:
  virtual ~StreamPlayer() = default;
  virtual bool playing() const = 0;
  // Trims every stream's queue when all have backed up (LowLatency, at most once a second).
  virtual void flush() = 0;
  virtual TimestampSynchronizer* synchronizer() const = 0;
  virtual AvSyncMonitor* syncMonitor() = 0;
  // The stream cannot go on: the player moves to Error.
  virtual void streamFailed(int streamIndex) = 0;
};

}  // namespace Media
}  // namespace ORVO
