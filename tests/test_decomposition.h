#pragma once

#include <string>
#include <vector>

#include "tests/test_model.h"

struct ModelContext;

// A decomposed grid for MPI tests: the ownership is drawn by hand, and each
// process gets the decomposition data the set-up would give it.

constexpr double nodata = -9999.0;
constexpr double untouched = -1.0;

double cellValue(long r, long c);

// Owners of the cells of a small grid, one text per grid row: a digit names
// the owning rank (capped at the last rank), '.' lies outside the catchment.
using OwnerMap = std::vector<std::string>;

// A ragged catchment with holes, one run of cells per process in row order,
// the highest rank first. The first boundary leaves a nodata gap between two
// processes' runs in row 3; the second falls inside row 5.
OwnerMap ragged(int size);

// One process's share of a decomposed grid, laid out as the set-up leaves it:
// "MPIRegions" and "MPIHelper" over its rows (rank 0: all rows), its column
// ranges, cell counts and halo lists.
struct StripModule {
  // With spans, the runs of one process in a row are listed as one strip
  // across the nodata cells between them, as the set-up lists them.
  StripModule(const std::string& name, const OwnerMap& map, bool spans = false);
  ~StripModule();

  // Rank 0: (owner, count) runs from the first valid column, gaps as runs
  // owned by nodata; others: (start column, count) of their own runs. Pairs
  // are written while they fit into the row.
  void writeHelperRow(long r);

  // Receive strips of process p: the cells of other processes next to its
  // own, per row, strips of one peer merged across gaps.
  std::vector<HaloStrip> haloOf(int p) const;
  bool isHalo(int p, long r, long c) const;
  bool held(long r) const { return r >= lo && r <= hi; }

  Grid grid(double fill);
  // A grid over the held rows with f(r, c) on the catchment's cells and
  // nodata outside.
  template <typename F> Grid catchmentGrid(F f) {
    Grid g = grid(nodata);
    for (long r = lo; r <= hi; ++r)
      for (long c = 1; c <= ncols; ++c)
        if (owner[r][c] >= 0) g[r][c] = f(r, c);
    return g;
  }
  Stack stack(long lastLevel, double fill);
  int add(const std::string& name, Grid g, Stack s = nullptr, unsigned levels = 0);
  // What process p holds at a cell when every process has set its own cells
  // only: the cell's value where p owns it, `other` elsewhere.
  double valueOn(int p, long r, long c, double other) const {
    return owner[r][c] == p ? cellValue(r, c) : other;
  }

  TestModule m;
  bool spans;
  long nrows, ncols;
  int size, rank;
  std::vector<std::vector<int>> owner;
  long lo = 1, hi = 0;
  Grid regions = nullptr;
  Grid helper = nullptr;
  std::vector<RowColumnRange> ranges;
  std::vector<long> cells;
  std::vector<HaloStrip> receives, sends;
  std::vector<Grid> grids;
  std::vector<Stack> stacks;
};

// Hands a module context this process's share: the log and header of the
// strip module, the column ranges, cell counts and halo lists.
void shareStrips(ModelContext& context, StripModule& strips);
