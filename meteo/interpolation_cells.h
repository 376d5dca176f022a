#pragma once

#include <algorithm>

#include "core/grid_types.h"

// The cells that one process interpolates: the valid cells (zone grid not
// nodata) of its strip rows, and where their centres lie. The grids
// "CoordX" and "CoordY" hold the lower left corner of every cell.
struct InterpolationCells {
  long firstRow = 1;
  long lastRow = 0;
  long ncols = 0;
  double nodata = -9999.0;
  const RowColumnRange* columnRanges = nullptr; // rows 0 .. nrows; null: every column
  Grid zone = nullptr;
  Grid coordX = nullptr;
  Grid coordY = nullptr;
  Grid cellSizeX = nullptr;
  Grid cellSizeY = nullptr;

  long firstColumn(long r) const { return columnRanges ? std::max(1L, columnRanges[r].first) : 1; }
  long lastColumn(long r) const {
    return columnRanges ? std::min(ncols, columnRanges[r].last) : ncols;
  }
  bool valid(long r, long c) const { return zone[r][c] != nodata; }
  double centreX(long r, long c) const { return coordX[r][c] + 0.5 * cellSizeX[r][c]; }
  double centreY(long r, long c) const { return coordY[r][c] + 0.5 * cellSizeY[r][c]; }
};

// Interpolated values are kept within these bounds.
struct ValueLimits {
  double lower = -1e300;
  double upper = 1e300;
  double clamp(double v) const { return v < lower ? lower : (v > upper ? upper : v); }
};
