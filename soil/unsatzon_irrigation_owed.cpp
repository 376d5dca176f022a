// Irrigation from groundwater without the groundwater model is paid out of
// the subbasin's baseflow. Where the fields of a subbasin draw more than
// its baseflow gives in a step, the pumps took the rest from the watered
// cells' saturated zone: each cell owes its share of it, in proportion to
// its draw, and drains it in its next sub-steps before any baseflow flows
// on. What it cannot drain yet stays owed, across a warm start too.

#include <mpi.h>

#include <algorithm>
#include <sstream>

#include "config/irrigation_table.h"
#include "core/ascii_grid_text.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/run_files.h"
#include "core/state_grid_fault.h"
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
  // Written by a run of this grid, cell for cell.
  readStateGrid(irrigationOwed, NamedOutput{owedStateFile, 0}, Resampling::onModelGrid);
  refuseOwedBeyondColumns(read);
}

// The saturated zone gives what it can drain, so that a cell owes at most
// about a step's draw; no cell can owe more than its whole column holds.
void unsatzonmodellklasse::refuseOwedBeyondColumns(const std::string& path) {
  const std::vector<soil_class>& table = *context.soilTable;
  long key = noCellFault;
  std::string entry;
  for (long r = header.firstRow; r <= header.lastRow && key == noCellFault; ++r)
    for (long c = 1; c <= header.ncols && key == noCellFault; ++c) {
      if (!isOwnValidCell(r, c)) continue;
      const soil_class& soil = table[static_cast<size_t>(soilTypes[r][c])];
      double column = 0.0;
      for (int k = 1; k <= soil.getLayerCount(); ++k)
        column += soil.getThickness(k) * soil.getThetaSat(k) * 1000.0;
      const double owed = irrigationOwed[r][c];
      if (owed >= 0.0 && owed <= column) continue;
      char value[maxGridValueChars + 1];
      value[formatGridValue(owed, value)] = '\0';
      std::ostringstream text;
      text << "FATAL: " << path << " holds " << value << " at row " << r << ", column " << c
           << ", which must be 0 ... " << column << " mm (the water of the cell's soil column of "
           << soil.getName() << " when saturated): the irrigation water the watered cells' "
           << "saturated zone owed that a warm start goes on with; start from the files of a "
              "former run as it wrote them, or cold";
      entry = text.str();
      key = (r - 1) * header.ncols + (c - 1);
    }
  refuseFirstCellFault(*diag, key, entry, 22);
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
