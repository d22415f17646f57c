#pragma once

#include <map>
#include <string>
#include <vector>

namespace orvo_test {

// What this process holds right now, seen from Windows and, under Wine, from Linux. Soak tests take
// one before and one after and compare them with Compare().
//
// Under Wine, GetProcessHandleCount, GetGuiResources and PrivateUsage read 0, so each Windows
// measure falls back to a count that Wine does keep: handles from the system handle table, GDI
// objects from the process's GDI handle table, USER objects as this process's windows. The Linux
// measures read /proc of the Wine process that runs this program; on Windows they are absent.
struct ResourceUsage {
  // Wine's MFTEnumEx leaves the category key it enumerates open (mfplat's mft_collect_machine_reg
  // never closes it): one handle per enumeration, which is Wine's to fix. Those keys are counted as
  // WineMftKeys on their own and left out of Handles, so that Handles shows what else stays.
  enum Measure {
    Handles, GdiObjects, UserObjects, Threads, PrivateKb, LinuxRssKb, LinuxFds, LinuxThreads, WineMftKeys, kCount
  };
  // -1: the platform reports nothing for this measure.
  long long value[kCount];

  static ResourceUsage Take();
  static const char* Name(Measure measure);
};

// How far each measure may grow between two samples before it counts as a leak.
struct ResourceTolerance {
  long long allowed[ResourceUsage::kCount];
};

struct ResourceComparison {
  std::string table;                  // one line per measure: baseline, end, growth, allowed
  std::vector<std::string> exceeded;  // names of the measures that grew past their allowance
};

ResourceComparison Compare(const ResourceUsage& baseline, const ResourceUsage& end, const ResourceTolerance& tolerance);

// The Linux pid of the Wine process running this program, found once by scanning /proc for the
// newest process whose command line names this executable and whose WINEPREFIX is this one (a
// child process of a test program is newer than its parent); 0 on Windows or when none matches.
int WineUnixPid();

// This process's handles by object type ("Event", "Key", "Thread", ...), and what changed between
// two such counts, one type a line: what a handle leak consists of.
std::map<std::string, long long> HandlesByType();
std::string HandleTypeGrowth(const std::map<std::string, long long>& before,
                             const std::map<std::string, long long>& after);

}  // namespace orvo_test
