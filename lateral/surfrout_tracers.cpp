// Tracers of surface routing: the concentration grids it exchanges with
// the unsaturated zone and silting-up, and the per-subbasin runoff arrays.
#include <algorithm>
#include <iterator>

#include "core/collective_status.h"
#include "lateral/surfaceroutingclass.h"

void surfaceroutingclass::initTracers(int& errorCode, int tracerCount,
                                      std::vector<TracerRecord>& table,
                                      StatisticTableEntry* statisticTable, long tableSize) {
  errorCode = 0;
  if (flowControl == 0) return;
  // The water on the land keeps its tracers in the store below (silting-up's,
  // or one of its own under the same file name).
  tracerStoreIsOutput = false;
  teilmodellklasse::initTracers(errorCode, tracerCount, table, statisticTable, tableSize);
  if (errorCode != 0) return;
  const int failure = catchModuleFailure([&] {
    const int n = std::max(0, tracerCount);
    if (n > 0) {
      concQDGrids.assign(static_cast<size_t>(n) + 1, nullptr);
      concQIGrids.assign(static_cast<size_t>(n) + 1, nullptr);
      concStorGrids.assign(static_cast<size_t>(n) + 1, nullptr);
      useSiltingUpTracerStorage = true;
      for (int k = 1; k <= n; ++k) {
        const std::string number = std::to_string(k);
        concQDGrids[k] = registry[requireGrid("_CONC_QD_" + number + "_")].grid;
        concQIGrids[k] = registry[requireGrid("_CONC_QI_" + number + "_")].grid;
        const std::string name = "concstor_tracer_" + number + "_SiltingUpModel";
        // Silting-up registers its store before the stacks of the
        // unsaturated zone: the search must pass them.
        const int found = findGrid(name, 1);
        if (found > 0) {
          concStorGrids[k] = registry[found].grid;
          tracerStorageIndex[k] = -1;
          landTracerIndex[k] = found;
          continue;
        }
        useSiltingUpTracerStorage = false;
        const int index = nextFreeEntry();
        Grid grid = matrix(heldFirst, heldLast, 1, header.ncols, header.nrows);
        cells.forEach([&](long r, long c) { grid[r][c] = 0.0; },
                      [&](long r, long c) { grid[r][c] = header.nodata; });
        const SubmodelTracer& t = *tracers[static_cast<size_t>(k) - 1];
        registerGrid(index, t.gridFile, grid, nullptr, 0, name, t.record.gridCode, heldFirst,
                     heldLast);
        tracerStorageIndex[k] = index;
        landTracerIndex[k] = index;
        concStorGrids[k] = grid;
        MPIExchangeGridHalo(index);
      }
    }
    computeFlowTimeZones();
    const size_t subbasins = static_cast<size_t>(zones.zoneCount) + 1;
    for (RunoffArrays* a : {&Qg, &QDin, &QDd, &QIin, &QIi})
      a->assign(static_cast<size_t>(n) + 1, std::vector<double>(subbasins, 0.0));
    glacierRunoff.assign(subbasins, 0.0);
  });
  errorCode = agreeOnFailure(failure, failure != 0 ? failure : mpiCallFailed).code;
}

void surfaceroutingclass::freeTracers() {
  if (flowControl == 0) return;
  concQDGrids.clear();
  concQIGrids.clear();
  concStorGrids.clear();
  for (RunoffArrays* a : {&Qg, &QDin, &QDd, &QIin, &QIi}) a->clear();
  glacierRunoff.clear();
  releaseTracerStorage();
  teilmodellklasse::freeTracers();
}

void surfaceroutingclass::releaseTracerStorage() {
  for (int& index : tracerStorageIndex) {
    if (index <= 0 || !registry) continue;
    free_matrix(registry[index].grid, heldFirst, heldLast, 1, header.ncols);
    registry[index].grid = nullptr;
    unregisterGrid(index);
    index = 0;
  }
  std::fill(std::begin(landTracerIndex), std::end(landTracerIndex), 0);
}
