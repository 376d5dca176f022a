#pragma once

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/memory_handling.h"
#include "tests/test_decomposition.h"

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
