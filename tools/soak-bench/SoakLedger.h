#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ProcessCounters.h"
#include "SoakTile.h"

namespace soak_bench {

// The soak's figures, one record a minute: formats each minute's line and, at the end, the RESULT
// line with every measure's growth over the run and the worst minute.
class SoakLedger {
 public:
  struct Record {
    int minute = 0;
    double elapsedSeconds = 0;
    ProcessCounters counters;
    std::vector<SoakTile::Minute> tiles;  // in tile order
    SoakTile::Events events;              // summed over the tiles
    std::string notes;                    // what the schedule did in this minute
  };

  explicit SoakLedger(int plannedMinutes) : m_plannedMinutes(plannedMinutes) {}

  // Stores the record and answers its line.
  std::string Add(const Record& record);
  // baseline: the counters before the first player was created; closed: after the last was closed.
  std::string Result(const ProcessCounters& baseline, const ProcessCounters& closed, int playersOpened,
                     int openFailures) const;

  // The minute that growth is measured from when `minutes` minutes were completed: 5, or for runs
  // shorter than 10 minutes min(5, minutes / 2), at least the first.
  static int GrowthBaseline(int minutes);

 private:
  // One minute's measures, aggregated over the video streams; a figure without a value is -1 (for
  // the offset: haveOffset false).
  struct Figures {
    double share = -1;      // presented / returned, all tiles' video together
    double p50 = -1;        // the median of the tiles' medians
    double p99 = -1;        // the largest of the tiles' 99th percentiles
    bool haveOffset = false;
    double offset = 0;      // the tiles' median offset that is furthest from 0, with its sign
    uint64_t presented = 0;
    uint64_t returned = 0;
  };
  static Figures Aggregate(const Record& record);

  int m_plannedMinutes;
  std::vector<Record> m_records;
  uint32_t m_errors = 0;
};

}  // namespace soak_bench
