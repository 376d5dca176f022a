#pragma once

#include <string>
#include <vector>

#include "tests/core/owned_grid.h"
#include "tests/test_model.h"

// Grid values as rows 1..nrows of columns 1..ncols, for comparing grids
// read from files.
using GridValues = std::vector<std::vector<double>>;

// Reads a file into a newly allocated grid on one process and returns its
// values; the arguments after the path are those of readGrid.
inline GridValues readGridValues(TestModule& m, const std::string& path, int fillCode = 0,
                                 bool useNeighbourValues = true, double fillValue = 0.0) {
  Grid grid = nullptr;
  m.readGrid(path, grid, fillCode, true, false, useNeighbourValues, 0, false, false, fillValue);
  const long ncols = m.header.ncols;
  GridValues values;
  for (long r = 1; r <= m.header.nrows; ++r) values.emplace_back(grid[r] + 1, grid[r] + ncols + 1);
  m.free_matrix(grid, 1, m.header.nrows, 1, ncols);
  return values;
}

// A whole grid holding the values.
inline void fillGrid(OwnedGrid& grid, const GridValues& values) {
  for (size_t r = 0; r < values.size(); ++r)
    for (size_t c = 0; c < values[r].size(); ++c) grid.grid[r + 1][c + 1] = values[r][c];
}

inline std::string asciiGridText(const std::string& header, const GridValues& values) {
  std::string text = header;
  for (const auto& row : values) {
    for (size_t c = 0; c < row.size(); ++c) {
      char value[64];
      std::snprintf(value, sizeof value, "%.17g", row[c]);
      text += (c ? " " : "") + std::string(value);
    }
    text += "\n";
  }
  return text;
}
