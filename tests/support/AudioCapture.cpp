#include "AudioCapture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "UnixCommand.h"

namespace orvo_test {

AudioCapture::AudioCapture(const std::string& monitor) : m_monitor(monitor) {}
AudioCapture::~AudioCapture() = default;

bool AudioCapture::start(double seconds) {
  // A file of its own: two captures may record at once (two sinks).
  static LONG s_serial = 0;
  m_path = ScratchPath("capture-" + std::to_string(InterlockedIncrement(&s_serial)) + ".raw");
  std::string monitor = m_monitor.empty() ? TestbedEnv("ORVO_AUDIO_MONITOR") : m_monitor;
  if (monitor.empty()) monitor = "orvo_sink.monitor";
  char duration[32];
  snprintf(duration, sizeof(duration), "%.2f", seconds);
  m_process.reset(new UnixCommand(std::string("timeout ") + duration + " parec -d " + monitor +
                                  " --latency-msec=20 --format=s16le --rate=48000 --channels=2 --raw > '" +
                                  m_path + "'"));
  return m_process->started();
}

bool AudioCapture::recording() const {
  if (!m_process) return false;
  FILE* file = fopen(m_path.c_str(), "rb");
  if (!file) return false;
  const bool written = fseek(file, 0, SEEK_END) == 0 && ftell(file) > 0;
  fclose(file);
  return written;
}

bool AudioCapture::finish() {
  if (!m_process) return false;
  m_process->wait(120000);
  m_process.reset();
  m_samples.clear();
  FILE* file = fopen(m_path.c_str(), "rb");
  if (!file) return false;
  int16_t buffer[4096];
  size_t n;
  while ((n = fread(buffer, sizeof(int16_t), 4096, file)) > 0) m_samples.insert(m_samples.end(), buffer, buffer + n);
  fclose(file);
  remove(m_path.c_str());
  const size_t frames = m_samples.size() / 2;
  m_dropout.assign(frames, false);
  for (size_t i = 0; i < frames;) {
    size_t end = i;
    while (end < frames && m_samples[end * 2] == 0 && m_samples[end * 2 + 1] == 0) ++end;
    if (end - i >= 48) std::fill(m_dropout.begin() + i, m_dropout.begin() + end, true);
    i = end > i ? end : i + 1;
  }
  return !m_samples.empty();
}

namespace {
void frameRange(size_t total, double from, double to, size_t* first, size_t* last) {
  const size_t frames = total / 2;
  *first = static_cast<size_t>(from * 48000.0);
  *last = static_cast<size_t>(to * 48000.0);
  if (*last > frames) *last = frames;
  if (*first > *last) *first = *last;
}
}  // namespace

double AudioCapture::rms(int channel, double from, double to) const {
  size_t first, last;
  frameRange(m_samples.size(), from, to, &first, &last);
  if (last == first) return 0.0;
  double sum = 0.0;
  for (size_t i = first; i < last; ++i) {
    const double v = m_samples[i * 2 + channel] / 32768.0;
    sum += v * v;
  }
  return std::sqrt(sum / static_cast<double>(last - first));
}

double AudioCapture::heardRms(int channel, double from, double to) const {
  size_t first, last;
  frameRange(m_samples.size(), from, to, &first, &last);
  double sum = 0.0;
  size_t heard = 0;
  for (size_t i = first; i < last; ++i) {
    if (m_dropout[i]) continue;
    const double v = m_samples[i * 2 + channel] / 32768.0;
    sum += v * v;
    ++heard;
  }
  if (heard == 0 || heard * 2 < last - first) return -1.0;
  return std::sqrt(sum / static_cast<double>(heard));
}

double AudioCapture::peak(int channel, double from, double to) const {
  size_t first, last;
  frameRange(m_samples.size(), from, to, &first, &last);
  double best = 0.0;
  for (size_t i = first; i < last; ++i) best = std::fmax(best, std::fabs(m_samples[i * 2 + channel] / 32768.0));
  return best;
}

double AudioCapture::frequency(int channel, double from, double to) const {
  size_t first, last;
  frameRange(m_samples.size(), from, to, &first, &last);
  // Rising zero crossings, interpolated between samples.
  double firstCross = -1.0, lastCross = -1.0;
  int crossings = 0;
  for (size_t i = first + 1; i < last; ++i) {
    const double a = m_samples[(i - 1) * 2 + channel], b = m_samples[i * 2 + channel];
    if (a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (firstCross < 0) firstCross = at;
      lastCross = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0.0;
  return (crossings - 1) * 48000.0 / (lastCross - firstCross);
}

double AudioCapture::medianFrequency(int channel, double from, double to) const {
  size_t first, last;
  frameRange(m_samples.size(), from, to, &first, &last);
  std::vector<double> periods;
  double previous = -1.0;
  for (size_t i = first + 1; i < last; ++i) {
    const double a = m_samples[(i - 1) * 2 + channel], b = m_samples[i * 2 + channel];
    if (a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.size() < 10) return 0.0;
  std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
  return 48000.0 / periods[periods.size() / 2];
}

double AudioCapture::onset(double level) const {
  const double threshold = level * 32768.0;
  for (size_t i = 0; i < m_samples.size(); ++i) {
    if (std::fabs(static_cast<double>(m_samples[i])) > threshold) return static_cast<double>(i / 2) / 48000.0;
  }
  return durationSeconds();
}

}  // namespace orvo_test
