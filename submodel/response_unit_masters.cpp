#include "submodel/response_unit_masters.h"

#include <mpi.h>

#include <limits>

#include "core/collective_status.h"

bool moveMastersOffLoneCells(const OwnCells& cells, Grid units, Grid masterGrid,
                             const std::vector<Grid>& lone, std::vector<HRUMasterCell>& masters,
                             DiagStream& diag) {
  const double nodata = cells.nodata;
  const auto count = masters.size();
  auto unitOf = [&](long r, long c) -> long {
    const double u = units[r][c];
    return u != nodata && u >= 0.0 && u < static_cast<double>(count) ? static_cast<long>(u) : -1;
  };
  auto isLone = [&](long r, long c) {
    for (Grid g : lone)
      if (g[r][c] != nodata && g[r][c] > 0.0) return true;
    return false;
  };

  // Per unit: whether its master is a lone cell, and the first of its cells
  // in the whole grid that still copies and is none.
  constexpr long none = std::numeric_limits<long>::max();
  std::vector<int> covered(count, 0);
  std::vector<long> firstFree(count, none);
  int changed = 0;
  cells.forEachInOrder([&](long r, long c) {
    const long u = unitOf(r, c);
    if (u < 0) return;
    const auto i = static_cast<std::size_t>(u);
    const bool isMaster = masters[i].row == r && masters[i].column == c;
    if (isLone(r, c)) {
      if (isMaster) covered[i] = 1;
      if (masterGrid[r][c] == nodata) {
        masterGrid[r][c] = static_cast<double>(u);
        changed = 1;
      }
      return;
    }
    const long position = (r - 1) * cells.ncols + c;
    if (masterGrid[r][c] == nodata && position < firstFree[i]) firstFree[i] = position;
  });
  checkMPI(diag,
           MPI_Allreduce(MPI_IN_PLACE, covered.data(), static_cast<int>(count), MPI_INT, MPI_MAX,
                         MPI_COMM_WORLD),
           "MPI_Allreduce of the response units' masters on lone cells");
  checkMPI(diag,
           MPI_Allreduce(MPI_IN_PLACE, firstFree.data(), static_cast<int>(count), MPI_LONG, MPI_MIN,
                         MPI_COMM_WORLD),
           "MPI_Allreduce of the response units' first cells that are not lone");
  // A unit whose every cell is lone keeps its master: none of its cells
  // copies any more.
  for (std::size_t u = 0; u < count; ++u) {
    if (!covered[u] || firstFree[u] == none) continue;
    HRUMasterCell& m = masters[u];
    m.row = (firstFree[u] - 1) / cells.ncols + 1;
    m.column = (firstFree[u] - 1) % cells.ncols + 1;
    if (m.row >= cells.firstRow && m.row <= cells.lastRow && cells.owns(m.row, m.column))
      masterGrid[m.row][m.column] = static_cast<double>(u);
    changed = 1;
  }
  checkMPI(diag, MPI_Allreduce(MPI_IN_PLACE, &changed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the moves of the response units' masters");
  return changed != 0;
}
