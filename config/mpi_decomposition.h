#pragma once

#include <vector>

#include "config/defaultini.h"

// Working data of one domain decomposition, released when it returns.
struct defaultini::Decomposition {
  int size = 1;
  int rank = 0;
  long ncols = 0;
  long nrows = 0;
  double nodata = -9999.0;
  int entries[3] = {}; // registry entries of "MPIRegions", "MPIHelper", "MPIHalo"
  std::vector<double> weights;
  std::vector<long> quotas;     // rank 0: regular cells of each process
  std::vector<long> cellCounts; // rank 0: all cells of each process after the scan
  std::vector<int> firstRows;
  std::vector<int> lastRows;
  Grid zone = nullptr; // rank 0 only, like the link grid
  Grid links = nullptr;
  bool useLinks = false;
  long regularCells = 0;
  long riverCells = 0;

  // One definition of a link cell serves the census and the scan: a cell
  // that takes no quota must also have been left out of the regular count.
  bool isLinkCell(long row, long column) const { return useLinks && links[row][column] > 0.0; }
  // The rows a process holds: its own rows and one halo row at each side.
  long lo(long first) const { return first >= 2 ? first - 1 : first; }
  long hi(long last) const { return last < nrows ? last + 1 : last; }
};

// The grid cannot be divided among the processes.
constexpr int decompositionImpossible = 122;
// A row needs more strips than an "MPIHelper" row can describe.
constexpr int tooManyStrips = 120;
