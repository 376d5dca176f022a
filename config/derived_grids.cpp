#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/run_files.h"

namespace {

constexpr int registryFullCode = 12;
constexpr int cellSizeCode = 66;
constexpr int noZoneAreaCode = 7;
// Given relative cell areas may differ from X * Y / c^2 by this fraction.
constexpr double relativeAreaTolerance = 1e-5;

enum class CellFault { none, zeroX, zeroY, area };

static_assert(sizeof(ZoneRecord) == 5 * sizeof(double), "zone records travel as doubles");

} // namespace

long defaultini::heldFirstRow() const {
  if (mpiRank == 0) return 1;
  return header.firstRow >= 2 ? header.firstRow - 1 : header.firstRow;
}

long defaultini::heldLastRow() const {
  if (mpiRank == 0) return header.nrows;
  return header.lastRow < header.nrows ? header.lastRow + 1 : header.lastRow;
}

int defaultini::takeFreeEntry(const char* message, const char* tail) {
  const int index = firstFreeRegistryIndex();
  if (index < gridRegistryLimit) return index;
  *diag << message << gridRegistryLimit << tail << "[end-entry]";
  throw registryFullCode;
}

Grid defaultini::registerDerivedGrid(int index, const std::string& fileName,
                                     const std::string& name, long first, long last, double fill) {
  Grid grid = matrix(first, last, 1, header.ncols, header.nrows);
  derivedGrids.push_back({index, grid, first, last});
  const long ncols = header.ncols;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long k = 1; k <= ncols; ++k) grid[r][k] = fill;
  registerGrid(index, fileName, grid, nullptr, 0, name, 0, first, last);
  ++gridCount;
  return grid;
}

// A dot in a directory name is no extension.
bool defaultini::hasFileExtension(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  const size_t dot = fileName.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

std::string defaultini::internFileName(const std::string& fileName, const char* suffix) {
  const std::string stem =
      hasFileExtension(fileName) ? fileName.substr(0, fileName.find_last_of('.')) : fileName;
  return stem + ".intern." + suffix;
}

void defaultini::writeDerivedGridOnce(int index) {
  std::string path = registry[index].firstFileName;
  prependDirectory(outputDirectory, path);
  noteOutputFile(path, "the derived grid \"" + registry[index].name + "\"");
  createOutputsWhenChecked([this, index] {
    GridRegistryEntry& e = registry[index];
    e.writeMode = 1;
    try {
      writeOutputGrids(index, 1, 0);
    } catch (...) {
      e.writeMode = 0;
      throw;
    }
    e.writeMode = 0;
  });
}

// The teardown of the grid store may already have released these entries;
// only grids still registered here are ours to free.
void defaultini::releaseDerivedGrids() {
  for (const DerivedGrid& g : derivedGrids) {
    if (registry && registry[g.index].grid == g.grid) unregisterGrid(g.index);
    free_matrix(g.grid, g.firstRow, g.lastRow, 1, header.ncols);
  }
  derivedGrids.clear();
}

void defaultini::makeCellSizeGrids() {
  const long first = heldFirstRow();
  const long last = heldLastRow();
  const std::string& zoneFile = registry[1].fileName;
  auto take = [&](const char* name, const char* suffix, int& index, Grid& grid, int& flag) {
    const int found = findGrid(name, 1);
    if (found > 0 && registry[found].grid) {
      index = found;
      grid = registry[found].grid;
      flag = 1;
      builtOnceFrom(found, "the set-up derives the cell areas and coordinates from it and the "
                           "zones weigh their cells by them");
      return;
    }
    index = takeFreeEntry("FATAL: no free grid found in memory (at position ", ")");
    grid = registerDerivedGrid(index, internFileName(zoneFile, suffix), name, first, last, 0.0);
    flag = 0;
  };
  take("CellSizeX", "csx", cellSizeXIndex, cellSizeXGrid, cellSizeXFromRegistry);
  take("CellSizeY", "csy", cellSizeYIndex, cellSizeYGrid, cellSizeYFromRegistry);
  take("RelCellArea", "rca", relCellAreaIndex, relCellAreaGrid, relCellAreaFromRegistry);

  // One given cell size and no relative area leave the other size open;
  // guessing it would give every cell a made-up area.
  if (cellSizeXFromRegistry != cellSizeYFromRegistry && !relCellAreaFromRegistry) {
    const bool givenX = cellSizeXFromRegistry != 0;
    *diag << "FATAL: cell size in " << (givenX ? "y" : "x")
          << " direction cannot be derived: " << (givenX ? "CellSizeX" : "CellSizeY")
          << " is read from " << registry[givenX ? cellSizeXIndex : cellSizeYIndex].fileName
          << ", but neither " << (givenX ? "CellSizeY" : "CellSizeX")
          << " nor RelCellArea is given as a standard grid; please give one of them"
          << "[end-entry]";
    throw cellSizeCode;
  }
  if (!relCellAreaFromRegistry && !cellSizeXFromRegistry && !cellSizeYFromRegistry) {
    const Grid zone = registry[1].grid;
    const double nodata = header.nodata;
    const long ncols = header.ncols;
    Grid area = relCellAreaGrid;
#pragma omp parallel for schedule(runtime)
    for (long r = first; r <= last; ++r)
      for (long k = 1; k <= ncols; ++k) area[r][k] = zone[r][k] == nodata ? nodata : 1.0;
  }

  *diag << "Checking cell sizes for variable Cells..."
        << "[end-entry]";
  shareExitCode(*diag, catchExitCode([&] { checkCellSizes(first, last); }));

  for (const auto& [index, fromRegistry] :
       {std::pair<int, int>{relCellAreaIndex, relCellAreaFromRegistry},
        std::pair<int, int>{cellSizeXIndex, cellSizeXFromRegistry},
        std::pair<int, int>{cellSizeYIndex, cellSizeYFromRegistry}})
    if (!fromRegistry) writeDerivedGridOnce(index);
  weighZonesByCellArea();
}

// Derives the missing grids cell by cell and tests given ones; the first
// failing cell in row order ends the run.
void defaultini::checkCellSizes(long first, long last) {
  const Grid zone = registry[1].grid;
  Grid x = cellSizeXGrid;
  Grid y = cellSizeYGrid;
  Grid a = relCellAreaGrid;
  const bool givenX = cellSizeXFromRegistry != 0;
  const bool givenY = cellSizeYFromRegistry != 0;
  const bool givenA = relCellAreaFromRegistry != 0;
  const double c = header.cellsize;
  const double c2 = c * c;
  const double nodata = header.nodata;
  const long ncols = header.ncols;
  auto faultAt = [&](long r, long k) {
    if (givenX && x[r][k] == 0.0) return CellFault::zeroX;
    if (givenY && y[r][k] == 0.0) return CellFault::zeroY;
    if (givenX && givenY && givenA) {
      const double relative = x[r][k] * y[r][k] / c2;
      if (std::fabs(a[r][k] - relative) > relativeAreaTolerance * std::fabs(relative))
        return CellFault::area;
    }
    return CellFault::none;
  };

  long failedCell = LONG_MAX;
#pragma omp parallel for schedule(runtime) reduction(min : failedCell)
  for (long r = first; r <= last; ++r) {
    for (long k = 1; k <= ncols; ++k) {
      if (zone[r][k] == nodata) {
        x[r][k] = y[r][k] = a[r][k] = nodata;
        continue;
      }
      if (faultAt(r, k) != CellFault::none) {
        failedCell = std::min(failedCell, r * (ncols + 1) + k);
        break;
      }
      if (givenX && givenY) {
        if (!givenA) a[r][k] = x[r][k] * y[r][k] / c2;
      } else if (givenX) {
        y[r][k] = c * (c * a[r][k]) / x[r][k];
      } else if (givenY) {
        x[r][k] = c * (c * a[r][k]) / y[r][k];
      } else {
        x[r][k] = std::sqrt(c2 * a[r][k]);
        y[r][k] = x[r][k];
      }
    }
  }
  if (failedCell == LONG_MAX) return;

  const long r = failedCell / (ncols + 1);
  const long k = failedCell % (ncols + 1);
  switch (faultAt(r, k)) {
  case CellFault::zeroX:
    *diag << "FATAL: cell size in x direction is zero at row " << r << ", column " << k
          << ",\nread from file " << registry[cellSizeXIndex].fileName << "\n"
          << "[end-entry]";
    break;
  case CellFault::zeroY:
    *diag << "FATAL: cell size in y direction is zero at row " << r << ", column " << k
          << ",\nread from file " << registry[cellSizeYIndex].fileName << "[end-entry]";
    break;
  default:
    *diag << "FATAL: Cell size Y (" << y[r][k] << ", from " << registry[cellSizeYIndex].fileName
          << ") times\ncell size X (" << x[r][k] << ", from " << registry[cellSizeXIndex].fileName
          << ") \ndivided by the mean cell area is " << x[r][k] * y[r][k] / c2
          << " and differs from \nthe relative grid cell size " << a[r][k] << " (from "
          << registry[relCellAreaIndex].fileName << ") by more than 0.001%%\n"
          << "[end-entry]";
    break;
  }
  throw cellSizeCode;
}

// The zones were ranked before the cell areas existed, so each cell counted
// as one; a grid of varying cell sizes needs the real areas. Rank 0 sums
// them in row order, so the sums depend neither on processes nor threads.
void defaultini::weighZonesByCellArea() {
  if (zoneCount < 1 || zoneRecords.empty()) return;
  const int failure = mpiRank != 0 ? 0 : catchExitCode([&] {
    const Grid zone = registry[1].grid;
    const Grid area = relCellAreaGrid;
    std::vector<double> sums(zoneRecords.size(), 0.0);
    double total = 0.0;
    for (long r = 1; r <= header.nrows; ++r) {
      const RowColumnRange& range = columnRanges[static_cast<size_t>(r)];
      for (long k = range.first; k >= 1 && k <= range.last; ++k) {
        if (zone[r][k] == header.nodata) continue;
        const int code = static_cast<int>(zone[r][k]);
        const int rank = zoneRanks[static_cast<size_t>(code)];
        sums[static_cast<size_t>(rank)] += area[r][k];
        total += area[r][k];
      }
    }
    if (!(total > 0.0)) {
      *diag << "FATAL: the cells of the zone grid " << registry[1].fileName
            << " have a total relative area of " << total << "; it must be positive"
            << "[end-entry]";
      throw noZoneAreaCode;
    }
    for (size_t k = 1; k < zoneRecords.size(); ++k) {
      zoneRecords[k].weightSum = zoneRecords[k].effectiveWeight = sums[k];
      zoneRecords[k].areaFraction = sums[k] / total;
    }
    zoneRecords[0].areaFraction = header.cellsize * (total * header.cellsize) / 1000000.0;
  });
  shareExitCode(*diag, failure);
  if (mpiSize < 2) return;
  checkMPI(*diag,
           MPI_Bcast(zoneRecords.data(), static_cast<int>(zoneRecords.size() * 5), MPI_DOUBLE, 0,
                     MPI_COMM_WORLD),
           "MPI_Bcast of the zone records");
}
