#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/memory_handling.h"
#include "submodel/model_context.h"
#include "tests/test_decomposition.h"
#include "tests/test_support.h"

// A grid file of the example catchment, whole, on every process.
struct ExampleGrid {
  explicit ExampleGrid(const std::string& file) {
    std::ifstream in(std::string(HORVA_EXAMPLE_DIR) + "/" + file);
    std::string key;
    double value = 0.0;
    for (int i = 0; i < 6 && in >> key >> value; ++i) {
      if (key == "ncols") ncols = static_cast<long>(value);
      if (key == "nrows") nrows = static_cast<long>(value);
    }
    grid = memory.matrix(1, nrows, 1, ncols, nrows);
    for (long r = 1; r <= nrows; ++r)
      for (long c = 1; c <= ncols; ++c) in >> grid[r][c];
  }
  ~ExampleGrid() { memory.free_matrix(grid, 1, nrows, 1, ncols); }
  ExampleGrid(const ExampleGrid&) = delete;
  ExampleGrid& operator=(const ExampleGrid&) = delete;
  memory_handling memory;
  long nrows = 0, ncols = 0;
  Grid grid = nullptr;
};

// The example's valid cells, every one on rank 0, or in row order in runs
// of equal length, one per process.
inline OwnerMap exampleOwners(const ExampleGrid& zone, int parts) {
  std::vector<std::pair<long, long>> cells;
  for (long r = 1; r <= zone.nrows; ++r)
    for (long c = 1; c <= zone.ncols; ++c)
      if (zone.grid[r][c] != nodata) cells.push_back({r, c});
  OwnerMap map(zone.nrows, std::string(zone.ncols, '.'));
  for (size_t k = 0; k < cells.size(); ++k)
    map[cells[k].first - 1][cells[k].second - 1] =
        static_cast<char>('0' + k * parts / cells.size());
  return map;
}

// The grids a module takes from others, over the rows this process holds,
// registered from entry 1 in the order added.
struct ExampleRegistry {
  explicit ExampleRegistry(const StripModule& s) : strips(s) {}
  Grid add(const std::string& name, Grid grid) {
    GridRegistryEntry& e = entries[static_cast<size_t>(++used)];
    e.hasFileName = e.hasName = true;
    e.fileName = e.name = name;
    e.grid = grid;
    e.firstRow = strips.lo;
    e.lastRow = strips.hi;
    return grid;
  }
  const StripModule& strips;
  std::vector<GridRegistryEntry> entries = std::vector<GridRegistryEntry>(gridRegistrySize);
  int used = 0;
};

// A grid over the rows this process holds with f(r, c) in the valid cells
// of the example and nodata elsewhere, registered under the name.
template <typename F>
Grid addHeldGrid(StripModule& strips, ExampleRegistry& registry, const ExampleGrid& zone,
                 const std::string& name, F f) {
  Grid g = strips.grid(nodata);
  for (long r = strips.lo; r <= strips.hi; ++r)
    for (long c = 1; c <= strips.ncols; ++c)
      if (zone.grid[r][c] != nodata) g[r][c] = f(r, c);
  return registry.add(name, g);
}

// The zone grid, the decomposition and the elevation model, in this order.
inline void addExampleBaseGrids(StripModule& strips, ExampleRegistry& registry,
                                const ExampleGrid& zone, const ExampleGrid& dem) {
  addHeldGrid(strips, registry, zone, "[zone_grid]",
              [&](long r, long c) { return zone.grid[r][c]; });
  registry.add("MPIRegions", strips.regions);
  registry.add("MPIHelper", strips.helper);
  addHeldGrid(strips, registry, zone, "[elevation_model]",
              [&](long r, long c) { return dem.grid[r][c]; });
}

// The model context of a module on this process's share of the example at
// 47.3 N, 8.9 E, its control file "run.ctl" and its ASCII outputs in dir,
// steps of an hour that end 60 minutes after their date.
inline ModelContext exampleContext(StripModule& strips, ExampleRegistry& registry,
                                   const std::string& dir, const ModelDate& start,
                                   const ModelDate& end) {
  ModelContext context;
  context.diag = strips.m.getDiag();
  context.controlFileName = dir + "/run.ctl";
  context.registry = registry.entries.data();
  context.header = strips.m.getHeader();
  context.header.cellsize = 100.0;
  context.rowColumnRange = strips.ranges.data();
  context.cellsPerProcess = &strips.cells;
  context.outputDirectory = dir + "/";
  context.writeAsciiGrids = true;
  context.startDate = start;
  context.endDate = end;
  context.minToIntEnd = 60.0;
  context.latitude = 47.3;
  context.longitude = 8.9;
  context.referenceMeridian = 15.0;
  return context;
}

// Hands the context the example's three subbasins, with their shares of the
// catchment, for the module's zonal statistics.
inline void useExampleSubbasins(ModelContext& context) {
  static const std::vector<ZoneRecord> zoneRecords = {
      {0, 0, 1, 1, 0}, {0, 0, 1, 0.3, 0}, {0, 0, 2, 0.3, 0}, {0, 0, 3, 0.4, 0}};
  static const std::vector<int> zoneRanks = {0, 1, 2, 3};
  context.zoneCount = 3;
  context.zoneRecords = &zoneRecords;
  context.zoneRanks = &zoneRanks;
}

// On rank 0 the values of a registry grid in every valid cell of the
// example in row order, gathered from all processes (collective).
inline std::vector<double> gatheredCells(modelobject& module, const ExampleRegistry& registry,
                                         int index, const ExampleGrid& zone) {
  Grid whole = module.MPIGatherGridCopy(index);
  const Grid grid = whole ? whole : registry.entries[static_cast<size_t>(index)].grid;
  std::vector<double> values;
  for (long r = 1; worldRank() == 0 && r <= zone.nrows; ++r)
    for (long c = 1; c <= zone.ncols; ++c)
      if (zone.grid[r][c] != nodata) values.push_back(grid[r][c]);
  if (whole) module.free_matrix(whole, 1, zone.nrows, 1, zone.ncols);
  return values;
}

// The same as the grid's name followed by its values.
inline std::string gatheredValues(modelobject& module, const ExampleRegistry& registry, int index,
                                  const ExampleGrid& zone) {
  std::string text = registry.entries[static_cast<size_t>(index)].name + ":";
  char value[32];
  for (double v : gatheredCells(module, registry, index, zone)) {
    std::snprintf(value, sizeof value, " %.17g", v);
    text += value;
  }
  return text;
}

// Runs the module on the split example with 1 and 4 threads (collective);
// on rank 0 every run must give more than minimum outputs, each the same as
// the reference's.
template <typename Run>
void expectSameOnSplitRuns(const std::vector<std::string>& reference, size_t minimum,
                           Run runSplit) {
  for (int threads : {1, 4}) {
    const std::vector<std::string> split = runSplit(threads);
    if (worldRank() != 0) continue;
    ASSERT_EQ(split.size(), reference.size());
    ASSERT_GT(split.size(), minimum);
    for (size_t k = 0; k < split.size(); ++k)
      EXPECT_TRUE(split[k] == reference[k])
          << threads << " threads: " << reference[k].substr(0, 60);
  }
}

// Appends the name and contents of every file in dir, in name order.
inline void appendWrittenFiles(std::vector<std::string>& results, const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& file : std::filesystem::directory_iterator(dir))
    files.push_back(file.path().filename().string() + ":" + readFile(file.path().string()));
  std::sort(files.begin(), files.end());
  results.insert(results.end(), files.begin(), files.end());
}
