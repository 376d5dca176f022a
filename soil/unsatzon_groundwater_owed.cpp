// With the groundwater model the aquifer's first layer is the soil's
// saturated zone. What that layer lost in a sub-step ("baseflow", m/s) the
// groundwater model adds to the grid "groundwater_owed" (mm over the cell);
// the soil drains it from its saturated zone in its next sub-step, or, for
// a gain (negative), takes it in from below, and keeps what it cannot drain
// yet owed there, across a warm start too. "baseflow" itself stays the
// layer's rate of the sub-step, which lakes, outputs and the control point
// read.

#include <string>

#include "core/diag_stream.h"
#include "core/run_files.h"
#include "soil/unsatzonmodellklasse.h"

namespace {

// Beside the state files, in binary doubles whatever the run writes, so
// that a warm start goes on with what the run through owed.
const char* const owedStateFile = "GroundwaterOwed_End";

} // namespace

void unsatzonmodellklasse::registerGroundwaterOwed() {
  if (!groundwaterActive || groundwaterOwed) return;
  groundwaterOwed = registerOwnGrid("groundwater_owed", nullptr, 0.0);
  std::string written = owedStateFile;
  prependDirectory(outputDirectory, written);
  noteOutputFile(written, "the water the soil's saturated zone still owes the aquifer");
  if (settings.readGrid != 1 && settings.readGrid != 3) return;
  if (initialStateFileExists(owedStateFile)) {
    std::string read = owedStateFile;
    prependDirectory(inputDirectory, read);
    noteInputFile(read, "the water the soil's saturated zone owed the aquifer");
    readStateGrid(groundwaterOwed, NamedOutput{owedStateFile, 0});
    return;
  }
  // Former versions kept what was owed in "baseflow" (m/s over a sub-step),
  // which the state grids brought back.
  *diag << "WARNING: no grid " << owedStateFile
        << " of a former run in the directory of the initial states: the water the soil's "
           "saturated zone owes the aquifer is taken from the grid of the line DELTAGW "
           "(baseflow), where former versions kept it"
        << "[end-entry]";
  const double toMillimetres = timeStepMinutes / substeps * 60.0 * 1000.0;
#pragma omp parallel for schedule(runtime)
  for (long r = header.firstRow; r <= header.lastRow; ++r)
    for (long c = 1; c <= header.ncols; ++c)
      if (isOwnValidCell(r, c) && baseflow[r][c] != header.nodata)
        groundwaterOwed[r][c] = baseflow[r][c] * toMillimetres;
}

void unsatzonmodellklasse::writeGroundwaterOwed() {
  if (!groundwaterOwed) return;
  writeGatheredFile(findGrid("groundwater_owed", 1), groundwaterOwed, false, owedStateFile, "",
                    false, true, false);
}
