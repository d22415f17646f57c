#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <atomic>
#include <cstdint>
#include <ctime>

namespace ORVO {
namespace Media {

class SampleQueue;
class StreamOutput;
class StreamPlayer;
class StreamReader;
class StreamStatistics;

// The pulling thread of one low-latency stream: reads from the stream's reader (which asks the
// host through the source), decodes where the stream drives its decoder itself, lets the output
// prepare each decoded sample and queues it for the rendering thread. Ends when the player stops
// playing, when the host ends the stream (ended()) or when the reader keeps failing (failure(),
// and the player moves to Error).
class PullLoop {
 public:
  PullLoop(int streamIndex, StreamPlayer& player, StreamReader& reader, StreamOutput& output, SampleQueue& queue,
           StreamStatistics& statistics);

  // Runs on the pulling thread until one of the ends above.
  void run();
  // For samples the reader hands over itself (the synchronous reader calls this through the stream).
  void deliver(IMFSample* sample, DWORD streamFlags, LONGLONG timestamp);

  // Since the last run: the host ended the stream; why the stream could not go on (S_OK while it can).
  bool ended() const { return m_ended.load(); }
  HRESULT failure() const { return m_failure.load(); }
  void resetStatus() {
    m_ended = false;
    m_failure = S_OK;
  }
  void setFailure(HRESULT hr) { m_failure = hr; }

 private:
  // A new reader (and conversion) in place of the current one. False, with the player moved to
  // Error, when none can be made.
  bool remakeReader();

  const int m_streamIndex;
  StreamPlayer& m_player;
  StreamReader& m_reader;
  StreamOutput& m_output;
  SampleQueue& m_queue;
  StreamStatistics& m_statistics;
  std::atomic<bool> m_ended{false};
  std::atomic<HRESULT> m_failure{S_OK};
  int64_t m_waitSum = 0;
  int64_t m_waitCount = 0;
  time_t m_lastWaitReport;
};

}  // namespace Media
}  // namespace ORVO
