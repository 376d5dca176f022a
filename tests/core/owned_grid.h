#pragma once

#include "core/memory_handling.h"

// A grid of rows firstRow..lastRow and columns 1..columns for tests, every
// cell set to one value, freed on scope exit.
struct OwnedGrid {
  OwnedGrid(memory_handling& memoryArg, long lastRowArg, long columnsArg, double fill,
            long firstRowArg = 1)
      : memory(memoryArg), firstRow(firstRowArg), lastRow(lastRowArg), columns(columnsArg) {
    grid = memory.matrix(firstRow, lastRow, 1, columns, lastRow);
    for (long r = firstRow; r <= lastRow; ++r)
      for (long c = 1; c <= columns; ++c) grid[r][c] = fill;
  }
  ~OwnedGrid() { memory.free_matrix(grid, firstRow, lastRow, 1, columns); }
  OwnedGrid(const OwnedGrid&) = delete;
  OwnedGrid& operator=(const OwnedGrid&) = delete;

  memory_handling& memory;
  long firstRow;
  long lastRow;
  long columns;
  Grid grid = nullptr;
};
