#include "core/state_grid_fault.h"

#include <mpi.h>

#include "core/collective_status.h"
#include "core/diag_stream.h"

void refuseFirstCellFault(DiagStream& diag, long key, const std::string& entry, int code) {
  long first = key;
  checkMPI(diag, MPI_Allreduce(&key, &first, 1, MPI_LONG, MPI_MIN, MPI_COMM_WORLD),
           "MPI_Allreduce of the first faulty cell of a state grid");
  if (first == noCellFault) return;
  int rank = 0;
  int size = 1;
  worldRankAndSize(rank, size);
  const int finder = key == first ? rank : -1;
  int root = finder;
  checkMPI(diag, MPI_Allreduce(&finder, &root, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the process that found the faulty cell");
  std::string text = rank == root ? entry : std::string();
  broadcastText(diag, text, root, "MPI_Bcast of the fault of a state grid");
  if (rank == 0) diag << text << "[end-entry]";
  throw code;
}
