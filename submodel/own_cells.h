#pragma once

#include <algorithm>

#include "core/grid_types.h"

// The cells a sub-model computes on this process: in its own rows, inside
// the valid columns of the row, valid in the zone grid and owned by the
// process in "MPIRegions"; with masters set, also the master cell of their
// hydrologic response unit ("MasterHydrologicResponseUnits" not nodata).
struct OwnCells {
  long firstRow = 1;
  long lastRow = 0;
  long ncols = 0;
  double nodata = -9999.0;
  double rank = 0.0;
  const RowColumnRange* ranges = nullptr; // rows 0 .. nrows; null: every column
  Grid zone = nullptr;
  Grid regions = nullptr;
  Grid masters = nullptr;

  long firstColumn(long r) const { return ranges ? std::max(1L, ranges[r].first) : 1; }
  long lastColumn(long r) const { return ranges ? std::min(ncols, ranges[r].last) : ncols; }
  bool owns(long r, long c) const {
    return zone[r][c] != nodata && regions[r][c] == rank && (!masters || masters[r][c] != nodata);
  }

  // Calls own(r, c) at every own cell in row order on the calling thread,
  // for sums whose order matters, such as the statistics.
  template <typename Own> void forEachInOrder(Own own) const {
    for (long r = firstRow; r <= lastRow; ++r) {
      const long last = lastColumn(r);
      for (long c = firstColumn(r); c <= last; ++c)
        if (owns(r, c)) own(r, c);
    }
  }

  // Calls own(r, c) at every own cell, the rows shared among the OpenMP
  // threads (runtime schedule). The calls must neither allocate nor log nor
  // throw.
  template <typename Own> void forEach(Own own) const {
    forEach(own, [](long, long) {});
  }
  // The same, and other(r, c) at the other cells of the valid columns.
  template <typename Own, typename Other> void forEach(Own own, Other other) const {
#pragma omp parallel for schedule(runtime)
    for (long r = firstRow; r <= lastRow; ++r) {
      const long last = lastColumn(r);
      for (long c = firstColumn(r); c <= last; ++c) {
        if (owns(r, c))
          own(r, c);
        else
          other(r, c);
      }
    }
  }
};
