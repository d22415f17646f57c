#include "SoakLedger.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace soak_bench {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string Count(int64_t value) { return value < 0 ? "-" : std::to_string(value); }

std::string Megabytes(int64_t bytes) { return bytes < 0 ? "-" : Format("%.1f", bytes / kMiB); }

std::string Figure(double value, const char* format) { return value < 0 ? "-" : Format(format, value); }

// The growth of a count from one reading to another; "-" when either is missing.
std::string CountGrowth(int64_t from, int64_t to) {
  if (from < 0 || to < 0) return "-";
  const int64_t growth = to - from;
  return (growth >= 0 ? "+" : "") + std::to_string(growth);
}

std::string MegabyteGrowth(int64_t from, int64_t to) {
  return from < 0 || to < 0 ? "-" : Format("%+.1f", (to - from) / kMiB);
}

std::string FigureGrowth(double from, double to, const char* format) {
  return from < 0 || to < 0 ? "-" : Format(format, to - from);
}

}  // namespace

int SoakLedger::GrowthBaseline(int minutes) {
  if (minutes >= 10) return 5;
  return std::max(1, std::min(5, minutes / 2));
}

SoakLedger::Figures SoakLedger::Aggregate(const Record& record) {
  Figures figures;
  std::vector<double> medians;
  for (const SoakTile::Minute& tile : record.tiles) {
    figures.presented += tile.presented;
    figures.returned += tile.returned;
    if (tile.haveLatency) {
      medians.push_back(tile.latencyP50);
      figures.p99 = std::max(figures.p99, tile.latencyP99);
    }
    if (tile.haveOffset && (!figures.haveOffset || std::fabs(tile.offsetMedian) > std::fabs(figures.offset))) {
      figures.haveOffset = true;
      figures.offset = tile.offsetMedian;
    }
  }
  if (figures.returned > 0) figures.share = static_cast<double>(figures.presented) / static_cast<double>(figures.returned);
  if (!medians.empty()) {
    std::sort(medians.begin(), medians.end());
    const size_t n = medians.size();
    figures.p50 = n % 2 ? medians[n / 2] : (medians[n / 2 - 1] + medians[n / 2]) / 2;
  }
  return figures;
}

std::string SoakLedger::Add(const Record& record) {
  m_records.push_back(record);
  m_errors += record.events.errors;
  const Figures f = Aggregate(record);
  const ProcessCounters& c = record.counters;
  std::string tilesP99, tilesShare, tilesOffset, tilesQueue;
  for (size_t i = 0; i < record.tiles.size(); ++i) {
    const SoakTile::Minute& tile = record.tiles[i];
    const char* separator = i ? "/" : "";
    tilesP99 += separator + (tile.haveLatency ? Format("%.0f", tile.latencyP99) : std::string("-"));
    tilesShare += separator + (tile.returned ? Format("%.2f", static_cast<double>(tile.presented) /
                                                                  static_cast<double>(tile.returned))
                                             : std::string("-"));
    tilesOffset += separator + (tile.haveOffset ? Format("%+.0f", tile.offsetMedian) : std::string("-"));
    tilesQueue += separator + std::to_string(tile.queueDepth);
  }
  std::string line = "minute " + std::to_string(record.minute) + "/" + std::to_string(m_plannedMinutes) +
                     " t=" + Format("%.0f", record.elapsedSeconds) + "s" +
                     " handles=" + Count(c.handles) + " handle_table=" + Count(c.handleTable) +
                     " gdi=" + Count(c.gdiObjects) +
                     " user=" + Count(c.userObjects) + " threads=" + Count(c.threads) +
                     " private_mb=" + Megabytes(c.privateBytes) +
                     " linux_rss_mb=" + Megabytes(c.linuxRssBytes) + " linux_anon_mb=" + Megabytes(c.linuxAnonBytes) +
                     " linux_threads=" + Count(c.linuxThreads) + " linux_fds=" + Count(c.linuxFds) +
                     " presented=" + Figure(f.share, "%.3f") + " (" + std::to_string(f.presented) + "/" +
                     std::to_string(f.returned) + ")" +
                     " p50_ms=" + Figure(f.p50, "%.1f") + " p99_ms=" + Figure(f.p99, "%.1f") +
                     " av_offset_ms=" + (f.haveOffset ? Format("%+.1f", f.offset) : std::string("-")) +
                     " tiles_presented=" + tilesShare + " tiles_p99_ms=" + tilesP99 + " tiles_av_ms=" + tilesOffset +
                     " tiles_queue=" + tilesQueue +
                     " errors=" + std::to_string(record.events.errors) +
                     " stalls=" + std::to_string(record.events.stallsBegan) +
                     " sync_lost=" + std::to_string(record.events.syncLost) +
                     " catch_ups=" + std::to_string(record.events.catchUps);
  if (!record.notes.empty()) line += " | " + record.notes;
  return line;
}

std::string SoakLedger::Result(const ProcessCounters& baseline, const ProcessCounters& closed, int playersOpened,
                               int openFailures) const {
  const int minutes = static_cast<int>(m_records.size());
  std::string line = "RESULT minutes=" + std::to_string(minutes) + "/" + std::to_string(m_plannedMinutes);
  if (minutes > 0) {
    const int from = GrowthBaseline(minutes);
    const Record& first = m_records[static_cast<size_t>(from - 1)];
    const Record& last = m_records.back();
    const Figures a = Aggregate(first);
    const Figures b = Aggregate(last);
    const ProcessCounters& x = first.counters;
    const ProcessCounters& y = last.counters;
    line += " growth_from_minute=" + std::to_string(from) + " handles=" + CountGrowth(x.handles, y.handles) +
            " handle_table=" + CountGrowth(x.handleTable, y.handleTable) +
            " gdi=" + CountGrowth(x.gdiObjects, y.gdiObjects) + " user=" + CountGrowth(x.userObjects, y.userObjects) +
            " threads=" + CountGrowth(x.threads, y.threads) +
            " private_mb=" + MegabyteGrowth(x.privateBytes, y.privateBytes) +
            " linux_rss_mb=" + MegabyteGrowth(x.linuxRssBytes, y.linuxRssBytes) +
            " linux_anon_mb=" + MegabyteGrowth(x.linuxAnonBytes, y.linuxAnonBytes) +
            " linux_threads=" + CountGrowth(x.linuxThreads, y.linuxThreads) +
            " linux_fds=" + CountGrowth(x.linuxFds, y.linuxFds) +
            " presented=" + FigureGrowth(a.share, b.share, "%+.3f") + " p50_ms=" + FigureGrowth(a.p50, b.p50, "%+.1f") +
            " p99_ms=" + FigureGrowth(a.p99, b.p99, "%+.1f") + " av_offset_ms=" +
            (a.haveOffset && b.haveOffset ? Format("%+.1f", b.offset - a.offset) : std::string("-"));
    // The worst minute: the largest p99, the smallest presented share.
    int worstP99Minute = 0, worstShareMinute = 0;
    double worstP99 = -1, worstShare = -1;
    for (const Record& record : m_records) {
      const Figures f = Aggregate(record);
      if (f.p99 >= 0 && f.p99 > worstP99) {
        worstP99 = f.p99;
        worstP99Minute = record.minute;
      }
      if (f.share >= 0 && (worstShare < 0 || f.share < worstShare)) {
        worstShare = f.share;
        worstShareMinute = record.minute;
      }
    }
    line += " worst_p99_ms=" + Figure(worstP99, "%.1f") +
            (worstP99Minute ? "@" + std::to_string(worstP99Minute) : std::string()) +
            " worst_presented=" + Figure(worstShare, "%.3f") +
            (worstShareMinute ? "@" + std::to_string(worstShareMinute) : std::string());
  }
  // After every player is closed, against before the first was created: what the library kept.
  line += " closed_handles=" + CountGrowth(baseline.handles, closed.handles) +
          " closed_handle_table=" + CountGrowth(baseline.handleTable, closed.handleTable) +
          " closed_threads=" + CountGrowth(baseline.threads, closed.threads) +
          " closed_private_mb=" + MegabyteGrowth(baseline.privateBytes, closed.privateBytes) +
          " closed_linux_anon_mb=" + MegabyteGrowth(baseline.linuxAnonBytes, closed.linuxAnonBytes) +
          " closed_linux_threads=" + CountGrowth(baseline.linuxThreads, closed.linuxThreads) +
          " closed_linux_fds=" + CountGrowth(baseline.linuxFds, closed.linuxFds) +
          " players_opened=" + std::to_string(playersOpened) + " open_failures=" + std::to_string(openFailures) +
          " errors=" + std::to_string(m_errors);
  return line;
}

}  // namespace soak_bench
