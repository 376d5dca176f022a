#include <mpi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/defaultini.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

namespace {

constexpr int coordinateRowsTag = 0;

} // namespace

void defaultini::makeCoordinateGrids() {
  const long first = header.firstRow;
  const long last = header.lastRow;
  const std::string& zoneFile = registry[1].fileName;
  coordXIndex = takeFreeEntry("FATAL: no free grid found in memory (at position ", ")");
  coordXGrid =
      registerDerivedGrid(coordXIndex, internFileName(zoneFile, "cx"), "CoordX", first, last, 0.0);
  coordYIndex = takeFreeEntry("FATAL: no free grid found in memory (at position ", ")");
  coordYGrid =
      registerDerivedGrid(coordYIndex, internFileName(zoneFile, "cy"), "CoordY", first, last, 0.0);

  const double xll = header.xllcorner;
  const double yll = header.yllcorner;
  const double c = header.cellsize;
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  Grid x = coordXGrid;
  Grid y = coordYGrid;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long k = 1; k <= ncols; ++k) {
      x[r][k] = xll + static_cast<double>(k - 1) * c;
      y[r][k] = yll + static_cast<double>(nrows - r) * c;
    }
  if (relCellAreaGrid && cellSizeXGrid && cellSizeYGrid && cellSizesVary()) accumulateCoordinates();

  const Grid zone = registry[1].grid;
  const double nodata = header.nodata;
#pragma omp parallel for schedule(runtime)
  for (long r = first; r <= last; ++r)
    for (long k = 1; k <= ncols; ++k)
      if (zone[r][k] == nodata) x[r][k] = y[r][k] = nodata;
  writeDerivedGridOnce(coordXIndex);
  writeDerivedGridOnce(coordYIndex);
}

// Rank 0 holds the cell sizes of every row; its answer holds for all.
bool defaultini::cellSizesVary() {
  int vary = 0;
  if (mpiRank == 0) {
    const Grid zone = registry[1].grid;
    const Grid sx = cellSizeXGrid;
    const Grid sy = cellSizeYGrid;
    const double c = header.cellsize;
    const double nodata = header.nodata;
    const long ncols = header.ncols;
#pragma omp parallel for schedule(runtime) reduction(max : vary)
    for (long r = 1; r <= header.nrows; ++r)
      for (long k = 1; k <= ncols; ++k)
        if (zone[r][k] != nodata && (sx[r][k] != c || sy[r][k] != c)) vary = 1;
  }
  if (mpiSize > 1)
    checkMPI(*diag, MPI_Bcast(&vary, 1, MPI_INT, 0, MPI_COMM_WORLD),
             "MPI_Bcast of the cell size variation");
  return vary != 0;
}

// x runs along each row from the grid's left edge, y up each column from its
// lower edge, so a cell's corner depends on the cells between it and the
// edge, which may belong to other processes: rank 0 computes every row from
// its whole cell-size grids and sends each process its own rows. Offsets
// from the regular corners keep regular cells exact.
void defaultini::accumulateCoordinates() {
  const long nrows = header.nrows;
  const long ncols = header.ncols;
  const int count = static_cast<int>(2 * ncols);
  std::vector<double> row(static_cast<size_t>(count));
  long ownRows[2] = {header.firstRow, header.lastRow};
  std::vector<long> rows(static_cast<size_t>(2 * mpiSize));
  checkMPI(*diag, MPI_Gather(ownRows, 2, MPI_LONG, rows.data(), 2, MPI_LONG, 0, MPI_COMM_WORLD),
           "MPI_Gather of the row ranges");
  auto keep = [&](long r) {
    std::copy(row.begin(), row.begin() + ncols, coordXGrid[r] + 1);
    std::copy(row.begin() + ncols, row.end(), coordYGrid[r] + 1);
  };

  if (mpiRank != 0) {
    for (long r = header.lastRow; r >= header.firstRow; --r) {
      MPI_Status status;
      checkMPI(
          *diag,
          MPI_Recv(row.data(), count, MPI_DOUBLE, 0, coordinateRowsTag, MPI_COMM_WORLD, &status),
          "MPI_Recv of a coordinate row");
      keep(r);
    }
    return;
  }

  const double xll = header.xllcorner;
  const double yll = header.yllcorner;
  const double c = header.cellsize;
  const double nodata = header.nodata;
  auto size = [&](double value) { return value > nodata ? value : c; };
  std::vector<double> offsetY(static_cast<size_t>(ncols) + 1, 0.0);
  for (long r = nrows; r >= 1; --r) {
    if (r < nrows)
      for (long k = 1; k <= ncols; ++k)
        offsetY[static_cast<size_t>(k)] += size(cellSizeYGrid[r + 1][k]) - c;
    double offsetX = 0.0;
    for (long k = 1; k <= ncols; ++k) {
      row[static_cast<size_t>(k - 1)] = xll + static_cast<double>(k - 1) * c + offsetX;
      offsetX += size(cellSizeXGrid[r][k]) - c;
      row[static_cast<size_t>(ncols + k - 1)] =
          yll + static_cast<double>(nrows - r) * c + offsetY[static_cast<size_t>(k)];
    }
    if (r >= header.firstRow && r <= header.lastRow) keep(r);
    for (int p = 1; p < mpiSize; ++p)
      if (r >= rows[static_cast<size_t>(2 * p)] && r <= rows[static_cast<size_t>(2 * p + 1)])
        checkMPI(*diag,
                 MPI_Send(row.data(), count, MPI_DOUBLE, p, coordinateRowsTag, MPI_COMM_WORLD),
                 "MPI_Send of a coordinate row");
  }
}
