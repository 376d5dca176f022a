#pragma once

#include <vector>

#include "core/memory_handling.h"

// A sliding history of grids over the rows firstRow .. lastRow: the last
// `capacity` grids pushed, for the mean of a cell over them (the
// temperature of the last day). The grids are allocated as the history
// fills and reused once it is full.
class GridStack : public memory_handling {
public:
  // A capacity below 1 holds one grid.
  GridStack(long firstRow, long lastRow, long ncols, long nrows, int capacity);
  // Frees the grids from the newest to the oldest.
  ~GridStack() override;
  GridStack(const GridStack&) = delete;
  GridStack& operator=(const GridStack&) = delete;

  // The grid that the next push appends, to be filled before push: a new
  // one, or the oldest when the history is full, which the push drops.
  Grid next();
  void push();
  // The mean of the cell over the held grids, oldest first; 0 when none is held.
  double mean(long row, long column) const;

  // The k-th oldest held grid, from 0.
  Grid heldGrid(int k) const { return grids[static_cast<size_t>((oldest + k) % capacity())]; }
  int count() const { return held; }
  int capacity() const { return static_cast<int>(grids.size()); }

private:
  long firstRow;
  long lastRow;
  long ncols;
  long nrows;
  std::vector<Grid> grids; // a ring: `held` grids from `oldest` on
  int oldest = 0;
  int held = 0;
};
