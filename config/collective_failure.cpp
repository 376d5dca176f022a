#include "config/collective_failure.h"

#include <mpi.h>

#include "core/diag_stream.h"

void checkMPI(DiagStream& diag, int result, const char* call) {
  if (result == MPI_SUCCESS) return;
  char text[MPI_MAX_ERROR_STRING] = {};
  int length = 0;
  MPI_Error_string(result, text, &length);
  diag << "FATAL: " << call << " failed during the model set-up: " << text << "[end-entry]";
  throw mpiCallFailed;
}

void shareExitCode(DiagStream& diag, int ownCode) {
  int shared = ownCode;
  checkMPI(diag, MPI_Allreduce(MPI_IN_PLACE, &shared, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD),
           "MPI_Allreduce of the set-up status");
  if (ownCode != 0) throw ownCode;
  if (shared != 0) throw shared;
}
