#include "vertical/grid_stack.h"

#include <algorithm>

GridStack::GridStack(long first, long last, long columns, long rows, int size)
    : firstRow(first), lastRow(last), ncols(columns), nrows(rows),
      grids(static_cast<size_t>(std::max(1, size)), nullptr) {}

GridStack::~GridStack() {
  const int size = capacity();
  for (int k = size - 1; k >= 0; --k) {
    Grid& g = grids[static_cast<size_t>((oldest + k) % size)];
    if (g) free_matrix(g, firstRow, lastRow, 1, ncols);
    g = nullptr;
  }
}

Grid GridStack::next() {
  const int size = capacity();
  Grid& g = grids[static_cast<size_t>((oldest + held) % size)];
  if (!g) g = matrix(firstRow, lastRow, 1, ncols, nrows);
  return g;
}

void GridStack::push() {
  next();
  if (held < capacity())
    ++held;
  else
    oldest = (oldest + 1) % capacity();
}

double GridStack::mean(long row, long column) const {
  if (held == 0) return 0.0;
  const int size = capacity();
  double sum = 0.0;
  for (int k = 0; k < held; ++k)
    sum += grids[static_cast<size_t>((oldest + k) % size)][row][column];
  return sum / held;
}
