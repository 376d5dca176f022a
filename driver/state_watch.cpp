#include "driver/state_watch.h"

#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "core/collective_status.h"
#include "core/diag_stream.h"
#include "core/non_finite_output.h"
#include "meteo/meteo_dates.h"

namespace {

constexpr long long none = LLONG_MAX;
constexpr size_t namedGrids = 5;

bool sameDay(const ModelDate& a, const ModelDate& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

} // namespace

void StateWatch::step(const ModelDate& date, const GridRegistryEntry* registry,
                      const OwnCells& cells, long nrows, DiagStream& diag) {
  if (checked && sameDay(date, lastCheck)) return;
  keys.assign(static_cast<size_t>(gridRegistryLimit), none);
  bool found = false;
  for (int index = 1; index < gridRegistryLimit; ++index) {
    const GridRegistryEntry& e = registry[index];
    if (!e.hasFileName || !(e.grid || e.stack)) continue;
    keys[static_cast<size_t>(index)] = firstNonFinite(e, cells, nrows);
    found = found || keys[static_cast<size_t>(index)] != none;
  }
  int any = found ? 1 : 0;
  checkMPI(diag, MPI_Allreduce(MPI_IN_PLACE, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the state check");
  if (any) {
    checkMPI(diag,
             MPI_Allreduce(MPI_IN_PLACE, keys.data(), static_cast<int>(keys.size()), MPI_LONG_LONG,
                           MPI_MIN, MPI_COMM_WORLD),
             "MPI_Allreduce of the cells that are not finite");
    refuse(date, registry, cells.ncols, diag);
  }
  checked = true;
  lastCheck = date;
}

// Key: (row * (ncols + 1) + column) * (levels + 1) + level, so that the
// smallest is the first cell in the order of the grid's file whatever the
// process that holds it.
long long StateWatch::firstNonFinite(const GridRegistryEntry& e, const OwnCells& cells,
                                     long nrows) const {
  const long first = std::max(cells.firstRow, std::max(1L, e.firstRow));
  const long last = std::min(cells.lastRow, std::min(nrows, e.lastRow));
  const long long ncols = cells.ncols;
  const long long levels = e.stack ? static_cast<long long>(e.levels) + 1 : 1;
  long long key = none;
#pragma omp parallel for schedule(runtime) reduction(min : key)
  for (long r = first; r <= last; ++r) {
    const double* row = e.grid ? e.grid[r] : nullptr;
    double* const* stackRow = e.stack ? e.stack[r] : nullptr;
    if (!row && !stackRow) continue;
    const long lastColumn = cells.lastColumn(r);
    long long found = none;
    for (long c = cells.firstColumn(r); c <= lastColumn && found == none; ++c) {
      if (!cells.owns(r, c)) continue;
      const long long cell = (r * (ncols + 1) + c) * levels;
      if (row && !std::isfinite(row[c])) found = cell;
      if (found != none || !stackRow || !stackRow[c]) continue;
      for (long long l = 0; l < levels && found == none; ++l)
        if (!std::isfinite(stackRow[c][l])) found = cell + l;
    }
    key = std::min(key, found);
  }
  return key;
}

void StateWatch::refuse(const ModelDate& date, const GridRegistryEntry* registry, long ncols,
                        DiagStream& diag) const {
  int rank = 0;
  int size = 1;
  worldRankAndSize(rank, size);
  if (rank == 0) {
    std::string grids;
    size_t named = 0;
    size_t more = 0;
    for (int index = 1; index < gridRegistryLimit; ++index) {
      const long long key = keys[static_cast<size_t>(index)];
      if (key == none) continue;
      if (named == namedGrids) {
        ++more;
        continue;
      }
      const GridRegistryEntry& e = registry[index];
      const long long levels = e.stack ? static_cast<long long>(e.levels) + 1 : 1;
      const long long cell = key / levels;
      std::string place = "row " + std::to_string(cell / (ncols + 1)) + ", column " +
                          std::to_string(cell % (ncols + 1));
      if (e.stack) place += ", level " + std::to_string(key % levels);
      grids += (named ? "; \"" : "\"") + e.name + "\" (" + e.fileName + ") first at " + place;
      ++named;
    }
    if (more) grids += "; and " + std::to_string(more) + " more grids";
    diag << "FATAL: after the step of " << formatDate(date)
         << (checked ? "" : ", the first of the run,")
         << " the state of the model holds values that are not finite (nan or inf)";
    if (checked) diag << ", which it did not after the step of " << formatDate(lastCheck);
    diag << ": " << grids
         << ". A result of the model overflowed or is undefined; look for a parameter or an input "
            "value at the extreme of its range in or near that place"
         << "[end-entry]";
  }
  throw nonFiniteOutputCode;
}
