#include "config/defaultini.h"

#include <algorithm>

#include "core/control_file_lines.h"
#include "core/diag_stream.h"
#include "core/module_banner.h"

defaultini::defaultini(int& errorCode, DiagStream* diagArg, const std::string& controlFileNameArg,
                       StatisticTableEntry* statisticTableArg, int statisticTableSizeArg,
                       int modelVariantArg, GridRegistryEntry* registryArg)
    : modelobject(diagArg, controlFileNameArg, 0, false, false, false, "", "", nullptr, nullptr,
                  nullptr, 0, 0),
      statisticTable(statisticTableArg), statisticTableSize(statisticTableSizeArg),
      modelVariant(modelVariantArg) {
  moduleName = "defaults";
  registry = registryArg;
  errorCode = catchModuleFailure([&] { HORVA_ANNOUNCE_MODULE(*diag); });
}

// Releases memory only: the collective writes of the teardown belong to
// FreeMemory, which the driver calls on every process.
defaultini::~defaultini() {
  forgetCopiedText(controlFileName);
  releaseCoupling();
  releaseGridStore();
}

void defaultini::FreeMemory() {
  if (released) return;
  released = true;
  releaseCoupling();
  releaseStandardGridStatistics();
  writeLanduseParameterStack();
  writePeriodicGridState();
  releaseGridStore();
  // Entries 1 .. gridCount + 2 are the reader's, also those that other
  // parts of the set-up registered under its count.
  const int last = std::min(gridCount + 2, gridRegistryLimit - 1);
  for (int index = 1; registry && index <= last; ++index) {
    GridRegistryEntry& e = registry[index];
    if (e.grid) free_matrix(e.grid, e.firstRow, e.lastRow, 1, header.ncols);
    if (e.stack) free_three_d_matrix(e.stack, e.firstRow, e.lastRow);
    if (e.hasFileName || e.hasName) unregisterGrid(index);
  }
  if (registry) registry[1].latitudeIndex = registry[1].longitudeIndex = 0;
  landuseTable.clear();
  soilTable.clear();
  multilayerTable.clear();
  irrigationTable.clear();
  zoneRanks.clear();
  zoneRecords.clear();
  columnRanges.clear();
  rowColumnRange = nullptr;
  inputDirectory.clear();
  outputDirectory.clear();
  releaseModule();
}

// The grids the reader allocated itself; an entry is unregistered only while
// it still holds the reader's grid.
void defaultini::releaseGridStore() {
  releaseLanduseParameterGrids();
  releaseDerivedGrids();
  releaseDecompositionGrids();
  for (const ReaderGrid& g : readerGrids) {
    const bool registered = registry && registry[g.index].grid == g.grid;
    free_matrix(g.grid, g.firstRow, g.lastRow, 1, header.ncols);
    if (registered) unregisterGrid(g.index);
  }
  readerGrids.clear();
  for (StandardGrid& g : standardGrids) {
    if (g.setupValues) free_matrix(g.setupValues, g.setupFirstRow, g.setupLastRow, 1, header.ncols);
    g.setupValues = nullptr;
  }
  forgetFirstGrids();
}

// The teardown of the whole grid store may already have released these
// entries; only grids still registered here are ours to free.
void defaultini::releaseDecompositionGrids() {
  for (auto [grid, index] : {std::pair<Grid*, int*>{&regionsGrid, &regionsIndex},
                             std::pair<Grid*, int*>{&helperGrid, &helperIndex},
                             std::pair<Grid*, int*>{&haloGrid, &haloIndex}}) {
    if (*grid && *index > 0 && registry && registry[*index].grid == *grid) {
      const GridRegistryEntry& e = registry[*index];
      free_matrix(*grid, e.firstRow, e.lastRow, 1, header.ncols);
      unregisterGrid(*index);
    }
    *grid = nullptr;
    *index = 0;
  }
}
