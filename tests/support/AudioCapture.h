#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvo_test {

class UnixCommand;

// Records the test bed's null sink monitor (what the library played) with parec, as 48 kHz
// stereo 16-bit. The first few hundred milliseconds of a capture can be missing: leave margin.
class AudioCapture {
 public:
  // monitor: the PulseAudio source to record; empty for the default sink's (ORVO_AUDIO_MONITOR).
  explicit AudioCapture(const std::string& monitor = std::string());
  ~AudioCapture();
  // Starts recording for at most the given time.
  bool start(double seconds);
  // True once the recorder is connected and writing: a test that starts playing only then needs
  // no margin for the first few hundred milliseconds a capture can miss.
  bool recording() const;
  // Waits for the recording to end and loads it.
  bool finish();

  const std::vector<int16_t>& samples() const { return m_samples; }  // interleaved L R
  int sampleRate() const { return 48000; }
  // Analysis of one channel (0 left, 1 right) over [from, to) seconds of the capture.
  double rms(int channel, double from, double to) const;
  double peak(int channel, double from, double to) const;
  // The rms of what was heard in [from, to): a dropout of the sound server is exact zeros on both
  // sides, so stretches of 1 ms or more of them are left out (no test tone has one). -1 when less
  // than half of the range was heard.
  double heardRms(int channel, double from, double to) const;
  // Frequency from zero crossings; good for a clean tone.
  double frequency(int channel, double from, double to) const;
  // Frequency from the median period between rising zero crossings: a dropout spoils only the
  // period it falls in. 0 without ten periods.
  double medianFrequency(int channel, double from, double to) const;
  // Seconds from the capture's start to the first sample louder than `level` (full scale 1.0);
  // the capture's duration when none is.
  double onset(double level) const;
  double durationSeconds() const { return m_samples.size() / 2.0 / 48000.0; }

 private:
  std::string m_monitor;
  std::unique_ptr<UnixCommand> m_process;
  std::string m_path;
  std::vector<int16_t> m_samples;
  std::vector<bool> m_dropout;  // per frame: inside a stretch of 1 ms or more of digital silence
};

}  // namespace orvo_test
