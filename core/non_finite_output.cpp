#include "core/non_finite_output.h"

#include <mpi.h>

#include <cmath>
#include <vector>

#include "core/civil_calendar.h"
#include "core/collective_status.h"
#include "core/diag_stream.h"

void NonFiniteCell::takeFirst(const NonFiniteCell& other) {
  if (!other.found()) return;
  const bool earlier = !found() || other.row < row || (other.row == row && other.column < column) ||
                       (other.row == row && other.column == column && other.level < level);
  if (earlier) *this = other;
}

std::string NonFiniteCell::place() const {
  std::string text = "row " + std::to_string(row) + ", column " + std::to_string(column);
  if (level >= 0) text += ", level " + std::to_string(level);
  return text;
}

int reportNonFiniteOutput(DiagStream& diag, const std::string& file, const std::string& place,
                          double value, const ModelDate& step) {
  // The sign of a nan printed depends on the machine.
  const char* text = std::isnan(value) ? "nan" : value > 0.0 ? "inf" : "-inf";
  diag << "FATAL: the output " << file << " would hold " << text << " at " << place
       << " in the step of " << formatDate(step)
       << ", which is not a finite number: a result of the model overflowed or is undefined. "
          "It is not written; look for a parameter or an input value at the extreme of its "
          "range in or near that place"
       << "[end-entry]";
  return nonFiniteOutputCode;
}

void settleNonFiniteOutput(DiagStream& diag, const std::string& file, const NonFiniteCell& own,
                           const ModelDate& step) {
  int rank = 0;
  int size = 1;
  worldRankAndSize(rank, size);
  const double mine[4] = {static_cast<double>(own.row), static_cast<double>(own.column),
                          static_cast<double>(own.level), own.value};
  std::vector<double> all(4 * static_cast<size_t>(size));
  checkMPI(diag, MPI_Allgather(mine, 4, MPI_DOUBLE, all.data(), 4, MPI_DOUBLE, MPI_COMM_WORLD),
           "MPI_Allgather of the cells that are not finite");
  NonFiniteCell first;
  for (size_t p = 0; p < static_cast<size_t>(size); ++p)
    first.takeFirst({static_cast<long>(all[4 * p]), static_cast<long>(all[4 * p + 1]),
                     static_cast<long>(all[4 * p + 2]), all[4 * p + 3]});
  if (rank == 0) reportNonFiniteOutput(diag, file, first.place(), first.value, step);
  throw nonFiniteOutputCode;
}
