// Irrigation from groundwater without the groundwater model is paid out of
// the subbasin's baseflow. Where the fields of a subbasin draw more than
// its baseflow gives in a step, the pumps took the rest from the watered
// cells' saturated zone: each cell owes its share of it, in proportion to
// its draw, and drains it in its next sub-steps before any baseflow flows
// on. What it cannot drain yet stays owed, across a warm start too.

#include <mpi.h>

#include <algorithm>

#include "config/irrigation_table.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

// Beside the state files, in binary doubles whatever the run writes, so
// that a warm start goes on with what the run through owed.
const char* const owedStateFile = "IrrigationOwed_End";

} // namespace

void unsatzonmodellklasse::registerIrrigationOwed() {
  if (groundwaterActive || !irrigationAmounts || irrigationOwed) return;
  const IrrigationTable& table = *context.irrigationTable;
  if (std::none_of(table.begin() + 1, table.end(),
                   [](const auto& r) { return r.origin == irrigationFromGroundwater; }))
    return;
  irrigationOwed = registerOwnGrid("irrigation_owed", nullptr);
  drawRecords.resize(static_cast<size_t>(zones.zoneCount) + 1);
  owedShares.assign(static_cast<size_t>(zones.zoneCount) + 1, 0.0);
  std::string written = owedStateFile;
  prependDirectory(outputDirectory, written);
  noteOutputFile(written, "the irrigation water the watered cells' saturated zone still owes");
  if (settings.readGrid != 1 && settings.readGrid != 3) return;
  if (!initialStateFileExists(owedStateFile)) {
    *diag << "WARNING: no grid " << owedStateFile
          << " of a former run in the directory of the initial states: the watered cells' "
             "saturated zone owes no irrigation water at the start"
          << "[end-entry]";
    return;
  }
  std::string read = owedStateFile;
  prependDirectory(inputDirectory, read);
  noteInputFile(read, "the irrigation water the watered cells' saturated zone owed");
  readStateGrid(irrigationOwed, NamedOutput{owedStateFile, 0});
}

void unsatzonmodellklasse::oweIrrigationBeyondBaseflow() {
  if (!irrigationOwed) return;
  const size_t n = static_cast<size_t>(zones.zoneCount);
  // The record is what the soil gave less what the fields drew: a sum
  // below 0 is the part of the draw nothing paid.
  if (mpiRank == 0)
    for (size_t s = 1; s <= n; ++s) {
      const double left = baseflowRecords[0][s].valueSum;
      const double drawn = drawRecords[s].valueSum;
      owedShares[s] = left < 0.0 && drawn > 0.0 ? std::min(1.0, -left / drawn) : 0.0;
    }
  checkMPI(*diag,
           MPI_Bcast(owedShares.data(), static_cast<int>(n + 1), MPI_DOUBLE, 0, MPI_COMM_WORLD),
           "MPI_Bcast of the shares of irrigation owed");
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c) {
      if (!isOwnValidCell(r, c) || !irrigatedFromGroundwater(r, c) || glacierShare(r, c) >= 1.0)
        continue;
      const double share = owedShares[static_cast<size_t>(zones.indexOf(zones.grid[r][c]))];
      if (share > 0.0) irrigationOwed[r][c] += share * irrigationAmounts[r][c];
    }
}

void unsatzonmodellklasse::writeIrrigationOwed() {
  if (!irrigationOwed) return;
  writeGatheredFile(findGrid("irrigation_owed", 1), irrigationOwed, false, owedStateFile, "", false,
                    true, false);
}
