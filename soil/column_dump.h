#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "submodel/model_context.h"

class DiagStream;

// Dump mode of the soil-column solver: the settings of the command line and
// the count of dump events, shared by every thread of the process. The
// threads only count and note; what is to be logged is logged by the master
// thread after the parallel region.
class DumpControl {
public:
  void configure(const DumpOptions& settings) { options = settings; }
  bool active() const { return options.dumpMode != 0; }
  bool repairs() const { return options.repairAfterDump != 0; }
  bool closes() const { return options.closeAfterDump != 0; }
  long long events() const { return eventCount.load(); }

  // Counts a dump event and notes the repair message it is due; true when
  // its file is to be written (no limit, or fewer events than the limit
  // before it).
  bool countEvent();
  // A dump file that could not be created; the first one is named in one
  // warning of the process.
  void noteUnwritable(const char* name);
  // A dump event under "-closeAfterDump".
  void noteClose() { closeRequested.store(true); }
  // Logs what the threads noted since the last call: the repair messages,
  // the warning of an unwritable file (once per run) and the FATAL entry
  // of "-closeAfterDump". Master thread, outside parallel regions.
  void logNoted(DiagStream& diag);

private:
  DumpOptions options;
  std::atomic<long long> eventCount{0};
  std::atomic<long long> repairMessages{0}; // plain repair messages not yet logged
  std::atomic<bool> lastRepairMessage{false};
  std::atomic<bool> closeRequested{false};
  std::atomic<int> unwritableState{0}; // 0 none, 1 being noted, 2 noted, 3 warned
  char unwritableName[512] = {};
};

// The range checks of a water step that fired: the first layer whose
// temperature or water content is out of range (0: none) and a baseflow of
// more than 10 mm.
struct RangeFaults {
  int heatLayer = 0;
  int thetaLayer = 0;
  bool baseflow = false;
  int snowLayer = 0; // a snow layer above a gap in the pack
  bool any() const { return heatLayer > 0 || thetaLayer > 0 || baseflow || snowLayer > 0; }
};

// Appends host-order values to a snapshot record: integers as 4 bytes,
// doubles as 8.
class SnapshotWriter {
public:
  explicit SnapshotWriter(std::vector<unsigned char>& bytes) : bytes(bytes) {}
  void integer(long value) { put(static_cast<std::int32_t>(value)); }
  void real(double value) { put(value); }
  std::size_t size() const { return used; }

private:
  template <typename T> void put(T value) {
    std::memcpy(bytes.data() + used, &value, sizeof value);
    used += sizeof value;
  }
  std::vector<unsigned char>& bytes;
  std::size_t used = 0;
};

// Where a column lies and which step it is in, for the names of its dump
// files; control is null outside dump mode.
struct DumpCell {
  DumpControl* control = nullptr;
  int rank = 0;
  long row = 0;
  long column = 0;
  long year = 0;
  long month = 0;
  long day = 0;
  long hour = 0;
};

// "MPI_<rank>_" with the markers of the faults, "dump_row_<r>_col_<c>_
// substep_<step>_<YYYYMMDDHH>.dmp"; false when the buffer is too short.
bool dumpFileName(char* name, std::size_t size, const DumpCell& cell, const RangeFaults& faults,
                  int step);
