// What an annual close of dynamic glaciers changes beyond the glacier
// grids a run writes by their write codes: the extent (fractions and codes,
// and those the next close compares with) as grids beside the state files,
// and each glacier's areas and volumes in the snow section of the state
// file. A warm start after a close goes on with the glaciers the close
// left, not with those of the control file.
#include <algorithm>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "snow/schneemodellklasse.h"

namespace {

const char* const extentSuffix = "_End";

} // namespace

std::vector<int> schneemodellklasse::glacierExtentIndices() const {
  return {glacierGridIndex, glacierCodesIndex, grids[glacierizedOldGrid].index,
          grids[codesOldGrid].index};
}

void schneemodellklasse::writeGlacierExtent() {
  if (!glacier.dynamic() || !glacierGrid) return;
  for (int index : glacierExtentIndices())
    writeOutputFile(index, nullptr, false, registry[index].name + extentSuffix, "");
}

// Collective. Rank 0 alone holds the glacier list and the volumes read.
void schneemodellklasse::restoreGlaciers(const std::vector<Glacier>& volumes, bool volumesMissing) {
  const std::vector<int> indices = glacierExtentIndices();
  for (int index : indices) {
    const std::string name = registry[index].name + extentSuffix;
    if (initialStateFileExists(name)) continue;
    *diag << "WARNING: no grid " << name
          << " of a former run in the directory of the initial states: the dynamic glaciers "
             "start with the extent of the control file"
          << "[end-entry]";
    return;
  }
  if (volumesMissing) {
    std::string path = storageFileName;
    prependDirectory(inputDirectory, path);
    *diag << "WARNING: no glacier volumes in the snow section of the state file " << path
          << ": each glacier's volume starts from its area"
          << "[end-entry]";
  }
  const double nodata = header.nodata;
  const GridRegistryEntry& zoneEntry = registry[1];
  Grid read = matrix(firstSnowRow, lastSnowRow, 1, header.ncols, header.nrows);
  const int code = catchExitCode([&] {
    for (int index : indices) {
      // Rank 0 holds the glacier grids whole; every process passes the same flag.
      readGrid(registry[index].name + extentSuffix, read, 0, false, false, false, 1, false, true,
               0.0, Resampling::onModelGrid);
      const GridRegistryEntry& e = registry[index];
      const long first = std::max({firstSnowRow, e.firstRow, zoneEntry.firstRow});
      const long last = std::min({lastSnowRow, e.lastRow, zoneEntry.lastRow});
#pragma omp parallel for schedule(runtime)
      for (long r = first; r <= last; ++r)
        for (long c = 1; c <= header.ncols; ++c)
          if (zone[r][c] != nodata) e.grid[r][c] = read[r][c];
    }
  });
  free_matrix(read, firstSnowRow, lastSnowRow, 1, header.ncols);
  if (code != 0) throw code;
  shareExitCode(*diag, mpiRank != 0 ? 0 : catchExitCode([&] {
    const GlacierField field = glacierField();
    glacierList = GlacierList(glacier.list);
    glacierList.build(field, *diag);
    glacierList.takeVolumes(volumes);
    glacierBasins = glacierList.subbasinTable(field, zones.zoneCount);
  }));
  shareGlacierSubbasins();
}
