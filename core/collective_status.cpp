#include "core/collective_status.h"

#include <mpi.h>

std::string mpiErrorText(int result) {
  char text[MPI_MAX_ERROR_STRING] = {};
  int length = 0;
  if (MPI_Error_string(result, text, &length) != MPI_SUCCESS)
    return "MPI error " + std::to_string(result);
  return std::string(text, static_cast<size_t>(length));
}

CollectiveFailure agreeOnFailure(int localCode, int reductionFailedCode) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  // MAXLOC picks the lowest rank among equal codes.
  struct {
    int code;
    int rank;
  } local{localCode, rank}, worst{0, 0};
  if (MPI_Allreduce(&local, &worst, 1, MPI_2INT, MPI_MAXLOC, MPI_COMM_WORLD) != MPI_SUCCESS)
    return CollectiveFailure{localCode != 0 ? localCode : reductionFailedCode, rank};
  return CollectiveFailure{worst.code, worst.rank};
}
