#include <algorithm>
#include <malloc.h>
#include <vector>

#include "config/control_file_session.h"
#include "config/defaultini.h"

namespace {

// Grids that the set-up of a module reads over every row on rank 0: the
// zones it ranks with their cell areas, the regions of the elevation
// regression, the glaciers, the lakes and the snow slides.
const char* const readWholeByModuleSetUp[] = {
    "zonegrid_soilmodel",  "RelCellArea",         "regression_regions",
    "regression_regions2", "regression_regions3", "ice_firn",
    "GlacierizedCells",    "GlacierCodes",        "lake_codes",
    "max_ponding_storage", "slope_angle",         "slidefraction1",
    "slidefraction2",      "slidefraction3",      "slidefraction4",
    "max_deposition"};

// Grids that the set-up itself reads over every row on rank 0 besides those
// kept: the cell sizes, for their checks and the cell coordinates, and the
// response units of spin-up.
const char* const readWholeBySetUp[] = {"CellSizeX", "CellSizeY", "HydrologicResponseUnits"};

} // namespace

std::vector<int> defaultini::gridsKeptWhole(bool modulesBuilt) {
  std::vector<int> kept = {hruIndex, masterHruIndex};
  // netCDF files carry the coordinates of every cell; the header of a binary
  // grid sums the cells weighted by their areas.
  if (writeNetCDFGrids)
    kept.insert(kept.end(), {registry[1].latitudeIndex, registry[1].longitudeIndex});
  if (!writeAsciiGrids && !writeNetCDFGrids) kept.push_back(relCellAreaIndex);
  for (const ExternalReadGrid& g : coupling.readGrids) kept.push_back(findGrid(g.internalName, 1));
  if (!modulesBuilt)
    for (const char* name : readWholeByModuleSetUp) kept.push_back(findGrid(name, 1));
  for (const StandardGrid& g : standardGrids)
    if (g.periodCount >= 1 || !g.persistent) kept.push_back(g.index);
  return kept;
}

std::vector<int> defaultini::gridsReadWhole() {
  std::vector<int> whole;
  if (mpiRank != 0) return whole;
  // The grids of an external coupling are known only at the end of the
  // set-up, and any grid may be one of them.
  bool coupled = true;
  if (mpiSize > 1 && stripFirstRow() <= stripLastRow()) {
    ControlFileSession session(controlFile);
    if (session.open(controlFileName)) {
      coupled = seekSection("[ExternalCoupling]", false) == 1;
      session.close();
    }
  }
  if (coupled) {
    for (const StandardGrid& g : standardGrids) whole.push_back(g.index);
    return whole;
  }
  whole = gridsKeptWhole(false);
  for (const char* name : readWholeBySetUp) whole.push_back(findGrid(name, 1));
  return whole;
}

bool defaultini::releasedAfterSetup(int index) {
  if (mpiRank != 0 || mpiSize < 2 || stripFirstRow() > stripLastRow() || index < 3 ||
      registry[index].wholeOnRoot)
    return false;
  const std::vector<int> kept = gridsKeptWhole(false);
  return std::find(kept.begin(), kept.end(), index) == kept.end() &&
         std::any_of(standardGrids.begin(), standardGrids.end(),
                     [&](const StandardGrid& g) { return g.index == index; });
}

void defaultini::releaseWholeSetupGrids(bool modulesBuilt) {
  const long nrows = header.nrows;
  const long first = stripFirstRow();
  const long last = stripLastRow();
  if (mpiRank != 0 || mpiSize < 2 || first > last) return;
  const std::vector<int> kept = gridsKeptWhole(modulesBuilt);
  std::vector<int> standard;
  for (const StandardGrid& g : standardGrids) standard.push_back(g.index);
  const auto listed = [](const std::vector<int>& list, int index) {
    return std::find(list.begin(), list.end(), index) != list.end();
  };
  // The statistics grids of the entry hold the process's own strip already.
  const auto narrow = [&](int index, Grid grid) {
    GridRegistryEntry& e = registry[index];
    if (index < 3 || !grid || e.grid != grid || e.wholeOnRoot || e.firstRow != 1 ||
        e.lastRow != nrows || listed(kept, index))
      return false;
    narrowMatrix(e.grid, 1, nrows, first, last, header.ncols);
    e.firstRow = first;
    e.lastRow = last;
    return true;
  };
  for (ReaderGrid& g : readerGrids)
    if (listed(standard, g.index) && narrow(g.index, g.grid)) {
      g.firstRow = first;
      g.lastRow = last;
    }
  for (DerivedGrid& g : derivedGrids)
    if (narrow(g.index, g.grid)) {
      g.firstRow = first;
      g.lastRow = last;
    }
  narrow(haloIndex, haloGrid);
  // The heap keeps freed blocks of a grid's size for later requests; what
  // the modules do not take again would still count in the process's pages.
  malloc_trim(0);
}
